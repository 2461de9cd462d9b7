// Console services of the command-line front end: one implementation per platform.
#pragma once

#include <atomic>
#include <string>
#include <vector>

// The arguments after the program name, as UTF-8.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Socket library start-up and clean-up (Winsock needs them; elsewhere nothing to do).
bool StartNetworking();
void StopNetworking();
bool StdinIsTerminal();
bool StderrIsTerminal();
// Width of the terminal on stderr; 80 when unknown.
int TerminalColumns();
// Ctrl-C sets *flag (which the transfers poll); a second Ctrl-C ends the process at once with 130.
void InstallInterruptHandler(std::atomic<bool>* flag);
// One line from stdin without its line end; false at end of input.
bool ReadInputLine(std::string& line);
