// The --json form of quiltool's listing commands: one JSON document, an array
// of objects whose fields are those of the text lines; and the escaping of
// names from the network in those text lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ui/json_event_writer.h"

namespace quiltool {

// `text` safe for a terminal line: a backslash doubled, newline, carriage
// return and tab as \n, \r, \t, every other control character (C0, DEL,
// C1 in UTF-8) and every byte that is not valid UTF-8 as \xNN.
std::string EscapedText(std::string_view text);

// Collects the objects and, when enabled, prints them as one array on stdout
// as it goes away: so a command prints its document on every way out, an
// empty list at worst.
class JsonArray {
public:
    explicit JsonArray(bool enabled) : m_enabled(enabled) {}
    ~JsonArray();
    JsonArray(const JsonArray&) = delete;
    JsonArray& operator=(const JsonArray&) = delete;

    bool Enabled() const { return m_enabled; }
    void Append(const ui::JsonEvent& object) { m_items.push_back(object.Line()); }
    // The document's text.
    std::string Text() const;

private:
    bool m_enabled;
    std::vector<std::string> m_items;
};

}  // namespace quiltool
