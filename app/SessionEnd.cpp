// What the window tells Windows when a logoff or shutdown comes while it works with the modem.
#include "app/SessionEnd.h"

std::wstring SessionEndBlockReason(OperationKind kind) {
    switch (kind) {
    case OperationKind::Update:
        return L"Firmware update in progress: turning off now may leave the modem without working firmware";
    case OperationKind::LogDownload:
        return L"Reading the modem log: turning off now loses the log";
    case OperationKind::Connection:
        break;
    }
    return L"";
}
