// The system services a rollout uses: one implementation per platform (UTF-8 paths on both).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Reads a small text file (a target list) whole; false with a message.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);
// True when PATH names an existing folder.
bool IsFolder(const std::string& path);
// Creates the folder when it is missing; true when it exists afterwards.
bool EnsureFolder(const std::string& path, std::string& error);
// FOLDER + separator + NAME.
std::string JoinPath(const std::string& folder, const std::string& name);

// This machine's name, for the record of a run; "unknown" when it cannot be had.
std::string HostName();
// The time now in UTC as 2026-12-07T19:13:05Z.
std::string UtcNow();
// True when something (file, folder, link) exists at PATH.
bool PathExists(const std::string& path);
// Standard input whole (a target list given as "-"), at most 1 MiB; false with a message.
bool ReadStandardInput(std::string& text, std::string& error);
// Standard input without newline translation (Windows text mode would turn CR LF into LF).
void UseBinaryStandardInput();
// The serial port as the system names it: links followed on POSIX (/dev/modem -> /dev/ttyUSB0), the
// device prefix dropped and the name in capitals on Windows (\\.\com3 -> COM3); PORT itself when that fails.
std::string RealSerialPath(const std::string& port);
