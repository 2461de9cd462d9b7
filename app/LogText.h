// Text rules of the scrolling log box: one line per entry and the trimming that keeps it bounded.
#pragma once

#include <cstddef>
#include <string>

// The log box never holds more than this many characters.
constexpr std::size_t kLogLimit = 1048576;

// The entry as one line: every CR and LF becomes a space, then CR LF ends it.
std::wstring LogLine(const std::wstring& text);

// True when appending `added` characters to a box of `current` characters passes the limit.
bool LogNeedsTrim(std::size_t current, std::size_t added);

// How many leading characters to drop so that roughly the newest half remains, cut just after a
// line feed: the first line feed at or after (length - half), or that position itself when none.
std::size_t LogTrimLength(const std::wstring& text);
