// Command-line parsing and progress formatting of brisklode-cli.
#include <gtest/gtest.h>

#include "cli/Args.h"
#include "console/Console.h"
#include "cli/FleetOutput.h"
#include "rollout/Json.h"
#include "cli/Progress.h"
#include "rollout/Record.h"
#include "transport/File.h"
#include "transport/Transport.h"

namespace {

CliOptions Parse(const std::vector<std::string>& args, bool expectOk, std::string* errorOut = nullptr) {
    CliOptions options;
    std::string error;
    EXPECT_EQ(ParseCommandLine(args, options, error), expectOk) << error;
    if (errorOut != nullptr) *errorOut = error;
    return options;
}

TEST(CliTelnetTarget, SplitsHostPortForms) {
    std::string host, error;
    std::uint16_t port = 0;
    ASSERT_TRUE(ParseTelnetTarget("127.0.0.1:4000", host, port, error));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 4000);
    ASSERT_TRUE(ParseTelnetTarget("modem.local", host, port, error));
    EXPECT_EQ(host, "modem.local");
    EXPECT_EQ(port, 3000);
    ASSERT_TRUE(ParseTelnetTarget("[::1]:3001", host, port, error));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 3001);
    ASSERT_TRUE(ParseTelnetTarget("fe80::1", host, port, error));
    EXPECT_EQ(host, "fe80::1");
    EXPECT_EQ(port, 3000);
    ASSERT_TRUE(ParseTelnetTarget("h:65535", host, port, error));
    EXPECT_EQ(port, 65535);
}

