#include "remote/sysex_codec.h"

#include <algorithm>
#include <cstdio>

#include "remote/receive_queue.h"

namespace {

void PutEnvelope(uint8_t* out) {
    out[0] = kSysExStart;
    std::copy(kManufacturerId.begin(), kManufacturerId.end(), out + 1);
}

NimbraStatus SendBuilt(CNimbraInterface* link, const uint8_t* message, size_t length) {
    if (link == nullptr) return kStatusFailed;
    return link->Write(message, static_cast<int>(length));
}

// The header fields shared by every register message, reply and command.
struct Header {
    uint8_t opcode = 0;
    uint8_t form = 0;
    uint32_t first = 0;  // address field (short) or 16-bit first register
    uint32_t span = 0;   // value field (short) or 16-bit span
    bool highBank = false;
};

uint8_t OpcodeOf(uint8_t byte4) { return static_cast<uint8_t>((byte4 >> 3) & 0x0F); }
uint8_t FormOf(uint8_t byte4) { return static_cast<uint8_t>(byte4 & 0x07); }

// p points at the 0xF0; the caller has checked that the header bytes exist.
Header ReadShortHeader(const uint8_t* p) {
    Header h;
    h.opcode = OpcodeOf(p[4]);
    h.form = FormOf(p[4]);
    h.first = static_cast<uint32_t>(h.form << 5 | p[5] >> 2);
    h.highBank = (p[6] & 1) != 0;
    if (h.highBank) h.first += 256;
    h.span = static_cast<uint32_t>((p[5] & 3) << 6 | p[6] >> 1);
    return h;
}

Header ReadExtendedHeader(const uint8_t* p) {
    Header h;
    h.opcode = OpcodeOf(p[4]);
    h.form = FormOf(p[4]);
    h.first = static_cast<uint32_t>(p[5] << 9 | p[6] << 2 | p[7] >> 5) & 0xFFFF;
    h.span = static_cast<uint32_t>((p[7] & 0x1F) << 11 | p[8] << 4 | p[9] >> 3) & 0xFFFF;
    return h;
}

std::string HexByte(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

}  // namespace

uint8_t CommandComplement(uint8_t op) { return static_cast<uint8_t>((~op & 0x0F) * 0x11); }

uint8_t CommandCheckByte(uint8_t op) {
    const uint8_t fed[2] = {static_cast<uint8_t>(op & 0x0F), CommandComplement(op)};
    uint32_t c = 0xFF;
    for (uint8_t byte : fed) {
        for (int bit = 0; bit < 8; ++bit) {
            c = ((c << 1) & 0xFF) ^ (((byte >> bit) & 1) != 0 ? 0x1Du : 0u);
        }
    }
    return static_cast<uint8_t>(c);
}

uint16_t PacketCrc(const uint8_t* data, uint32_t n) {
    if (n == 0) return 0x1FF;
    uint32_t crc = 0xFF;
    for (uint32_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const uint32_t feedback = ((crc >> 7) ^ (data[i] >> bit)) & 1;
            crc = (crc << 1) & 0xFF;
            if (feedback != 0) crc ^= 0x1D;
        }
    }
    return static_cast<uint16_t>(crc);
}

size_t BuildRegisterMessage(uint8_t* out, uint8_t address, uint8_t opcode, uint8_t value, bool highBank) {
    PutEnvelope(out);
    out[4] = static_cast<uint8_t>((opcode & 0x0F) << 3 | address >> 5);
    out[5] = static_cast<uint8_t>((address & 0x1F) << 2 | value >> 6);
    out[6] = static_cast<uint8_t>((value & 0x3F) << 1 | (highBank ? 1 : 0));
    out[7] = kSysExEnd;
    return kShortMessageLength;
}

size_t BuildExtendedWrite(uint8_t* out, uint8_t value, uint16_t address) {
    PutEnvelope(out);
    out[4] = kOpcodeRegisterWrite << 3 | kExtendedForm;
    out[5] = static_cast<uint8_t>((address >> 9) & 0x7F);
    out[6] = static_cast<uint8_t>((address >> 2) & 0x7F);
    out[7] = static_cast<uint8_t>((address & 3) << 5 | value >> 3);
    out[8] = static_cast<uint8_t>((value & 7) << 4);
    out[9] = kSysExEnd;
    return kExtendedWriteLength;
}

