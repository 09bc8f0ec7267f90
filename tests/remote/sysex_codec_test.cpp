// Message layouts, check values, 7-bit packing and the reply parser, checked
// against byte strings captured from the unit and against an independent
// bit-stream model of the packing.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "remote/receive_queue.h"
#include "remote/sysex_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Records what the link was asked to send.
class RecordingLink : public CNimbraInterface {
public:
    NimbraStatus Open() override { return kStatusOk; }
    NimbraStatus Close() override { return kStatusOk; }
    void SetDeviceName(const char*) override {}
    bool IsOpen() override { return true; }
    NimbraStatus GetNumberOfConnections(uint16_t* count) override {
        *count = 1;
        return kStatusOk;
    }
    NimbraStatus SelectConnection(uint16_t) override { return kStatusOk; }
    NimbraStatus GetSelectedConnection(uint16_t* index) override {
        *index = 0;
        return kStatusOk;
    }
    NimbraStatus GetConnectionName(uint16_t, char*, int) override { return kStatusOk; }
    NimbraStatus Write(const uint8_t* data, int length) override {
        written.emplace_back(data, data + length);
        return writeStatus;
    }
    NimbraStatus Read(uint8_t*, int, int* received) override {
        *received = 0;
        return kStatusOk;
    }

    std::vector<Bytes> written;
    NimbraStatus writeStatus = kStatusOk;
};

// Records what the parser hands to the engine.
class RecordingSink : public ReplySink {
public:
    const std::array<uint8_t, 3>& ManufacturerId() const override { return id; }
    void CountReply() override { ++replies; }
    uint8_t CurrentPollMode() const override { return pollMode; }
    NimbraStatus StoreRegisterData(const uint8_t* data, uint32_t first, uint32_t count) override {
        stores.push_back({first, Bytes(data, data + count)});
        return kStatusOk;
    }

    struct Store {
        uint32_t first;
        Bytes data;
    };
    std::array<uint8_t, 3> id{0x00, 0x01, 0x54};
    uint32_t replies = 0;
    uint8_t pollMode = 0;
    std::vector<Store> stores;
};

// Independent model of the wire's bit streams: bits appended most
// significant first, read back as 7-bit groups.
class BitStream {
public:
    void Append(uint32_t value, int bits) {
        for (int b = bits - 1; b >= 0; --b) bits_.push_back(((value >> b) & 1) != 0);
    }
    void AppendBytes(const Bytes& data) {
        for (uint8_t byte : data) Append(byte, 8);
    }
    // 7-bit groups, the last one zero-padded; `groups` of them.
    Bytes Groups(size_t groups) const {
        Bytes out(groups, 0);
        for (size_t i = 0; i < bits_.size() && i / 7 < groups; ++i) {
            if (bits_[i]) out[i / 7] = static_cast<uint8_t>(out[i / 7] | 1 << (6 - i % 7));
        }
        return out;
    }
    size_t Size() const { return bits_.size(); }

private:
    std::vector<bool> bits_;
};

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes out(n);
    for (auto& byte : out) byte = static_cast<uint8_t>(generator());
    return out;
}

// A status reply as the unit sends it, built from the model.
Bytes Reply(uint32_t first, const Bytes& data, bool extended) {
    const uint32_t span = static_cast<uint32_t>(data.size()) - 1;
    Bytes out{0xF0, 0x00, 0x01, 0x54};
    BitStream header;
    header.Append(14, 4);
    if (extended) {
        header.Append(7, 3);
        header.Append(first, 16);
        header.Append(span, 16);
        const Bytes h = header.Groups(6);
        out.insert(out.end(), h.begin(), h.end());
    } else {
        header.Append(first >> 5 & 7, 3);
        header.Append(first & 0x1F, 5);
        header.Append(span, 8);
        header.Append(first >= 256 ? 1 : 0, 1);
        const Bytes h = header.Groups(3);
        out.insert(out.end(), h.begin(), h.end());
    }
    BitStream block;
    block.AppendBytes(data);
    const Bytes wire = block.Groups((data.size() * 8 + 6) / 7);
    out.insert(out.end(), wire.begin(), wire.end());
    out.push_back(0xF7);
    return out;
}