TEST(CliTelnetTarget, RefusesEmptyHostAndPortsOutOfRange) {
    std::string host, error;
    std::uint16_t port = 0;
    for (const char* bad : {"", ":3000", "[]:3000", "h:0", "h:65536", "h:", "h:-1", "h:30x", "h:99999999999", "[::1"}) {
        EXPECT_FALSE(ParseTelnetTarget(bad, host, port, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(CliCommandLine, AcceptsEachCommand) {
    CliOptions o = Parse({"--telnet", "10.0.0.1:3000", "identify"}, true);
    EXPECT_EQ(o.command, "identify");
    EXPECT_EQ(o.telnetHost, "10.0.0.1");
    o = Parse({"--serial", "/dev/ttyUSB0", "--baud", "115200", "update", "fw.qz7", "--legacy", "yes"}, true);
    EXPECT_EQ(o.command, "update");
    EXPECT_EQ(o.path, "fw.qz7");
    EXPECT_EQ(o.baudRate, 115200u);
    EXPECT_EQ(o.legacy, LegacyChoice::Yes);
    o = Parse({"--telnet", "h", "log", "out.log"}, true);
    EXPECT_EQ(o.path, "out.log");
    o = Parse({"discover", "--timeout", "0"}, true);
    EXPECT_EQ(o.discoverTimeoutMs, 0u);
    o = Parse({"ports"}, true);
    EXPECT_EQ(o.command, "ports");
    EXPECT_TRUE(Parse({"--help"}, true).help);
    EXPECT_TRUE(Parse({"--version"}, true).version);
}

TEST(CliCommandLine, ParallelRunsFromOneTo256) {
    EXPECT_EQ(Parse({"--telnet", "h", "update", "fw", "--parallel", "1"}, true).parallel, 1u);
    EXPECT_EQ(Parse({"--telnet", "h", "update", "fw", "--parallel", "256"}, true).parallel, 256u);
    std::string error;
    Parse({"--telnet", "h", "update", "fw", "--parallel", "257"}, false, &error);
    EXPECT_EQ(error, "Invalid --parallel value '257': expected a number from 1 to 256");
}

TEST(CliCommandLine, RefusesMalformedInvocations) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--telnet", "h"},
        {"--telnet", "h", "frobnicate"},
        {"--telnet", "h", "identify", "extra"},
        {"identify"},
        {"--telnet", "h", "--telnet", "h:3000", "identify"},
        {"--telnet", "h", "update", "fw", "--parallel", "0"},
        {"--telnet", "h", "update", "fw", "--confirm=0"},
        {"--telnet", "h", "update", "fw", "--confirm=soon"},
        {"--telnet", "h", "identify", "--confirm"},
        {"--telnet", "h", "log", "x", "--yes"},
        {"--telnet", "h", "identify", "--serial-number", "12"},
        {"--discovered", "identify", "--serial-number", "12345678901234567"},
        {"--telnet", "h", "identify", "--csv"},
        {"inventory", "--json", "--csv"},
        {"inventory", "--type", "U"},
        {"--telnet", "h", "inventory"},
        {"--telnet", "h", "identify", "--timeout", "5"},
        {"--telnet", "h", "update"},
        {"--telnet", "h", "log"},
        {"--telnet", "h", "--telnet", "g", "log", "-"},
        {"--telnet", "h", "log", "-", "--json"},
        {"--telnet", "h", "update", "fw", "--legacy", "maybe"},
        {"--telnet", "h", "identify", "--legacy", "yes"},
        {"--telnet", "h", "--baud", "9600", "identify"},
        {"--telnet", "h:0", "identify"},
        {"--telnet", "", "identify"},
        {"--unknown", "ports"},
        {"--telnet", "h", "ports"},
        {"discover", "--timeout", "soon"},
        {"--telnet"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const std::string& arg : args) joined += " " + arg;
        SCOPED_TRACE(joined);
        std::string error;
        Parse(args, false, &error);
        EXPECT_FALSE(error.empty());
    }
    // Some mistakes are named in their own words.
    std::string error;
    Parse({"--telnet", "h", "update", "fw", "--expect-firmware", "U=7.3,I=7.2"}, false, &error);
    EXPECT_EQ(error, "Invalid --expect-firmware 'U=7.3,I=7.2': give --expect-firmware TYPE=V once per type");
    Parse({"--targets", "a.txt", "--targets", "b.txt", "identify"}, false, &error);
    EXPECT_EQ(error, "--targets is given twice: one target list a run (list every target in it)");
    // A resume may run discovery again (modems asked for by serial number): its probe's time is its own.
    EXPECT_EQ(Parse({"update", "fw", "--resume", "r.jsonl", "--timeout", "500"}, true).discoverTimeoutMs, 500u);
}

TEST(RolloutTargets, EveryLinkOptionIsATargetAndOptionsStandAnywhere) {
    CliOptions o = Parse({"update", "--telnet", "10.0.0.1", "--serial", "COM3", "fw.qz7", "--serial", "COM4", "--baud",
                          "9600", "--telnet", "[::1]:3001", "--parallel", "16", "--confirm=30", "--yes", "--json"},
                         true);
    ASSERT_EQ(o.targets.size(), 4u);
    EXPECT_EQ(o.targets[0].Label(), "telnet 10.0.0.1:3000");
    EXPECT_EQ(o.targets[1].Label(), "serial COM3");
    EXPECT_EQ(o.targets[1].baudRate, 9600u) << "--baud applies to every --serial";
    EXPECT_EQ(o.targets[2].baudRate, 9600u);
    EXPECT_EQ(o.targets[3].Label(), "telnet [::1]:3001");
    EXPECT_EQ(o.telnetHost, "10.0.0.1") << "the first target stays the single-modem link";
    EXPECT_EQ(o.parallel, 16u);
    EXPECT_TRUE(o.confirm);
    EXPECT_EQ(o.confirmSeconds, 30u);
    EXPECT_TRUE(o.Fleet());
    EXPECT_EQ(Parse({"--telnet", "h", "update", "fw", "--confirm"}, true).confirmSeconds, 180u);

    // One target is a run of one; a log of several goes into a folder.
    o = Parse({"--telnet", "h", "log", "out.log"}, true);
    EXPECT_TRUE(o.Fleet());
    EXPECT_FALSE(o.LogToFolder());
    EXPECT_FALSE(Parse({"discover"}, true).Fleet()) << "discover without JSON only prints what answered";
    o = Parse({"--discovered", "--timeout", "500", "--serial-number", "1f,00000000000000AB", "--call", "KLM", "log", "dir"}, true);
    EXPECT_TRUE(o.LogToFolder());
    EXPECT_EQ(o.discoverTimeoutMs, 500u);
    EXPECT_EQ(o.serialNumberFilter, (std::vector<std::uint64_t>{0x1F, 0xAB}));
    EXPECT_EQ(o.callFilter, std::vector<std::string>{"KLM"});
    o = Parse({"--targets", "list.txt", "identify", "--type", "U"}, true);
    EXPECT_EQ(o.targetsFile, "list.txt");
    EXPECT_EQ(o.typeFilter, "U");
    o = Parse({"inventory", "--csv", "--timeout", "100"}, true);
    EXPECT_TRUE(o.csv);
    EXPECT_TRUE(o.Fleet());
}

TEST(CliJson, QuotesAnythingAModemSendsIntoValidJson) {
    EXPECT_EQ(JsonQuote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonQuote(std::string("\r\n\x1b\x7f\0", 5)), "\"\\r\\n\\u001b\\u007f\\u0000\"");
    EXPECT_EQ(JsonQuote("\xc3\xa9"), "\"\xc3\xa9\"") << "valid UTF-8 passes";
    EXPECT_EQ(JsonQuote("\xff\xc3"), "\"\\u00ff\\u00c3\"") << "stray bytes are escaped";
    EXPECT_EQ(JsonQuote("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"") << "no surrogates";
}

TEST(CliJson, ResultLinesCarryTheFieldsOfTheirCommand) {
    TargetResult r;
    r.label = "telnet 127.0.0.1:3000";
    r.status = Status::Ok;
    r.message = "Checksum OK on Modem";
    r.model = "Torvanix / VX-4410";
    r.firmware = "7.2";
    r.type = "U";
    r.bytes = 1000;
    r.protocol = Protocol::Fast;
    r.confirmed = true;
    r.firmwareAfter = "7.3";
    const std::string update = ResultJson("update", r);
    EXPECT_EQ(update.rfind("{\"event\":\"result\",\"target\":\"telnet 127.0.0.1:3000\",\"ok\":true,", 0), 0u) << update;
    for (const char* field : {"\"bytes\":1000", "\"protocol\":\"fast\"", "\"firmware_before\":\"7.2\"",
                              "\"firmware_after\":\"7.3\"", "\"model\":", "\"type\":\"U\""}) {
        EXPECT_NE(update.find(field), std::string::npos) << field << " in " << update;
    }
    r.file = "logs/x.log";
    const std::string log = ResultJson("log", r);
    EXPECT_NE(log.find("\"file\":\"logs/x.log\""), std::string::npos) << log;
    EXPECT_EQ(log.find("firmware_after"), std::string::npos) << log;
    EXPECT_EQ(ResultJson("identify", r).find("\"bytes\""), std::string::npos);
    // A modem that never came back: both versions are still named.
    r.status = Status::Failed;
    r.reason = Reason::Reboot;
    r.confirmWanted = true;
    r.confirmed = false;
    const std::string lost = ResultJson("update", r);
    EXPECT_NE(lost.find("\"firmware_before\":\"7.2\",\"firmware_after\":null"), std::string::npos) << lost;
    EXPECT_NE(lost.find("\"ok\":false,\"status\":\"failed\",\"reason\":\"reboot\""), std::string::npos) << lost;
}

TEST(CliProgress, BarShowsPercentBytesRateAndTimeLeft) {
    const std::string line =
        ProgressDisplay::BarLine(50, "Transferring firmware", 8u << 20, 16u << 20, 2.0, 0, 120);
    EXPECT_NE(line.find(" 50%"), std::string::npos) << line;
    EXPECT_NE(line.find("8.0 MiB / 16.0 MiB"), std::string::npos) << line;
    EXPECT_NE(line.find("4.0 MiB/s"), std::string::npos) << line;
    EXPECT_NE(line.find("0:02 left"), std::string::npos) << line;
    EXPECT_NE(line.find("[############............]"), std::string::npos) << line;
    EXPECT_EQ(line.size(), 119u);
    // Narrow terminals lose the label before the numbers.
    const std::string narrow = ProgressDisplay::BarLine(50, "Transferring firmware", 8u << 20, 16u << 20, 2.0, 0, 60);
    EXPECT_EQ(narrow.find("Transferring"), std::string::npos);
    EXPECT_NE(narrow.find(" 50%"), std::string::npos);
}

TEST(CliProgress, PlainOutputEndsWithTheFullLog) {
    // A 131,172-byte log: two whole chunks (49 %, 99 %), then the last 100 bytes. Without a terminal the
    // lines come every ten percent, but the end always gets its line.
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ProgressDisplay display(out, false, 80);
    display.Report(0, "Reading modem log", "Block size: 65536 bytes", false, 0, 0);
    display.Report(49, "Reading modem log", "Received 65536 / 131172 bytes", true, 65536, 131172);
    display.Report(99, "Reading modem log", "Received 131072 / 131172 bytes", true, 131072, 131172);
    display.Report(100, "Reading modem log", "Received 131172 / 131172 bytes", true, 131172, 131172);
    display.Finish();
    std::rewind(out);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) text += buffer;
    std::fclose(out);
    const std::size_t last = text.rfind('\n', text.size() - 2);
    const std::string lastLine = text.substr(last + 1);
    EXPECT_NE(lastLine.find("100%"), std::string::npos) << text;
}

TEST(CliProgress, FormatsSizesAndDurations) {
    EXPECT_EQ(FormatBytes(512), "512 B");
    EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(FormatDuration(59.4), "0:59");
    EXPECT_EQ(FormatDuration(61), "1:01");
    EXPECT_EQ(FormatDuration(3725), "1:02:05");
}

}  // namespace

TEST(CliCommandLine, RolloutOptions) {
    CliOptions o = Parse({"--targets", "-", "update", "--firmware", "U=u.qz7", "--firmware", "I=i.qz7", "--expect-firmware",
                          "7.3", "--canary", "2", "--max-failures", "3", "--retries", "2", "--connect-timeout", "4",
                          "--record", "run.jsonl", "--yes"},
                         true);
    EXPECT_EQ(o.firmwareByType.size(), 2u);
    EXPECT_TRUE(o.path.empty()) << "the images may all come from --firmware";
    EXPECT_TRUE(o.confirm) << "an expected version is checked after the restart";
    EXPECT_EQ(o.canary, 2u);
    EXPECT_EQ(o.maxFailures, 3u);
    EXPECT_EQ(o.retries, 2u);
    EXPECT_EQ(o.connectTimeoutSeconds, 4u);
    EXPECT_EQ(o.recordPath, "run.jsonl");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--telnet", "h", "update", "fw", "--firmware", "U"},
             {"--telnet", "h", "update", "fw", "--firmware", "U=a", "--firmware", "U=b"},
             {"--telnet", "h", "update", "fw", "--force"},
             {"--telnet", "h", "identify", "--expect-firmware", "7.3"},
             {"--telnet", "h", "update", "fw", "--canary", "0"},
             {"--telnet", "h", "update", "fw", "--max-failures", "x"},
             {"discover", "--record", "r"},
             {"--telnet", "h", "identify", "--overwrite"},
             {"--telnet", "h", "update", "fw", "--resume", "r"},
             {"discover", "--resume", "r"}}) {
        std::string error;
        Parse(args, false, &error);
        EXPECT_FALSE(error.empty()) << args.back();
    }
    // A resume takes its targets from the record and appends to it unless told otherwise.
    o = Parse({"update", "fw", "--resume", "r.jsonl", "--force"}, true);
    EXPECT_EQ(o.recordPath, "r.jsonl");
    EXPECT_TRUE(o.targets.empty());
    o = Parse({"log", "logs", "--resume", "r.jsonl", "--record", "again.jsonl"}, true);
    EXPECT_EQ(o.recordPath, "again.jsonl");
    EXPECT_TRUE(o.LogToFolder()) << "a resumed log run may hold several modems";
    std::string error;
    Parse({"--telnet", "h", "identify", "extra"}, false, &error);
    EXPECT_EQ(error, "Unexpected argument 'extra' after the identify command");
}

