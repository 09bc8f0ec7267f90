// A strict reader of one JSON text, for tests that check what a program
// printed: objects, arrays, strings (with \uXXXX escapes), numbers, true,
// false and null. Anything else, or anything after the value, fails.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> fields;  // in order

    bool Has(const std::string& key) const {
        for (const auto& [k, v] : fields) {
            if (k == key) return true;
        }
        return false;
    }
    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue kMissing;
        for (const auto& [k, v] : fields) {
            if (k == key) return v;
        }
        return kMissing;
    }
};

class JsonReader {
public:
    static std::optional<JsonValue> Parse(std::string_view text) {
        JsonReader reader(text);
        JsonValue value;
        if (!reader.Value(value, 0)) return std::nullopt;
        reader.Space();
        if (reader.m_pos != text.size()) return std::nullopt;
        return value;
    }

private:
    explicit JsonReader(std::string_view text) : m_text(text) {}

    void Space() {
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r'))
            ++m_pos;
    }
    bool Take(char c) {
        Space();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (m_text.substr(m_pos, word.size()) != word) return false;
        m_pos += word.size();
        return true;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) return false;
            const char e = m_text[m_pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (m_pos + 4 > m_text.size()) return false;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const char h = m_text[m_pos++];
                    if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
                    code =
                        code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h))
                                                              ? h - '0'
                                                              : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10);
                }
                // Only the escapes our writers use: code points below 0x80.
                if (code >= 0x80) return false;
                out += static_cast<char>(code);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool Value(JsonValue& value, int depth) {
        if (depth > 32) return false;
        Space();
        if (m_pos >= m_text.size()) return false;
        const char c = m_text[m_pos];
        if (c == '{') {
            ++m_pos;
            value.kind = JsonValue::Kind::Object;
            if (Take('}')) return true;
            do {
                std::string key;
                JsonValue item;
                if (!String(key) || !Take(':') || !Value(item, depth + 1)) return false;
                value.fields.emplace_back(std::move(key), std::move(item));
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++m_pos;
            value.kind = JsonValue::Kind::Array;
            if (Take(']')) return true;
            do {
                JsonValue item;
                if (!Value(item, depth + 1)) return false;
                value.items.push_back(std::move(item));
            } while (Take(','));
            return Take(']');
        }
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (Word("true") || Word("false")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = m_text[m_pos - 1] == 'e' && m_text[m_pos - 2] == 'u';
            return true;
        }
        if (Word("null")) return true;
        const size_t start = m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '-') ++m_pos;
        size_t digits = 0;
        while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos, ++digits;
        if (digits == 0) return false;
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            size_t fraction = 0;
            while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos])))
                ++m_pos, ++fraction;
            if (fraction == 0) return false;
        }
        value.kind = JsonValue::Kind::Number;
        value.number = std::strtod(std::string(m_text.substr(start, m_pos - start)).c_str(), nullptr);
        return true;
    }

    std::string_view m_text;
    size_t m_pos = 0;
};
