// The station's eye on its ports: which ports match its patterns, and which came or went since the last look.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The ports that exist now and match one of `patterns` ("*" and "?" wildcards), sorted. POSIX: the paths the
// patterns name in the file system, character devices only (a link left behind by a vanished device is not
// a port); Windows: the serial ports the window lists, by name, without regard to case.
std::vector<std::string> ListMatchingPorts(const std::vector<std::string>& patterns);

// "*" matches any run of characters, "?" any one; `foldCase` compares ASCII letters without regard to case.
bool WildcardMatch(const std::string& pattern, const std::string& text, bool foldCase = false);

struct PortChange {
    enum class Kind { Appeared, Disappeared };
    Kind kind = Kind::Appeared;
    std::string port;
};

// Turns successive listings into appear and disappear events. A port appears once it has been listed at
// every look for the settle time (a USB adapter's node comes before its driver is ready, and a loose plug
// flickers); it disappears at the first look that misses it. Not thread-safe: one loop looks.
class PortWatch {
public:
    using Clock = std::chrono::steady_clock;
    using Lister = std::function<std::vector<std::string>()>;

    PortWatch(Lister lister, Clock::duration settle) : lister_(std::move(lister)), settle_(settle) {}

    // Lists the ports again as of `now` (the caller's clock, so that a test can drive it).
    std::vector<PortChange> Look(Clock::time_point now);
    // True when `port` has appeared and not disappeared since.
    bool Present(const std::string& port) const;

private:
    struct Seen {
        Clock::time_point since;
        bool appeared = false;
    };
    Lister lister_;
    Clock::duration settle_;
    std::map<std::string, Seen> seen_;
};
