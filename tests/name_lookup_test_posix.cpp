// A Telnet link's name lookup against a name server of the test's own that reads every query and answers none.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "transport/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool WriteFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// In a mount namespace of this process only, /etc becomes a scratch folder whose resolver configuration
// names 127.0.0.77, where a socket of ours reads queries and never answers. Empty on success, else why not.
std::string SetUpSilentNameServer(int& server) {
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "making / private failed";
    if (mount("none", "/etc", "tmpfs", 0, nullptr) != 0) return std::string("tmpfs on /etc: ") + std::strerror(errno);
    // One try with a long timeout: the resolver alone would hold the lookup for 30 s.
    if (!WriteFile("/etc/resolv.conf", "nameserver 127.0.0.77\noptions timeout:30 attempts:1\n") ||
        !WriteFile("/etc/nsswitch.conf", "hosts: dns\n") || !WriteFile("/etc/hosts", "")) {
        return "cannot write the resolver configuration";
    }
    server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.77", &address.sin_addr);
    if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return std::string("cannot listen at 127.0.0.77:53: ") + std::strerror(errno);
    }
    return {};
}

// Runs in a child of its own (the mount namespace must not reach the rest of the suite). Empty when every
// expectation held.
std::string LookupsAgainstASilentServer() {
    int server = -1;
    const std::string setUp = SetUpSilentNameServer(server);
    if (!setUp.empty()) return "set-up: " + setUp;
    std::string failures;
    std::string error;

    // Cancel: the lookup ends within a slice of the flag, not when the resolver gives up.
    std::atomic<bool> cancel{false};
    auto cancelled = CreateTelnetTransport("modem7.site.invalid", 3000, &cancel);
    cancelled->SetConnectTimeout(60000);
    Clock::time_point setAt{};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        setAt = Clock::now();
        cancel = true;
    });
    const bool opened = cancelled->Open(error);
    const Clock::time_point ended = Clock::now();
    canceller.join();
    const long long afterCancel = std::chrono::duration_cast<std::chrono::milliseconds>(ended - setAt).count();
    if (opened || cancelled->LastFailure() != LinkFailure::Cancelled) {
        failures += "cancel: not a cancelled failure (" + error + "); ";
    }
    if (afterCancel > 1500) failures += "cancel: Open ended " + std::to_string(afterCancel) + " ms after the flag; ";

    // Bound: without a cancel, the connect timeout ends the lookup.
    auto bounded = CreateTelnetTransport("modem8.site.invalid", 3000);
    bounded->SetConnectTimeout(700);
    const Clock::time_point start = Clock::now();
    const bool boundedOpened = bounded->Open(error);
    const long long took = MsSince(start);
    if (boundedOpened || bounded->LastFailure() != LinkFailure::TimedOut) {
        failures += "bound: not a timed-out failure (" + error + "); ";
    }
    if (took < 600 || took > 5000) failures += "bound: Open took " + std::to_string(took) + " ms for a 700 ms bound; ";

    // The resolver did ask our server: the waits above were lookups, not a configuration that failed at once.
    pollfd entry{server, POLLIN, 0};
    unsigned char query[512];
    if (poll(&entry, 1, 0) != 1 || recv(server, query, sizeof query, 0) <= 0) failures += "no query reached the server; ";
    return failures;
}

TEST(NameLookup, ANameServerThatNeverAnswersHoldsTheLinkOnlyUntilCancelOrTheConnectTimeout) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child's word, for the parent: a set-up that cannot be made here is a skip, not a pass.
    char report[] = "/tmp/brisklode-lookup-XXXXXX";
    const int reportFd = mkstemp(report);
    ASSERT_GE(reportFd, 0);
    close(reportFd);
    int status = -1;
    EXPECT_EXIT(
        {
            alarm(60);
            const std::string failures = LookupsAgainstASilentServer();
            WriteFile(report, failures);
            std::_Exit(failures.empty() ? 0 : 1);
        },
        [&status](int exitStatus) {
            status = exitStatus;
            return true;
        },
        "");
    FILE* file = std::fopen(report, "r");
    std::string failures;
    char buffer[512];
    while (file != nullptr && std::fgets(buffer, sizeof buffer, file) != nullptr) failures += buffer;
    if (file != nullptr) std::fclose(file);
    unlink(report);
    if (failures.rfind("set-up: ", 0) == 0) GTEST_SKIP() << failures;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status << ": " << failures;
}

}  // namespace