size_t BuildExtendedStatusRequest(uint8_t* out, uint16_t span, uint16_t first) {
    PutEnvelope(out);
    out[4] = kOpcodeStatusRequest << 3 | kExtendedForm;
    out[5] = static_cast<uint8_t>((first >> 9) & 0x7F);
    out[6] = static_cast<uint8_t>((first >> 2) & 0x7F);
    out[7] = static_cast<uint8_t>((first & 3) << 5 | ((span >> 11) & 0x1F));
    out[8] = static_cast<uint8_t>((span >> 4) & 0x7F);
    out[9] = static_cast<uint8_t>((span & 0x0F) << 3);
    out[10] = kSysExEnd;
    return kExtendedRequestLength;
}

size_t BuildCommand(uint8_t* out, uint8_t op) {
    return BuildRegisterMessage(out, CommandComplement(op), static_cast<uint8_t>(op & 0x0F), CommandCheckByte(op),
                                false);
}

uint32_t PacketPayloadLength(uint32_t n) { return n + (n + 4) / 7 + 1; }

size_t BuildFirmwarePacket(uint8_t* out, const uint8_t* data, uint32_t n) {
    if (n == 0 || n > kMaxPacketData) return 0;
    PutEnvelope(out);
    out[4] = kOpcodeFirmwarePacket << 3;
    const uint32_t payload = PackSevenBit(out + 4, data, n);
    out[4 + payload] = kSysExEnd;
    return 5 + payload;
}

NimbraStatus SendRegisterMessage(CNimbraInterface* link, uint8_t address, uint8_t opcode, uint8_t value,
                                 bool highBank) {
    std::array<uint8_t, kShortMessageLength> message{};
    return SendBuilt(link, message.data(), BuildRegisterMessage(message.data(), address, opcode, value, highBank));
}

NimbraStatus SendExtendedWrite(CNimbraInterface* link, uint8_t value, uint16_t address) {
    std::array<uint8_t, kExtendedWriteLength> message{};
    return SendBuilt(link, message.data(), BuildExtendedWrite(message.data(), value, address));
}

NimbraStatus SendExtendedStatusRequest(CNimbraInterface* link, uint16_t span, uint16_t first) {
    std::array<uint8_t, kExtendedRequestLength> message{};
    return SendBuilt(link, message.data(), BuildExtendedStatusRequest(message.data(), span, first));
}

NimbraStatus SendCommand(CNimbraInterface* link, uint8_t op) {
    std::array<uint8_t, kCommandLength> message{};
    return SendBuilt(link, message.data(), BuildCommand(message.data(), op));
}

uint32_t PackSevenBit(uint8_t* dest, const uint8_t* data, uint32_t n) {
    uint32_t position = 0;
    uint32_t shift = 5;
    for (uint32_t k = 0; k < n; ++k) {
        dest[position] = static_cast<uint8_t>(dest[position] | data[k] >> shift);
        dest[position + 1] = static_cast<uint8_t>((data[k] << (7 - shift)) & 0x7F);
        ++shift;
        ++position;
        if (shift > 7) {
            ++position;
            dest[position] = 0;
            shift = 1;
        }
    }
    return position + 1;
}

uint32_t UnpackSevenBit(const uint8_t* src, uint8_t* dest, uint32_t n, uint32_t available) {
    const auto wire = [&](uint32_t j) -> uint32_t { return j < available ? src[j] : 0u; };
    uint32_t j = 0;
    uint32_t shift = 1;
    for (uint32_t i = 0; i < n; ++i) {
        dest[i] = static_cast<uint8_t>(wire(j) << shift | wire(j + 1) >> (7 - shift));
        ++shift;
        ++j;
        if (shift > 7) {
            shift = 1;
            ++j;
        }
    }
    return j + (shift != 1 ? 1 : 0);
}

