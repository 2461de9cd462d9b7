// Fault matrix: every step of both updates and both log transfers, over Telnet and a pseudo-terminal, with the
// simulated modem dropping the link, stalling, answering a wrong byte or ESC at that step.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/Console.h"
#include "modemlog/ModemLog.h"
#include "support/SerialPty.h"
#include "support/Simulator.h"
#include "transport/Transport.h"
#include "update/Update.h"

namespace {

enum class Operation { FastUpdate, LegacyUpdate, FastLog, LegacyLog };
enum class Link { Telnet, Pty };

const char* OperationName(Operation op) {
    switch (op) {
    case Operation::FastUpdate: return "fast update";
    case Operation::LegacyUpdate: return "legacy update";
    case Operation::FastLog: return "fast log";
    default: return "legacy log";
    }
}

constexpr const char* kClosed = "The modem closed the Telnet connection";
// A deadline's message: the wait and the step.
std::string NoAnswer(const std::string& wait, const std::string& step) {
    return "No answer from the modem within " + wait + " while waiting for " + step;
}
std::string Partly(const std::string& counts, const std::string& wait, const std::string& step) {
    return "Only " + counts + " bytes from the modem within " + wait + " while waiting for " + step;
}
// An update's link lost at a step says which.
std::string Lost(const std::string& step) { return "Link lost while waiting for " + step + ": " + kClosed; }

// Three frames (fast: 65,536 + 65,536 + 256 bytes; legacy: three blocks) and three log pieces, so that
// a middle and a last piece exist at every data step.
constexpr std::size_t kFastImage = 2 * 65536 + 256;
constexpr std::size_t kLegacyImage = 3 * 256;
const char* const kFastLogSize = "131172";  // 65,536 + 65,536 + 100
const char* const kLegacyLogSize = "700";   // three blocks

struct Cell {
    Operation op;
    std::string step;     // wire step as the table names it
    std::string fault;    // drop, stall, wrong byte, ESC
    std::string knob;     // --fault value, empty for the tool's own ESC (cancellation)
    std::string telnetMessage;
    std::string ptyMessage;       // where a silent pty gives another message than a closed socket
    int limitMs = 0;              // the step's deadline; the cell must end within it plus a margin
    std::string allowedAfter;     // an rx line the tool legitimately sends after the fault (its own ESC)
    bool cancel = false;          // the user cancels after the first piece
    std::string marker() const { return knob.empty() ? "rx <27> log transfer ended by the tool" : "event fault: "; }
};

struct Outcome {
    Link link = Link::Telnet;
    const Cell* cell = nullptr;
    std::string message;
    long long elapsedMs = 0;
    std::vector<std::string> problems;
};

std::vector<Cell> Matrix() {
    std::vector<Cell> cells;
    auto add = [&](Operation op, std::string step, std::string fault, std::string knob, std::string telnet,
                   std::string pty, int limitMs) {
        Cell cell{op, std::move(step), std::move(fault), std::move(knob), std::move(telnet), std::move(pty),
                  limitMs, std::string(), false};
        if (cell.ptyMessage.empty()) cell.ptyMessage = cell.telnetMessage;
        cells.push_back(cell);
        return &cells.back();
    };
    for (Operation op : {Operation::FastUpdate, Operation::LegacyUpdate}) {
        const bool fast = op == Operation::FastUpdate;
        const std::string prompt = fast ? "2 in: after UPDFAST" : "2 in: after UPDATE";
        // After the request a drop or a stall is no refusal: the transfer failed there, whichever it was.
        const std::string request = fast ? "fast-update request" : "legacy update request";
        const std::string echo = std::string(fast ? "UPDFAST" : "UPDATE") + "<CR><LF>";
        const std::string noMarker = ": no \"Send handshake sequence\" within 5 s (received: ";
        const std::string stopped = "The modem stopped answering the " + request + noMarker + echo + ")";
        add(op, prompt, "drop", "prompt:drop", Lost("the answer to the " + request), stopped, 5000);
        add(op, prompt, "stall", "prompt:stall", stopped, "", 5000);
        add(op, prompt, "wrong byte", "prompt:byte:65",
            "Unexpected answer to the " + request + noMarker + echo + "Aend handshake sequence)", "", 5000);
        const std::string header = "the update header";
        add(op, "4 in: header", "drop", "header:drop", Lost(header), NoAnswer("5 s", header), 5000);
        add(op, "4 in: header", "stall", "header:stall", NoAnswer("5 s", header), "", 5000);
        add(op, "4 in: header", "wrong byte", "header:byte:32", "Unexpected modem update header", "", 5000);
        add(op, "4 in: header", "ESC", "header:esc", "Unexpected modem update header", "", 5000);
        const std::string size = "the answer to the block count";
        add(op, "7 in: size verdict", "drop", "size:drop", Lost(size), NoAnswer("5 s", size), 5000);
        add(op, "7 in: size verdict", "stall", "size:stall", NoAnswer("5 s", size), "", 5000);
        add(op, "7 in: size verdict", "wrong byte", "size:byte:21", "Modem rejected the firmware size", "", 5000);
        add(op, "7 in: size verdict", "ESC", "size:esc", "Modem rejected the firmware size", "", 5000);
        const std::string middle = fast ? "9 in: verdict, frame 2/3" : "9 in: verdict, block 2/3";
        const std::string second = fast ? "the verdict on frame 2 of 3" : "the verdict on block 2 of 3";
        add(op, middle, "drop", "verdict:2:drop", Lost(second), NoAnswer("10 s", second), 10000);
        add(op, middle, "stall", "verdict:2:stall", NoAnswer("10 s", second), "", 10000);
        add(op, middle, "wrong byte", "verdict:2:byte:21", "Unexpected modem response during update", "", 10000);
        add(op, middle, "ESC", "verdict:2:esc", "Modem rejected a transfer frame", "", 10000);
        const std::string last = fast ? "9 in: verdict, last (verified)" : "9 in: verdict, last block";
        const std::string third = fast ? "the modem's verdict on the whole image" : "the verdict on block 3 of 3";
        const int lastLimit = fast ? 30000 : 10000;
        const std::string lastWait = fast ? "30 s" : "10 s";
        add(op, last, "drop", "verdict:3:drop", Lost(third), NoAnswer(lastWait, third), lastLimit);
        add(op, last, "stall", "verdict:3:stall", NoAnswer(lastWait, third), "", lastLimit);
        add(op, last, "wrong byte", "verdict:3:byte:21", "Unexpected modem response during update", "", lastLimit);
        add(op, last, "ESC", "verdict:3:esc", fast ? "Checksum ERROR on Modem" : "Modem rejected a transfer frame", "",
            lastLimit);
    }
    for (Operation op : {Operation::FastLog, Operation::LegacyLog}) {
        const bool fast = op == Operation::FastLog;
        const std::string noBanner = "The modem did not start its log-download protocol (SYS LOG GETFAST<CR><LF>)";
        add(op, "2 in: banner", "drop", "banner:drop", kClosed, noBanner, 5000);
        add(op, "2 in: banner", "stall", "banner:stall", noBanner, "", 5000);
        add(op, "2 in: banner", "wrong byte", "banner:byte:65",
            std::string("The modem did not start its log-download protocol (SYS LOG GETFAST<CR><LF>") +
                (fast ? "Aystem log fast download." : "Aystem log download.") + "<CR><LF>press <ESC> to exit.<CR><LF>)",
            "", 5000);
        const std::string size = fast ? "4 in: log size" : "4 in: block count";
        const std::string sizeStep = fast ? "the log size" : "the log's block count";
        add(op, size, "drop", "logsize:drop", kClosed, NoAnswer("5 s", sizeStep), 5000);
        add(op, size, "stall", "logsize:stall", NoAnswer("5 s", sizeStep), "", 5000);
        if (fast) {
            // The size field's first byte becomes 0x20: 0x20020064 = 537,002,084 bytes, past the cap; the tool answers ESC.
            Cell* refused = add(op, size, "wrong byte", "logsize:byte:32",
                                "The modem reported an implausible log size of 537002084 bytes", "", 5000);
            refused->allowedAfter = "rx <27> the tool refused the announced size";
        }
        const int pieceLimit = fast ? 15000 : 5000;
        const std::string pieceWait = fast ? "15 s" : "5 s";
        // The modem stops halfway through the piece.
        const std::string middle = fast ? "6 in: chunk 2/3" : "6 in: block 2/3";
        const std::string middlePartly =
            Partly(fast ? "32768 of 65536" : "128 of 256", pieceWait, fast ? "log chunk 2 of 3" : "log block 2 of 3");
        add(op, middle, "drop", "chunk:2:drop", kClosed, middlePartly, pieceLimit);
        add(op, middle, "stall", "chunk:2:stall", middlePartly, "", pieceLimit);
        Cell* cancelled = add(op, fast ? "7 out: ACK/ESC" : "8 out: ESC on cancel", "ESC", "",
                              "Log download cancelled", "", pieceLimit);
        cancelled->cancel = true;
        const std::string last = fast ? "6 in: chunk 3/3" : "6 in: block 3/3";
        const std::string lastPartly =
            Partly(fast ? "50 of 100" : "128 of 256", pieceWait, fast ? "log chunk 3 of 3" : "log block 3 of 3");
        add(op, last, "drop", "chunk:3:drop", kClosed, lastPartly, pieceLimit);
        add(op, last, "stall", "chunk:3:stall", lastPartly, "", pieceLimit);
    }
    return cells;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

std::unique_ptr<ITransport> MakeLink(Link link, const SimulatorProcess& sim) {
    if (link == Link::Telnet) return CreateTelnetTransport("127.0.0.1", sim.TelnetPort());
    return CreateSerialTransport(Utf8ToWide(sim.SerialDevice()));
}

// The lines the simulator logged after `marker` and before the link was closed: every rx line there is
// something the tool sent after the failure.
std::vector<std::string> LinesReceivedAfter(const std::string& log, const std::string& marker,
                                            const std::string& disconnect, bool& markerSeen) {
    std::vector<std::string> received;
    std::istringstream lines(log);
    std::string line;
    markerSeen = false;
    while (std::getline(lines, line)) {
        if (!markerSeen) {
            markerSeen = line.find(marker) != std::string::npos;
            continue;
        }
        if (line.find(disconnect) != std::string::npos) break;
        if (line.rfind("rx ", 0) == 0) received.push_back(line);
    }
    return received;
}

void RunCell(const Cell& cell, Link linkKind, Outcome& out) {
    out.link = linkKind;
    out.cell = &cell;
    auto problem = [&](const std::string& text) { out.problems.push_back(text); };

    SimulatorProcess sim;
    std::vector<std::string> args = {"--telnet-offers", "none", "--image-file", sim.NativePath("image.bin")};
    if (linkKind == Link::Pty) args.push_back("--serial");
    if (!cell.knob.empty()) {
        args.push_back("--fault");
        args.push_back(cell.knob);
    }
    const bool update = cell.op == Operation::FastUpdate || cell.op == Operation::LegacyUpdate;
    if (!update) {
        const bool fast = cell.op == Operation::FastLog;
        args.insert(args.end(), {"--log-mode", fast ? "fast" : "legacy", "--log-size",
                                 fast ? kFastLogSize : kLegacyLogSize});
    }
    std::string error;
    if (!sim.Start(args, error)) {
        problem("simulator did not start: " + error);
        return;
    }

    // A log file from an earlier download must survive a failed one untouched.
    const std::string outPath = sim.LocalPath("saved.log");
    const std::string previous = "log of an earlier download\r\n";
    {
        std::ofstream(outPath, std::ios::binary) << previous;
    }

    std::unique_ptr<ITransport> link = MakeLink(linkKind, sim);
    if (!link->Open(error)) {
        problem("cannot open the link: " + error);
        return;
    }
    std::atomic<bool> cancel{false};
    bool reportedSuccess = false;
    const ProgressCallback progress = [&](int percent, const std::string& stage, const std::string& detail) {
        if (percent >= 100 || stage == "Checksum OK on Modem" || stage == "Legacy transfer complete") {
            reportedSuccess = true;
        }
        // The user cancels as soon as the first piece has arrived.
        if (cell.cancel && (detail == "Received 65536 / 131172 bytes" || detail == "Received 256 / 768 bytes")) {
            cancel = true;
        }
    };

    const auto started = std::chrono::steady_clock::now();
    bool succeeded = false;
    int code = -1;
    switch (cell.op) {
    case Operation::FastUpdate: {
        const std::vector<unsigned char> firmware(kFastImage, 0x5A);
        code = RunFastUpdate(*link, firmware, cancel, progress, out.message);
        succeeded = code == static_cast<int>(UpdateResult::Installed);
        // Not even a fault right after the request is the modem's word on its firmware.
        const int expected = static_cast<int>(UpdateResult::Failed);
        if (code != expected) problem("result " + std::to_string(code) + ", expected " + std::to_string(expected));
        break;
    }
    case Operation::LegacyUpdate: {
        const std::vector<unsigned char> firmware(kLegacyImage, 0xA5);
        succeeded = RunLegacyUpdate(*link, firmware, cancel, progress, out.message);
        break;
    }
    default: {
        std::vector<unsigned char> log;
        code = DownloadModemLog(*link, log, cancel, progress, out.message);
        succeeded = code != static_cast<int>(LogDownloadResult::Failed);
        // What the window does with the result: save only a completed download.
        if (succeeded) {
            std::string saveError;
            SaveModemLogFile(Utf8ToWide(outPath), log, saveError);
        }
        if (!log.empty()) problem("a failed download left " + std::to_string(log.size()) + " log bytes");
        break;
    }
    }
    out.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();

    if (succeeded) problem("reported success");
    if (reportedSuccess) problem("progress reported completion");
    const std::string& expected = linkKind == Link::Telnet ? cell.telnetMessage : cell.ptyMessage;
    if (out.message != expected) problem("message \"" + out.message + "\", expected \"" + expected + "\"");
    // The step's own limit, plus the menu return before it and a generous margin for a loaded machine.
    if (out.elapsedMs > cell.limitMs + 8000) problem("took " + std::to_string(out.elapsedMs) + " ms");

    link->Close();
    link.reset();
    const std::string disconnect =
        linkKind == Link::Telnet ? "event client disconnected" : "event the serial device was closed";
    if (!sim.WaitForLog(disconnect, 5000)) problem("the simulator did not see the link close");
    bool markerSeen = false;
    for (const std::string& line : LinesReceivedAfter(sim.ReadLog(), cell.marker(), disconnect, markerSeen)) {
        if (cell.allowedAfter.empty() || line.find(cell.allowedAfter) == std::string::npos) {
            problem("sent after the failure: " + line);
        }
    }
    if (!markerSeen) problem("the fault never happened (no \"" + cell.marker() + "\" in the simulator log)");
    if (FileExists(sim.LocalPath("image.bin"))) problem("the modem stored an image");
    if (ReadFile(outPath) != previous) problem("the earlier log file was changed");

    // The modem is usable again from a fresh connection.
    std::unique_ptr<ITransport> fresh = MakeLink(linkKind, sim);
    ModemIdentity identity;
    if (!fresh->Open(error) || !CheckModemIdentity(*fresh, identity, error)) {
        problem("identity check afterwards failed: " + error);
    } else if (identity.firmware != "7.2") {
        problem("identity afterwards: firmware " + identity.firmware);
    }
    fresh->Close();
    sim.Stop();
}

std::string Pad(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

TEST(FaultMatrix, EveryStepAndFaultEndsCleanlyOverTelnetAndSerial) {
    if (SimulatorPath().empty()) GTEST_SKIP() << "simulator not available";
    if (!PseudoTerminalsAvailable()) GTEST_SKIP() << "the fault matrix runs in the native build";

    const std::vector<Cell> cells = Matrix();
    std::vector<Outcome> outcomes(cells.size() * 2);
    std::atomic<std::size_t> next{0};
    // Most cells wait out a deadline; many at once keep the whole matrix to about a minute.
    const unsigned workers = 24;
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (std::size_t i = next++; i < outcomes.size(); i = next++) {
                RunCell(cells[i / 2], i % 2 == 0 ? Link::Telnet : Link::Pty, outcomes[i]);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::ostringstream table;
    table << Pad("operation", 14) << Pad("step", 32) << Pad("fault", 11) << Pad("link", 7) << Pad("ms", 7)
          << "message\n";
    for (const Outcome& outcome : outcomes) {
        const Cell& cell = *outcome.cell;
        table << Pad(OperationName(cell.op), 14) << Pad(cell.step, 32) << Pad(cell.fault, 11)
              << Pad(outcome.link == Link::Telnet ? "telnet" : "pty", 7) << Pad(std::to_string(outcome.elapsedMs), 7)
              << outcome.message << (outcome.problems.empty() ? "" : "   <-- FAILED") << "\n";
    }
    std::printf("%s", table.str().c_str());

    for (const Outcome& outcome : outcomes) {
        for (const std::string& text : outcome.problems) {
            ADD_FAILURE() << OperationName(outcome.cell->op) << " / " << outcome.cell->step << " / "
                          << outcome.cell->fault << " / " << (outcome.link == Link::Telnet ? "telnet" : "pty")
                          << ": " << text;
        }
    }
}

}  // namespace
