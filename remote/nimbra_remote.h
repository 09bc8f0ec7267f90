// CNimbraRemote: the remote-control engine. It opens the first link that
// finds a unit, selects a connection and identifies the unit on it, keeps a
// mirror of the unit's 2048 registers fresh by polling, waits for replies
// while the window keeps handling its messages, drops a unit that falls
// silent and selects it again, and offers the firmware-transfer and
// serial-number operations.
//
// Replies carry no tag: a wait counts replies, and a verified request only
// compares the first register of the last reply with the one it asked for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>

#include "links/link_factory.h"
#include "links/nimbra_interface.h"
#include "remote/nimbra_mixer_interface.h"
#include "remote/option_card.h"
#include "remote/receive_queue.h"
#include "remote/sysex_codec.h"

// Link mask bits for SetLinkMask.
inline constexpr uint32_t kLinkMaskDriver = 4;
inline constexpr uint32_t kLinkMaskMidi = 8;
inline constexpr uint32_t kLinkMaskDante = 32;

// Product identifiers (register 1).
inline constexpr uint8_t kPidQuil = 0x31;
inline constexpr uint8_t kPidNimbra16 = 0x26;
inline constexpr uint8_t kPidNimbra8 = 0x27;
inline constexpr uint8_t kPidNimbraN = 0x60;
inline constexpr uint8_t kPidTonelink = 0x80;

// Registers the engine reads or writes itself.
inline constexpr uint16_t REG_ASTAT_PID = 1;
inline constexpr uint16_t REG_OPTION_SELECT = 5;  // bit 4: option card's firmware store
inline constexpr uint16_t REG_SUB_MODEL = 6;
inline constexpr uint16_t REG_DATE_LO = 7;
inline constexpr uint16_t REG_DATE_HI = 8;
inline constexpr uint16_t REG_PGM_STATUS = 9;
inline constexpr uint16_t REG_FW_VERSION = 10;
inline constexpr uint16_t REG_FW_REVISION = 11;
inline constexpr uint16_t REG_SN_WEEK = 12;
inline constexpr uint16_t REG_SN_YEAR = 13;
inline constexpr uint16_t REG_SN_UNIT_LO = 14;
inline constexpr uint16_t REG_SN_UNIT_HI = 15;
inline constexpr uint16_t REMO_VX_TYPE = 16;
inline constexpr uint16_t REMO_VX_FW_MAJOR = 17;
inline constexpr uint16_t REMO_VX_REVISION = 18;
inline constexpr uint16_t REMO_VX_FW_MINOR = 20;
inline constexpr uint16_t REMO_VX_SN_SERNUMHI = 24;
inline constexpr uint16_t REG_HOST_REPORT = 27;
inline constexpr uint16_t REMO_VX_SN_WEEK = 28;
inline constexpr uint16_t REG_IMAGE_LENGTH = 48;  // 48..51, lowest byte first
inline constexpr uint16_t REG_PACKET_CRC = 52;
inline constexpr uint16_t REG_PGM_PHASE = 56;
inline constexpr uint16_t REG_PGM_THIRD = 57;
inline constexpr uint16_t REG_PGM_PROGRESS = 58;

// Programming status bits of register 9.
inline constexpr uint8_t kPgmStatusPip = 0x01;
inline constexpr uint8_t kPgmStatusPgmErr = 0x02;
inline constexpr uint8_t kPgmStatusTxErr = 0x04;
inline constexpr uint8_t kPgmStatusPakRdy = 0x08;
inline constexpr uint8_t kPgmStatusTimeout = 0x20;
inline constexpr uint8_t kPgmStatusActiveBank = 0x80;

// Poll modes (SetPollMode).
inline constexpr uint8_t kPollMonitor = 0;   // register cycle
inline constexpr uint8_t kPollIdentity = 1;  // identity every 50 ms
inline constexpr uint8_t kPollIdle = 2;      // VX-USB identity every 3 s only
inline constexpr uint8_t kPollTransfer = 3;  // no polling, no silence rule, no waiting
inline constexpr uint8_t kPollReadBack = 4;  // replies at 128 and up fill the verify buffer
inline constexpr uint8_t kPollProgress = 5;  // registers 56..58 every 100 ms

inline constexpr uint32_t kRegisterImageSize = 2048;
inline constexpr uint32_t kVerifyBufferSize = 128;
inline constexpr uint32_t kReplyTimeoutMs = 500;
inline constexpr uint32_t kSilenceLimitMs = 1000;
inline constexpr int kVerifiedRequestSends = 6;
// How many waits for four replies a serial-number write allows before it
// gives up on reading the new number back.
inline constexpr int MAX_SN_RETIRES = 64;

