#include "tools/quiltool/json_output.h"

#include <algorithm>
#include <cstdio>

namespace quiltool {

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t length = c >= 0x80 ? Utf8Length(text, i) : 0; length > 0) {
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

std::string EscapedText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t length = c >= 0x80 ? Utf8Length(text, i) : 1;
        const bool c1Control = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if ((c >= 0x20 && c < 0x7F) || (c >= 0x80 && length > 0 && !c1Control)) {
            out.append(text.substr(i, length));
        } else {
            length = std::max<size_t>(length, 1);
            for (size_t k = 0; k < length; ++k) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[i + k]));
                out += escaped;
            }
        }
        i += length;
    }
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (!m_fields.empty()) m_fields += ',';
    m_fields += JsonString(key);
    m_fields += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    Key(key);
    m_fields += JsonString(value);
    return *this;
}

JsonObject& JsonObject::AddNumber(std::string_view key, int64_t value) {
    Key(key);
    m_fields += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
    Key(key);
    m_fields += value ? "true" : "false";
    return *this;
}

std::string JsonArray::Text() const {
    std::string text = "[";
    for (size_t i = 0; i < m_items.size(); ++i) {
        text += i == 0 ? "\n  " : ",\n  ";
        text += m_items[i];
    }
    return text + (m_items.empty() ? "]\n" : "\n]\n");
}

JsonArray::~JsonArray() {
    if (m_enabled) std::fputs(Text().c_str(), stdout);
}

}  // namespace quiltool
