// The mixer controls of CNimbraRemote: thin accessors over the register
// image. A getter reads bits of the image and never sends; a setter changes
// bits of the image and writes the whole register to the unit, without
// looking at the send result. Families that share a rule (coded fields,
// single bits, the channel tables, the 16-bit-address maps) go through one
// helper each, driven by a small description of the register and its bits.
#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>
#include <span>

#include "remote/nimbra_remote.h"

namespace {

constexpr uint16_t REG_SELECTOR = 2;
constexpr uint16_t REG_SOURCE = 3;  // bits 2..0 source, 3 option, 6..4 rate, 7 rate status
constexpr uint16_t REG_MODES = 4;
constexpr uint16_t REG_FLAGS5 = 5;
constexpr uint16_t REG_OPTION_WORD = 7;  // 7 (low) and 8 (high)
constexpr uint16_t REG_CARD_FLAGS = 19;  // bit 0: the card sets the clock
constexpr uint16_t REG_INDEX20 = 20;
constexpr uint16_t REG_INDEX21 = 21;
constexpr uint16_t REG_INDEX22 = 22;  // 22 (low) and 23 (high)
constexpr uint16_t REG_VALUE24 = 24;
constexpr uint16_t REG_FLAGS42 = 42;
constexpr uint16_t REG_FLAGS124 = 124;
constexpr uint16_t REG_FLAGS125 = 125;
constexpr uint16_t REG_RATE_FIELDS = 126;  // 126 (low) and 127 (high): five 3-bit fields
constexpr uint16_t REG_METERS_BANK1 = 128;
constexpr uint16_t REG_METERS_BANK0 = 192;
constexpr uint16_t REG_ROUTE_A = 256;
constexpr uint16_t REG_ROUTE_B = 384;
constexpr uint16_t REG_OUTPUT_LEVEL = 512;
constexpr uint16_t REG_MASK = 544;
constexpr uint16_t REG_MATRIX = 1024;

constexpr uint8_t kCmdReload = 1;
constexpr uint8_t kSourceMask = 0x07;
constexpr uint8_t kRateStatus = 0x80;
constexpr uint8_t kSourceInternal = 5;  // the source code that reports no rate status
constexpr uint8_t kNoCode = 0xFF;

constexpr std::array<uint32_t, 6> kRatesHz = {44100, 48000, 88200, 96000, 176400, 192000};

// Source codes of register 3 bits 2..0 by source number, per model.
constexpr std::array<uint8_t, 7> kQuilSources = {5, 4, 2, 7, 0, kNoCode, kNoCode};
constexpr std::array<uint8_t, 8> kNimbraNSources = {0, 1, 2, kNoCode, 4, 5, 6, 7};
constexpr std::array<uint8_t, 7> kSiblingSources = {5, 4, 3, 6, 2, 1, 0};

// The Quil's first selector (register 2 bits 3..0) by input number.
constexpr std::array<uint8_t, 8> kQuilSelectorCodes = {7, 6, 5, 4, 0, 10, 9, 8};
constexpr uint8_t kQuilSelectorUnknown = 2;

// A field of a register whose values are codes, value n being codes[n].
struct CodedField {
    uint16_t reg;
    uint8_t mask;
    std::span<const uint8_t> codes;
};
constexpr std::array<uint8_t, 4> kModeACodes = {2, 1, 0, 3};
constexpr std::array<uint8_t, 4> kModeBCodes = {8, 4, 0, 12};
constexpr CodedField kModeA{REG_MODES, 0x03, kModeACodes};
constexpr CodedField kModeB{REG_MODES, 0x0C, kModeBCodes};

// The value whose code is `code`; none when no value maps to it.
std::optional<uint8_t> ValueOfCode(std::span<const uint8_t> codes, uint8_t code) {
    const auto found = std::find(codes.begin(), codes.end(), code);
    if (code == kNoCode || found == codes.end()) return std::nullopt;
    return static_cast<uint8_t>(found - codes.begin());
}

// One bit of a register. `inverted`: the unit stores the opposite of what
// the caller means. `oneWhileOffline`: reads as 1 while no unit is selected.
struct BitControl {
    uint16_t reg;
    uint8_t bit;
    bool inverted = false;
    bool oneWhileOffline = false;
};
constexpr BitControl kReg4Bit4{REG_MODES, 4};
constexpr BitControl kReg4Bit5{REG_MODES, 5};
constexpr BitControl kReg4Bit6{REG_MODES, 6};
constexpr BitControl kReg4Bit7{REG_MODES, 7, true};
constexpr BitControl kReg5Bit0{REG_FLAGS5, 0, false, true};
constexpr BitControl kReg5Bit1{REG_FLAGS5, 1, false, true};
constexpr BitControl kReg5Bit2{REG_FLAGS5, 2, false, true};
constexpr BitControl kReg5Bit3{REG_FLAGS5, 3};
constexpr BitControl kReg5Bit5{REG_FLAGS5, 5};
constexpr BitControl kReg19Bit4{REG_CARD_FLAGS, 4};
constexpr BitControl kReg19Bit5{REG_CARD_FLAGS, 5};
constexpr BitControl kSourceOptionBit{REG_SOURCE, 3};

// Channel tables of the sibling models: 18 columns, 32 groups.
constexpr uint8_t kColumns = 18;
constexpr uint8_t kGroups = 32;
constexpr uint8_t kExtendedColumnGroups = 4;  // columns 2..17 are set for groups 0..3 only
constexpr uint8_t kChannelOffCode = 0xFF;
constexpr uint8_t kLevelMax = 0xFE;

uint16_t LevelRegister(uint8_t column, uint8_t group) {
    if (column == 0) return static_cast<uint16_t>(128 + 4 * group);
    if (column == 1) return static_cast<uint16_t>(130 + 4 * group);
    return static_cast<uint16_t>(256 + 2 * (column - 2) + 32 * group);
}

// Matrix and output levels: tenths of a dB, 0.5 dB per code step, code 24
// at 0 dB.
constexpr int32_t kMatrixMin = -960;
constexpr int32_t kMatrixMax = 120;
constexpr int32_t kOutputMax = 0;
constexpr int32_t kLevelAtCodeZero = 120;
constexpr int32_t kTenthsPerCode = 5;
constexpr uint8_t kExtendedIndexLimit = 32;

uint8_t LevelCode(int32_t level, int32_t low, int32_t high) {
    return static_cast<uint8_t>(24 - std::clamp(level, low, high) / kTenthsPerCode);
}
int32_t CodeLevel(uint8_t code) { return kLevelAtCodeZero - kTenthsPerCode * int32_t{code}; }

constexpr uint8_t Bit(uint8_t n) { return static_cast<uint8_t>(1u << n); }

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers

NimbraStatus CNimbraRemote::WriteImageRegister(uint16_t reg, uint8_t value) {
    if (!RegisterWritable(reg)) return kStatusOutOfRange;
    m_registers[reg] = value;
    WriteRegister(reg, value);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetControlBit(uint16_t reg, uint8_t bit, bool on) {
    const uint8_t mask = Bit(bit);
    return WriteImageRegister(reg, static_cast<uint8_t>(on ? (m_registers[reg] | mask) : (m_registers[reg] & ~mask)));
}

NimbraStatus CNimbraRemote::GetControlBit(uint16_t reg, uint8_t bit, bool inverted, bool oneWhileOffline, uint8_t* on) {
    if (on == nullptr) return kStatusFailed;
    if (oneWhileOffline && m_offline != 0) {
        *on = 1;
        return kStatusOk;
    }
    const bool set = (m_registers[reg] & Bit(bit)) != 0;
    *on = (set != inverted) ? 1 : 0;
    return kStatusOk;
}

#define QUIL_BIT_SETTER(Name, control)                                                        \
    NimbraStatus CNimbraRemote::Name(uint8_t on) {                                            \
        return SetControlBit(control.reg, control.bit, control.inverted ? on == 0 : on != 0); \
    }
#define QUIL_BIT_GETTER(Name, control)                                                                 \
    NimbraStatus CNimbraRemote::Name(uint8_t* on) {                                                    \
        return GetControlBit(control.reg, control.bit, control.inverted, control.oneWhileOffline, on); \
    }

bool CNimbraRemote::SourceLocked() const {
    return m_registers[REMO_VX_TYPE] == kCardVxUsb || (m_registers[REG_CARD_FLAGS] & 0x01) != 0;
}

// ---------------------------------------------------------------------------
// Register 2: selectors

NimbraStatus CNimbraRemote::SetSelector(uint8_t kind, uint8_t value) {
    uint8_t reg = m_registers[REG_SELECTOR];
    if (IsQuil()) {
        if (kind == 0 && value < kQuilSelectorCodes.size()) {
            reg = static_cast<uint8_t>((reg & 0xF0) | kQuilSelectorCodes[value]);
        } else if (kind == 1 && value <= 7) {
            reg = static_cast<uint8_t>((reg & 0x0F) | (value << 4));
        }
    } else if (kind < 8) {
        reg = static_cast<uint8_t>(value == 1 ? (reg | Bit(kind)) : (reg & ~Bit(kind)));
    } else {
        reg = value == 1 ? 0xFF : 0x00;
    }
    // The image follows only when the unit reports register 2 back.
    WriteRegister(REG_SELECTOR, reg);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetSelector(uint8_t kind, uint8_t* value) {
    if (value == nullptr || m_offline != 0) return kStatusFailed;
    const uint8_t reg = m_registers[REG_SELECTOR];
    if (IsQuil()) {
        if (kind == 0) {
            *value = ValueOfCode(kQuilSelectorCodes, reg & 0x0F).value_or(kQuilSelectorUnknown);
        } else if (kind == 1) {
            *value = (reg & 0x80) != 0 ? 2 : static_cast<uint8_t>(reg >> 4);
        } else {
            return kStatusOutOfRange;
        }
        return kStatusOk;
    }
    *value = static_cast<uint8_t>(kind < 8 ? (reg >> kind) & 1 : (reg == 0xFF ? 1 : 0));
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Register 3: source, option, rate status

std::span<const uint8_t> CNimbraRemote::SourceCodes() {
    const uint8_t pid = Pid();
    if (pid == kPidQuil) return kQuilSources;
    if (pid == kPidNimbraN) return kNimbraNSources;
    return kSiblingSources;
}

NimbraStatus CNimbraRemote::SetSourceSelect(uint8_t value) {
    if (SourceLocked()) return kStatusFailed;
    const std::span<const uint8_t> codes = SourceCodes();
    if (value >= codes.size() || codes[value] == kNoCode) return kStatusOutOfRange;
    return WriteImageRegister(REG_SOURCE,
                              static_cast<uint8_t>((m_registers[REG_SOURCE] & ~kSourceMask) | codes[value]));
}

NimbraStatus CNimbraRemote::GetSourceSelect(uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    if (const auto source = ValueOfCode(SourceCodes(), m_registers[REG_SOURCE] & kSourceMask)) *value = *source;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetSourceOption(uint8_t on) {
    if (SourceLocked()) return kStatusFailed;
    return SetControlBit(kSourceOptionBit.reg, kSourceOptionBit.bit, on != 0);
}

QUIL_BIT_GETTER(GetSourceOption, kSourceOptionBit)

NimbraStatus CNimbraRemote::GetRateStatus(uint8_t* status) {
    if (status == nullptr) return kStatusFailed;
    const uint8_t reg = m_registers[REG_SOURCE];
    *status = (reg & kSourceMask) == kSourceInternal ? 0 : ((reg & kRateStatus) != 0 ? 1 : 0);
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Register 4: two coded modes and four bits

NimbraStatus CNimbraRemote::SetCodedField(uint16_t reg, uint8_t mask, std::span<const uint8_t> codes, uint8_t value) {
    if (value >= codes.size()) return kStatusOutOfRange;
    return WriteImageRegister(reg, static_cast<uint8_t>((m_registers[reg] & ~mask) | codes[value]));
}

NimbraStatus CNimbraRemote::GetCodedField(uint16_t reg, uint8_t mask, std::span<const uint8_t> codes, uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    if (const auto found = ValueOfCode(codes, m_registers[reg] & mask)) *value = *found;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetModeA(uint8_t value) {
    return SetCodedField(kModeA.reg, kModeA.mask, kModeA.codes, value);
}
NimbraStatus CNimbraRemote::GetModeA(uint8_t* value) {
    return GetCodedField(kModeA.reg, kModeA.mask, kModeA.codes, value);
}
NimbraStatus CNimbraRemote::SetModeB(uint8_t value) {
    return SetCodedField(kModeB.reg, kModeB.mask, kModeB.codes, value);
}
NimbraStatus CNimbraRemote::GetModeB(uint8_t* value) {
    return GetCodedField(kModeB.reg, kModeB.mask, kModeB.codes, value);
}

QUIL_BIT_SETTER(SetReg4Bit4, kReg4Bit4)
QUIL_BIT_GETTER(GetReg4Bit4, kReg4Bit4)
QUIL_BIT_SETTER(SetReg4Bit5, kReg4Bit5)
QUIL_BIT_GETTER(GetReg4Bit5, kReg4Bit5)
QUIL_BIT_SETTER(SetReg4Bit6, kReg4Bit6)
QUIL_BIT_GETTER(GetReg4Bit6, kReg4Bit6)
QUIL_BIT_SETTER(SetReg4Bit7, kReg4Bit7)
QUIL_BIT_GETTER(GetReg4Bit7, kReg4Bit7)

// ---------------------------------------------------------------------------
// Registers 5 and 19 (register 5 bit 4 belongs to SelectXSlotFirmware)

QUIL_BIT_GETTER(GetReg5Bit0, kReg5Bit0)
QUIL_BIT_GETTER(GetReg5Bit1, kReg5Bit1)
QUIL_BIT_SETTER(SetReg5Bit2, kReg5Bit2)
QUIL_BIT_GETTER(GetReg5Bit2, kReg5Bit2)
QUIL_BIT_SETTER(SetReg5Bit3, kReg5Bit3)
QUIL_BIT_GETTER(GetReg5Bit5, kReg5Bit5)
QUIL_BIT_SETTER(SetReg19Bit4, kReg19Bit4)
QUIL_BIT_GETTER(GetReg19Bit4, kReg19Bit4)
QUIL_BIT_SETTER(SetReg19Bit5, kReg19Bit5)
QUIL_BIT_GETTER(GetReg19Bit5, kReg19Bit5)

NimbraStatus CNimbraRemote::GetReg5Bit3(uint8_t* on) {
    if (on == nullptr) return kStatusFailed;
    // A VX-DANTE card always reports this bit set.
    if (m_registers[REMO_VX_TYPE] == kCardVxDante) {
        *on = 1;
        return kStatusOk;
    }
    return GetControlBit(kReg5Bit3.reg, kReg5Bit3.bit, false, false, on);
}

#undef QUIL_BIT_SETTER
#undef QUIL_BIT_GETTER

// ---------------------------------------------------------------------------
// Plain getters

NimbraStatus CNimbraRemote::GetSubModel(uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_registers[REG_SUB_MODEL];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetOptionBits(uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_registers[REG_OPTION_WORD] & 0x3F;
    return kStatusOk;
}

uint16_t CNimbraRemote::Word(uint16_t low) const {
    return static_cast<uint16_t>(m_registers[low] | (m_registers[low + 1] << 8));
}

NimbraStatus CNimbraRemote::GetOptionWord(uint16_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = Word(REG_OPTION_WORD);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetValue24(uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_registers[REG_VALUE24] <= 150 ? m_registers[REG_VALUE24] : 0;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetIndex20(uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_registers[REG_INDEX20] == 0xFF ? 0 : static_cast<uint8_t>(m_registers[REG_INDEX20] + 1);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetIndex21(uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_registers[REG_INDEX21] == 0xFF ? 0 : static_cast<uint8_t>(m_registers[REG_INDEX21] + 1);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetIndex22(uint16_t* value) {
    if (value == nullptr) return kStatusFailed;
    const uint16_t word = Word(REG_INDEX22);
    *value = word == 0xFFFF ? 0 : static_cast<uint16_t>(word + 1);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::IsExtendedMixer(uint8_t* extended) {
    if (extended == nullptr) return kStatusFailed;
    *extended = m_extendedMixer ? 1 : 0;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::NoOperation() { return kStatusOk; }

uint16_t CNimbraRemote::Reg125Bit2() { return (m_registers[REG_FLAGS125] >> 2) & 1; }
uint16_t CNimbraRemote::Reg124Bit7() { return (m_registers[REG_FLAGS124] >> 7) & 1; }
uint16_t CNimbraRemote::Reg42Bit3() { return (m_registers[REG_FLAGS42] >> 3) & 1; }

NimbraStatus CNimbraRemote::GetReg125Bit7(uint8_t* on) {
    if (on == nullptr) return kStatusFailed;
    *on = m_extendedAddressing ? static_cast<uint8_t>(m_registers[REG_FLAGS125] >> 7) : 1;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetRateField(uint8_t field, uint32_t* rate) {
    if (rate == nullptr || !m_extendedAddressing) return kStatusFailed;
    const size_t code =
        field <= 4 ? static_cast<size_t>((Word(REG_RATE_FIELDS) >> (3 * field)) & 0x07) : kRatesHz.size();
    *rate = code < kRatesHz.size() ? kRatesHz[code] : 0;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetMeter(uint8_t bank, uint8_t index, uint32_t* value, uint8_t* flag) {
    if (value == nullptr || flag == nullptr) return kStatusFailed;
    if (index >= kExtendedIndexLimit) return kStatusOutOfRange;
    const uint16_t word = Word(static_cast<uint16_t>((bank != 0 ? REG_METERS_BANK1 : REG_METERS_BANK0) + 2 * index));
    *flag = static_cast<uint8_t>(word >> 15);
    // 0x4000 in the low 15 bits marks a meter past full scale.
    *value = (word & 0x7FFF) == 0x4000 ? 0x7FFFF : static_cast<uint32_t>(word & 0x3FFF) << 5;
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Channel tables of the sibling models

NimbraStatus CNimbraRemote::SetChannelLevel(uint8_t column, uint8_t group, uint8_t level) {
    if (!ChannelSettable(column, group)) return kStatusOutOfRange;
    if (level == kChannelOffCode) level = kLevelMax;
    if (m_channelLevel[group][column] == level) return kStatusOk;
    m_channelLevel[group][column] = level;
    // An off channel keeps its level for the moment it is switched on again.
    if (m_channelOff[group][column] == 0) WriteImageRegister(LevelRegister(column, group), level);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetChannelOff(uint8_t column, uint8_t group, uint8_t off) {
    if (!ChannelSettable(column, group)) return kStatusOutOfRange;
    if (m_channelOff[group][column] == off) return kStatusOk;
    m_channelOff[group][column] = off;
    WriteImageRegister(LevelRegister(column, group), off != 0 ? kChannelOffCode : m_channelLevel[group][column]);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetChannelTrim(uint8_t column, uint8_t group, uint8_t trim) {
    if (!ChannelSettable(column, group)) return kStatusOutOfRange;
    if (m_channelTrim[group][column] == trim) return kStatusOk;
    m_channelTrim[group][column] = trim;
    WriteImageRegister(static_cast<uint16_t>(LevelRegister(column, group) + 1), trim);
    return kStatusOk;
}

bool CNimbraRemote::ChannelSettable(uint8_t column, uint8_t group) {
    if (column >= kColumns || group >= kGroups) return false;
    if (column >= 2 && group >= kExtendedColumnGroups) return false;
    // Groups 24..31 of columns 0 and 1 sit at registers 224..255, which a
    // unit without 16-bit addresses cannot be written at.
    const uint16_t level = LevelRegister(column, group);
    return RegisterWritable(level) && RegisterWritable(static_cast<uint16_t>(level + 1));
}

NimbraStatus CNimbraRemote::ReadChannelTable(const ChannelTable& table, uint8_t column, uint8_t group, uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    if (column >= kColumns || group >= kGroups) return kStatusOutOfRange;
    *value = table[group][column];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetChannelLevel(uint8_t column, uint8_t group, uint8_t* level) {
    return ReadChannelTable(m_channelLevel, column, group, level);
}
NimbraStatus CNimbraRemote::GetChannelOff(uint8_t column, uint8_t group, uint8_t* off) {
    return ReadChannelTable(m_channelOff, column, group, off);
}
NimbraStatus CNimbraRemote::GetChannelTrim(uint8_t column, uint8_t group, uint8_t* trim) {
    return ReadChannelTable(m_channelTrim, column, group, trim);
}

// Entries are numbered from 8 on, as the unit's registers 72 and up.
NimbraStatus CNimbraRemote::GetTableA(uint8_t n, uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_tableA[static_cast<uint8_t>(n - 8) & 0x3F];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetTableB(uint8_t n, uint8_t* value) {
    if (value == nullptr) return kStatusFailed;
    *value = m_tableB[static_cast<uint8_t>(n - 8) & 0x3F];
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// The 16-bit-address maps of a Quil with firmware 6 and later: matrix,
// output levels, routing and mask bits. Without those addresses, or for an
// index of 32 or more, each refuses with 1.

bool CNimbraRemote::ExtendedIndexes(std::initializer_list<unsigned> indexes) const {
    if (!m_extendedAddressing) return false;
    return std::all_of(indexes.begin(), indexes.end(), [](unsigned i) { return i < kExtendedIndexLimit; });
}

NimbraStatus CNimbraRemote::SetMatrixLevel(uint8_t row, uint8_t column, int32_t level) {
    if (!ExtendedIndexes({row, column})) return kStatusFailed;
    return WriteImageRegister(static_cast<uint16_t>(REG_MATRIX + 32 * row + column),
                              LevelCode(level, kMatrixMin, kMatrixMax));
}

NimbraStatus CNimbraRemote::GetMatrixLevel(uint8_t row, uint8_t column, int32_t* level) {
    if (level == nullptr || !ExtendedIndexes({row, column})) return kStatusFailed;
    *level = CodeLevel(m_registers[REG_MATRIX + 32 * row + column]);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetOutputLevel(uint8_t channel, int32_t level) {
    if (!ExtendedIndexes({channel})) return kStatusFailed;
    return WriteImageRegister(static_cast<uint16_t>(REG_OUTPUT_LEVEL + channel),
                              LevelCode(level, kMatrixMin, kOutputMax));
}

NimbraStatus CNimbraRemote::GetOutputLevel(uint8_t channel, int32_t* level) {
    if (level == nullptr || !ExtendedIndexes({channel})) return kStatusFailed;
    const uint8_t code = m_registers[REG_OUTPUT_LEVEL + channel];
    *level = code >= 24 ? CodeLevel(code) : 0;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetRouteBitA(uint8_t row, uint8_t bit, uint8_t on) {
    if (!ExtendedIndexes({row, bit})) return kStatusFailed;
    return SetControlBit(static_cast<uint16_t>(REG_ROUTE_A + 4 * row + bit / 8), bit % 8, on != 0);
}

NimbraStatus CNimbraRemote::GetRouteBitA(uint8_t row, uint8_t bit, uint8_t* on) {
    if (!ExtendedIndexes({row, bit})) return kStatusFailed;
    return GetControlBit(static_cast<uint16_t>(REG_ROUTE_A + 4 * row + bit / 8), bit % 8, false, false, on);
}

NimbraStatus CNimbraRemote::SetRouteBitB(uint8_t row, uint8_t bit, uint8_t on) {
    if (!ExtendedIndexes({row, bit})) return kStatusFailed;
    return SetControlBit(static_cast<uint16_t>(REG_ROUTE_B + 4 * row + bit / 8), bit % 8, on != 0);
}

NimbraStatus CNimbraRemote::GetRouteBitB(uint8_t row, uint8_t bit, uint8_t* on) {
    if (!ExtendedIndexes({row, bit})) return kStatusFailed;
    return GetControlBit(static_cast<uint16_t>(REG_ROUTE_B + 4 * row + bit / 8), bit % 8, false, false, on);
}

NimbraStatus CNimbraRemote::SetMaskBit(uint16_t bit, uint8_t on) {
    if (!ExtendedIndexes({bit})) return kStatusFailed;
    return SetControlBit(static_cast<uint16_t>(REG_MASK + bit / 8), static_cast<uint8_t>(bit % 8), on != 0);
}

NimbraStatus CNimbraRemote::GetMaskBit(uint16_t bit, uint8_t* on) {
    if (!ExtendedIndexes({bit})) return kStatusFailed;
    return GetControlBit(static_cast<uint16_t>(REG_MASK + bit / 8), static_cast<uint8_t>(bit % 8), false, false, on);
}

// ---------------------------------------------------------------------------
// Reloading the whole register file

NimbraStatus CNimbraRemote::ReloadRegisters() {
    SendCommand(kCmdReload);
    RequestRegisterStatusVerified(0, 127);
    // The maps above 255 exist, and can be asked for, only with 16-bit
    // addresses: the short form would name other registers.
    if (m_extendedAddressing) {
        RequestRegisterStatusVerified(256, 547);
        RequestRegisterStatusVerified(1024, 2047);
    }
    return kStatusOk;
}
