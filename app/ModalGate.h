// When the main window may be closed: never while one of its own boxes or dialogs runs a message loop.
#pragma once

// A box or file dialog of the window thread runs a message loop of its own, in which a WM_CLOSE (sent from
// another program, or posted by a discovery pass that completes a pending close) would destroy the window
// and free the controller while the member function that opened the box still runs. The gate holds such a
// close until the last open box has been answered; the controller then issues it again as a posted
// message, which the message loop delivers after that member function has returned.
class ModalGate {
public:
    // A box or dialog opens.
    void Open();
    // That box has been answered. True when it was the last one open and a close came meanwhile: that
    // close is handed back (once) to be issued again.
    bool Shut();
    // A close request: true when the close rules may run now, false when a box is open (the close is kept).
    bool AdmitClose();
    // The close question has been answered: a close that came while it was open is the same request.
    void DropHeldClose();

private:
    int depth = 0;
    bool held = false;
};

// What a close request that may run does: asked while an operation runs (`answeredYes` is the answer to
// "Cancel it and close?", and true when nobody was asked). The operation may have ended while the question
// was open (its result is applied inside the box): then nothing is left to cancel or wait for.
enum class CloseAction { Stay, CancelThenClose, CloseAfterDiscovery, CloseNow };
CloseAction DecideClose(bool answeredYes, bool operationRunning, bool discoveryRunning);
