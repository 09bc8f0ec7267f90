// The main window's command-line keywords: SN=, GETSN, FILE=, PROM= and
// XSLOT. Tokens are separated by spaces (tabs do not separate) and
// recognised by their first characters once upper-cased; a token that
// matches no keyword is ignored. A later token overrides an earlier one of
// the same kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CommandLineKeywords {
    // SN=: the ten characters after the sign, as typed (empty when none).
    std::optional<std::string> serialText;
    bool askSerial = false;  // GETSN
    // FILE=: the path after the sign. Only the keyword is upper-cased: Linux
    // file names are case-sensitive, so the path keeps its case.
    std::optional<std::string> filePath;
    // Every FILE= path in order (--all takes one image per device kind).
    std::vector<std::string> filePaths;
    // PROM=: 0 for PROM 1, 1 for PROM 2 (the default).
    std::optional<uint8_t> bank;
    bool forceXSlot = false;  // XSLOT
};

CommandLineKeywords ParseCommandLineKeywords(std::string_view commandLine);
