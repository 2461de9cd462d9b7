// The order and display texts of the COM port list: the maker's own ports first, two display fixes.
#pragma once

#include <string>
#include <vector>

#include "transport/Transport.h"

// Stable: records whose display name mentions the maker (any letter case) move to the front.
void OrderSerialPorts(std::vector<SerialPortInfo>& ports);

// The text a port is listed with: a leading "=" before the maker's name is dropped and the first
// misspelt "Torivanix" reads "Torvanix". The record itself stays as enumerated.
std::wstring PortDisplayText(const std::wstring& displayName);

// The entry to select after the list was refilled: the port named `remembered` (exact match) if it
// is still there, else the first one; -1 for an empty list.
int PortSelectionIndex(const std::vector<SerialPortInfo>& ports, const std::wstring& remembered);
