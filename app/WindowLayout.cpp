// The main window's geometry at any display scale: control places, header band, banner, fonts, outer size.
#include "app/WindowLayout.h"

int ScaleForDpi(int value, int dpi) {
    const long long product = static_cast<long long>(value) * dpi;
    const long long half = kBaseDpi / 2;
    return static_cast<int>(product >= 0 ? (product + half) / kBaseDpi : -((-product + half) / kBaseDpi));
}

int TitlePrefixFallback(int dpi) { return ScaleForDpi(38, dpi); }

std::vector<Placement> LayoutControls(int a, int b, int titleWidth, int dpi) {
    auto s = [dpi](int value) { return ScaleForDpi(value, dpi); };
    const int half = a / 2;
    const int w = titleWidth;
    // The two right-aligned header lines end left of the banner (at a - s(161)), so that it never covers
    // their last letters.
    const int logoX = a - s(340);
    const int logHeight = b - s(515) > s(80) ? b - s(515) : s(80);
    return {
        {Slot::TitlePrefix, {s(28), s(20), w, s(36)}},
        {Slot::Title, {s(28) + w, s(20), half - w, s(36)}},
        {Slot::Subtitle, {s(28), s(59), half, s(24)}},
        {Slot::Logo, {logoX, s(20), s(175), s(48)}},
        {Slot::Company, {logoX, s(69), s(175), s(22)}},
        {Slot::FirmwareLabel, {s(28), s(150), s(120), s(24)}},
        {Slot::FirmwareEdit, {s(158), s(147), a - s(294), s(30)}},
        {Slot::Browse, {a - s(124), s(147), s(96), s(30)}},
        {Slot::ConnectionLabel, {s(28), s(199), s(120), s(24)}},
        {Slot::ComPort, {s(158), s(196), s(120), s(30)}},
        {Slot::Network, {s(286), s(196), s(218), s(30)}},
        {Slot::PortLabel, {s(28), s(243), s(70), s(24)}},
        {Slot::PortCombo, {s(104), s(240), a - s(236), s(240)}},
        {Slot::Refresh, {a - s(122), s(240), s(94), s(30)}},
        {Slot::DiscoveredLabel, {s(28), s(243), s(126), s(24)}},
        {Slot::DiscoveredCombo, {s(164), s(240), a - s(300), s(220)}},
        {Slot::Discover, {a - s(126), s(240), s(98), s(30)}},
        {Slot::AddressLabel, {s(28), s(285), s(70), s(24)}},
        {Slot::AddressEdit, {s(104), s(282), s(210), s(30)}},
        {Slot::TelnetPortLabel, {s(338), s(285), s(82), s(24)}},
        {Slot::TelnetPortEdit, {s(428), s(282), s(100), s(30)}},
        {Slot::Connect, {s(28), s(330), s(150), s(32)}},
        {Slot::ConnectionState, {s(190), s(335), a - s(218), s(25)}},
        {Slot::StartUpdate, {s(28), s(381), s(142), s(38)}},
        {Slot::Cancel, {s(180), s(381), s(92), s(38)}},
        {Slot::ReadLog, {s(282), s(384), s(172), s(32)}},
        {Slot::Progress, {s(466), s(389), a - s(494), s(22)}},
        {Slot::Status, {s(28), s(430), a - s(56), s(52)}},
        {Slot::Log, {s(28), s(487), a - s(56), logHeight}},
    };
}

HeaderGeometry LayoutHeader(int a, int dpi) {
    auto s = [dpi](int value) { return ScaleForDpi(value, dpi); };
    HeaderGeometry header;
    header.band = {0, 0, a, s(132)};
    // One pixel at 100 %, as thick as the scale makes it, always the band's last rows.
    header.line = {0, s(132) - s(1), a, s(1)};
    header.banner = {a - s(161), s(10), s(145), s(105)};
    return header;
}

FontHeights FontHeightsForDpi(int dpi) {
    auto s = [dpi](int value) { return ScaleForDpi(value, dpi); };
    return {s(17), s(17), s(27), s(37), s(24)};
}

OuterSize InitialOuterSize(int dpi) { return {ScaleForDpi(820, dpi), ScaleForDpi(720, dpi)}; }
