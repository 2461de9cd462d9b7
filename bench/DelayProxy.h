// A loopback TCP relay that holds every byte for a fixed time each way, at a limited rate if asked: a slow link.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DelayProxy {
public:
    static constexpr const char* kFrameTurn = "frame";
    // What passed through, over all connections so far.
    struct Tally {
        // The tool's turns: bursts from the tool that follow something from the modem (or open a connection).
        int turns = 0;
        // The tool's first bytes of each turn, rendered printable, for seeing which exchange costs a round trip;
        // kFrameTurn for a turn that opens with a piece of 256 bytes or more.
        std::vector<std::string> turnStarts;
        unsigned long long toModem = 0, toTool = 0;
        int connections = 0;
    };

    DelayProxy() = default;
    ~DelayProxy() { Stop(); }
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // Listens on 127.0.0.1 (a free port) and relays each client to 127.0.0.1:targetPort, every byte held
    // `delay` in each direction (a round trip of twice that). The connection to the target is made when the
    // client's, and a close is passed on after the bytes before it.
    bool Start(unsigned short targetPort, std::chrono::milliseconds delay, std::string& error);
    // Before Start: each direction carries at most this many bytes a second (0: no limit). The relay then reads
    // only as fast as it passes bytes on and keeps a small receive buffer, so that what the link has not carried
    // yet waits in the sender's queue, as on a slow line.
    void SetRate(unsigned long long bytesPerSecond) { rate_ = bytesPerSecond; }
    void Stop();
    unsigned short Port() const { return port_; }
    Tally Take();  // the tally so far, then zero
    // Waits (up to `limit`) until every connection has been closed on both sides.
    bool WaitIdle(std::chrono::milliseconds limit) const;

private:
    void Loop();

    unsigned short targetPort_ = 0;
    unsigned short port_ = 0;
    std::chrono::milliseconds delay_{0};
    unsigned long long rate_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::atomic<int> open_{0};
    std::thread thread_;
    std::mutex mutex_;
    Tally tally_;
};
