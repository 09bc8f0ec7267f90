// Case-insensitive prefix test for ASCII names and keywords.
#pragma once

#include <cctype>
#include <string_view>

// True when `text` begins with `upperPrefix` (given in upper case), whatever
// the case of `text`.
inline bool StartsWithIgnoringCase(std::string_view text, std::string_view upperPrefix) {
    if (text.size() < upperPrefix.size()) return false;
    for (size_t i = 0; i < upperPrefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != upperPrefix[i]) return false;
    }
    return true;
}