inline constexpr uint32_t kNoSerialNumber = 0xFFFFFFFF;

class CNimbraRemote final : public CNimbraMixerInterface, public ReplySink {
public:
    // Links come from `links`, which must outlive the engine.
    explicit CNimbraRemote(LinkFactory& links = DefaultLinks());
    ~CNimbraRemote() override;
    CNimbraRemote(const CNimbraRemote&) = delete;
    CNimbraRemote& operator=(const CNimbraRemote&) = delete;

    // --- Engine set-up, links and polling ---
    NimbraStatus SetDeviceName(const char* name) override;
    NimbraStatus SetLinkMask(uint32_t mask) override;
    NimbraStatus SetSecondaryName(const char* name) override;
    NimbraStatus Open() override;
    NimbraStatus Close() override;
    NimbraStatus Service() override;
    NimbraStatus IsOffline(uint8_t* offline) override;
    NimbraStatus GetFirmwareMinor(uint8_t* minor) override;
    NimbraStatus ResumePolling() override;
    NimbraStatus SetPollMode(uint8_t mode) override;

    // --- Firmware transfer and serial numbers ---
    NimbraStatus GetProgramStatus(uint8_t* status) override;
    NimbraStatus GetProgramProgress(uint8_t* phase, uint8_t* progress, uint8_t* third) override;
    NimbraStatus SelectAlternateBank() override;
    NimbraStatus SelectBank(uint8_t bank) override;
    NimbraStatus EraseEEPROM() override;
    NimbraStatus WaitForResponse(uint32_t replies) override;
    NimbraStatus WriteFirmwarePacket(const uint8_t* data, uint32_t length) override;
    NimbraStatus RequestVerifyPacket() override;
    NimbraStatus ReadVerifyPacket(uint8_t* dest, uint32_t length) override;
    NimbraStatus SetProgrammingComplete() override;
    NimbraStatus AbortProgramming() override;
    NimbraStatus WriteSerialNumber(uint32_t serial) override;
    NimbraStatus WriteXSlotSerialNumber(uint32_t serial) override;
    NimbraStatus SelectXSlotFirmware(uint8_t select) override;
    NimbraStatus SetFirmwareSize(uint32_t length) override;

    // --- Connections and identity ---
    NimbraStatus GetNumberOfConnections(uint16_t* count) override;
    NimbraStatus SelectConnection(uint16_t index) override;
    NimbraStatus GetSelectedConnection(uint16_t* index) override;
    NimbraStatus GetLinkType(uint16_t* type) override;
    // Writes "<model><variant> connected via <connection name>", cut to fit
    // `size` bytes with its terminator.
    NimbraStatus GetConnectionDescription(uint16_t index, char* text, size_t size, uint8_t* pid) override;
    NimbraStatus GetSerialNumber(uint32_t* serial) override;
    NimbraStatus GetPID(uint8_t* pid) override;
    bool IsQuil() override;
    NimbraStatus GetHardwareRevision(uint8_t* revision) override;
    NimbraStatus GetFirmwareMajor(uint8_t* major) override;

    // --- Mixer controls: getters read the image and never send; setters
    // change the image and write the whole register, reporting 0 whatever the
    // send gave. ---
    // Register 2. On a Quil the written value is not stored in the image; it
    // follows when the unit reports register 2. GetSelector refuses while
    // offline.
    NimbraStatus SetSelector(uint8_t kind, uint8_t value) override;
    NimbraStatus GetSelector(uint8_t kind, uint8_t* value) override;
    // Refused (1) with a VX-USB card or while register 19 bit 0 is set; 2 for
    // a source the model has no code for.
    NimbraStatus SetSourceSelect(uint8_t value) override;
    NimbraStatus GetSourceSelect(uint8_t* value) override;
    NimbraStatus SetSourceOption(uint8_t on) override;
    NimbraStatus GetSourceOption(uint8_t* on) override;
    NimbraStatus SetSampleRate(uint8_t index) override;
    NimbraStatus GetSampleRate(uint8_t* index) override;
    NimbraStatus GetRateStatus(uint8_t* status) override;
    NimbraStatus SetModeA(uint8_t value) override;
    NimbraStatus GetModeA(uint8_t* value) override;
    NimbraStatus SetModeB(uint8_t value) override;
    NimbraStatus GetModeB(uint8_t* value) override;
    NimbraStatus SetReg4Bit4(uint8_t on) override;
    NimbraStatus GetReg4Bit4(uint8_t* on) override;
    NimbraStatus SetReg4Bit5(uint8_t on) override;
    NimbraStatus GetReg4Bit5(uint8_t* on) override;
    NimbraStatus SetReg4Bit6(uint8_t on) override;
    NimbraStatus GetReg4Bit6(uint8_t* on) override;
    NimbraStatus SetReg4Bit7(uint8_t on) override;
    NimbraStatus GetReg4Bit7(uint8_t* on) override;
    NimbraStatus GetReg5Bit0(uint8_t* on) override;
    NimbraStatus GetReg5Bit1(uint8_t* on) override;
    NimbraStatus SetReg5Bit2(uint8_t on) override;
    NimbraStatus GetReg5Bit2(uint8_t* on) override;
    NimbraStatus SetReg5Bit3(uint8_t on) override;
    NimbraStatus GetReg5Bit3(uint8_t* on) override;
    NimbraStatus GetReg5Bit5(uint8_t* on) override;
    NimbraStatus GetSubModel(uint8_t* value) override;
    NimbraStatus GetOptionBits(uint8_t* value) override;