TEST(CliCommandLine, AnOptionIsNeverTakenAsAValue) {
    std::string error;
    Parse({"--telnet", "h", "update", "fw", "--expect-firmware", "--force", "--confirm=5"}, false, &error);
    EXPECT_EQ(error, "Option --expect-firmware needs a value, not --force");
    const std::vector<std::pair<std::vector<std::string>, std::string>> swallowed = {
        {{"--telnet", "h", "identify", "--record", "--yes"}, "--record"},
        {{"--telnet", "h", "identify", "--record", "-y"}, "--record"},
        {{"--telnet", "--json", "identify"}, "--telnet"},
        {{"--discovered", "identify", "--call", "--json"}, "--call"}};
    for (const auto& [args, option] : swallowed) {
        Parse(args, false, &error);
        EXPECT_EQ(error.rfind("Option " + option + " needs a value", 0), 0u) << error;
    }
    // A file of such a name is still reachable, and "-" stays standard input.
    EXPECT_EQ(Parse({"--telnet", "h", "identify", "--record", "./--yes"}, true).recordPath, "./--yes");
    EXPECT_EQ(Parse({"--telnet", "h", "identify", "--record=--yes"}, true).recordPath, "--yes");
    EXPECT_EQ(Parse({"--targets", "-", "identify"}, true).targetsFile, "-");
}