NimbraStatus ParseMessage(uint32_t length, ReplySink& engine, const uint8_t* message) {
    if (message == nullptr || length == 0 || length >= kMessageWorkArea) return kStatusFailed;

    uint32_t start = 0;
    while (start < length && message[start] != kSysExStart) {
        if (message[start] == 0x00) return kStatusFailed;
        ++start;
    }
    if (start == length) return kStatusFailed;
    const uint32_t last = length - 1;
    if (message[last] != kSysExEnd) return kStatusFailed;
    // The identifier and byte 4 must lie ahead of the closing 0xF7.
    if (start + 4 >= last) return kStatusFailed;
    const uint8_t* p = message + start;
    const std::array<uint8_t, 3>& id = engine.ManufacturerId();
    if (!std::equal(id.begin(), id.end(), p + 1)) return kStatusFailed;

    if (OpcodeOf(p[4]) != kOpcodeStatusReply) return kStatusOk;
    engine.CountReply();

    const bool extended = FormOf(p[4]) == kExtendedForm;
    const uint32_t headerEnd = start + (extended ? kExtendedReplyHeader : kShortReplyHeader);
    if (headerEnd > last) return kStatusFailed;  // header cut off
    const Header header = extended ? ReadExtendedHeader(p) : ReadShortHeader(p);

    const uint32_t count = header.span + 1;
    if (count >= kMessageWorkArea) return kStatusFailed;
    std::array<uint8_t, kMessageWorkArea> data;
    const uint32_t available = last - headerEnd;
    const uint32_t consumed = UnpackSevenBit(message + headerEnd, data.data(), count, available);
    // A reply claiming more data than it carries is never stored, whatever
    // the poll mode.
    if (consumed > available) return kStatusFailed;
    if (engine.CurrentPollMode() != 3 && length != headerEnd + consumed + 1) return kStatusFailed;
    if (message[headerEnd + consumed] == kSysExEnd) engine.StoreRegisterData(data.data(), header.first, count);
    return kStatusOk;
}

bool TakeNextMessage(ReceiveQueue& queue, bool& insideMessage, std::span<uint8_t, kMessageWorkArea> work,
                     uint32_t& length) {
    uint32_t distance = 0;
    if (!insideMessage) {
        if (!queue.Find(kSysExStart, distance)) {
            // Bytes without a start can never become a message; once they
            // would outgrow the longest message, drop them, or a noisy link
            // would fill the queue and every later reply would be lost.
            if (queue.Count() > kMaxMessageLength) queue.Clear();
            return false;
        }
        if (distance > 0) queue.Take(nullptr, distance);
        insideMessage = true;
    }
    uint32_t take = 0;
    if (queue.Find(kSysExEnd, distance)) {
        take = std::min(distance + 1, kMaxMessageLength);
    } else if (queue.Count() >= kMaxMessageLength) {
        // A message that has grown past the longest one without its end is
        // cut there like any over-long message; without this the queue would
        // fill up waiting for an end that may never come.
        take = kMaxMessageLength;
    } else {
        return false;
    }
    if (!queue.Take(work.data(), take)) return false;
    insideMessage = false;
    length = take;
    return true;
}

bool SplitMessages(ReceiveQueue& queue, bool& insideMessage, ReplySink& engine) {
    std::array<uint8_t, kMessageWorkArea> work;
    uint32_t length = 0;
    bool parsed = false;
    while (TakeNextMessage(queue, insideMessage, work, length)) {
        ParseMessage(length, engine, work.data());
        parsed = true;
    }
    return parsed;
}

