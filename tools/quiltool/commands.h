// The quiltool sub-commands. Each takes the arguments after its own name and
// returns the process exit code: 0 success, 1 a negative answer (no
// connection, invalid serial...), 2 a usage error (message on stderr).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class CNimbraRemote;

namespace quiltool {

using Args = std::vector<std::string>;

int RunEncode(const Args& args);  // encode command|write|write-ext|request|request-ext|packet
int RunCrc(const Args& args);     // crc HEX... | crc --text STRING
int RunDecode(const Args& args);  // decode HEX...

int RunPorts(const Args& args);  // ports [--simulate] [--json]
int RunProbe(const Args& args);  // probe [--simulate] [--json]

int RunIdentify(const Args& args);  // identify [--simulate[=driver|dante]] [--connection N] [--json]
int RunMixer(
    const Args& args);  // mixer [--simulate[=driver|dante]] [--sim-state DIR] [--connection N] get|set NAME [ARG...]

int RunExpand(const Args& args);    // expand IN OUT
int RunCompress(const Args& args);  // compress IN OUT
int RunName(const Args& args);      // name NAME
int RunSerial(const Args& args);    // serial TEXT
int RunImages(const Args& args);    // images
int RunExtract(const Args& args);   // extract NAME OUT

int RunBrowse(const Args& args);  // browse [--seconds N] [--json]

// Shared argument helpers.

// The options of one command: a flag, or an option followed by its value.
struct OptionSpec {
    const char* name;
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::string> operands;
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for a flag)
    bool Has(const char* name) const;
    // The last value given for `name`; null when absent.
    const std::string* Value(const char* name) const;
};

// Separates options from operands: options may come before, between or
// after the operands, "--" ends them and "-" alone is an operand. False after
// a usage error on stderr (an unknown option, a missing value).
bool SplitArgs(const char* command, const Args& args, std::span<const OptionSpec> specs, ParsedArgs& parsed);

// Parses a decimal or 0x-hex number; false when the text is not one.
bool ParseNumber(const std::string& text, unsigned long& value);
// Concatenates HEX arguments; each argument, and each space-separated group
// in one, is whole bytes (an even count of digits). False on an odd group or
// a non-hex character.
bool ParseHexBytes(const Args& args, size_t first, std::vector<unsigned char>& bytes);
// "F0 00 01 54 ..." (upper-case, single spaces).
std::string FormatHex(const unsigned char* data, size_t n);
int UsageError(const std::string& message);

// Opens the remote-control engine as the updater's window does and counts
// its connections. Null, with the reason on stderr ("Unable to locate a
// Quil!", or a `connection` beyond the count), when there is nothing to
// work on.
std::unique_ptr<CNimbraRemote> OpenUnits(std::optional<uint16_t> connection, uint16_t& count);

}  // namespace quiltool