// Parses a copy that holds exactly the message, so that any read past its
// end is caught by the sanitizer build.
NimbraStatus ParseExact(RecordingSink& sink, const Bytes& message) {
    auto copy = std::make_unique<uint8_t[]>(message.size() + (message.empty() ? 1 : 0));
    std::copy(message.begin(), message.end(), copy.get());
    return ParseMessage(static_cast<uint32_t>(message.size()), sink, copy.get());
}

Bytes Message(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

}  // namespace

TEST(SysExCodec, CommandMessagesAreTheFixedStrings) {
    struct Row {
        uint8_t op, k, c;
        Bytes bytes;
    };
    const std::vector<Row> table = {
        {1, 0xEE, 0x63, {0xF0, 0x00, 0x01, 0x54, 0x0F, 0x39, 0x46, 0xF7}},
        {2, 0xDD, 0x3F, {0xF0, 0x00, 0x01, 0x54, 0x16, 0x74, 0x7E, 0xF7}},
        {3, 0xCC, 0x57, {0xF0, 0x00, 0x01, 0x54, 0x1E, 0x31, 0x2E, 0xF7}},
        {4, 0xBB, 0x91, {0xF0, 0x00, 0x01, 0x54, 0x25, 0x6E, 0x22, 0xF7}},
        {5, 0xAA, 0xF9, {0xF0, 0x00, 0x01, 0x54, 0x2D, 0x2B, 0x72, 0xF7}},
        {6, 0x99, 0xA5, {0xF0, 0x00, 0x01, 0x54, 0x34, 0x66, 0x4A, 0xF7}},
        {7, 0x88, 0xCD, {0xF0, 0x00, 0x01, 0x54, 0x3C, 0x23, 0x1A, 0xF7}},
        {8, 0x77, 0xC6, {0xF0, 0x00, 0x01, 0x54, 0x43, 0x5F, 0x0C, 0xF7}},
        {9, 0x66, 0xAE, {0xF0, 0x00, 0x01, 0x54, 0x4B, 0x1A, 0x5C, 0xF7}},
        {10, 0x55, 0xF2, {0xF0, 0x00, 0x01, 0x54, 0x52, 0x57, 0x64, 0xF7}},
        {11, 0x44, 0x9A, {0xF0, 0x00, 0x01, 0x54, 0x5A, 0x12, 0x34, 0xF7}},
        {12, 0x33, 0x5C, {0xF0, 0x00, 0x01, 0x54, 0x61, 0x4D, 0x38, 0xF7}},
    };
    RecordingLink link;
    for (const Row& row : table) {
        SCOPED_TRACE(int{row.op});
        EXPECT_EQ(CommandComplement(row.op), row.k);
        EXPECT_EQ(CommandCheckByte(row.op), row.c);
        ASSERT_EQ(SendCommand(&link, row.op), kStatusOk);
        EXPECT_EQ(link.written.back(), row.bytes);
        // Only the low nibble names the command.
        ASSERT_EQ(SendCommand(&link, static_cast<uint8_t>(row.op | 0xF0)), kStatusOk);
        EXPECT_EQ(link.written.back(), row.bytes);
    }
}

TEST(SysExCodec, RegisterMessagesMatchTheUnitsLayout) {
    RecordingLink link;
    // Status request for registers 0..127 and 1..24.
    EXPECT_EQ(SendRegisterMessage(&link, 0, kOpcodeStatusRequest, 127, false), kStatusOk);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x68, 0x01, 0x7E, 0xF7}));
    SendRegisterMessage(&link, 1, kOpcodeStatusRequest, 23, false);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x2E, 0xF7}));
    // Write 0x10 to register 5.
    SendRegisterMessage(&link, 5, kOpcodeRegisterWrite, 0x10, false);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x00, 0x14, 0x20, 0xF7}));
    // Register 300 = 256 + 44 in the high bank, value with both high bits set.
    SendRegisterMessage(&link, 44, kOpcodeRegisterWrite, 0xC1, true);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x01, 0x33, 0x03, 0xF7}));
    // Extended request for 1024..2047 and extended write of 0xAB to 517.
    SendExtendedStatusRequest(&link, 1023, 1024);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x6F, 0x02, 0x00, 0x00, 0x3F, 0x78, 0xF7}));
    SendExtendedWrite(&link, 0xAB, 517);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x07, 0x01, 0x01, 0x35, 0x30, 0xF7}));
    // All-ones fields stay within 7-bit payload bytes.
    SendExtendedStatusRequest(&link, 0xFFFF, 0xFFFF);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x6F, 0x7F, 0x7F, 0x7F, 0x7F, 0x78, 0xF7}));
    SendExtendedWrite(&link, 0xFF, 0xFFFF);
    EXPECT_EQ(link.written.back(), Message({0xF0, 0x00, 0x01, 0x54, 0x07, 0x7F, 0x7F, 0x7F, 0x70, 0xF7}));
}

