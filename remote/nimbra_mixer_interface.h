// The abstract control interface of a converter of the family: every
// operation a front end may use to identify, program and mix a unit. The
// remote-control engine CNimbraRemote is its only implementation.
//
// The 113 virtual operations keep a fixed slot order (the destructor is slot
// 0); the comment in front of each group gives the first slot number. Every
// operation returns a 16-bit status (0 ok, 1 refused or failed, 2 argument out
// of range) and delivers values through out-parameters, unless noted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "links/nimbra_interface.h"

// Called after a reply touched one of the two watched registers.
using NimbraChangeCallback = void (*)(uint32_t user1, uint32_t user2);

class CNimbraMixerInterface {
public:
    // Slot 0.
    virtual ~CNimbraMixerInterface() = default;

    // Slots 1 to 10: engine set-up, links and polling.
    virtual NimbraStatus SetDeviceName(const char* name) = 0;
    virtual NimbraStatus SetLinkMask(uint32_t mask) = 0;
    virtual NimbraStatus SetSecondaryName(const char* name) = 0;
    virtual NimbraStatus Open() = 0;
    virtual NimbraStatus Close() = 0;
    virtual NimbraStatus Service() = 0;
    virtual NimbraStatus IsOffline(uint8_t* offline) = 0;
    virtual NimbraStatus GetFirmwareMinor(uint8_t* minor) = 0;
    virtual NimbraStatus ResumePolling() = 0;
    virtual NimbraStatus SetPollMode(uint8_t mode) = 0;

    // Slots 11 to 25: firmware transfer and serial numbers.
    virtual NimbraStatus GetProgramStatus(uint8_t* status) = 0;
    virtual NimbraStatus GetProgramProgress(uint8_t* phase, uint8_t* progress, uint8_t* third) = 0;
    virtual NimbraStatus SelectAlternateBank() = 0;
    virtual NimbraStatus SelectBank(uint8_t bank) = 0;
    virtual NimbraStatus EraseEEPROM() = 0;
    virtual NimbraStatus WaitForResponse(uint32_t replies) = 0;
    virtual NimbraStatus WriteFirmwarePacket(const uint8_t* data, uint32_t length) = 0;
    virtual NimbraStatus RequestVerifyPacket() = 0;
    virtual NimbraStatus ReadVerifyPacket(uint8_t* dest, uint32_t length) = 0;
    virtual NimbraStatus SetProgrammingComplete() = 0;
    virtual NimbraStatus AbortProgramming() = 0;
    virtual NimbraStatus WriteSerialNumber(uint32_t serial) = 0;
    virtual NimbraStatus WriteXSlotSerialNumber(uint32_t serial) = 0;
    virtual NimbraStatus SelectXSlotFirmware(uint8_t select) = 0;
    virtual NimbraStatus SetFirmwareSize(uint32_t length) = 0;

    // Slots 26 to 35: connections and identity.
    virtual NimbraStatus GetNumberOfConnections(uint16_t* count) = 0;
    virtual NimbraStatus SelectConnection(uint16_t index) = 0;
    virtual NimbraStatus GetSelectedConnection(uint16_t* index) = 0;
    virtual NimbraStatus GetLinkType(uint16_t* type) = 0;
    virtual NimbraStatus GetConnectionDescription(uint16_t index, char* text, size_t size, uint8_t* pid) = 0;
    virtual NimbraStatus GetSerialNumber(uint32_t* serial) = 0;
    virtual NimbraStatus GetPID(uint8_t* pid) = 0;
    // True for a Quil (product identifier 0x31); no status.
    virtual bool IsQuil() = 0;
    virtual NimbraStatus GetHardwareRevision(uint8_t* revision) = 0;
    virtual NimbraStatus GetFirmwareMajor(uint8_t* major) = 0;

    // Slots 36 to 44: input selectors and sample rate (registers 2 and 3).
    virtual NimbraStatus SetSelector(uint8_t kind, uint8_t value) = 0;
    virtual NimbraStatus GetSelector(uint8_t kind, uint8_t* value) = 0;
    virtual NimbraStatus SetSourceSelect(uint8_t value) = 0;
    virtual NimbraStatus GetSourceSelect(uint8_t* value) = 0;
    virtual NimbraStatus SetSourceOption(uint8_t on) = 0;
    virtual NimbraStatus GetSourceOption(uint8_t* on) = 0;
    virtual NimbraStatus SetSampleRate(uint8_t index) = 0;
    virtual NimbraStatus GetSampleRate(uint8_t* index) = 0;
    virtual NimbraStatus GetRateStatus(uint8_t* status) = 0;

    // Slots 45 to 56: register 4.
    virtual NimbraStatus SetModeA(uint8_t value) = 0;
    virtual NimbraStatus GetModeA(uint8_t* value) = 0;
    virtual NimbraStatus SetModeB(uint8_t value) = 0;
    virtual NimbraStatus GetModeB(uint8_t* value) = 0;
    virtual NimbraStatus SetReg4Bit4(uint8_t on) = 0;
    virtual NimbraStatus GetReg4Bit4(uint8_t* on) = 0;
    virtual NimbraStatus SetReg4Bit5(uint8_t on) = 0;
    virtual NimbraStatus GetReg4Bit5(uint8_t* on) = 0;
    virtual NimbraStatus SetReg4Bit6(uint8_t on) = 0;
    virtual NimbraStatus GetReg4Bit6(uint8_t* on) = 0;
    virtual NimbraStatus SetReg4Bit7(uint8_t on) = 0;
    virtual NimbraStatus GetReg4Bit7(uint8_t* on) = 0;

