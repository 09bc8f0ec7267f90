// What a virtual unit is: its identity (product identifier, firmware version
// and date, board revision, serial number), the option card in its slot, and
// how long its flash work takes. The register file of a fresh unit is preset
// from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

inline constexpr size_t kRegisterCount = 2048;

// Product identifiers (register 1).
inline constexpr uint8_t kPidQuil = 0x31;
inline constexpr uint8_t kPidNimbra16 = 0x26;
inline constexpr uint8_t kPidNimbra8 = 0x27;
inline constexpr uint8_t kPidNimbraN = 0x60;
inline constexpr uint8_t kPidTonelink = 0x80;

// Option card types (register 16); 0 means no card fitted.
inline constexpr uint8_t kCardNone = 0;
inline constexpr uint8_t kCardVxMadi = 19;
// The Thunderbolt interface of a unit behind the maker's driver.
inline constexpr uint8_t kCardThunderbolt = 20;
inline constexpr uint8_t kCardVxDante = 21;
inline constexpr uint8_t kCardVxMadiB = 23;
inline constexpr uint8_t kCardVxHd = 24;
inline constexpr uint8_t kCardVxFw = 25;
inline constexpr uint8_t kCardVxUsb = 50;

// Packed serial number meaning "none".
inline constexpr uint32_t kNoSerial = 0xFFFFFFFF;

struct OptionCardDescription {
    uint8_t type = kCardNone;
    uint8_t firmwareMajor = 0;
    uint8_t firmwareMinor = 0;
    uint8_t revision = 0;         // board revision, 1 = A
    uint32_t serial = kNoSerial;  // packed, owner = card type
};

struct UnitDescription {
    uint8_t pid = kPidQuil;
    uint8_t subModel = 0;         // register 6
    uint8_t firmwareMajor = 0;    // 0..63
    uint8_t firmwareMinor = 0;    // 0..63
    uint16_t firmwareDate = 0;    // date word of registers 7 (low) and 8 (high)
    uint8_t boardRevision = 1;    // 1 = A, 0..15
    uint32_t serial = kNoSerial;  // packed, owner = product identifier
    OptionCardDescription card;

    // Flash work of the main unit, each phase in ms: the erase (phases 2 and
    // 3 share it, half each), programming (4) and verifying (5).
    uint32_t eraseMs = 2000;
    uint32_t programMs = 2000;
    uint32_t verifyMs = 2000;
    // Erase of the option card's firmware store (command 3), in ms.
    uint32_t cardEraseMs = 3000;
};

// The product identifier the host sees: 0x26 or 0x27 with sub-model 0x60
// counts as 0x60.
uint8_t EffectivePid(uint8_t pid, uint8_t subModel);

// Model name the host shows for a product identifier ("Quil", "Nimbra 16",
// ..., "Unknown!").
std::string_view ModelName(uint8_t pid);

// Card label for a card type ("VX-DANTE", "VX-HD", ...; "none" for 0,
// "unknown" otherwise).
std::string_view CardName(uint8_t type);

// Packed serial number: owner in bits 31..24, year bits 3..0 in 23..20, year
// bits 5..4 in 19..18, week in 17..12, unit number in 11..0.
uint32_t PackSerial(uint8_t owner, unsigned year, unsigned week, unsigned unit);

struct SerialFields {
    uint8_t owner = 0;
    unsigned year = 0;  // since 2000, 0..63
    unsigned week = 0;  // 0..63
    unsigned unit = 0;  // 0..4095
};
SerialFields UnpackSerial(uint32_t serial);

// Ten-character text form: owner as two hex digits, year, week (two decimal
// digits each) and unit number (four decimal digits), e.g. "3118220001".
std::string SerialText(uint32_t serial);

// Reads the ten-character form back; nullopt for anything else.
std::optional<uint32_t> ParseSerialText(std::string_view text);

// Serial registers (week, year, unit low, unit high) of a packed number;
// all 0xFF for kNoSerial.
std::array<uint8_t, 4> SerialRegisters(uint32_t serial);

// The packed number four serial registers hold, with `owner` on top;
// kNoSerial when the week register is 0 or 0xFF.
uint32_t SerialFromRegisters(uint8_t owner, std::span<const uint8_t, 4> regs);

// Firmware date word: day in bits 4..0, year bits 6..4 in 7..5, month in
// 11..8, year bits 3..0 in 15..12; the year counts from 2000.
uint16_t FirmwareDateWord(unsigned year, unsigned month, unsigned day);

struct DateFields {
    unsigned year = 0;  // since 2000
    unsigned month = 0;
    unsigned day = 0;
};
DateFields UnpackFirmwareDate(uint16_t word);

// Fills the whole register file of a freshly powered unit: zero except the
// identity registers (1, 6, 7, 8, 10, 11, 12..15) and the option card's
// (16, 17, 18, 20, 28..31).
void PresetRegisters(const UnitDescription& unit, std::span<uint8_t, kRegisterCount> registers);

// A readable multi-line description (model, firmware, date, board, serial,
// card), used in unit.txt and by the tools.
std::string DescribeUnit(const UnitDescription& unit);

}  // namespace sim