DecodedMessage DecodeMessage(std::span<const uint8_t> message) {
    DecodedMessage d;
    const auto invalid = [&d](std::string reason) {
        d.kind = MessageKind::Invalid;
        d.reason = std::move(reason);
        d.data.clear();
        return d;
    };
    const size_t size = message.size();
    if (size == 0) return invalid("empty message");
    if (message[0] != kSysExStart) return invalid("does not start with F0");
    if (message[size - 1] != kSysExEnd) return invalid("does not end with F7");
    if (size < 7) return invalid("too short (" + std::to_string(size) + " bytes)");
    if (!std::equal(kManufacturerId.begin(), kManufacturerId.end(), message.begin() + 1)) {
        return invalid("wrong manufacturer identifier");
    }
    for (size_t i = 1; i + 1 < size; ++i) {
        if (message[i] > 0x7F) {
            return invalid("byte " + HexByte(message[i]) + " at offset " + std::to_string(i) + " is not a data byte");
        }
    }

    const uint8_t* p = message.data();
    const uint8_t opcode = OpcodeOf(p[4]);
    const bool extended = FormOf(p[4]) == kExtendedForm;
    const auto needLength = [&](size_t expected, const char* what) {
        if (size == expected) return true;
        invalid(std::string(what) + " must be " + std::to_string(expected) + " bytes, not " + std::to_string(size));
        return false;
    };

    if (opcode == kOpcodeRegisterWrite) {
        d.extended = extended;
        if (extended) {
            if (!needLength(kExtendedWriteLength, "extended register write")) return d;
            d.reg = static_cast<uint32_t>(p[5] << 9 | p[6] << 2 | p[7] >> 5) & 0xFFFF;
            d.value = static_cast<uint8_t>((p[7] & 0x1F) << 3 | p[8] >> 4);
        } else {
            if (!needLength(kShortMessageLength, "register write")) return d;
            const Header h = ReadShortHeader(p);
            d.reg = h.first;
            d.value = static_cast<uint8_t>(h.span);
        }
        d.kind = MessageKind::RegisterWrite;
        return d;
    }
    if (opcode == kOpcodeStatusRequest) {
        d.extended = extended;
        if (!needLength(extended ? kExtendedRequestLength : kShortMessageLength,
                        extended ? "extended status request" : "status request")) {
            return d;
        }
        const Header h = extended ? ReadExtendedHeader(p) : ReadShortHeader(p);
        d.reg = h.first;
        d.last = h.first + h.span;
        d.kind = MessageKind::StatusRequest;
        return d;
    }
    if (opcode == kOpcodeStatusReply) {
        d.extended = extended;
        const uint32_t headerEnd = extended ? kExtendedReplyHeader : kShortReplyHeader;
        if (size <= headerEnd) return invalid("reply header cut off");
        const Header h = extended ? ReadExtendedHeader(p) : ReadShortHeader(p);
        const uint32_t count = h.span + 1;
        if (count >= kMessageWorkArea) return invalid("reply claims " + std::to_string(count) + " data bytes");
        const uint32_t available = static_cast<uint32_t>(size - 1) - headerEnd;
        d.data.resize(count);
        const uint32_t consumed = UnpackSevenBit(p + headerEnd, d.data.data(), count, available);
        if (consumed != available) {
            return invalid("reply of " + std::to_string(count) + " data bytes needs " + std::to_string(consumed) +
                           " data block bytes, has " + std::to_string(available));
        }
        d.reg = h.first;
        d.count = count;
        d.kind = MessageKind::StatusReply;
        return d;
    }
    if (opcode == kOpcodeFirmwarePacket) {
        const uint32_t payload = static_cast<uint32_t>(size) - 5;
        const uint32_t n = (7 * payload - 4) / 8;
        if (n == 0 || n > kMaxPacketData || PacketPayloadLength(n) != payload) {
            return invalid("packet payload of " + std::to_string(payload) + " bytes fits no packet size");
        }
        // The stream runs from byte 4, 7 bits a byte, after the 4 opcode bits.
        d.data.assign(n, 0);
        uint32_t bit = 4;
        for (uint32_t k = 0; k < n; ++k) {
            uint32_t byte = 0;
            for (int b = 0; b < 8; ++b, ++bit) {
                const uint8_t wire = p[4 + bit / 7];
                byte = byte << 1 | ((wire >> (6 - bit % 7)) & 1u);
            }
            d.data[k] = static_cast<uint8_t>(byte);
        }
        d.count = n;
        d.crc = static_cast<uint8_t>(PacketCrc(d.data.data(), n));
        d.kind = MessageKind::FirmwarePacket;
        return d;
    }

    // Opcodes 1 to 12: commands, laid out as a short register message.
    if (!needLength(kCommandLength, "command")) return d;
    const Header h = ReadShortHeader(p);
    const std::string name = "command " + std::to_string(opcode);
    if (h.highBank) return invalid(name + " has the high-bank bit set");
    if (h.first != CommandComplement(opcode)) {
        return invalid(name + " complement byte " + HexByte(h.first) + ", expected " +
                       HexByte(CommandComplement(opcode)));
    }
    if (h.span != CommandCheckByte(opcode)) {
        return invalid(name + " check byte " + HexByte(h.span) + ", expected " + HexByte(CommandCheckByte(opcode)));
    }
    d.command = opcode;
    d.kind = MessageKind::Command;
    return d;
}
