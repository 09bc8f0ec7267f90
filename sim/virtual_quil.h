// The virtual Quil: the unit's side of the remote-control protocol. It takes
// complete SysEx messages from the host, decodes and checks them itself,
// keeps a 2048-byte register file, two flash banks and the option card's
// firmware store, runs its flash work on platform::CurrentClock(), and emits
// only the replies a unit would send. Transports (virtual MIDI ports, the
// virtual driver, UDP endpoints) carry its traffic.
//
// Single-threaded: all calls on one object must come from one thread (or be
// serialised by the transport).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/virtual_device.h"
#include "sim/unit_description.h"

namespace sim {

// Programming status bits of register 9.
inline constexpr uint8_t kStatusPip = 0x01;
inline constexpr uint8_t kStatusPgmErr = 0x02;
inline constexpr uint8_t kStatusTxErr = 0x04;
inline constexpr uint8_t kStatusPakRdy = 0x08;
inline constexpr uint8_t kStatusActiveBank = 0x80;

// What a received message was, as the unit decoded it.
enum class MessageKind : uint8_t {
    Malformed,       // not a well-formed message of the protocol (ignored)
    RegisterWrite,   // opcode 0
    Command,         // opcodes 1..12
    StatusRequest,   // opcode 13
    StatusReply,     // opcode 14: a unit has no use for it (ignored)
    FirmwarePacket,  // opcode 15
};

struct ReceivedMessage {
    MessageKind kind = MessageKind::Malformed;
    platform::Endpoint endpoint = platform::Endpoint::Unit;
    bool extended = false;     // register message in the 16-bit form
    uint16_t address = 0;      // register (write, request); command number (command)
    uint16_t value = 0;        // byte written; span requested; data bytes of a packet
    bool accepted = false;     // false: refused (TXERR), malformed, or lost while silent
    std::vector<uint8_t> raw;  // the message as it arrived (empty when recording is off)
};

// How a corrupted reply is spoiled.
enum class ReplyCorruption : uint8_t {
    WrongFirstRegister,  // the header names the next register up; data unchanged
    BadLength,           // the last data byte is left out
    FlippedData,         // one data bit is inverted (still a well-formed reply)
};

// The parts of a unit that outlive a power cycle (saved and loaded by
// sim/state_store.h).
struct PersistentState {
    std::array<uint8_t, kRegisterCount> registers{};  // serial registers hold the stored numbers
    std::vector<uint8_t> bank1;
    std::vector<uint8_t> bank2;
    std::vector<uint8_t> card;  // option card store, packets back to back

    bool operator==(const PersistentState&) const = default;
};

class VirtualQuil final : public platform::VirtualDevice {
public:
    explicit VirtualQuil(const UnitDescription& description);
    ~VirtualQuil() override;
    VirtualQuil(const VirtualQuil&) = delete;
    VirtualQuil& operator=(const VirtualQuil&) = delete;

    // platform::VirtualDevice
    void ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint endpoint) override;
    void TakeReplies(std::vector<std::vector<uint8_t>>& replies) override;
    // A reply not yet taken is due now; else the end of an erase, the end of
    // the flash work's current phase, or the next step of its progress while
    // the unit reports progress to the host by itself.
    bool NextEvent(uint32_t& tickMs) override;

    // Runs the timed work that is due now; replies it produces wait for
    // TakeReplies (which runs this too).
    void RunDueWork();
    // True while an erase or the program/verify run of a bank is going on.
    bool Busy() const;
    // Replies produced and not yet taken.
    size_t PendingReplies() const;

    // Identity and contents.
    const UnitDescription& Description() const;
    uint8_t Register(size_t r) const;  // 0 for r >= 2048
    std::span<const uint8_t, kRegisterCount> Registers() const;
    // Sets a register directly (demo and tests), with no side effects.
    void PresetRegister(size_t r, uint8_t value);
    std::span<const uint8_t> Bank(int bank) const;  // bank 1 or 2; empty otherwise
    std::span<const uint8_t> CardStore() const;
    size_t CardPacketCount() const;
    int SelectedBank() const;        // 1 or 2, chosen by commands 6 and 7
    bool CardStoreSelected() const;  // register 5 bit 4
    uint32_t StoredSerial() const;   // made permanent by command 10
    uint32_t StoredCardSerial() const;
    uint32_t CurrentSerial() const;  // as registers 12..15 read now
    uint32_t CurrentCardSerial() const;
    // Register 9 as the option card's own endpoint keeps it: its programming
    // status, bit 7 marking its store complete. The unit's register 9 is
    // never touched by what is sent to the card's endpoint.
    uint8_t CardStatus() const;
    // Bytes of the image announced in registers 48..51 received so far.
    size_t ImageBytesReceived() const;

    // Received traffic, oldest first (the most recent messages only once
    // more than a million have arrived).
    const std::vector<ReceivedMessage>& Received() const;
    void ClearReceived();
    // Recording on (the default) keeps every message with its raw bytes;
    // benchmarks turn it off.
    void SetRecordTraffic(bool on);
    uint64_t RepliesSent() const;  // replies that left the unit (not dropped)

    // Fault injection. Each fault is one-shot or counted and deterministic.
    void DropNextReplies(unsigned count);
    void CorruptNextReplies(unsigned count, ReplyCorruption how = ReplyCorruption::WrongFirstRegister);
    // From now on, for `ms` milliseconds, incoming messages are lost and no
    // reply leaves; the unit's own work goes on.
    void FallSilent(uint32_t ms);
    // Once the packet with index `packet` of the next transfer has been
    // answered, the unit falls silent for `ms` milliseconds (0: for good).
    void FallSilentAfterPacket(uint32_t packet, uint32_t ms = 0);
    // The packet with index `packet` of the next transfer into any store
    // (0 = the first packet after an erase or an image-length announcement)
    // is answered with `statusBits` (kStatusPgmErr or kStatusTxErr) and not
    // stored.
    void FailPacket(uint32_t packet, uint8_t statusBits);
    // Erases (command 3, phases 2 and 3) take `ms` instead of the described time.
    void SetEraseDuration(uint32_t ms);
    // Every erase, and each of the main unit's program and verify phases,
    // takes `ms` instead of the described time (not a fault: ClearFaults
    // keeps it). An erase set by SetEraseDuration still takes that.
    void SetQuickFlash(uint32_t ms);
    // Erases never finish (PIP stays set, no report).
    void SetNeverEndingErase(bool on);
    // The main unit's flash work stops for good at `percent` of `phase` (2..5).
    void StallPhase(uint8_t phase, uint8_t percent);
    // The read-back (command 5) of packet `packet` returns data that differs
    // from what was stored.
    void CorruptReadBack(uint32_t packet);
    // Written serial registers keep their old contents.
    void SetSerialNeverReadsBack(bool on);
    // A link that fails: transports query this and report an error on their
    // reads and writes; the unit itself is unchanged.
    void SetLinkFailed(bool failed);
    bool LinkFailed() const;
    void ClearFaults();

    // Power-cycle state.
    PersistentState SaveState() const;
    // Replaces registers, banks and card store; any running work is dropped.
    void RestoreState(const PersistentState& state);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