    // --- Model variants and the option card ---
    // 1 when the unit is the 18/24 variant: firmware major 18 or more and bit
    // 6 of register 7 clear.
    NimbraStatus GetVariant1824(uint8_t* isVariant) override;
    // 1 when firmware major is 18 or more and bit 7 of register 7 is clear.
    NimbraStatus GetVariantVT(uint8_t* isVariant) override;
    NimbraStatus GetXSlotCardType(uint8_t* type) override;
    NimbraStatus GetXSlotSerialNumber(uint32_t* serial) override;
    NimbraStatus GetXSlotFirmwareVersion(uint8_t* major, uint8_t* minor) override;
    NimbraStatus GetXSlotHardwareRevision(uint8_t* revision) override;

    // --- Mixer controls: register 19 and the sibling models' channel tables.
    // Channel setters take columns 0..17 with groups 0..31, groups 0..3 only
    // for columns 2..17 (2 otherwise). ---
    NimbraStatus SetReg19Bit4(uint8_t on) override;
    NimbraStatus GetReg19Bit4(uint8_t* on) override;
    NimbraStatus SetReg19Bit5(uint8_t on) override;
    NimbraStatus GetReg19Bit5(uint8_t* on) override;
    NimbraStatus GetTableA(uint8_t n, uint8_t* value) override;
    NimbraStatus GetTableB(uint8_t n, uint8_t* value) override;
    NimbraStatus NoOperation() override;
    NimbraStatus SetChannelLevel(uint8_t column, uint8_t group, uint8_t level) override;
    NimbraStatus GetChannelLevel(uint8_t column, uint8_t group, uint8_t* level) override;
    NimbraStatus SetChannelOff(uint8_t column, uint8_t group, uint8_t off) override;
    NimbraStatus GetChannelOff(uint8_t column, uint8_t group, uint8_t* off) override;
    NimbraStatus SetChannelTrim(uint8_t column, uint8_t group, uint8_t trim) override;
    NimbraStatus GetChannelTrim(uint8_t column, uint8_t group, uint8_t* trim) override;
    NimbraStatus IsExtendedMixer(uint8_t* extended) override;
    NimbraStatus GetValue24(uint8_t* value) override;
    NimbraStatus GetIndex20(uint8_t* value) override;
    NimbraStatus GetIndex21(uint8_t* value) override;
    NimbraStatus GetIndex22(uint16_t* value) override;
    NimbraStatus GetOptionWord(uint16_t* value) override;

    // --- General ---
    NimbraStatus SetHostReportMode(uint8_t value) override;
    // Command 1, then every register the unit was identified with is asked
    // again (those above 255 only with 16-bit addresses). Always 0.
    NimbraStatus ReloadRegisters() override;
    NimbraStatus GetFirmwareDate(uint16_t* date) override;

