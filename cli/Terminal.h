// Console services of the command-line front end: one implementation per platform.
#pragma once

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
// One line from stdin without its line end; false at end of input.
bool ReadInputLine(std::string& line);
// True when PATH names this process's standard output (/dev/stdout, /dev/fd/1, or the very file it is).
bool IsStandardOutput(const std::string& path);
// Lets the terminal on stderr take the cursor movements of the live lines; false when it cannot.
bool EnableTerminalEscapes();
