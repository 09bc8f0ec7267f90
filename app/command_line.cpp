#include "app/command_line.h"

#include <cctype>

#include "app/ascii_case.h"

CommandLineKeywords ParseCommandLineKeywords(std::string_view commandLine) {
    CommandLineKeywords keywords;
    size_t pos = 0;
    while (pos < commandLine.size()) {
        while (pos < commandLine.size() && commandLine[pos] == ' ') ++pos;
        const size_t end = commandLine.find(' ', pos);
        const std::string_view token =
            commandLine.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? commandLine.size() : end;
        if (token.empty()) continue;

        if (StartsWithIgnoringCase(token, "SN=")) {
            // The serial number's hexadecimal model is read without regard
            // to case, so the upper-cased text reads the same.
            std::string text(token.substr(3, 10));
            for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            keywords.serialText = text;
        } else if (StartsWithIgnoringCase(token, "GETSN")) {
            keywords.askSerial = true;
        } else if (StartsWithIgnoringCase(token, "FILE=")) {
            keywords.filePath = std::string(token.substr(5));
            keywords.filePaths.push_back(*keywords.filePath);
        } else if (StartsWithIgnoringCase(token, "PROM=")) {
            // Only the first character after the sign counts: 1 is PROM 1,
            // anything else (or nothing) PROM 2.
            keywords.bank = (token.size() > 5 && token[5] == '1') ? 0 : 1;
        } else if (StartsWithIgnoringCase(token, "XSLOT")) {
            keywords.forceXSlot = true;
        }
    }
    return keywords;
}
