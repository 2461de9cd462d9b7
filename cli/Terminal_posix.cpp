// Console services of the command-line front end on POSIX: arguments, terminal queries, prompt input.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "cli/Interrupt.h"
#include "cli/Terminal.h"

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

bool ReadInputLine(std::string& line) {
    // The prompt runs on the worker, which signals do not interrupt: give up the wait as soon as one came.
    for (;;) {
        if (StopCount() > 0) return false;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 100) != 0) break;
    }
    if (!std::getline(std::cin, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool EnableTerminalEscapes() { return true; }

bool IsStandardOutput(const std::string& path) {
    struct stat named {}, out {};
    if (::stat(path.c_str(), &named) != 0 || ::fstat(STDOUT_FILENO, &out) != 0) return false;
    return named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}
