// When the main window may be closed: never while one of its own boxes or dialogs runs a message loop.
#include "app/ModalGate.h"

void ModalGate::Open() {
    ++depth;
}

bool ModalGate::Shut() {
    if (depth > 0) --depth;
    if (depth > 0 || !held) return false;
    held = false;
    return true;
}

bool ModalGate::AdmitClose() {
    if (depth == 0) return true;
    held = true;
    return false;
}

void ModalGate::DropHeldClose() {
    held = false;
}

CloseAction DecideClose(bool answeredYes, bool operationRunning, bool discoveryRunning) {
    if (!answeredYes) return CloseAction::Stay;
    if (operationRunning) return CloseAction::CancelThenClose;
    if (discoveryRunning) return CloseAction::CloseAfterDiscovery;
    return CloseAction::CloseNow;
}
