// Where the window saves a modem log: replacing only a file the dialog asked about, else the first free name.
#pragma once

#include <string>

#include "transport/File.h"

// How a log goes to the name the save dialog chose. `existed`: a file of that name was there when the dialog
// closed, so the dialog asked before replacing it, and a complete log replaces it. Otherwise the name was new:
// the log replaces nothing, and if a file took the name meanwhile (a second technician, the same default name
// on a share) it takes the next free one ("name-2.log", "name-3.log", ...).
struct LogSavePlan {
    bool replace = false;
    NewFileNames names;
};
LogSavePlan PlanLogSave(const std::wstring& chosen, bool existed);

// The window's line for a saved log: where it went, and when that is not the chosen name, why.
std::wstring LogSavedText(const std::wstring& chosen, const std::wstring& savedAs, bool legacy);
