// The main window's geometry at any display scale: control places, header band, banner, fonts, outer size.
#pragma once

#include <vector>

// The scale at which every value below is written: 100 %.
constexpr int kBaseDpi = 96;

// value x dpi / 96, rounded half away from zero as the system's MulDiv rounds.
int ScaleForDpi(int value, int dpi);

// The controls that Layout places, in its order.
enum class Slot {
    TitlePrefix,
    Title,
    Subtitle,
    Logo,
    Company,
    FirmwareLabel,
    FirmwareEdit,
    Browse,
    ConnectionLabel,
    ComPort,
    Network,
    PortLabel,
    PortCombo,
    Refresh,
    DiscoveredLabel,
    DiscoveredCombo,
    Discover,
    AddressLabel,
    AddressEdit,
    TelnetPortLabel,
    TelnetPortEdit,
    Connect,
    ConnectionState,
    StartUpdate,
    Cancel,
    ReadLog,
    Progress,
    Status,
    Log,
};

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    int Right() const { return x + width; }
    int Bottom() const { return y + height; }
};

struct Placement {
    Slot slot;
    Box box;
};

// Every control's place in a client area a x b at `dpi`. `titleWidth` is the measured width of the title
// prefix at that dpi (TitlePrefixFallback when it cannot be measured). Widths are not clamped; the log box's
// height has a floor. Combo boxes get the height of their field plus the open list.
std::vector<Placement> LayoutControls(int a, int b, int titleWidth, int dpi);
int TitlePrefixFallback(int dpi);

// The white header band, the grey line that closes it (inside the band, at its bottom) and the banner.
struct HeaderGeometry {
    Box band;
    Box line;
    Box banner;
};
HeaderGeometry LayoutHeader(int a, int dpi);

// Character heights of the five fonts.
struct FontHeights {
    int normal, bold, title, logo, result;
};
FontHeights FontHeightsForDpi(int dpi);

// The outer size the window is created with.
struct OuterSize {
    int width, height;
};
OuterSize InitialOuterSize(int dpi);
