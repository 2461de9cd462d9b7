// Keyboard focus of the main window: the order Tab follows and where the focus goes when its control is lost.
#pragma once

#include <vector>

#include "app/Records.h"

// One control that can take the focus, as it is now.
struct FocusCandidate {
    int id;
    bool enabled;
    bool visible;
    bool Usable() const { return enabled && visible; }
};

// The controls that Tab visits, in reading order: top to bottom, left to right.
const std::vector<int>& TabOrder();

// The next usable control after `current` (the previous one when `backwards`), wrapping around; with
// `current` not in the list (0: nothing focused) the first (last) usable one. 0 when none is usable.
// `controls` are in TabOrder.
int NextTabStop(const std::vector<FocusCandidate>& controls, int current, bool backwards);

// The control that had the focus was disabled or hidden: while busy Cancel takes it, otherwise the next
// usable control after it. 0 when none is usable.
int FocusAfterLoss(const std::vector<FocusCandidate>& controls, int lost, bool busy);

// An operation has ended and the controls are idle again: the control for the user's next likely step
// (Start update after a connection, Read modem log... after a saved log, Connect modem after an update or
// a failure), or the first usable one.
int FocusAfterOperation(const std::vector<FocusCandidate>& controls, OperationKind kind, bool success);
