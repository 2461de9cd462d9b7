// Console services of the command-line front end on POSIX: termios-free, signal-based.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

#include "cli/Terminal.h"

namespace {
std::atomic<bool>* g_interruptFlag = nullptr;
volatile sig_atomic_t g_interrupts = 0;

void OnInterrupt(int) {
    g_interrupts = g_interrupts + 1;
    if (g_interrupts > 1) _exit(130);
    if (g_interruptFlag != nullptr) g_interruptFlag->store(true);
}
}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

bool StartNetworking() {
    // A modem that drops the link must show up as a failed send, not kill the process.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void StopNetworking() {}

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
    return 80;
}

void InstallInterruptHandler(std::atomic<bool>* flag) {
    g_interruptFlag = flag;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked prompt read returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool ReadInputLine(std::string& line) {
    if (!std::getline(std::cin, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}
