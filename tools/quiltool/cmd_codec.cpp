// encode, crc and decode: build and take apart the messages of the
// remote-control protocol without a unit.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "remote/receive_queue.h"
#include "remote/sysex_codec.h"
#include "tools/quiltool/commands.h"

namespace quiltool {

namespace {

int PrintMessage(const uint8_t* message, size_t length) {
    std::printf("%s\n", FormatHex(message, length).c_str());
    return 0;
}

// Parses args[index] as a number within [low, high]; prints a usage error
// naming `what` otherwise.
bool NumberArg(const Args& args, size_t index, const char* what, unsigned long low, unsigned long high,
               unsigned long& value) {
    if (index >= args.size() || !ParseNumber(args[index], value) || value < low || value > high) {
        UsageError(std::string("encode: ") + what + " must be a number from " + std::to_string(low) + " to " +
                   std::to_string(high));
        return false;
    }
    return true;
}

// The short form carries address bits 7..5 in the form bits of byte 4, so
// for registers 224..255 and 480..511 they read 7, the 16-bit form: the unit
// takes such a message for an extended one. The bytes are printed all the
// same; the note says why the unit will not see what was meant.
void NoteExtendedFormClash(unsigned long reg, const char* extendedKind) {
    if ((reg & 0xFF) >= 224) {
        std::fprintf(stderr,
                     "quiltool: note: register %lu in the short form reads as the 16-bit form at the unit; "
                     "use %s\n",
                     reg, extendedKind);
    }
}

bool ExactArgs(const Args& args, size_t count, const char* usage) {
    if (args.size() == count) return true;
    UsageError(std::string("usage: quiltool encode ") + usage);
    return false;
}

std::string Describe(const DecodedMessage& d) {
    char line[96];
    switch (d.kind) {
    case MessageKind::RegisterWrite:
        std::snprintf(line, sizeof line, "write register=%u value=0x%02X", d.reg, d.value);
        return line;
    case MessageKind::StatusRequest:
        std::snprintf(line, sizeof line, "request first=%u last=%u", d.reg, d.last);
        return line;
    case MessageKind::Command:
        std::snprintf(line, sizeof line, "command %u", static_cast<unsigned>(d.command));
        return line;
    case MessageKind::StatusReply:
        std::snprintf(line, sizeof line, "reply first=%u count=%u data=", d.reg, d.count);
        return line + FormatHex(d.data.data(), d.data.size());
    case MessageKind::FirmwarePacket:
        std::snprintf(line, sizeof line, "packet length=%u crc=0x%02X data=", d.count, d.crc);
        return line + FormatHex(d.data.data(), d.data.size());
    case MessageKind::Invalid: break;
    }
    return "invalid: " + d.reason;
}

}  // namespace

int RunEncode(const Args& rawArgs) {
    ParsedArgs parsed;
    if (!SplitArgs("encode", rawArgs, {}, parsed)) return 2;
    const Args& args = parsed.operands;
    if (args.empty()) {
        return UsageError(
            "usage: quiltool encode command N | write REG VALUE | write-ext REG VALUE | "
            "request FIRST LAST | request-ext FIRST LAST | packet HEX");
    }
    const std::string& kind = args[0];
    unsigned long a = 0;
    unsigned long b = 0;
    if (kind == "command") {
        if (!ExactArgs(args, 2, "command N") || !NumberArg(args, 1, "N", 1, 12, a)) return 2;
        std::array<uint8_t, kCommandLength> message{};
        return PrintMessage(message.data(), BuildCommand(message.data(), static_cast<uint8_t>(a)));
    }
    if (kind == "write") {
        if (!ExactArgs(args, 3, "write REG VALUE") || !NumberArg(args, 1, "REG", 0, 511, a) ||
            !NumberArg(args, 2, "VALUE", 0, 255, b)) {
            return 2;
        }
        std::array<uint8_t, kShortMessageLength> message{};
        const size_t length = BuildRegisterMessage(message.data(), static_cast<uint8_t>(a & 0xFF), kOpcodeRegisterWrite,
                                                   static_cast<uint8_t>(b), a >= 256);
        NoteExtendedFormClash(a, "write-ext");
        return PrintMessage(message.data(), length);
    }
    if (kind == "write-ext") {
        if (!ExactArgs(args, 3, "write-ext REG VALUE") || !NumberArg(args, 1, "REG", 0, 0xFFFF, a) ||
            !NumberArg(args, 2, "VALUE", 0, 255, b)) {
            return 2;
        }
        std::array<uint8_t, kExtendedWriteLength> message{};
        return PrintMessage(message.data(),
                            BuildExtendedWrite(message.data(), static_cast<uint8_t>(b), static_cast<uint16_t>(a)));
    }
    if (kind == "request") {
        // The span travels in 8 bits: at most 256 registers.
        if (!ExactArgs(args, 3, "request FIRST LAST") || !NumberArg(args, 1, "FIRST", 0, 511, a) ||
            !NumberArg(args, 2, "LAST", a, a + 255, b)) {
            return 2;
        }
        std::array<uint8_t, kShortMessageLength> message{};
        const size_t length = BuildRegisterMessage(message.data(), static_cast<uint8_t>(a & 0xFF), kOpcodeStatusRequest,
                                                   static_cast<uint8_t>(b - a), a >= 256);
        NoteExtendedFormClash(a, "request-ext");
        return PrintMessage(message.data(), length);
    }
    if (kind == "request-ext") {
        if (!ExactArgs(args, 3, "request-ext FIRST LAST") || !NumberArg(args, 1, "FIRST", 0, 0xFFFF, a) ||
            !NumberArg(args, 2, "LAST", a, 0xFFFF, b)) {
            return 2;
        }
        std::array<uint8_t, kExtendedRequestLength> message{};
        return PrintMessage(message.data(), BuildExtendedStatusRequest(message.data(), static_cast<uint16_t>(b - a),
                                                                       static_cast<uint16_t>(a)));
    }
    if (kind == "packet") {
        std::vector<unsigned char> data;
        if (args.size() < 2 || !ParseHexBytes(args, 1, data)) {
            return UsageError("usage: quiltool encode packet HEX (byte pairs)");
        }
        if (data.empty() || data.size() > kMaxPacketData) {
            return UsageError("encode: a packet carries 1 to 128 data bytes, not " + std::to_string(data.size()));
        }
        std::array<uint8_t, kPacketMessageArea> message{};
        return PrintMessage(message.data(),
                            BuildFirmwarePacket(message.data(), data.data(), static_cast<uint32_t>(data.size())));
    }
    return UsageError("encode: unknown message kind '" + kind + "'");
}

int RunCrc(const Args& args) {
    static constexpr OptionSpec kOptions[] = {{"--text", true}};
    ParsedArgs parsed;
    if (!SplitArgs("crc", args, kOptions, parsed)) return 2;
    std::vector<unsigned char> data;
    if (const std::string* text = parsed.Value("--text")) {
        if (!parsed.operands.empty()) return UsageError("usage: quiltool crc --text STRING");
        data.assign(text->begin(), text->end());
    } else if (parsed.operands.empty() || !ParseHexBytes(parsed.operands, 0, data)) {
        return UsageError("usage: quiltool crc HEX... | crc --text STRING (HEX in whole bytes)");
    }
    std::printf("0x%02X\n", PacketCrc(data.data(), static_cast<uint32_t>(data.size())));
    return 0;
}

int RunDecode(const Args& args) {
    ParsedArgs parsed;
    if (!SplitArgs("decode", args, {}, parsed)) return 2;
    std::vector<unsigned char> bytes;
    if (parsed.operands.empty() || !ParseHexBytes(parsed.operands, 0, bytes) || bytes.empty()) {
        return UsageError("usage: quiltool decode HEX... (byte pairs)");
    }
    // Cut the bytes as the engine's receive queue does, feeding them in as
    // they fit.
    ReceiveQueue queue;
    bool insideMessage = false;
    std::array<uint8_t, kMessageWorkArea> work{};
    bool allValid = true;
    // The queue drops a run of bytes without any 0xF0 once it outgrows the
    // longest message; say so here rather than lose it without a word.
    const auto reportStartlessRun = [&] {
        uint32_t at = 0;
        if (!insideMessage && queue.Count() > kMaxMessageLength && !queue.Find(kSysExStart, at)) {
            std::printf("invalid: %u bytes without F0\n", queue.Count());
            queue.Clear();
            allValid = false;
        }
    };
    size_t offset = 0;
    for (;;) {
        const uint32_t room = ReceiveQueue::Size() - 1 - queue.Count();
        const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(bytes.size() - offset, room));
        if (chunk > 0 && queue.Put(bytes.data() + offset, chunk)) offset += chunk;
        bool cut = false;
        uint32_t length = 0;
        reportStartlessRun();
        while (TakeNextMessage(queue, insideMessage, work, length)) {
            cut = true;
            const DecodedMessage d = DecodeMessage(std::span<const uint8_t>(work.data(), length));
            if (d.kind == MessageKind::Invalid) allValid = false;
            std::printf("%s\n", Describe(d).c_str());
            reportStartlessRun();
        }
        if (offset == bytes.size()) break;
        if (!cut && chunk == 0) {
            std::printf("invalid: %u bytes held without a complete message\n", queue.Count());
            queue.Clear();
            insideMessage = false;
            allValid = false;
        }
    }
    if (!queue.Empty()) {
        if (insideMessage) {
            std::printf("invalid: message of %u bytes has no F7\n", queue.Count());
        } else {
            std::printf("invalid: %u bytes without F0\n", queue.Count());
        }
        allValid = false;
    }
    return allValid ? 0 : 1;
}

}  // namespace quiltool
