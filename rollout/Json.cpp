// JSON lines, as the record and the --json output write them.
#include "rollout/Json.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `i`, 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned minimum = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, minimum = 0x80, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, minimum = 0x800, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, minimum = 0x10000, code = lead & 0x07u;
    else return 0;
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (c >= 0x80) {
            const size_t length = Utf8Length(text, i);
            if (length > 0) {
                out.append(text, i, length);
                i += length;
                continue;
            }
        }
        if (c < 0x20 ? (c != '\n' && c != '\r' && c != '\t') : (c == 0x7F || c >= 0x80)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        }
        ++i;
    }
    return out + "\"";
}

JsonObject::JsonObject(const std::string& event) : text_("{\"event\":" + JsonQuote(event)) {}

void JsonObject::Key(const char* key) { text_ += "," + JsonQuote(key) + ":"; }

JsonObject& JsonObject::Add(const char* key, const std::string& value) {
    Key(key);
    text_ += JsonQuote(value);
    return *this;
}

JsonObject& JsonObject::Add(const char* key, std::uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(const char* key, int value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(const char* key, double value) {
    Key(key);
    char number[32];
    std::snprintf(number, sizeof number, "%.3f", value);
    text_ += number;
    return *this;
}

JsonObject& JsonObject::Bool(const char* key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(const char* key) {
    Key(key);
    text_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(const char* key, const std::string& json) {
    Key(key);
    text_ += json;
    return *this;
}
