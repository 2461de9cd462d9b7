// What the window tells Windows when a logoff or shutdown comes while it works with the modem.
#pragma once

#include <string>

#include "app/Records.h"

// The reason Windows shows while the operation holds a logoff or shutdown back; empty for an operation that
// need not hold it (a connection attempt ends by itself within seconds and changes nothing on the modem).
std::wstring SessionEndBlockReason(OperationKind kind);
