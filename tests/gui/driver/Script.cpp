// Tokenising, text matching and number comparison for the GUI driver's scripts.
#include "Script.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>

bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= n || line[i] == '#') break;
        std::string word;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t' && line[i] != '\r'))) {
            const char c = line[i];
            if (c == '"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            if (quoted && c == '\\' && i + 1 < n) {
                const char e = line[i + 1];
                switch (e) {
                    case 'n': word += '\n'; break;
                    case 'r': word += '\r'; break;
                    case 't': word += '\t'; break;
                    case '\\': word += '\\'; break;
                    case '"': word += '"'; break;
                    default:
                        error = std::string("unknown escape \\") + e;
                        return false;
                }
                i += 2;
                continue;
            }
            word += c;
            ++i;
        }
        if (quoted) {
            error = "unterminated quote";
            return false;
        }
        words.push_back(word);
    }
    return true;
}

bool ParseScript(const std::string& text, std::vector<ScriptLine>& lines, std::string& error) {
    lines.clear();
    size_t start = 0;
    int number = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++number;
        ScriptLine line;
        line.number = number;
        std::string lineError;
        if (!SplitWords(text.substr(start, end - start), line.words, lineError)) {
            error = "line " + std::to_string(number) + ": " + lineError;
            return false;
        }
        if (!line.words.empty()) lines.push_back(line);
        start = end + 1;
    }
    return true;
}

bool TextMatch::Matches(const std::wstring& text) const {
    bool hit = false;
    switch (kind) {
        case Exact: hit = text == value; break;
        case Prefix: hit = text.compare(0, value.size(), value) == 0 && text.size() >= value.size(); break;
        case Contains: hit = text.find(value) != std::wstring::npos; break;
        case Suffix:
            hit = text.size() >= value.size() && text.compare(text.size() - value.size(), value.size(), value) == 0;
            break;
    }
    return hit != negate;
}

std::string TextMatch::Describe() const {
    static const char* const names[] = {"equal to", "beginning with", "containing", "ending with"};
    return std::string(negate ? "not " : "") + names[kind] + " \"" + Shown(value) + "\"";
}

bool ReadMatch(const std::vector<std::string>& words, size_t& i, TextMatch& match, std::string& error) {
    if (i >= words.size()) {
        error = "missing text to compare with";
        return false;
    }
    std::string op = words[i];
    bool isOp = true;
    match = TextMatch();
    std::string bare = op;
    if (!bare.empty() && bare[0] == '!') {
        match.negate = true;
        bare = bare.substr(1);
    }
    if (bare == "=") match.kind = TextMatch::Exact;
    else if (bare == "^=") match.kind = TextMatch::Prefix;
    else if (bare == "*=") match.kind = TextMatch::Contains;
    else if (bare == "$=") match.kind = TextMatch::Suffix;
    else isOp = false;
    if (!isOp) {
        match = TextMatch();
    } else {
        ++i;
        if (i >= words.size()) {
            error = "missing text after " + op;
            return false;
        }
    }
    match.value = Widen(words[i]);
    ++i;
    return true;
}

bool IsComparison(const std::string& op) {
    return op == "==" || op == "!=" || op == "<" || op == "<=" || op == ">" || op == ">=";
}

bool Compare(long long actual, const std::string& op, long long expected) {
    if (op == "==") return actual == expected;
    if (op == "!=") return actual != expected;
    if (op == "<") return actual < expected;
    if (op == "<=") return actual <= expected;
    if (op == ">") return actual > expected;
    if (op == ">=") return actual >= expected;
    return false;
}

bool ParseNumber(const std::string& word, long long& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(word.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string Shown(const std::wstring& text) {
    // Log texts can be a megabyte long; a message needs only both ends.
    std::wstring cut = text;
    if (cut.size() > 300) {
        cut = text.substr(0, 200) + L" ...[" + std::to_wstring(text.size()) + L" chars]... " +
              text.substr(text.size() - 80);
    }
    std::wstring out;
    for (wchar_t c : cut) {
        if (c < 0x20) out += L"<" + std::to_wstring(static_cast<int>(c)) + L">";
        else out += c;
    }
    return Narrow(out);
}
