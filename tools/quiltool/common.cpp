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
        size_t group = 0;
        for (char ch : args[i] + ' ') {
            if (ch == ' ' || ch == '\t') {
                // "1 2" is two half bytes, not the byte 0x12.
                if (group % 2 != 0) return false;
                group = 0;
                continue;
            }
            if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
            digits.push_back(ch);
            ++group;
        }
    }
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

bool ParsedArgs::Has(const char* name) const { return Value(name) != nullptr; }

const std::string* ParsedArgs::Value(const char* name) const {
    const std::string* found = nullptr;
    for (const auto& [option, value] : options) {
        if (option == name) found = &value;
    }
    return found;
}

bool SplitArgs(const char* command, const Args& args, std::span<const OptionSpec> specs, ParsedArgs& parsed) {
    parsed = ParsedArgs{};
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& s : specs) {
            if (arg == s.name) spec = &s;
        }
        if (spec == nullptr) {
            UsageError(std::string(command) + ": unknown option '" + arg + "'");
            return false;
        }
        if (!spec->takesValue) {
            parsed.options.emplace_back(arg, std::string());
            continue;
        }
        if (i + 1 >= args.size()) {
            UsageError(std::string(command) + ": " + arg + " needs a value");
            return false;
        }
        parsed.options.emplace_back(arg, args[++i]);
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
