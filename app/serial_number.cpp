#include "app/serial_number.h"

#include <cctype>
#include <cstdio>

namespace {

// A signed number in `field` (blanks, sign, digits of `base` up to the first
// other character); 0 when there are no digits.
long ReadNumber(std::string_view field, int base) {
    size_t i = 0;
    while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i]))) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    long value = 0;
    for (; i < field.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        int digit;
        if (std::isdigit(c)) {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(c)) {
            digit = std::tolower(c) - 'a' + 10;
        } else {
            break;
        }
        if (digit >= base) break;
        value = value * base + digit;
    }
    return negative ? -value : value;
}

constexpr unsigned kMaxWeek = 53;

}  // namespace

uint32_t PackSerialNumber(const SerialFields& f) {
    return static_cast<uint32_t>(f.model) << 24 | (f.year & 0x0Fu) << 20 | ((f.year >> 4) & 0x03u) << 18 |
           (f.week & 0x3Fu) << 12 | (f.unit & 0x0FFFu);
}

SerialFields UnpackSerialNumber(uint32_t serial) {
    SerialFields f;
    f.model = static_cast<uint8_t>(serial >> 24);
    f.year = ((serial >> 20) & 0x0Fu) | ((serial >> 18) & 0x03u) << 4;
    f.week = (serial >> 12) & 0x3Fu;
    f.unit = serial & 0x0FFFu;
    return f;
}

bool IsBlankSerialNumber(uint32_t serial) { return serial == 0 || serial == kSerialNone; }

bool IsAcceptedSerialModel(uint8_t model) {
    switch (model) {
    case 0x31:  // Quil
    case 0x13:  // VX-MADI
    case 0x15:  // VX-DANTE
    case 0x18:  // VX-HD
    case 0x32:  // VX-USB
        return true;
    default: return false;
    }
}

bool IsValidSerialNumber(uint32_t serial) {
    const SerialFields f = UnpackSerialNumber(serial);
    return IsAcceptedSerialModel(f.model) && f.year >= 1 && f.week >= 1 && f.week <= kMaxWeek && f.unit >= 1;
}

std::string FormatSerialNumber(uint32_t serial) {
    const SerialFields f = UnpackSerialNumber(serial);
    char text[64];
    std::snprintf(text, sizeof text, "%02lx%02ld%02ld%04ld", static_cast<unsigned long>(f.model),
                  static_cast<long>(f.year), static_cast<long>(f.week), static_cast<long>(f.unit));
    return text;
}

std::optional<uint32_t> ParseSerialNumberText(std::string_view text) {
    if (text.size() != kSerialTextLength) return std::nullopt;
    const long model = ReadNumber(text.substr(0, 2), 16);
    const long year = ReadNumber(text.substr(2, 2), 10);
    const long week = ReadNumber(text.substr(4, 2), 10);
    const long unit = ReadNumber(text.substr(6, 4), 10);
    if (model < 0 || model > 0xFF || week < 0 || week > static_cast<long>(kMaxWeek)) return std::nullopt;
    SerialFields f;
    f.model = static_cast<uint8_t>(model);
    f.year = static_cast<unsigned>(year) & 0x3Fu;
    f.week = static_cast<unsigned>(week);
    f.unit = static_cast<unsigned>(unit) & 0x0FFFu;
    const uint32_t serial = PackSerialNumber(f);
    if (!IsValidSerialNumber(serial)) return std::nullopt;
    return serial;
}
