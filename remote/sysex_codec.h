// The remote-control protocol on the wire: MIDI System Exclusive messages with
// manufacturer identifier 00 01 54, their builders, the command check byte,
// the firmware-packet CRC, 7-bit packing and the reply parser.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "links/nimbra_interface.h"

class ReceiveQueue;

inline constexpr std::array<uint8_t, 3> kManufacturerId{0x00, 0x01, 0x54};

inline constexpr uint8_t kOpcodeRegisterWrite = 0;
inline constexpr uint8_t kOpcodeStatusRequest = 13;
inline constexpr uint8_t kOpcodeStatusReply = 14;
inline constexpr uint8_t kOpcodeFirmwarePacket = 15;

inline constexpr uint32_t kMaxPacketData = 128;
inline constexpr uint32_t kPacketMessageArea = 154;
inline constexpr uint32_t kMessageWorkArea = 4096;

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

uint8_t CommandCheckByte(uint8_t op);
// Low byte is what travels; 0x1FF for no data.
uint16_t PacketCrc(const uint8_t* data, uint32_t n);

// Message builders: each fills `out` and returns the message length.
size_t BuildRegisterMessage(uint8_t* out, uint8_t address, uint8_t opcode, uint8_t value, bool highBank);
size_t BuildExtendedWrite(uint8_t* out, uint8_t value, uint16_t address);
size_t BuildExtendedStatusRequest(uint8_t* out, uint16_t span, uint16_t first);
size_t BuildCommand(uint8_t* out, uint8_t op);
// data: 1..128 bytes; out must hold kPacketMessageArea bytes.
size_t BuildFirmwarePacket(uint8_t* out, const uint8_t* data, uint32_t n);

// Senders: build and hand the message to the link's Write; 1 without a link.
NimbraStatus SendRegisterMessage(CNimbraInterface* link, uint8_t address, uint8_t opcode, uint8_t value, bool highBank);
NimbraStatus SendExtendedWrite(CNimbraInterface* link, uint8_t value, uint16_t address);
NimbraStatus SendExtendedStatusRequest(CNimbraInterface* link, uint16_t span, uint16_t first);
NimbraStatus SendCommand(CNimbraInterface* link, uint8_t op);

uint32_t PackSevenBit(uint8_t* dest, const uint8_t* data, uint32_t n);
// Reads at most `available` wire bytes; returns the wire bytes consumed.
uint32_t UnpackSevenBit(const uint8_t* src, uint8_t* dest, uint32_t n);

// 0 accepted or another opcode, 1 rejected.
NimbraStatus ParseMessage(uint32_t length, ReplySink& engine, const uint8_t* message);

// Cuts the queued bytes into messages and parses each; returns true when at
// least one message was parsed in this pass.
bool SplitMessages(ReceiveQueue& queue, bool& insideMessage, ReplySink& engine);
