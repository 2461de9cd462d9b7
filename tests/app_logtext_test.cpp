// Tests of the log box text rules: one line per entry, trimming to the newest half at a line boundary.
#include <gtest/gtest.h>

#include "app/LogText.h"

namespace {

TEST(LogText, EveryCarriageReturnAndLineFeedBecomesASpace) {
    EXPECT_EQ(LogLine(L"V ###: \r\n#0:U#1:7.2\r\ncmd: "), L"V ###:   #0:U#1:7.2  cmd: \r\n");
    EXPECT_EQ(LogLine(L"\n\r"), L"  \r\n");
    EXPECT_EQ(LogLine(L""), L"\r\n");
}

TEST(LogText, TrimIsNeededOnlyPastTheLimit) {
    EXPECT_FALSE(LogNeedsTrim(kLogLimit - 10, 10));
    EXPECT_TRUE(LogNeedsTrim(kLogLimit - 10, 11));
    EXPECT_TRUE(LogNeedsTrim(0, kLogLimit + 1));
    EXPECT_FALSE(LogNeedsTrim(0, 0));
}

TEST(LogText, TrimCutsJustAfterTheFirstLineFeedOfTheNewestHalf) {
    // 1,000,000 characters in lines of 100 (98 letters, CR, LF).
    std::wstring box;
    while (box.size() < 1000000) box += std::wstring(98, L'x') + L"\r\n";
    const std::size_t start = box.size() - 524288;
    const std::size_t cut = LogTrimLength(box);
    EXPECT_GE(cut, start + 1);
    EXPECT_LT(cut, start + 101);
    EXPECT_EQ(box[cut - 1], L'\n');
    EXPECT_EQ(cut % 100, 0u);
    // A line feed right at the start position counts.
    std::wstring exact = std::wstring(600000, L'a');
    exact[600000 - 524288] = L'\n';
    EXPECT_EQ(LogTrimLength(exact), 600000u - 524288u + 1u);
}

TEST(LogText, ShortBoxLosesOnlyItsFirstLine) {
    std::wstring box = L"first line\r\nsecond\r\n";
    EXPECT_EQ(LogTrimLength(box), 12u);
    EXPECT_EQ(box.substr(LogTrimLength(box)), L"second\r\n");
}

TEST(LogText, NoLineFeedAfterStartCutsAtStart) {
    std::wstring box = L"ab\n" + std::wstring(700000, L'z');
    EXPECT_EQ(LogTrimLength(box), box.size() - 524288);
    EXPECT_EQ(LogTrimLength(L"no line feed at all"), 0u);
}

}  // namespace
