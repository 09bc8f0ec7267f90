#include "ui/json_event_writer.h"

#include <cmath>
#include <cstdio>
#include <ostream>

namespace ui {

size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        // No overlong forms, no surrogates.
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

std::string JsonQuoted(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n";
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t length = c >= 0x80 ? Utf8SequenceLength(text, i) : 0; length > 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
            ++i;
        }
    }
    return out + "\"";
}

void JsonEvent::Key(std::string_view key) {
    if (!m_fields.empty()) m_fields += ',';
    m_fields += JsonQuoted(key);
    m_fields += ':';
}

JsonEvent& JsonEvent::Text(std::string_view key, std::string_view value) {
    Key(key);
    m_fields += JsonQuoted(value);
    return *this;
}

JsonEvent& JsonEvent::Number(std::string_view key, int64_t value) {
    Key(key);
    m_fields += std::to_string(value);
    return *this;
}

JsonEvent& JsonEvent::Real(std::string_view key, double value) {
    if (!std::isfinite(value)) return Null(key);
    Key(key);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    m_fields += text;
    return *this;
}

JsonEvent& JsonEvent::Bool(std::string_view key, bool value) {
    Key(key);
    m_fields += value ? "true" : "false";
    return *this;
}

JsonEvent& JsonEvent::Null(std::string_view key) {
    Key(key);
    m_fields += "null";
    return *this;
}

JsonEvent& JsonEvent::Raw(std::string_view key, std::string_view json) {
    Key(key);
    m_fields += json;
    return *this;
}

std::string JsonArrayOf(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ',';
        out += items[i];
    }
    return out + "]";
}

void JsonEventWriter::Write(const JsonEvent& event) {
    if (m_failed) return;
    m_out << event.Line() << '\n' << std::flush;
    if (m_out.fail()) m_failed = true;
}

}  // namespace ui