    // Slots 57 to 63: register 5 (bit 4 belongs to SelectXSlotFirmware).
    virtual NimbraStatus GetReg5Bit0(uint8_t* on) = 0;
    virtual NimbraStatus GetReg5Bit1(uint8_t* on) = 0;
    virtual NimbraStatus SetReg5Bit2(uint8_t on) = 0;
    virtual NimbraStatus GetReg5Bit2(uint8_t* on) = 0;
    virtual NimbraStatus SetReg5Bit3(uint8_t on) = 0;
    virtual NimbraStatus GetReg5Bit3(uint8_t* on) = 0;
    virtual NimbraStatus GetReg5Bit5(uint8_t* on) = 0;

    // Slots 64 to 71: model variants and the option card.
    virtual NimbraStatus GetSubModel(uint8_t* value) = 0;
    virtual NimbraStatus GetOptionBits(uint8_t* value) = 0;
    virtual NimbraStatus GetVariant1824(uint8_t* isVariant) = 0;
    virtual NimbraStatus GetVariantVT(uint8_t* isVariant) = 0;
    virtual NimbraStatus GetXSlotCardType(uint8_t* type) = 0;
    virtual NimbraStatus GetXSlotSerialNumber(uint32_t* serial) = 0;
    // minor may be null.
    virtual NimbraStatus GetXSlotFirmwareVersion(uint8_t* major, uint8_t* minor) = 0;
    virtual NimbraStatus GetXSlotHardwareRevision(uint8_t* revision) = 0;

    // Slots 72 to 78: register 19, the register-64 tables, and a slot that
    // does nothing and returns 0.
    virtual NimbraStatus SetReg19Bit4(uint8_t on) = 0;
    virtual NimbraStatus GetReg19Bit4(uint8_t* on) = 0;
    virtual NimbraStatus SetReg19Bit5(uint8_t on) = 0;
    virtual NimbraStatus GetReg19Bit5(uint8_t* on) = 0;
    virtual NimbraStatus GetTableA(uint8_t n, uint8_t* value) = 0;
    virtual NimbraStatus GetTableB(uint8_t n, uint8_t* value) = 0;
    virtual NimbraStatus NoOperation() = 0;

    // Slots 79 to 85: channel levels of the sibling models.
    virtual NimbraStatus SetChannelLevel(uint8_t column, uint8_t group, uint8_t level) = 0;
    virtual NimbraStatus GetChannelLevel(uint8_t column, uint8_t group, uint8_t* level) = 0;
    virtual NimbraStatus SetChannelOff(uint8_t column, uint8_t group, uint8_t off) = 0;
    virtual NimbraStatus GetChannelOff(uint8_t column, uint8_t group, uint8_t* off) = 0;
    virtual NimbraStatus SetChannelTrim(uint8_t column, uint8_t group, uint8_t trim) = 0;
    virtual NimbraStatus GetChannelTrim(uint8_t column, uint8_t group, uint8_t* trim) = 0;
    virtual NimbraStatus IsExtendedMixer(uint8_t* extended) = 0;

    // Slots 86 to 98: plain register getters and general operations.
    virtual NimbraStatus GetValue24(uint8_t* value) = 0;
    virtual NimbraStatus GetIndex20(uint8_t* value) = 0;
    virtual NimbraStatus GetIndex21(uint8_t* value) = 0;
    virtual NimbraStatus GetIndex22(uint16_t* value) = 0;
    virtual NimbraStatus GetOptionWord(uint16_t* value) = 0;
    virtual NimbraStatus SetHostReportMode(uint8_t value) = 0;
    virtual NimbraStatus ReloadRegisters() = 0;
    virtual NimbraStatus GetFirmwareDate(uint16_t* date) = 0;
    virtual NimbraStatus GetReg125Bit7(uint8_t* on) = 0;
    // The next three return the bit itself instead of a status.
    virtual uint16_t Reg125Bit2() = 0;
    virtual uint16_t Reg124Bit7() = 0;
    virtual uint16_t Reg42Bit3() = 0;
    virtual NimbraStatus GetRateField(uint8_t field, uint32_t* rate) = 0;

    // Slots 99 to 109: meters, matrix, output levels and routing (16-bit
    // register addresses).
    virtual NimbraStatus GetMeter(uint8_t bank, uint8_t index, uint32_t* value, uint8_t* flag) = 0;
    virtual NimbraStatus SetMatrixLevel(uint8_t row, uint8_t column, int32_t level) = 0;
    virtual NimbraStatus GetMatrixLevel(uint8_t row, uint8_t column, int32_t* level) = 0;
    virtual NimbraStatus SetOutputLevel(uint8_t channel, int32_t level) = 0;
    virtual NimbraStatus GetOutputLevel(uint8_t channel, int32_t* level) = 0;
    virtual NimbraStatus SetRouteBitA(uint8_t row, uint8_t bit, uint8_t on) = 0;
    virtual NimbraStatus GetRouteBitA(uint8_t row, uint8_t bit, uint8_t* on) = 0;
    virtual NimbraStatus SetMaskBit(uint16_t bit, uint8_t on) = 0;
    virtual NimbraStatus GetMaskBit(uint16_t bit, uint8_t* on) = 0;
    virtual NimbraStatus SetRouteBitB(uint8_t row, uint8_t bit, uint8_t on) = 0;
    virtual NimbraStatus GetRouteBitB(uint8_t row, uint8_t bit, uint8_t* on) = 0;

    // Slots 110 to 112: raw registers and the change callback.
    virtual NimbraStatus GetRegister(uint16_t reg, uint8_t* value) = 0;
    virtual NimbraStatus SetRegister(uint16_t reg, uint8_t value) = 0;
    virtual NimbraStatus SetChangeCallback(uint16_t first, uint16_t second, NimbraChangeCallback callback,
                                           uint32_t user1, uint32_t user2) = 0;
};
