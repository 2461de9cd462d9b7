// The records that workers post to the main window: progress, operation results and discovery passes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/Discovery.h"

enum class OperationKind : std::int32_t {
    Connection = 0,
    Update = 1,
    LogDownload = 2,
};

// WM_APP + 1: one progress report of a worker, texts already converted for the window.
struct ProgressUpdate {
    std::int32_t percent = 0;
    std::wstring stage;
    std::wstring detail;
    std::wstring connectedTo;  // the checked modem's model and firmware, once a connection is made; else empty
};

// WM_APP + 2: the end of a connection, update or log download.
struct OperationResult {
    std::int32_t kind = 0;  // an OperationKind
    bool success = false;
    // An update's transfer as such, so that the window never decides on the text it shows: a fast transfer's
    // success means the modem verified the whole image; a legacy one's that it acknowledged every block.
    bool legacy = false;
    std::wstring text;
};

// WM_APP + 3: what one discovery pass heard.
struct DiscoveryMessage {
    std::vector<DiscoveredModem> modems;  // in arrival order
    std::wstring error;                   // empty unless the pass failed
    bool background = false;              // timer pass (ages the list) or Discover command
};
