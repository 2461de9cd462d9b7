// Keyboard focus of the main window: the order Tab follows and where the focus goes when its control is lost.
#include "app/FocusRules.h"

#include <cstddef>
#include <initializer_list>

#include "app/ControlIds.h"

namespace {

const FocusCandidate* Find(const std::vector<FocusCandidate>& controls, int id) {
    for (const FocusCandidate& control : controls) {
        if (control.id == id) return &control;
    }
    return nullptr;
}

int FirstUsable(const std::vector<FocusCandidate>& controls, std::initializer_list<int> preferred) {
    for (int id : preferred) {
        const FocusCandidate* control = Find(controls, id);
        if (control && control->Usable()) return id;
    }
    return NextTabStop(controls, 0, false);
}

}  // namespace

const std::vector<int>& TabOrder() {
    // Read modem log... sits right of Cancel on its row, so it comes after it although it was made earlier.
    static const std::vector<int> order = {
        IdFirmwareEdit, IdBrowse,   IdComPortRadio, IdNetworkRadio, IdPortCombo,  IdRefresh, IdDiscoveredCombo,
        IdDiscover,     IdAddressEdit, IdTelnetPortEdit, IdConnect, IdStartUpdate, IdCancel, IdReadLog,
    };
    return order;
}

int NextTabStop(const std::vector<FocusCandidate>& controls, int current, bool backwards) {
    const std::size_t n = controls.size();
    if (n == 0) return 0;
    std::size_t start = n;  // not found: begin before the first (after the last) control
    for (std::size_t k = 0; k < n; ++k) {
        if (controls[k].id == current) start = k;
    }
    for (std::size_t step = 1; step <= n; ++step) {
        std::size_t k;
        if (start == n) {
            k = backwards ? n - step : step - 1;
        } else {
            k = backwards ? (start + n - step) % n : (start + step) % n;
        }
        if (controls[k].Usable()) return controls[k].id;
    }
    return 0;
}

int FocusAfterLoss(const std::vector<FocusCandidate>& controls, int lost, bool busy) {
    if (busy) {
        const FocusCandidate* cancel = Find(controls, IdCancel);
        if (cancel && cancel->Usable()) return IdCancel;
    }
    return NextTabStop(controls, lost, false);
}

int FocusAfterOperation(const std::vector<FocusCandidate>& controls, OperationKind kind, bool success) {
    if (!success) return FirstUsable(controls, {IdConnect});
    switch (kind) {
    case OperationKind::Connection:
        return FirstUsable(controls, {IdStartUpdate, IdBrowse, IdConnect});
    case OperationKind::LogDownload:
        return FirstUsable(controls, {IdReadLog, IdConnect});
    case OperationKind::Update:
        break;
    }
    return FirstUsable(controls, {IdConnect});
}