TEST(SysExCodec, SendersReportTheLinkStatusAndNeedALink) {
    RecordingLink link;
    link.writeStatus = kStatusOutOfRange;
    EXPECT_EQ(SendRegisterMessage(&link, 1, 0, 2, false), kStatusOutOfRange);
    EXPECT_EQ(SendExtendedWrite(&link, 1, 600), kStatusOutOfRange);
    EXPECT_EQ(SendExtendedStatusRequest(&link, 1, 600), kStatusOutOfRange);
    EXPECT_EQ(SendCommand(&link, 4), kStatusOutOfRange);
    ASSERT_EQ(link.written.size(), 4u);
    EXPECT_EQ(link.written[0].size(), 8u);
    EXPECT_EQ(link.written[1].size(), 10u);
    EXPECT_EQ(link.written[2].size(), 11u);
    EXPECT_EQ(link.written[3].size(), 8u);

    EXPECT_EQ(SendRegisterMessage(nullptr, 1, 0, 2, false), kStatusFailed);
    EXPECT_EQ(SendExtendedWrite(nullptr, 1, 600), kStatusFailed);
    EXPECT_EQ(SendExtendedStatusRequest(nullptr, 1, 600), kStatusFailed);
    EXPECT_EQ(SendCommand(nullptr, 4), kStatusFailed);
}

TEST(SysExCodec, PacketCrcCheckValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(PacketCrc(reinterpret_cast<const uint8_t*>(digits.data()), 9), 0xE9);
    EXPECT_EQ(PacketCrc(reinterpret_cast<const uint8_t*>("abc"), 3), 0xEF);
    EXPECT_EQ(PacketCrc(nullptr, 0), 0x1FF);
    const Bytes zeros(128, 0);
    EXPECT_LE(PacketCrc(zeros.data(), 128), 0xFF);
}

TEST(SysExCodec, FirmwarePacketMessages) {
    std::array<uint8_t, kPacketMessageArea> out{};
    const Bytes three{0xE5, 0x02, 0x03};
    ASSERT_EQ(BuildFirmwarePacket(out.data(), three.data(), 3), 10u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10),
              Message({0xF0, 0x00, 0x01, 0x54, 0x78 | (0xE5 >> 5), 0x14, 0x04, 0x03, 0x00, 0xF7}));

    const Bytes full = RandomBytes(128, 7);
    out.fill(0xAA);
    ASSERT_EQ(BuildFirmwarePacket(out.data(), full.data(), 128), 152u);
    EXPECT_EQ(out[4], 0x78 | full[0] >> 5);
    EXPECT_EQ(out[151], 0xF7);
    EXPECT_EQ(out[152], 0xAA);  // nothing written past the message
    for (size_t i = 1; i < 151; ++i) EXPECT_LT(out[i], 0x80) << i;

    EXPECT_EQ(BuildFirmwarePacket(out.data(), full.data(), 0), 0u);
    const Bytes tooLong(129, 1);
    EXPECT_EQ(BuildFirmwarePacket(out.data(), tooLong.data(), 129), 0u);
}

TEST(SysExCodec, PackMatchesTheBitStreamAtEveryLength) {
    for (uint32_t n = 1; n <= kMaxPacketData; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = RandomBytes(n, n);
        BitStream model;
        model.Append(0xF, 4);
        model.AppendBytes(data);
        // The payload always ends in one more byte than the full groups: an
        // extra zero byte when the bits fill the last group exactly.
        const size_t expectedLength = model.Size() / 7 + 1;
        const Bytes expected = model.Groups(expectedLength);

        Bytes area(kPacketMessageArea, 0xAA);
        area[0] = 0x78;
        const uint32_t length = PackSevenBit(area.data(), data.data(), n);
        ASSERT_EQ(length, expectedLength);
        EXPECT_EQ(length, PacketPayloadLength(n));
        EXPECT_EQ(Bytes(area.begin(), area.begin() + length), expected);
        EXPECT_EQ(area[length], 0xAA);
    }
}

