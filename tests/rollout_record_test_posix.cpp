// The record as a journal, seen through the record file's seam: every line is handed over (written and synced)
// before the step it announces, and a line that cannot be synced starts nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rollout/Rollout.h"
#include "support/Simulator.h"

namespace {

// One log of what happened, in order: the record's lines as they were synced and the run's steps.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(entry);
    }
    // Where the first entry that starts with `prefix` is; entries.size() when there is none.
    size_t Find(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<size_t>(std::find_if(entries.begin(), entries.end(), [&](const std::string& entry) {
                                       return entry.rfind(prefix, 0) == 0;
                                   }) - entries.begin());
    }
};

// A record file that syncs nothing to a disk but says when each line was handed over; the line whose number
// is `failAt` (from 1) fails as a sync that the disk refused.
class TestRecordFile : public RecordFile {
public:
    TestRecordFile(Journal& journal, size_t failAt) : journal_(journal), failAt_(failAt) {}
    bool Append(const std::string& line, std::string& error) override {
        if (++count_ == failAt_) {
            error = "Cannot write the record test.jsonl: Input/output error";
            return false;
        }
        const size_t kind = line.find("\"event\":\"") + 9;
        const std::string event = line.substr(kind, line.find('"', kind) - kind);
        const size_t at = line.find("\"target\":\"");
        const std::string target = at == std::string::npos ? "" : line.substr(at + 10, line.find('"', at + 10) - at - 10);
        journal_.Add("synced " + event + (target.empty() ? "" : " " + target));
        return true;
    }

private:
    Journal& journal_;
    size_t failAt_;
    size_t count_ = 0;
};

// The steps of the run as its events tell them: each target's first transfer progress and its result.
class StepOutput : public RolloutOutput {
public:
    explicit StepOutput(Journal& journal) : journal_(journal) {}
    void Consume(const RolloutEvent& event) override {
        if (event.kind == RolloutEvent::Kind::Start) labels_ = event.start->labels;
        if (event.kind == RolloutEvent::Kind::Progress && event.counted) {
            journal_.Add("transfer " + labels_.at(event.index));
        }
        if (event.kind == RolloutEvent::Kind::Progress && event.stage == "Checking identity") {
            journal_.Add("identity " + labels_.at(event.index));
        }
        if (event.kind == RolloutEvent::Kind::Result) {
            journal_.Add(std::string("result ") + event.result->label + " " + StatusName(event.result->status) + " " +
                         ReasonName(event.result->reason));
        }
    }

private:
    Journal& journal_;
    std::vector<std::string> labels_;
};

class TestHost : public RolloutHost {
public:
    TestHost(Journal& journal, size_t failAt) : journal_(journal), failAt_(failAt) {}
    void AddOutputs(RolloutEvents& events, size_t) override { events.Add(std::make_unique<StepOutput>(journal_)); }
    bool CanAsk() override { return false; }
    Answer Ask(const std::string&) override { return Answer::No; }
    void ReportFault(const std::string& fault) override { faults.push_back(fault); }
    void SetCloser(std::function<int()>) override {}
    std::unique_ptr<RecordFile> OpenRecord(const std::string&, std::string&, bool&) override {
        return std::make_unique<TestRecordFile>(journal_, failAt_);
    }
    std::vector<std::string> faults;

private:
    Journal& journal_;
    size_t failAt_;
};

}  // namespace

TEST(RolloutRecord, EachLineIsSyncedBeforeItsStepAndAFailedSyncStartsNothingMore) {
    if (SimulatorPath().empty()) GTEST_SKIP() << "the simulator is not built";
    SimulatorProcess first, second;
    std::string error;
    ASSERT_TRUE(first.Start({}, error)) << error;
    ASSERT_TRUE(second.Start({}, error)) << error;
    const std::string a = "telnet 127.0.0.1:" + std::to_string(first.TelnetPort());
    const std::string b = "telnet 127.0.0.1:" + std::to_string(second.TelnetPort());
    const std::string image = first.LocalPath("fw.qz7");
    std::ofstream(image, std::ios::binary) << std::string(70000, 'x');

    RolloutRequest request;
    request.command = "update";
    request.path = image;
    request.yes = true;
    request.parallel = 1;
    request.recordPath = first.LocalPath("test.jsonl");
    for (const SimulatorProcess* sim : {&first, &second}) {
        RolloutTarget target;
        target.host = "127.0.0.1";
        target.port = sim->TelnetPort();
        request.targets.push_back(target);
    }
    {
        Journal journal;
        TestHost host(journal, 0);
        std::atomic<bool> cancel{false};
        EXPECT_EQ(RunRollout(request, host, cancel), 0);
        // The run line before any modem is asked anything; each start line before its target's first byte.
        EXPECT_EQ(journal.Find("synced run"), 0u);
        EXPECT_LT(journal.Find("synced run"), journal.Find("identity " + a));
        for (const std::string& target : {a, b}) {
            SCOPED_TRACE(target);
            ASSERT_LT(journal.Find("transfer " + target), journal.entries.size());
            EXPECT_LT(journal.Find("synced start " + target), journal.Find("transfer " + target));
            EXPECT_LT(journal.Find("result " + target + " ok"), journal.Find("synced record " + target));
        }
    }
    {
        // The second target's start line is refused by the disk: it does not start, nor does any after it,
        // and the run fails saying why.
        Journal journal;
        TestHost host(journal, 4);  // run, a's start, a's result, b's start
        std::atomic<bool> cancel{false};
        EXPECT_EQ(RunRollout(request, host, cancel), 1);
        EXPECT_LT(journal.Find("result " + a + " ok"), journal.entries.size());
        EXPECT_LT(journal.Find("result " + b + " not-started record"), journal.entries.size());
        EXPECT_EQ(journal.Find("transfer " + b), journal.entries.size());
        ASSERT_EQ(host.faults.size(), 1u);
        EXPECT_NE(host.faults[0].find("Input/output error"), std::string::npos);
        const std::string log = second.ReadLog();
        EXPECT_EQ(log.find("update requested"), log.rfind("update requested")) << "b was updated only by the first run";
    }
}
