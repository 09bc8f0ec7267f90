// The console's --json output: one JSON object per line on the standard
// output, each with an "event" field naming what happened. Texts from units
// and the network are escaped so that every line parses: control characters
// and bytes that are not valid UTF-8 become \u00XX.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A JSON string literal of `text`, quotes included.
std::string JsonQuoted(std::string_view text);

// The length of the valid UTF-8 sequence at `i` (no overlong form, no
// surrogate, nothing past U+10FFFF), or 0.
size_t Utf8SequenceLength(std::string_view text, size_t i);

// One object, its fields in the order they are added.
class JsonEvent {
public:
    // A plain object (a row inside an event).
    JsonEvent() = default;
    explicit JsonEvent(std::string_view event) { Text("event", event); }
    JsonEvent& Text(std::string_view key, std::string_view value);
    JsonEvent& Number(std::string_view key, int64_t value);
    JsonEvent& Real(std::string_view key, double value);
    JsonEvent& Bool(std::string_view key, bool value);
    JsonEvent& Null(std::string_view key);
    // `json` is already JSON (an array or object).
    JsonEvent& Raw(std::string_view key, std::string_view json);
    std::string Line() const { return "{" + m_fields + "}"; }

private:
    void Key(std::string_view key);
    std::string m_fields;
};

// "[a,b,...]" of items that are already JSON.
std::string JsonArrayOf(const std::vector<std::string>& items);

// Writes the lines, each flushed at once so that a reader sees it as it
// happens. Once the output fails nothing more is tried.
class JsonEventWriter {
public:
    explicit JsonEventWriter(std::ostream& out) : m_out(out) {}
    void Write(const JsonEvent& event);
    // False once a write has failed (the reader went away).
    bool Good() const { return !m_failed; }

private:
    std::ostream& m_out;
    bool m_failed = false;
};

}  // namespace ui