TEST(SysExCodec, UnpackMatchesTheBitStreamAtEveryLength) {
    for (uint32_t n = 1; n <= kMaxPacketData; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = RandomBytes(n, 1000 + n);
        BitStream model;
        model.AppendBytes(data);
        const size_t wireLength = (8 * n + 6) / 7;
        const Bytes wire = model.Groups(wireLength);

        auto exact = std::make_unique<uint8_t[]>(wireLength);
        std::copy(wire.begin(), wire.end(), exact.get());
        Bytes out(n + 1, 0xAA);
        EXPECT_EQ(UnpackSevenBit(exact.get(), out.data(), n, static_cast<uint32_t>(wireLength)), wireLength);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), data);
        EXPECT_EQ(out[n], 0xAA);

        // A block cut short is never read past its end; the result tells.
        const uint32_t cut = static_cast<uint32_t>(wireLength) - 1;
        auto shorter = std::make_unique<uint8_t[]>(cut + 1);
        std::copy(wire.begin(), wire.begin() + cut, shorter.get());
        EXPECT_GT(UnpackSevenBit(shorter.get(), out.data(), n, cut), cut);
    }
}

TEST(SysExCodec, ParseStoresShortAndExtendedReplies) {
    RecordingSink sink;
    const Bytes identity = {0x31, 0x00, 0x05, 0x80, 0xFF, 0x7F};
    EXPECT_EQ(ParseExact(sink, Reply(1, identity, false)), kStatusOk);
    // High bank: register 300.
    EXPECT_EQ(ParseExact(sink, Reply(300, {0x42}, false)), kStatusOk);
    // Low three bits of byte 4 all set: always the 16-bit form.
    const Bytes block = RandomBytes(300, 3);
    const Bytes extended = Reply(1024, block, true);
    ASSERT_EQ(extended[4], 0x77);
    EXPECT_EQ(ParseExact(sink, extended), kStatusOk);
    // Non-zero bytes ahead of the 0xF0 are skipped.
    Bytes prefixed = Reply(9, {0x08}, false);
    prefixed.insert(prefixed.begin(), {0x7E, 0x12});
    EXPECT_EQ(ParseExact(sink, prefixed), kStatusOk);

    ASSERT_EQ(sink.stores.size(), 4u);
    EXPECT_EQ(sink.replies, 4u);
    EXPECT_EQ(sink.stores[0].first, 1u);
    EXPECT_EQ(sink.stores[0].data, identity);
    EXPECT_EQ(sink.stores[1].first, 300u);
    EXPECT_EQ(sink.stores[1].data, Bytes{0x42});
    EXPECT_EQ(sink.stores[2].first, 1024u);
    EXPECT_EQ(sink.stores[2].data, block);
    EXPECT_EQ(sink.stores[3].first, 9u);
}

TEST(SysExCodec, ParseRejectsBrokenEnvelopesWithoutCounting) {
    RecordingSink sink;
    const Bytes good = Reply(1, {0x31}, false);
    EXPECT_EQ(ParseMessage(0, sink, good.data()), kStatusFailed);
    Bytes huge(4096, 0x01);
    huge[0] = 0xF0;
    huge.back() = 0xF7;
    EXPECT_EQ(ParseExact(sink, huge), kStatusFailed);

    Bytes zeroFirst = good;
    zeroFirst.insert(zeroFirst.begin(), 0x00);
    EXPECT_EQ(ParseExact(sink, zeroFirst), kStatusFailed);
    EXPECT_EQ(ParseExact(sink, Message({0x01, 0x02, 0xF7})), kStatusFailed);
    Bytes noEnd = good;
    noEnd.back() = 0x01;
    EXPECT_EQ(ParseExact(sink, noEnd), kStatusFailed);
    Bytes otherMaker = good;
    otherMaker[3] = 0x55;
    EXPECT_EQ(ParseExact(sink, otherMaker), kStatusFailed);
    for (const Bytes& stub : {Message({0xF0}), Message({0xF0, 0xF7}), Message({0xF0, 0x00, 0x01, 0xF7}),
                              Message({0xF0, 0x00, 0x01, 0x54, 0xF7})}) {
        EXPECT_EQ(ParseExact(sink, stub), kStatusFailed);
    }
    EXPECT_EQ(sink.replies, 0u);

    // Other opcodes are accepted and ignored.
    EXPECT_EQ(ParseExact(sink, Message({0xF0, 0x00, 0x01, 0x54, 0x34, 0x66, 0x4A, 0xF7})), kStatusOk);
    EXPECT_EQ(ParseExact(sink, Message({0xF0, 0x00, 0x01, 0x54, 0x68, 0xF7})), kStatusOk);
    EXPECT_EQ(sink.replies, 0u);
    EXPECT_TRUE(sink.stores.empty());
}

