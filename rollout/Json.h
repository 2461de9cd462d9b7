// JSON lines, as the record and the --json output write them: one flat object per line, built field by field.
#pragma once

#include <cstdint>
#include <string>

// A JSON string literal. Valid UTF-8 passes through; control characters and bytes that are not
// UTF-8 (a modem may send anything) become \u00XX, so the line always parses.
std::string JsonQuote(const std::string& text);

class JsonObject {
public:
    explicit JsonObject(const std::string& event);
    JsonObject& Add(const char* key, const std::string& value);
    JsonObject& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
    JsonObject& Add(const char* key, std::uint64_t value);
    JsonObject& Add(const char* key, int value);
    JsonObject& Add(const char* key, unsigned value) { return Add(key, static_cast<std::uint64_t>(value)); }
    JsonObject& Add(const char* key, double value);
    JsonObject& Bool(const char* key, bool value);
    JsonObject& Null(const char* key);
    // `json` must already be valid JSON text (an array or object built from quoted parts).
    JsonObject& Raw(const char* key, const std::string& json);
    // The object's text without a line end.
    std::string Text() const { return text_ + "}"; }

private:
    void Key(const char* key);
    std::string text_;
};
