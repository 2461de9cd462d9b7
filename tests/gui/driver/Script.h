// The GUI driver's command language: script lines of words, quoted texts, text matchers and comparisons.
#pragma once

#include <string>
#include <vector>

// One command: its line number in the script (for messages) and its words, quotes and escapes resolved.
struct ScriptLine {
    int number = 0;
    std::vector<std::string> words;
};

// Splits one line into words. Double quotes group words; inside them \n \r \t \\ \" are escapes.
// A '#' outside quotes at the start of a word begins a comment.
bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error);

// Every non-empty, non-comment line of a script.
bool ParseScript(const std::string& text, std::vector<ScriptLine>& lines, std::string& error);

// A text expectation. Written as an optional operator word followed by the value:
// "=" exact (the default), "^=" begins with, "*=" contains, "$=" ends with; a leading "!" negates.
struct TextMatch {
    enum Kind { Exact, Prefix, Contains, Suffix };
    Kind kind = Exact;
    bool negate = false;
    std::wstring value;

    bool Matches(const std::wstring& text) const;
    std::string Describe() const;
};

// Reads a matcher from words[i...], advancing i past it.
bool ReadMatch(const std::vector<std::string>& words, size_t& i, TextMatch& match, std::string& error);

// Numeric comparison with one of ==, !=, <, <=, >, >=.
bool IsComparison(const std::string& op);
bool Compare(long long actual, const std::string& op, long long expected);

bool ParseNumber(const std::string& word, long long& value);

// UTF-8 <-> UTF-16.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// A text for messages: long texts are shortened in the middle, control characters shown as <13> etc.
std::string Shown(const std::wstring& text);