TEST(SysExCodec, WrongLengthReplyIsDroppedButCounted) {
    RecordingSink sink;
    Bytes longer = Reply(1, {0x31, 0x02}, false);
    longer.insert(longer.end() - 1, 0x05);
    EXPECT_EQ(ParseExact(sink, longer), kStatusFailed);
    EXPECT_EQ(sink.replies, 1u);
    EXPECT_TRUE(sink.stores.empty());

    // Poll mode 3 tolerates the length; it stores only when 0xF7 follows the
    // data the header announced.
    sink.pollMode = 3;
    EXPECT_EQ(ParseExact(sink, longer), kStatusOk);
    EXPECT_TRUE(sink.stores.empty());
    Bytes trailer = Reply(1, {0x31, 0x02}, false);
    trailer.insert(trailer.end(), {0x05, 0xF7});
    EXPECT_EQ(ParseExact(sink, trailer), kStatusOk);
    ASSERT_EQ(sink.stores.size(), 1u);
    EXPECT_EQ(sink.stores[0].data, Message({0x31, 0x02}));
    EXPECT_EQ(sink.replies, 3u);
}

TEST(SysExCodec, TruncatedRepliesAreNeverReadPastTheirEnd) {
    const Bytes block = RandomBytes(200, 11);
    for (bool extended : {false, true}) {
        const Bytes full =
            Reply(extended ? 1024 : 0, Bytes(block.begin(), block.begin() + (extended ? 200 : 128)), extended);
        for (uint8_t mode : {uint8_t{0}, uint8_t{3}}) {
            // Every cut from "F0 00 01 54 op F7" up to one byte short, closed
            // with 0xF7.
            for (size_t keep = 5; keep < full.size() - 1; ++keep) {
                SCOPED_TRACE(testing::Message()
                             << "extended " << extended << " mode " << int{mode} << " keep " << keep);
                RecordingSink sink;
                sink.pollMode = mode;
                Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(keep));
                cut.push_back(0xF7);
                EXPECT_EQ(ParseExact(sink, cut), kStatusFailed);
                EXPECT_EQ(sink.replies, 1u);  // a reply all the same
                EXPECT_TRUE(sink.stores.empty());
            }
        }
    }
    // A header that claims 4096 bytes is refused before unpacking.
    RecordingSink sink;
    Bytes claim = Reply(0, Bytes(4096, 0), true);
    claim.resize(12);
    claim.back() = 0xF7;
    EXPECT_EQ(ParseExact(sink, claim), kStatusFailed);
    EXPECT_EQ(sink.replies, 1u);
}

TEST(SysExCodec, DecodeClassifiesEveryMessageKind) {
    const auto decode = [](const Bytes& m) { return DecodeMessage(std::span<const uint8_t>(m.data(), m.size())); };

    DecodedMessage d = decode(Message({0xF0, 0x00, 0x01, 0x54, 0x01, 0x33, 0x03, 0xF7}));
    EXPECT_EQ(d.kind, MessageKind::RegisterWrite);
    EXPECT_EQ(d.reg, 300u);
    EXPECT_EQ(d.value, 0xC1);
    d = decode(Message({0xF0, 0x00, 0x01, 0x54, 0x07, 0x01, 0x01, 0x35, 0x30, 0xF7}));
    EXPECT_EQ(d.kind, MessageKind::RegisterWrite);
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.reg, 517u);
    EXPECT_EQ(d.value, 0xAB);
    d = decode(Message({0xF0, 0x00, 0x01, 0x54, 0x6F, 0x02, 0x00, 0x00, 0x3F, 0x78, 0xF7}));
    EXPECT_EQ(d.kind, MessageKind::StatusRequest);
    EXPECT_EQ(d.reg, 1024u);
    EXPECT_EQ(d.last, 2047u);
    d = decode(Message({0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x2E, 0xF7}));
    EXPECT_EQ(d.kind, MessageKind::StatusRequest);
    EXPECT_EQ(d.reg, 1u);
    EXPECT_EQ(d.last, 24u);
    for (uint8_t op = 1; op <= 12; ++op) {
        std::array<uint8_t, kCommandLength> command{};
        BuildCommand(command.data(), op);
        d = DecodeMessage(command);
        EXPECT_EQ(d.kind, MessageKind::Command);
        EXPECT_EQ(d.command, op);
    }

    const Bytes data = RandomBytes(77, 5);
    d = decode(Reply(1030, data, true));
    EXPECT_EQ(d.kind, MessageKind::StatusReply);
    EXPECT_EQ(d.reg, 1030u);
    EXPECT_EQ(d.count, 77u);
    EXPECT_EQ(d.data, data);

    for (uint32_t n : {1u, 3u, 10u, 128u}) {
        const Bytes packet = RandomBytes(n, n + 50);
        std::array<uint8_t, kPacketMessageArea> message{};
        const size_t length = BuildFirmwarePacket(message.data(), packet.data(), n);
        d = DecodeMessage(std::span<const uint8_t>(message.data(), length));
        EXPECT_EQ(d.kind, MessageKind::FirmwarePacket) << n;
        EXPECT_EQ(d.data, packet);
        EXPECT_EQ(d.crc, PacketCrc(packet.data(), n) & 0xFF);
    }
}

