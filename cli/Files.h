// Small file and terminal services of brisklode-cli: one implementation per platform (UTF-8 paths on both).
#pragma once

#include <string>

// Reads a small text file (a target list) whole; false with a message.
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);
// Creates the folder when it is missing; true when it exists afterwards.
bool EnsureFolder(const std::string& path, std::string& error);
// FOLDER + separator + NAME.
std::string JoinPath(const std::string& folder, const std::string& name);

// Lets the terminal on stderr take the cursor movements of the live lines; false when it cannot.
bool EnableTerminalEscapes();