TEST(CliCommandLine, EachCommandsHelpListsItsOwnOptionsAndEveryOptionIsListed) {
    // An entry starts a line with the option ("  --name VALUE", "  -h, --help", "  --confirm[=SECONDS]").
    const auto listed = [](const std::string& help, const std::string& name) {
        for (const std::string& lead : {"\n  " + name, ", " + name}) {
            for (size_t at = help.find(lead); at != std::string::npos; at = help.find(lead, at + 1)) {
                const char next = help[at + lead.size()];
                if (next == ' ' || next == '[') return true;
            }
        }
        return false;
    };
    for (const std::string& name : OptionNames()) EXPECT_TRUE(listed(UsageText(), name)) << name << " has no entry";
    const std::string identify = UsageText("identify"), update = UsageText("update"), log = UsageText("log"),
                      discover = UsageText("discover");
    EXPECT_TRUE(listed(update, "--force") && listed(update, "--telnet") && listed(update, "--confirm"));
    EXPECT_TRUE(listed(log, "--overwrite") && listed(log, "--record"));
    EXPECT_TRUE(listed(discover, "--timeout") && listed(discover, "--json"));
    for (const char* foreign : {"--legacy", "--firmware", "--yes", "--overwrite", "--csv"}) {
        EXPECT_EQ(identify.find(foreign), std::string::npos) << foreign;
    }
    EXPECT_EQ(log.find("--expect-firmware"), std::string::npos);
    EXPECT_EQ(discover.find("--telnet"), std::string::npos);
    EXPECT_EQ(discover.find("--record"), std::string::npos);
}