TEST(SysExCodec, DecodeExplainsInvalidMessages) {
    const auto reason = [](const Bytes& m) {
        const DecodedMessage d = DecodeMessage(std::span<const uint8_t>(m.data(), m.size()));
        EXPECT_EQ(d.kind, MessageKind::Invalid);
        EXPECT_FALSE(d.reason.empty());
        return d.reason;
    };
    reason({});
    reason({0xF7});
    reason({0xF0, 0x00, 0x01, 0x54, 0x68, 0xF7});
    reason({0xF0, 0x00, 0x01, 0x55, 0x34, 0x66, 0x4A, 0xF7});
    reason({0xF0, 0x00, 0x01, 0x54, 0x34, 0x66, 0x4A});
    EXPECT_NE(reason({0xF0, 0x00, 0x01, 0x54, 0x34, 0x86, 0x4A, 0xF7}).find("offset 5"), std::string::npos);
    // Command 6 with a wrong check byte, and with a wrong complement.
    EXPECT_NE(reason({0xF0, 0x00, 0x01, 0x54, 0x34, 0x66, 0x4C, 0xF7}).find("check byte"), std::string::npos);
    EXPECT_NE(reason({0xF0, 0x00, 0x01, 0x54, 0x34, 0x6A, 0x4A, 0xF7}).find("complement"), std::string::npos);
    reason({0xF0, 0x00, 0x01, 0x54, 0x34, 0x66, 0x4B, 0xF7});        // high-bank bit on a command
    reason({0xF0, 0x00, 0x01, 0x54, 0x00, 0x14, 0x20, 0x00, 0xF7});  // write one byte too long
    reason({0xF0, 0x00, 0x01, 0x54, 0x78, 0x04, 0x04, 0x03, 0xF7});  // packet payload of 4 fits no size
    Bytes reply = Reply(1, {1, 2, 3}, false);
    reply.erase(reply.end() - 2);
    reason(reply);
}

