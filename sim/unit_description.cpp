#include "sim/unit_description.h"

#include <algorithm>
#include <cstdio>

namespace sim {

uint8_t EffectivePid(uint8_t pid, uint8_t subModel) {
    if ((pid == kPidNimbra16 || pid == kPidNimbra8) && subModel == kPidNimbraN) {
        return kPidNimbraN;
    }
    return pid;
}

std::string_view ModelName(uint8_t pid) {
    switch (pid) {
    case kPidNimbra16: return "Nimbra 16";
    case kPidNimbra8: return "Nimbra 8";
    case kPidQuil: return "Quil";
    case kPidNimbraN: return "Nimbra(n)";
    case kPidTonelink: return "Harken Tonelink 4x4";
    default: return "Unknown!";
    }
}

std::string_view CardName(uint8_t type) {
    switch (type) {
    case kCardNone: return "none";
    case kCardVxMadi:
    case kCardVxMadiB: return "VX-MADI";
    case kCardThunderbolt: return "Thunderbolt";
    case kCardVxDante: return "VX-DANTE";
    case kCardVxHd: return "VX-HD";
    case kCardVxFw: return "VX-FW";
    case kCardVxUsb: return "VX-USB";
    default: return "unknown";
    }
}

uint32_t PackSerial(uint8_t owner, unsigned year, unsigned week, unsigned unit) {
    return (uint32_t{owner} << 24) | ((year & 0x0Fu) << 20) | (((year >> 4) & 0x03u) << 18) | ((week & 0x3Fu) << 12) |
           (unit & 0x0FFFu);
}

SerialFields UnpackSerial(uint32_t serial) {
    SerialFields f;
    f.owner = static_cast<uint8_t>(serial >> 24);
    f.year = ((serial >> 20) & 0x0Fu) | (((serial >> 18) & 0x03u) << 4);
    f.week = (serial >> 12) & 0x3Fu;
    f.unit = serial & 0x0FFFu;
    return f;
}

std::string SerialText(uint32_t serial) {
    const SerialFields f = UnpackSerial(serial);
    char text[32];
    std::snprintf(text, sizeof text, "%02x%02u%02u%04u", static_cast<unsigned>(f.owner), f.year, f.week, f.unit);
    return text;
}

std::optional<uint32_t> ParseSerialText(std::string_view text) {
    if (text.size() != 10) {
        return std::nullopt;
    }
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    auto dec = [](std::string_view digits) -> int {
        int v = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    const int hi = hex(text[0]);
    const int lo = hex(text[1]);
    const int year = dec(text.substr(2, 2));
    const int week = dec(text.substr(4, 2));
    const int unit = dec(text.substr(6, 4));
    if (hi < 0 || lo < 0 || year < 0 || year > 63 || week < 0 || week > 63 || unit < 0 || unit > 4095) {
        return std::nullopt;
    }
    return PackSerial(static_cast<uint8_t>(hi * 16 + lo), static_cast<unsigned>(year), static_cast<unsigned>(week),
                      static_cast<unsigned>(unit));
}

std::array<uint8_t, 4> SerialRegisters(uint32_t serial) {
    if (serial == kNoSerial) {
        return {0xFF, 0xFF, 0xFF, 0xFF};
    }
    const SerialFields f = UnpackSerial(serial);
    return {static_cast<uint8_t>(f.week), static_cast<uint8_t>(f.year), static_cast<uint8_t>(f.unit & 0xFF),
            static_cast<uint8_t>((f.unit >> 8) & 0x0F)};
}

uint32_t SerialFromRegisters(uint8_t owner, std::span<const uint8_t, 4> regs) {
    if (regs[0] == 0 || regs[0] == 0xFF) {
        return kNoSerial;
    }
    const unsigned year = regs[1] & 0x3Fu;
    const unsigned unit = regs[2] | ((regs[3] & 0x0Fu) << 8);
    return PackSerial(owner, year, regs[0], unit);
}

uint16_t FirmwareDateWord(unsigned year, unsigned month, unsigned day) {
    return static_cast<uint16_t>(((year & 0x0Fu) << 12) | ((month & 0x0Fu) << 8) | (((year >> 4) & 0x07u) << 5) |
                                 (day & 0x1Fu));
}

DateFields UnpackFirmwareDate(uint16_t word) {
    DateFields d;
    d.day = word & 0x1Fu;
    d.month = (word >> 8) & 0x0Fu;
    d.year = ((word >> 12) & 0x0Fu) | (((word >> 5) & 0x07u) << 4);
    return d;
}

void PresetRegisters(const UnitDescription& unit, std::span<uint8_t, kRegisterCount> r) {
    std::fill(r.begin(), r.end(), uint8_t{0});
    r[1] = unit.pid;
    r[6] = unit.subModel;
    r[7] = static_cast<uint8_t>(unit.firmwareDate & 0xFF);
    r[8] = static_cast<uint8_t>(unit.firmwareDate >> 8);
    r[10] = static_cast<uint8_t>((unit.firmwareMajor & 0x3F) | ((unit.firmwareMinor & 0x03) << 6));
    r[11] = static_cast<uint8_t>(((unit.firmwareMinor >> 2) & 0x0F) | ((unit.boardRevision & 0x0F) << 4));
    const auto serial = SerialRegisters(unit.serial);
    std::copy(serial.begin(), serial.end(), r.begin() + 12);
    if (unit.card.type != kCardNone) {
        r[16] = unit.card.type;
        r[17] = unit.card.firmwareMajor;
        r[18] = unit.card.revision;
        r[20] = unit.card.firmwareMinor;
        const auto cardSerial = SerialRegisters(unit.card.serial);
        std::copy(cardSerial.begin(), cardSerial.end(), r.begin() + 28);
    }
}

std::string DescribeUnit(const UnitDescription& unit) {
    char line[160];
    std::string text;
    std::snprintf(line, sizeof line, "Model: %.*s (PID 0x%02x, sub-model 0x%02x)\n",
                  static_cast<int>(ModelName(EffectivePid(unit.pid, unit.subModel)).size()),
                  ModelName(EffectivePid(unit.pid, unit.subModel)).data(), unit.pid, unit.subModel);
    text += line;
    const DateFields date = UnpackFirmwareDate(unit.firmwareDate);
    std::snprintf(line, sizeof line, "Firmware: %u.%u (date word 0x%04x: %04u-%02u-%02u)\n", unit.firmwareMajor,
                  unit.firmwareMinor, unit.firmwareDate, 2000 + date.year, date.month, date.day);
    text += line;
    std::snprintf(line, sizeof line, "Board: %c\n",
                  unit.boardRevision == 0 ? '-' : static_cast<char>('A' + unit.boardRevision - 1));
    text += line;
    text += "Serial: " + (unit.serial == kNoSerial ? std::string("none") : SerialText(unit.serial)) + "\n";
    if (unit.card.type == kCardNone) {
        text += "Option card: none\n";
    } else {
        std::snprintf(line, sizeof line, "Option card: %.*s (type %u), firmware %u.%u, board %c, serial %s\n",
                      static_cast<int>(CardName(unit.card.type).size()), CardName(unit.card.type).data(),
                      unit.card.type, unit.card.firmwareMajor, unit.card.firmwareMinor,
                      unit.card.revision == 0 ? '-' : static_cast<char>('A' + unit.card.revision - 1),
                      unit.card.serial == kNoSerial ? "none" : SerialText(unit.card.serial).c_str());
        text += line;
    }
    std::snprintf(line, sizeof line, "Flash work: erase %u ms, program %u ms, verify %u ms, card erase %u ms\n",
                  unit.eraseMs, unit.programMs, unit.verifyMs, unit.cardEraseMs);
    text += line;
    return text;
}

}  // namespace sim