TEST(CliRecord, OneLinePerTargetWithImageVersionsAndOutcome) {
    ImageInfo image;
    image.path = "fw.qz7";
    image.size = 300000;
    image.sha256 = std::string(64, 'a');
    TargetResult r;
    r.label = "telnet 198.18.4.10:3000";
    r.status = Status::Cancelled;
    r.reason = Reason::Signal;
    r.message = "cancelled after the whole image was sent; the modem may install it: check its version";
    r.model = "Torvanix / VX-4410";
    r.firmware = "7.2";
    r.bytes = 300000;
    r.image = &image;
    r.startUtc = "2026-12-07T19:00:00Z";
    r.endUtc = "2026-12-07T19:00:05Z";
    const std::string line = RecordOutput::Line("update", r, "1.2.3", "bench-pc");
    for (const char* field : {"\"tool_version\":\"1.2.3\"", "\"host\":\"bench-pc\"", "\"start\":\"2026-12-07T19:00:00Z\"",
                              "\"image\":\"fw.qz7\"", "\"image_size\":300000", "\"serial_number\":null",
                              "\"firmware_before\":\"7.2\"", "\"firmware_after\":null", "\"status\":\"cancelled\"",
                              "\"reason\":\"signal\"", "\"bytes\":300000"}) {
        EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
    }
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(CliResults, ExitStatusCountsOnlyRealFailuresAndModemTextIsCut) {
    std::vector<TargetResult> results(3);
    results[0].status = Status::Ok;
    results[1].status = Status::Skipped;
    results[2].status = Status::Skipped;
    results[2].warning = "x";
    RunSummary summary = Summarise("update", results, 1.0);
    EXPECT_EQ(summary.ExitCode(), 0) << "deliberate skips are no failure";
    EXPECT_EQ(summary.warnings, 1u);
    for (Status bad : {Status::Failed, Status::Cancelled, Status::NotStarted}) {
        results[1].status = bad;
        EXPECT_EQ(Summarise("update", results, 1.0).ExitCode(), 1) << StatusName(bad);
    }
    const std::string garbage(67870, 'x');
    const std::string cut = CutModemText("QUIT did not return: " + garbage);
    EXPECT_LT(cut.size(), 400u);
    EXPECT_NE(cut.find("(67591 more bytes)"), std::string::npos) << cut.substr(280);
}