namespace {

void PutAll(ReceiveQueue& queue, const Bytes& bytes) {
    ASSERT_TRUE(queue.Put(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace

TEST(SysExSplit, BytesBeforeTheFirstStartAreDiscarded) {
    ReceiveQueue queue;
    RecordingSink sink;
    bool inside = false;
    PutAll(queue, Concat({{0x01, 0xF7, 0x00, 0x55}, Reply(1, {0x31}, false)}));
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    EXPECT_TRUE(queue.Empty());
    EXPECT_FALSE(inside);
    ASSERT_EQ(sink.stores.size(), 1u);
    EXPECT_EQ(sink.stores[0].data, Bytes{0x31});
}

TEST(SysExSplit, StreamWithoutStartStaysUntouched) {
    ReceiveQueue queue;
    RecordingSink sink;
    bool inside = false;
    PutAll(queue, {0x01, 0x02, 0xF7, 0x03});
    EXPECT_FALSE(SplitMessages(queue, inside, sink));
    EXPECT_FALSE(inside);
    ASSERT_EQ(queue.Count(), 4u);
    Bytes held(4);
    ASSERT_TRUE(queue.Take(held.data(), 4));
    EXPECT_EQ(held, Message({0x01, 0x02, 0xF7, 0x03}));
}

TEST(SysExSplit, TwoMessagesInOneReadAreBothParsed) {
    ReceiveQueue queue;
    RecordingSink sink;
    bool inside = false;
    PutAll(queue, Concat({Reply(1, {0x31, 0x02}, false), Reply(56, {6, 0, 100}, false)}));
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    ASSERT_EQ(sink.stores.size(), 2u);
    EXPECT_EQ(sink.stores[0].first, 1u);
    EXPECT_EQ(sink.stores[1].first, 56u);
    EXPECT_EQ(sink.stores[1].data, Message({6, 0, 100}));
    EXPECT_EQ(sink.replies, 2u);
}

TEST(SysExSplit, MessageWaitsForItsEnd) {
    ReceiveQueue queue;
    RecordingSink sink;
    bool inside = false;
    const Bytes reply = Reply(9, {0x08, 0x40, 0x01}, false);
    const Bytes head(reply.begin(), reply.begin() + 6);
    const Bytes tail(reply.begin() + 6, reply.end());
    PutAll(queue, Concat({{0x11}, head}));
    EXPECT_FALSE(SplitMessages(queue, inside, sink));
    EXPECT_TRUE(inside);
    EXPECT_EQ(queue.Count(), head.size());
    EXPECT_EQ(sink.replies, 0u);
    PutAll(queue, tail);
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    EXPECT_FALSE(inside);
    ASSERT_EQ(sink.stores.size(), 1u);
    EXPECT_EQ(sink.stores[0].data, Message({0x08, 0x40, 0x01}));
}

TEST(SysExSplit, OverlongMessageIsCutAndItsRestDiscarded) {
    ReceiveQueue queue;
    bool inside = false;
    Bytes overlong(4200, 0x01);
    overlong[0] = 0xF0;
    overlong.back() = 0xF7;
    const Bytes reply = Reply(1, {0x31}, false);
    PutAll(queue, Concat({overlong, reply}));

    std::array<uint8_t, kMessageWorkArea> work{};
    uint32_t length = 0;
    ASSERT_TRUE(TakeNextMessage(queue, inside, work, length));
    EXPECT_EQ(length, kMaxMessageLength);
    EXPECT_EQ(work[0], 0xF0);
    EXPECT_EQ(work[length - 1], 0x01);
    ASSERT_TRUE(TakeNextMessage(queue, inside, work, length));
    EXPECT_EQ(Bytes(work.begin(), work.begin() + length), reply);
    EXPECT_TRUE(queue.Empty());

    // Through the splitter the cut piece is rejected, the reply stored.
    RecordingSink sink;
    PutAll(queue, Concat({overlong, reply}));
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    EXPECT_EQ(sink.stores.size(), 1u);
}

TEST(SysExSplit, NoiseCannotFillTheQueueForGood) {
    // Bytes without any start: kept while short, dropped once they outgrow
    // the longest message, so the queue takes replies again.
    ReceiveQueue queue;
    RecordingSink sink;
    bool inside = false;
    PutAll(queue, Bytes(100, 0x11));
    EXPECT_FALSE(SplitMessages(queue, inside, sink));
    EXPECT_EQ(queue.Count(), 100u);
    PutAll(queue, Bytes(4000, 0x11));
    EXPECT_FALSE(SplitMessages(queue, inside, sink));
    EXPECT_TRUE(queue.Empty());

    // A start whose end never comes: cut at the longest message, rejected,
    // and the reply that follows is still stored.
    Bytes unterminated(5000, 0x01);
    unterminated[0] = 0xF0;
    PutAll(queue, unterminated);
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    EXPECT_TRUE(sink.stores.empty());
    PutAll(queue, Reply(1, {0x31}, false));
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    ASSERT_EQ(sink.stores.size(), 1u);
    EXPECT_TRUE(queue.Empty());
}

TEST(SysExSplit, WrongLengthReplyAdvancesTheCounterOnly) {
    ReceiveQueue queue;
    RecordingSink sink;
    bool inside = false;
    Bytes wrong = Reply(1, {0x31, 0x02}, false);
    wrong.insert(wrong.end() - 1, 0x05);
    PutAll(queue, Concat({wrong, wrong}));
    EXPECT_TRUE(SplitMessages(queue, inside, sink));
    EXPECT_EQ(sink.replies, 2u);
    EXPECT_TRUE(sink.stores.empty());
}
