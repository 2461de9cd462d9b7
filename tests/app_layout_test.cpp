// Tests of the window's geometry at display scales from 100 % to 300 %.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "app/WindowLayout.h"

namespace {

const int kScales[] = {96, 120, 144, 168, 192, 288};

TEST(WindowLayout, ScalingRoundsHalfAwayFromZeroAsMulDivDoes) {
    EXPECT_EQ(ScaleForDpi(17, 96), 17);
    EXPECT_EQ(ScaleForDpi(17, 144), 26);   // 25.5
    EXPECT_EQ(ScaleForDpi(131, 144), 197);  // 196.5
    EXPECT_EQ(ScaleForDpi(1, 144), 2);     // 1.5
    EXPECT_EQ(ScaleForDpi(17, 120), 21);   // 21.25
    EXPECT_EQ(ScaleForDpi(2, 120), 3);     // 2.5
    EXPECT_EQ(ScaleForDpi(-3, 144), -5);   // -4.5
    EXPECT_EQ(ScaleForDpi(820, 192), 1640);
    EXPECT_EQ(ScaleForDpi(720, 144), 1080);
}

std::map<Slot, Box> Places(int a, int b, int dpi) {
    std::map<Slot, Box> places;
    for (const Placement& p : LayoutControls(a, b, TitlePrefixFallback(dpi), dpi)) places[p.slot] = p.box;
    return places;
}

// At 144 DPI in a client area 1.5 times as large, every place is 1.5 times its place at 96 DPI, give or take
// the rounding of one term; fonts and the outer size follow.
TEST(WindowLayout, AtOneHundredFiftyPercentEverythingIsOneAndAHalfTimesAsLarge) {
    const auto base = Places(804, 681, 96);
    const auto scaled = Places(1206, 1022, 144);
    ASSERT_EQ(base.size(), 29u);
    for (const auto& [slot, box] : base) {
        const Box& big = scaled.at(slot);
        SCOPED_TRACE(static_cast<int>(slot));
        EXPECT_LE(std::abs(big.x * 2 - box.x * 3), 2);
        EXPECT_LE(std::abs(big.y * 2 - box.y * 3), 2);
        EXPECT_LE(std::abs(big.width * 2 - box.width * 3), 2);
        EXPECT_LE(std::abs(big.height * 2 - box.height * 3), 2);
    }
    const FontHeights fonts = FontHeightsForDpi(144);
    EXPECT_EQ(fonts.normal, 26);
    EXPECT_EQ(fonts.title, 41);
    EXPECT_EQ(fonts.logo, 56);
    EXPECT_EQ(fonts.result, 36);
    EXPECT_EQ(InitialOuterSize(144).width, 1230);
    EXPECT_EQ(InitialOuterSize(144).height, 1080);
    const FontHeights base96 = FontHeightsForDpi(96);
    EXPECT_EQ(base96.normal, 17);
    EXPECT_EQ(base96.bold, 17);
    EXPECT_EQ(base96.title, 27);
    EXPECT_EQ(base96.logo, 37);
    EXPECT_EQ(base96.result, 24);
    EXPECT_EQ(InitialOuterSize(96).width, 820);
    EXPECT_EQ(InitialOuterSize(96).height, 720);
}

// The right-aligned "Velmor" lines used to end 6 pixels inside the banner, which hid their last letters.
TEST(WindowLayout, TheHeaderLinesEndLeftOfTheBannerAtEveryScaleAndWidth) {
    for (int dpi : kScales) {
        for (int a : {500, 804, 1206, 1900}) {
            SCOPED_TRACE(std::to_string(dpi) + " dpi, width " + std::to_string(a));
            const auto places = Places(a, 700, dpi);
            const HeaderGeometry header = LayoutHeader(a, dpi);
            EXPECT_LT(places.at(Slot::Logo).Right(), header.banner.x);
            EXPECT_LT(places.at(Slot::Company).Right(), header.banner.x);
            EXPECT_EQ(places.at(Slot::Logo).width, ScaleForDpi(175, dpi));
            // Banner and labels inside the band (the banner inside the window too), the line its last rows,
            // the controls below it.
            EXPECT_LE(header.banner.Right(), a);
            EXPECT_LE(header.banner.Bottom(), header.line.y);
            EXPECT_LE(places.at(Slot::Company).Bottom(), header.line.y);
            EXPECT_EQ(header.line.Bottom(), header.band.Bottom());
            EXPECT_GE(header.line.height, 1);
            EXPECT_LE(header.band.Bottom(), places.at(Slot::FirmwareEdit).y);
        }
    }
    // At 100 % the band, its line and the banner are where they always were.
    const HeaderGeometry base = LayoutHeader(804, 96);
    EXPECT_EQ(base.band.Bottom(), 132);
    EXPECT_EQ(base.line.y, 131);
    EXPECT_EQ(base.line.height, 1);
    EXPECT_EQ(base.banner.x, 804 - 161);
    EXPECT_EQ(base.banner.y, 10);
    EXPECT_EQ(base.banner.width, 145);
    EXPECT_EQ(base.banner.height, 105);
    EXPECT_EQ(Places(804, 681, 96).at(Slot::Logo).x, 804 - 340);
}

bool Overlap(const Box& p, const Box& q) {
    return p.x < q.Right() && q.x < p.Right() && p.y < q.Bottom() && q.y < p.Bottom();
}

// Nothing that is shown at the same time overlaps, at any scale, at the size the window opens with (its
// client area is the outer size less a frame and caption that grow with the scale).
TEST(WindowLayout, NothingShownTogetherOverlapsAtTheOpeningSize) {
    const std::set<Slot> comOnly = {Slot::PortLabel, Slot::PortCombo, Slot::Refresh};
    const std::set<Slot> networkOnly = {Slot::DiscoveredLabel, Slot::DiscoveredCombo, Slot::Discover,
                                        Slot::AddressLabel,    Slot::AddressEdit,     Slot::TelnetPortLabel,
                                        Slot::TelnetPortEdit};
    for (int dpi : kScales) {
        const OuterSize outer = InitialOuterSize(dpi);
        const int a = outer.width - ScaleForDpi(16, dpi), b = outer.height - ScaleForDpi(39, dpi);
        auto places = Places(a, b, dpi);
        // A combo box's place includes its open list; closed, it is as high as an edit box.
        places[Slot::PortCombo].height = ScaleForDpi(30, dpi);
        places[Slot::DiscoveredCombo].height = ScaleForDpi(30, dpi);
        // The title prefix measures its text; the fallback is as wide as "Brisk" in the title font.
        for (const std::set<Slot>* hidden : {&networkOnly, &comOnly}) {
            for (const auto& [one, p] : places) {
                for (const auto& [other, q] : places) {
                    if (one >= other || hidden->count(one) || hidden->count(other)) continue;
                    EXPECT_FALSE(Overlap(p, q)) << dpi << " dpi: slots " << static_cast<int>(one) << " and "
                                                << static_cast<int>(other);
                }
            }
        }
        for (const auto& [slot, p] : places) {
            EXPECT_GT(p.width, 0) << dpi << " dpi, slot " << static_cast<int>(slot);
            EXPECT_LE(p.Right(), a) << dpi << " dpi, slot " << static_cast<int>(slot);
            EXPECT_LE(p.Bottom(), b) << dpi << " dpi, slot " << static_cast<int>(slot);
        }
    }
}

TEST(WindowLayout, TheLogBoxKeepsItsFloorAtEveryScale) {
    for (int dpi : kScales) {
        const int floor = ScaleForDpi(80, dpi);
        EXPECT_EQ(Places(800, ScaleForDpi(400, dpi), dpi).at(Slot::Log).height, floor);
        EXPECT_EQ(Places(800, ScaleForDpi(700, dpi), dpi).at(Slot::Log).height,
                  ScaleForDpi(700, dpi) - ScaleForDpi(515, dpi));
    }
}

}  // namespace
