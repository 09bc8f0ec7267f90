#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tools/quiltool/commands.h"

namespace quiltool {

bool ParseNumber(const std::string& text, unsigned long& value) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    for (size_t i = start; i < text.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(text[i]);
        if (base == 16 ? !std::isxdigit(ch) : !std::isdigit(ch)) return false;
    }
    if (text.size() - start > 9) return false;
    value = std::strtoul(text.c_str() + start, nullptr, base);
    return true;
}

bool ParseHexBytes(const Args& args, size_t first, std::vector<unsigned char>& bytes) {
    std::string digits;
    for (size_t i = first; i < args.size(); ++i) {
        for (char ch : args[i]) {
            if (ch == ' ' || ch == '\t') continue;
            if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
            digits.push_back(ch);
        }
    }
    if (digits.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

std::string FormatHex(const unsigned char* data, size_t n) {
    std::string out;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", data[i]);
        if (i != 0) out.push_back(' ');
        out += hex;
    }
    return out;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "quiltool: %s\n", message.c_str());
    return 2;
}

}  // namespace quiltool
