// The Telnet connect against a loopback listener whose backlog is full, so that a connect never completes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "support/Watchdog.h"
#include "transport/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listener that never accepts, its backlog filled by connects of our own: later connects get no answer.
class FullListener {
public:
    FullListener() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        for (int& client : fillers_) {
            client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        usleep(200000);
    }
    ~FullListener() {
        for (int client : fillers_) close(client);
        close(listener_);
    }
    unsigned short Port() const { return port_; }

private:
    int listener_ = -1;
    int fillers_[4] = {-1, -1, -1, -1};
    unsigned short port_ = 0;
};

// A connect that never completes ends on the cancel flag well before its bound, and on its own bound when
// one was set, not on a fixed one.
TEST(TelnetConnect, EndsOnCancelAndOnTheBoundThatWasSet) {
    FullListener listener;
    ASSERT_NE(listener.Port(), 0);
    std::atomic<bool> cancel{false};
    auto link = CreateTelnetTransport("127.0.0.1", listener.Port(), &cancel);
    link->SetConnectTimeout(60000);
    std::string error;
    Clock::time_point start = Clock::now();
    {
        Watchdog canceller(300, [&cancel] { cancel = true; });
        EXPECT_FALSE(link->Open(error));
    }
    EXPECT_EQ(link->LastFailure(), LinkFailure::Cancelled);
    EXPECT_EQ(error, "Cancelled while connecting to 127.0.0.1:" + std::to_string(listener.Port()));
    EXPECT_LT(MsSince(start), 1300);

    cancel = false;
    link->SetConnectTimeout(800);
    start = Clock::now();
    EXPECT_FALSE(link->Open(error));
    EXPECT_EQ(link->LastFailure(), LinkFailure::TimedOut) << error;
    EXPECT_GE(MsSince(start), 700);
}

}  // namespace