    // --- Mixer controls. GetReg125Bit7 reads 1 without 16-bit addresses;
    // GetRateField and the matrix, output, route and mask accessors refuse
    // with 1 without them and for an index of 32 or more. ---
    NimbraStatus GetReg125Bit7(uint8_t* on) override;
    uint16_t Reg125Bit2() override;
    uint16_t Reg124Bit7() override;
    uint16_t Reg42Bit3() override;
    NimbraStatus GetRateField(uint8_t field, uint32_t* rate) override;
    NimbraStatus GetMeter(uint8_t bank, uint8_t index, uint32_t* value, uint8_t* flag) override;
    NimbraStatus SetMatrixLevel(uint8_t row, uint8_t column, int32_t level) override;
    NimbraStatus GetMatrixLevel(uint8_t row, uint8_t column, int32_t* level) override;
    NimbraStatus SetOutputLevel(uint8_t channel, int32_t level) override;
    NimbraStatus GetOutputLevel(uint8_t channel, int32_t* level) override;
    NimbraStatus SetRouteBitA(uint8_t row, uint8_t bit, uint8_t on) override;
    NimbraStatus GetRouteBitA(uint8_t row, uint8_t bit, uint8_t* on) override;
    NimbraStatus SetMaskBit(uint16_t bit, uint8_t on) override;
    NimbraStatus GetMaskBit(uint16_t bit, uint8_t* on) override;
    NimbraStatus SetRouteBitB(uint8_t row, uint8_t bit, uint8_t on) override;
    NimbraStatus GetRouteBitB(uint8_t row, uint8_t bit, uint8_t* on) override;

    // --- Raw registers and the change callback ---
    // Image byte r; never sends. 2 for r of 2048 or more.
    NimbraStatus GetRegister(uint16_t reg, uint8_t* value) override;
    // Image byte r = value, then the register write (its send result is not
    // reported). 2, with nothing changed or sent, for a register the unit
    // cannot be written at (RegisterWritable).
    NimbraStatus SetRegister(uint16_t reg, uint8_t value) override;
    NimbraStatus SetChangeCallback(uint16_t first, uint16_t second, NimbraChangeCallback callback, uint32_t user1,
                                   uint32_t user2) override;

    // --- Engine operations outside the mixer interface ---
    // Sends one status request for registers first..last without waiting.
    NimbraStatus RequestRegisterStatus(uint16_t first, uint16_t last);
    // Requests first..last and waits for a reply that starts at first; sends
    // at most six times.
    NimbraStatus RequestRegisterStatusVerified(uint16_t first, uint16_t last);
    // Sends one register write: the 16-bit form on a Quil or PID 0x60 above
    // register 223, the short form (with the high-bank bit above 255)
    // otherwise. 2, sending nothing, for a register the unit cannot be
    // written at.
    NimbraStatus WriteRegister(uint16_t reg, uint8_t value);
    // Whether a write of `reg` can reach the selected unit: any register
    // below 2048 with 16-bit addresses (Quil, PID 0x60); without them only
    // 0..223 and 256..479, the registers the short form can name.
    bool RegisterWritable(uint16_t reg);
    // Spends 250 ms handling window messages.
    NimbraStatus PumpMessages();
    // Blocks until the link may have bytes, or until the first of
    // `timeoutMs`, the window's next message and the next thing the
    // service pass has to do (a periodic request, the silence limit, opening
    // a closed link again). Nothing runs meanwhile.
    void WaitForInput(uint32_t timeoutMs);
    // True while the VX-USB card updater exists. It belongs to one
    // connection: selecting another drops it.
    bool HasUsbCard() const { return static_cast<bool>(m_pVXUSB); }
    CVXUSB* UsbCard() const { return m_pVXUSB.get(); }
    // The connection the updater was opened for; none without one.
    uint16_t UsbCardConnection() const { return m_pVXUSB ? m_usbCardConnection : kNoConnection; }
    // The link in use (null without one); the engine keeps owning it.
    CNimbraInterface* Link() const { return m_pMidiIF.get(); }
    uint8_t PollMode() const { return m_pollMode; }
    uint32_t ReplyCount() const { return m_replyCount; }

    // --- ReplySink (the reply parser) ---
    const std::array<uint8_t, 3>& ManufacturerId() const override { return m_manufacturerId; }
    void CountReply() override { ++m_replyCount; }
    uint8_t CurrentPollMode() const override { return m_pollMode; }
    // Stores a reply's data at registers first..first+count-1. In poll mode 4
    // the bytes at 128..255 go to the verify buffer instead. Stops with 1 at
    // register 2048 (the change callback is then not run).
    NimbraStatus StoreRegisterData(const uint8_t* data, uint32_t first, uint32_t count) override;

private:
    // Short status request with the span cut to 8 bits, or the 16-bit form
    // above 255 when extended addressing is on.
    NimbraStatus SendStatusRequest(uint16_t first, uint16_t last);
    NimbraStatus SendCommand(uint8_t op);
    // Short-form register write (address bits 8..0; bit 8 is the high bank).
    NimbraStatus SendShortWrite(uint16_t reg, uint8_t value);
    // The periodic request of the current poll mode.
    NimbraStatus SendPeriodicRequest(bool messageParsed);
    NimbraStatus SendCycleRequest();
    // Milliseconds until Service has something to do without input.
    uint32_t ServiceDueInMs();
    void DropUnit();
    void ForgetUnit();
    // After the link reopened: selects the unit that was lost, by who it is.
    NimbraStatus ReselectLostUnit();
    void StoreMixerTables(uint32_t reg, uint8_t value);

