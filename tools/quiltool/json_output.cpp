#include "tools/quiltool/json_output.h"

#include <algorithm>
#include <cstdio>

namespace quiltool {

std::string EscapedText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t length = c >= 0x80 ? ui::Utf8SequenceLength(text, i) : 1;
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
