// The remote-control protocol on the wire: MIDI System Exclusive messages with
// manufacturer identifier 00 01 54, their builders, the command check byte,
// the firmware-packet CRC, 7-bit packing and the reply parser.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "links/nimbra_interface.h"

class ReceiveQueue;

inline constexpr std::array<uint8_t, 3> kManufacturerId{0x00, 0x01, 0x54};

inline constexpr uint8_t kSysExStart = 0xF0;
inline constexpr uint8_t kSysExEnd = 0xF7;

inline constexpr uint8_t kOpcodeRegisterWrite = 0;
inline constexpr uint8_t kOpcodeStatusRequest = 13;
inline constexpr uint8_t kOpcodeStatusReply = 14;
inline constexpr uint8_t kOpcodeFirmwarePacket = 15;
// Bits 2..0 of byte 4 set to this value select the 16-bit address form.
inline constexpr uint8_t kExtendedForm = 7;

inline constexpr uint32_t kMaxPacketData = 128;
inline constexpr uint32_t kPacketMessageArea = 154;
inline constexpr uint32_t kMessageWorkArea = 4096;
// Longest message the splitter hands on; longer ones are cut.
inline constexpr uint32_t kMaxMessageLength = kMessageWorkArea - 1;

inline constexpr size_t kShortMessageLength = 8;
inline constexpr size_t kExtendedWriteLength = 10;
inline constexpr size_t kExtendedRequestLength = 11;
inline constexpr size_t kCommandLength = 8;
// Data starts here in a status reply, counted from its 0xF0.
inline constexpr uint32_t kShortReplyHeader = 7;
inline constexpr uint32_t kExtendedReplyHeader = 10;

// What the parser needs from the engine that owns it.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual const std::array<uint8_t, 3>& ManufacturerId() const = 0;
    // Raised for every status reply that passes the opcode test.
    virtual void CountReply() = 0;
    virtual uint8_t CurrentPollMode() const = 0;
    virtual NimbraStatus StoreRegisterData(const uint8_t* data, uint32_t first, uint32_t count) = 0;
};

// The check byte C of command op (low nibble only); the unit rejects a command
// whose C does not match.
uint8_t CommandCheckByte(uint8_t op);
// The complement byte K of command op: the inverted nibble in both halves.
uint8_t CommandComplement(uint8_t op);
// Low byte is what travels; 0x1FF for no data.
uint16_t PacketCrc(const uint8_t* data, uint32_t n);

// Message builders: each fills `out` and returns the message length.
// out must hold kShortMessageLength bytes.
size_t BuildRegisterMessage(uint8_t* out, uint8_t address, uint8_t opcode, uint8_t value, bool highBank);
// out must hold kExtendedWriteLength bytes.
size_t BuildExtendedWrite(uint8_t* out, uint8_t value, uint16_t address);
// out must hold kExtendedRequestLength bytes.
size_t BuildExtendedStatusRequest(uint8_t* out, uint16_t span, uint16_t first);
// out must hold kCommandLength bytes.
size_t BuildCommand(uint8_t* out, uint8_t op);
// data: 1..128 bytes; out must hold kPacketMessageArea bytes. Returns 0 and
// builds nothing for n of 0 or above 128.
size_t BuildFirmwarePacket(uint8_t* out, const uint8_t* data, uint32_t n);
// Payload bytes (from byte 4 up to the 0xF7) of a packet of n data bytes.
uint32_t PacketPayloadLength(uint32_t n);

// Senders: build and hand the message to the link's Write; 1 without a link.
NimbraStatus SendRegisterMessage(CNimbraInterface* link, uint8_t address, uint8_t opcode, uint8_t value, bool highBank);
NimbraStatus SendExtendedWrite(CNimbraInterface* link, uint8_t value, uint16_t address);
NimbraStatus SendExtendedStatusRequest(CNimbraInterface* link, uint16_t span, uint16_t first);
NimbraStatus SendCommand(CNimbraInterface* link, uint8_t op);

// Packs n data bytes into the firmware-packet stream: ORs the first three bits
// into dest[0] (which holds the opcode bits 0x78) and writes the bytes after
// it. Returns the payload length counted from dest, PacketPayloadLength(n);
// dest must hold that many bytes.
uint32_t PackSevenBit(uint8_t* dest, const uint8_t* data, uint32_t n);
// Unpacks n data bytes from a reply's data block into dest. Reads at most
// `available` wire bytes, taking any byte beyond them as zero; returns the
// wire bytes the n data bytes take, which exceeds `available` when the block
// is too short for them.
uint32_t UnpackSevenBit(const uint8_t* src, uint8_t* dest, uint32_t n, uint32_t available);

// Checks one complete message and hands a status reply's data to the engine.
// 0 accepted or another opcode, 1 rejected. Never reads outside
// message[0, length).
NimbraStatus ParseMessage(uint32_t length, ReplySink& engine, const uint8_t* message);

// Takes the next complete message off the queue into `work`: discards bytes
// ahead of the next 0xF0, waits for its 0xF7, cuts messages longer than
// kMaxMessageLength. Returns false and leaves the rest queued when no complete
// message is held.
bool TakeNextMessage(ReceiveQueue& queue, bool& insideMessage, std::span<uint8_t, kMessageWorkArea> work,
                     uint32_t& length);

// Cuts the queued bytes into messages and parses each; returns true when at
// least one message was parsed in this pass.
bool SplitMessages(ReceiveQueue& queue, bool& insideMessage, ReplySink& engine);

// A message classified for diagnostics (the tool's decode command, tests).
enum class MessageKind { Invalid, RegisterWrite, StatusRequest, Command, StatusReply, FirmwarePacket };

struct DecodedMessage {
    MessageKind kind = MessageKind::Invalid;
    bool extended = false;      // 16-bit address form
    uint32_t reg = 0;           // write: register; request and reply: first register
    uint32_t last = 0;          // request: last register
    uint32_t count = 0;         // reply: data bytes; packet: data bytes
    uint8_t value = 0;          // write: new value
    uint8_t command = 0;        // command: 1..12
    uint8_t crc = 0;            // packet: low byte of PacketCrc over its data
    std::vector<uint8_t> data;  // reply and packet data
    std::string reason;         // why a message is invalid
};

// Classifies one message exactly as it would travel (0xF0 first, 0xF7 last).
// Stricter than ParseMessage: lengths must match the layout of the message
// kind. Never reads outside the span.
DecodedMessage DecodeMessage(std::span<const uint8_t> message);
