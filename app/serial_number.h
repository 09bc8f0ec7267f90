// Serial numbers: the packed 32-bit value (owner in bits 31-24, year since
// 2000 with its low four bits in 23-20 and its high two in 19-18, week in
// 17-12, unit number in 11-0) and its ten-character text form "%02lx%02ld%02ld%04ld".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr uint32_t kSerialNone = 0xFFFFFFFF;
inline constexpr size_t kSerialTextLength = 10;

struct SerialFields {
    uint8_t model = 0;
    unsigned year = 0;  // since 2000, 0..63
    unsigned week = 0;  // 0..63
    unsigned unit = 0;  // 0..4095
};

uint32_t PackSerialNumber(const SerialFields& fields);
SerialFields UnpackSerialNumber(uint32_t serial);

// A serial number read from a unit is blank when it is 0 or has all bits set.
bool IsBlankSerialNumber(uint32_t serial);

// The owners a serial number may carry: the Quil (0x31) and the option cards
// the unit list shows (0x13 VX-MADI, 0x15 VX-DANTE, 0x18 VX-HD, 0x32 VX-USB).
bool IsAcceptedSerialModel(uint8_t model);

// Every field in range: accepted model, year 1-63, week 1-53, unit 1-4095.
bool IsValidSerialNumber(uint32_t serial);

// The text form, e.g. "3118220001".
std::string FormatSerialNumber(uint32_t serial);

// Reads the text form: exactly ten characters; the model from the first two as
// hexadecimal, year, week and unit number from the next two, two and four as
// decimal (each may start with blanks and a sign and stops at the first
// character that is not a digit). The year keeps its low six bits and the unit
// number its low twelve; a week above 53 is refused. Empty unless the result
// is valid.
std::optional<uint32_t> ParseSerialNumberText(std::string_view text);
