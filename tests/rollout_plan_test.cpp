// The plan of an update: what each identified modem of a mixed line gets, its canaries, a typo'd type, --strict.
#include <gtest/gtest.h>

#include "cli/Args.h"
#include "rollout/Plan.h"

namespace {

CliOptions Options(std::vector<std::string> args) {
    args.insert(args.begin(), {"--telnet", "198.18.0.1", "update", "fw.qz7"});
    CliOptions options;
    std::string error;
    EXPECT_TRUE(ParseCommandLine(args, options, error)) << error;
    return options;
}

TargetResult Modem(const std::string& label, const std::string& type, const std::string& firmware, std::uint64_t serial) {
    TargetResult modem;
    modem.label = label;
    modem.type = type;
    modem.model = "model " + type;
    modem.firmware = firmware;
    modem.serialKnown = serial != 0;
    modem.serialNumber = serial;
    return modem;
}

struct Line {
    std::vector<TargetResult> modems;
    std::vector<bool> identified;
    std::vector<PlanEntry> plan;
    void Add(const TargetResult& modem) {
        modems.push_back(modem);
        identified.push_back(true);
        plan.emplace_back();
    }
    void AddUnreachable(const std::string& label) {
        Add(Modem(label, "", "", 0));
        identified.back() = false;
        plan.back().reason = Reason::Connect;
    }
};

TEST(RolloutPlan, AMixedLineGetsItsImagesAndItsCanariesAreTheFirstUpdates) {
    ImageInfo u{"U", "u.qz7", 10, "aa"}, i{"I", "i.qz7", 20, "bb"};
    const std::vector<const ImageInfo*> images = {&u, &i};
    const CliOptions options =
        Options({"--firmware", "U=u.qz7", "--firmware", "I=i.qz7", "--expect-firmware", "7.3", "--expect-firmware",
                 "I=5.1", "--canary", "1"});
    Line line;
    line.Add(Modem("current I", "I", "5.1", 1));  // at its own type's version: not the plain one
    line.Add(Modem("other type", "B", "1.0", 2));
    line.AddUnreachable("unreachable");
    line.Add(Modem("old U", "U", "7.2", 5));
    line.Add(Modem("current U", "U", "7.3", 3));
    line.Add(Modem("old I", "I", "5.0", 5));
    DecidePlan(options, images, line.modems, line.identified, line.plan);

    const auto is = [&](size_t at, PlanEntry::Action action, const std::string& reason) {
        EXPECT_EQ(line.plan[at].action, action) << line.modems[at].label;
        EXPECT_EQ(ReasonName(line.plan[at].reason), reason) << line.modems[at].label;
    };
    is(0, PlanEntry::Action::Skip, "current");
    is(1, PlanEntry::Action::Skip, "type");
    is(2, PlanEntry::Action::Fail, "connect");
    is(3, PlanEntry::Action::Update, "");
    is(4, PlanEntry::Action::Skip, "current");
    is(5, PlanEntry::Action::Update, "");
    EXPECT_EQ(line.plan[3].image, &u);
    EXPECT_EQ(line.plan[5].image, &i);
    for (size_t at = 0; at < line.plan.size(); ++at) EXPECT_EQ(line.plan[at].canary, at == 3) << "the canary gets an image";
    EXPECT_EQ(line.plan[3].warning, "same serial number 0000000000000005 as old I");
    EXPECT_EQ(line.plan[5].warning, "same serial number 0000000000000005 as old U");
    EXPECT_TRUE(line.plan[0].warning.empty());
    EXPECT_EQ(UnmatchedTypes(options, line.plan, line.modems), "");
    EXPECT_FALSE(PlanAsExpected(line.plan, false)) << "an unreachable modem is unexpected";
    EXPECT_EQ(NothingToSend(line.plan), "Nothing to send: 2 modems already run the expected firmware, 1 modem is left "
                                        "alone for its type, 1 modem could not be reached or identified");

    // Without the unreachable one, the skips are deliberate; --strict counts them as failures.
    line.plan.erase(line.plan.begin() + 2);
    EXPECT_TRUE(PlanAsExpected(line.plan, false));
    EXPECT_FALSE(PlanAsExpected(line.plan, true));
    EXPECT_EQ(PlannedStatus(line.plan[0], false), Status::Skipped);
    EXPECT_EQ(PlannedStatus(line.plan[0], true), Status::Failed);
}

TEST(RolloutPlan, ATypoedTypeFailsTheRunUnlessEveryModemIsAlreadyCurrent) {
    ImageInfo u{"u", "fw.qz7", 10, "aa"};
    const std::vector<const ImageInfo*> images = {&u};
    const CliOptions options = Options({"--firmware", "u=fw.qz7", "--type", "UU", "--expect-firmware", "7.3"});
    Line line;
    line.Add(Modem("a", "U", "7.2", 1));
    line.Add(Modem("b", "I", "7.3", 2));
    DecidePlan(options, images, line.modems, line.identified, line.plan);
    EXPECT_EQ(line.plan[0].reason, Reason::Type);
    EXPECT_EQ(UnmatchedTypes(options, line.plan, line.modems),
              "No identified modem has the type that --firmware u=fw.qz7, --type UU names (types seen: U, I); nothing was sent");
    EXPECT_EQ(NothingToSend(line.plan), "Nothing to send: 2 modems are left alone for their type");
    // A known type no modem here has is a note: one catalogue of images serves every site.
    std::string note;
    EXPECT_EQ(UnmatchedTypes(Options({"--firmware", "B=b.qz7", "--firmware", "U=u.qz7"}), line.plan, line.modems, &note), "");
    EXPECT_EQ(note, "No modem here has the type that --firmware B=b.qz7 names (types seen: U, I)");
    // A target left unidentified may be of the named type: it fails on its own, the rest go on.
    line.plan[1].action = PlanEntry::Action::Fail;
    EXPECT_EQ(UnmatchedTypes(options, line.plan, line.modems), "");

    // A line already at the version: nothing to do whatever the images say.
    for (PlanEntry& entry : line.plan) entry.reason = Reason::Current;
    EXPECT_EQ(UnmatchedTypes(options, line.plan, line.modems), "");
}

TEST(CliCommandLine, ExpectedFirmwareByTypePlanAndStrict) {
    const CliOptions options = Options({"--expect-firmware", "7.3", "--expect-firmware", "I=5.1", "--plan", "--strict"});
    EXPECT_EQ(options.ExpectedFirmware("I"), "5.1");
    EXPECT_EQ(options.ExpectedFirmware("U"), "7.3");
    EXPECT_TRUE(options.confirm && options.plan && options.strict);
    EXPECT_EQ(Options({"--expect-firmware", "U=7.4", "--force"}).ExpectedFirmware("B"), "") << "no plain version";
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--telnet", "h", "update", "f", "--expect-firmware", "U="},
          {"--telnet", "h", "update", "f", "--expect-firmware", "7.3", "--expect-firmware", "7.4"},
          {"--telnet", "h", "update", "f", "--expect-firmware", "U=1", "--expect-firmware", "U=2"},
          {"--telnet", "h", "identify", "--plan"},
          {"--telnet", "h", "log", "x", "--strict"}}) {
        CliOptions refused;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(bad, refused, error)) << bad.back();
    }
}

}  // namespace