    // Mixer helpers (remote/nimbra_remote_mixer.cpp).
    static constexpr size_t kChannelGroups = 32;
    static constexpr size_t kChannelColumns = 18;
    using ChannelTable = std::array<std::array<uint8_t, kChannelColumns>, kChannelGroups>;
    // image[reg] = value, then the register write; 0, or 2 with nothing
    // changed for a register the unit cannot be written at.
    NimbraStatus WriteImageRegister(uint16_t reg, uint8_t value);
    NimbraStatus SetControlBit(uint16_t reg, uint8_t bit, bool on);
    NimbraStatus GetControlBit(uint16_t reg, uint8_t bit, bool inverted, bool oneWhileOffline, uint8_t* on);
    NimbraStatus SetCodedField(uint16_t reg, uint8_t mask, std::span<const uint8_t> codes, uint8_t value);
    NimbraStatus GetCodedField(uint16_t reg, uint8_t mask, std::span<const uint8_t> codes, uint8_t* value);
    std::span<const uint8_t> SourceCodes();
    bool SourceLocked() const;
    uint16_t Word(uint16_t low) const;
    // A channel table entry exists and its registers can be written.
    bool ChannelSettable(uint8_t column, uint8_t group);
    static NimbraStatus ReadChannelTable(const ChannelTable& table, uint8_t column, uint8_t group, uint8_t* value);
    bool ExtendedIndexes(std::initializer_list<unsigned> indexes) const;
    bool IsQuilOrNimbraN();
    uint8_t Pid();
    uint8_t FirmwareMajor() const { return m_registers[REG_FW_VERSION] & 0x3F; }
    uint32_t Now() const;
    // Shows a warning box owned by no window, with caption "CNimbraRemote".
    static void Warn(const char* text);

    LinkFactory& m_links;

    std::array<uint8_t, 3> m_manufacturerId{kManufacturerId};
    uint8_t m_offline = 1;
    uint32_t m_linkMask = kLinkMaskDriver | kLinkMaskMidi | kLinkMaskDante;
    std::array<char, 256> m_deviceName{};
    std::array<char, 256> m_secondaryName{};
    uint32_t m_replyCount = 0;
    uint8_t m_pollMode = kPollMonitor;
    ReceiveQueue m_receiveQueue;
    bool m_insideMessage = false;
    uint32_t m_lastPollTime = 0;
    uint32_t m_pollStep = 0;
    std::array<uint8_t, kVerifyBufferSize> m_verifyBuffer{};
    uint16_t m_linkType = 0;
    uint16_t m_selectedConnection = kNoConnection;
    std::unique_ptr<CNimbraInterface> m_pMidiIF;
    std::array<uint8_t, kRegisterImageSize> m_registers{};
    VXUSBHandle m_pVXUSB;
    uint16_t m_usbCardConnection = kNoConnection;

    // Per-channel copies of the sibling models' mixer registers.
    std::array<uint8_t, 64> m_tableA{};
    std::array<uint8_t, 64> m_tableB{};
    ChannelTable m_channelLevel{};
    ChannelTable m_channelOff{};
    ChannelTable m_channelTrim{};

    bool m_extendedMixer = false;
    bool m_extendedAddressing = false;
    bool m_reselectPending = true;
    bool m_xslotSerialWrite = false;
    uint16_t m_lastReplyFirst = 0xFFFF;
    uint16_t m_lastReplyCount = 0;
    uint32_t m_lastReceiveTime = 0;
    bool m_verifyBusy = false;
    std::array<uint16_t, 2> m_watchedRegisters{0, 0};
    NimbraChangeCallback m_changeCallback = nullptr;
    uint32_t m_callbackUser1 = 0;
    uint32_t m_callbackUser2 = 0;

    // The connection the caller last asked for. The selected connection is
    // cleared while a reselection runs and stays cleared when it fails; the
    // next attempt must go back to this one, never to another unit.
    uint16_t m_wantedConnection = kNoConnection;

    // Who the dropped unit was. The link numbers its connections afresh on
    // every Open, so the old index may name another unit by now.
    struct UnitIdentity {
        uint32_t serial;
        uint8_t pid;
    };
    std::optional<UnitIdentity> m_lostUnit;
    bool m_reselecting = false;
};
