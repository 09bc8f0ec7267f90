// The virtual Quil seen from the wire: every message is built by the test's
// own encoder (sim_wire.h) and every reply is read back by its own decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <optional>

#include "platform/clock.h"
#include "sim/builtin_set.h"
#include "sim/virtual_quil.h"
#include "tests/sim/sim_wire.h"

namespace {

using simtest::Bytes;
using simtest::Command;
using simtest::Request;
using simtest::Write;

sim::UnitDescription QuilOne() { return *sim::BuiltinSet()[0].unit; }
sim::UnitDescription QuilTwo() { return *sim::BuiltinSet()[1].unit; }
sim::UnitDescription Nimbra() { return *sim::BuiltinSet()[2].unit; }

// A unit on a virtual clock that moves only when the test says so.
class Unit : public ::testing::Test {
protected:
    Unit() : m_scoped(m_clock) { m_clock.SetSpinReadsPerMs(0); }

    void Make(const sim::UnitDescription& d) { m_unit = std::make_unique<sim::VirtualQuil>(d); }
    sim::VirtualQuil& U() { return *m_unit; }

    void Send(const Bytes& m, platform::Endpoint e = platform::Endpoint::Unit) {
        m_unit->ReceiveMessage(m.data(), m.size(), e);
    }
    std::vector<Bytes> Take() {
        std::vector<Bytes> r;
        m_unit->TakeReplies(r);
        return r;
    }
    // Sends and expects exactly one reply.
    Bytes Ask(const Bytes& m) {
        Send(m);
        auto r = Take();
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? Bytes{} : r.front();
    }
    std::vector<uint8_t> Read(unsigned first, unsigned last) {
        auto reply = simtest::ParseReply(Ask(Request(first, last)));
        EXPECT_TRUE(reply.has_value());
        if (!reply) return {};
        EXPECT_EQ(reply->first, first);
        return reply->data;
    }
    // Reports of register 9 waiting, decoded; anything else fails.
    std::vector<uint8_t> StatusReports() {
        std::vector<uint8_t> values;
        for (const auto& m : Take()) {
            auto r = simtest::ParseReply(m);
            EXPECT_TRUE(r && r->first == 9 && r->data.size() == 1);
            if (r && r->data.size() == 1) values.push_back(r->data[0]);
        }
        return values;
    }
    // One packet the way the host sends it: 12, 4, the CRC, the packet.
    void SendPacket(const uint8_t* data, size_t n, platform::Endpoint e = platform::Endpoint::Unit,
                    bool withCrc = true) {
        Send(Command(12), e);
        Send(Command(4), e);
        if (withCrc) Send(Write(52, simtest::Crc(data, n)), e);
        Send(simtest::Packet(data, n), e);
    }
    void AnnounceLength(uint32_t length) {
        for (unsigned i = 0; i < 4; ++i) Send(Write(48 + i, (length >> (8 * i)) & 0xFF));
    }
    void Advance(uint32_t ms) { m_clock.Advance(ms); }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scoped;
    std::unique_ptr<sim::VirtualQuil> m_unit;
};

Bytes Image(size_t size, bool bitstream, uint32_t seed = 1) {
    Bytes image(size);
    uint32_t x = seed;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    if (bitstream) {
        std::fill(image.begin(), image.begin() + 16, uint8_t{0xFF});
        const uint8_t sync[4] = {0xAA, 0x99, 0x55, 0x66};
        std::copy(sync, sync + 4, image.begin() + 16);
    }
    return image;
}

const Bytes kStatusOk = {0xF0, 0x00, 0x01, 0x54, 0x70, 0x24, 0x00, 0x00, 0x00, 0xF7};
const Bytes kStatusTxErr = {0xF0, 0x00, 0x01, 0x54, 0x70, 0x24, 0x00, 0x02, 0x00, 0xF7};

TEST(SimWire, EncoderMatchesKnownMessages) {
    // The test's own encoder against messages whose bytes are known.
    EXPECT_EQ(Request(1, 24), (Bytes{0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x2E, 0xF7}));
    EXPECT_EQ(Request(0, 127), (Bytes{0xF0, 0x00, 0x01, 0x54, 0x68, 0x01, 0x7E, 0xF7}));
    EXPECT_EQ(simtest::ExtendedRequest(1024, 2047),
              (Bytes{0xF0, 0x00, 0x01, 0x54, 0x6F, 0x02, 0x00, 0x00, 0x3F, 0x78, 0xF7}));
    EXPECT_EQ(Write(5, 0x10), (Bytes{0xF0, 0x00, 0x01, 0x54, 0x00, 0x14, 0x20, 0xF7}));
    EXPECT_EQ(simtest::ExtendedWrite(517, 0xAB), (Bytes{0xF0, 0x00, 0x01, 0x54, 0x07, 0x01, 0x01, 0x35, 0x30, 0xF7}));
    const char* digits = "123456789";
    EXPECT_EQ(simtest::Crc(reinterpret_cast<const uint8_t*>(digits), 9), 0xE9);
    EXPECT_EQ(simtest::Crc(reinterpret_cast<const uint8_t*>("abc"), 3), 0xEF);
    const uint8_t three[3] = {1, 2, 3};
    const Bytes p3 = simtest::Packet(three, 3);
    EXPECT_EQ(p3.size(), 10u);
    EXPECT_EQ(p3[8], 0x00);
    Bytes p128(128, 0x5A);
    EXPECT_EQ(simtest::Packet(p128.data(), 128).size(), 152u);
}

// ---- status requests -------------------------------------------------------

TEST_F(Unit, IdentityReadIsByteExact) {
    Make(QuilOne());
    const Bytes expected = {0xF0, 0x00, 0x01, 0x54, 0x70, 0x04, 0x2E, 0x18, 0x40, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x2C, 0x00, 0x40, 0x10, 0x72, 0x00, 0x58, 0x24, 0x01, 0x00,
                            0x05, 0x20, 0x10, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};
    EXPECT_EQ(Ask(Request(1, 24)), expected);
    // What the host makes of it: PID, version 7.2, board B, date 12 Jan 2016,
    // serial 3118220001, VX-DANTE 1.1 board A.
    const auto r = Read(1, 24);
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(r[0], 0x31);
    EXPECT_EQ(r[9] & 0x3F, 7);
    EXPECT_EQ(((r[10] & 0x0F) << 2) | (r[9] >> 6), 2);
    EXPECT_EQ(r[10] >> 4, 2);
    EXPECT_EQ(r[7] * 256 + r[6], 0x012C);
    EXPECT_EQ(sim::SerialText(sim::PackSerial(0x31, r[12] & 0x3F, r[11], r[13] | ((r[14] & 0x0F) << 8))), "3118220001");
    EXPECT_EQ(r[15], 21);
    EXPECT_EQ(r[16], 1);
    EXPECT_EQ(r[17], 1);
    EXPECT_EQ(r[19], 1);
}

TEST_F(Unit, OneRegisterProbeGetsOneByte) {
    Make(QuilOne());
    // Probe of register 1: F0 00 01 54 68|r>>5 (r&1F)<<2 00 F7.
    EXPECT_EQ(Ask(Bytes{0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7}),
              (Bytes{0xF0, 0x00, 0x01, 0x54, 0x70, 0x04, 0x00, 0x18, 0x40, 0xF7}));
    // Every register the port discovery probes answers with a 10-byte reply.
    for (unsigned r = 0x40; r <= 0x7F; ++r) {
        const Bytes probe{
            0xF0, 0x00, 0x01, 0x54, static_cast<uint8_t>(0x68 | (r >> 5)), static_cast<uint8_t>((r & 0x1F) << 2),
            0x00, 0xF7};
        const Bytes reply = Ask(probe);
        ASSERT_EQ(reply.size(), 10u) << r;
        EXPECT_EQ(simtest::ParseReply(reply)->first, r);
    }
}

TEST_F(Unit, ExtendedAndHighBankRequestsAnswerInTheirForm) {
    Make(QuilOne());
    Send(simtest::ExtendedWrite(1500, 0x5C));
    const Bytes reply = Ask(simtest::ExtendedRequest(1024, 2047));
    ASSERT_EQ(reply.size(), 11u + (1024 * 8 + 6) / 7);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 10),
              (Bytes{0xF0, 0x00, 0x01, 0x54, 0x77, 0x02, 0x00, 0x00, 0x3F, 0x78}));
    auto parsed = simtest::ParseReply(reply);
    ASSERT_TRUE(parsed && parsed->extended);
    ASSERT_EQ(parsed->data.size(), 1024u);
    EXPECT_EQ(parsed->data[1500 - 1024], 0x5C);

    // The short form with the high-bank bit reads registers 256..511.
    Send(simtest::ExtendedWrite(300, 0x77));
    auto high = simtest::ParseReply(Ask(simtest::ShortMessage(13, 256 + 40, 7)));
    ASSERT_TRUE(high && !high->extended);
    EXPECT_EQ(high->first, 296u);
    ASSERT_EQ(high->data.size(), 8u);
    EXPECT_EQ(high->data[4], 0x77);

    // A span of 255 in the short form asks for 256 registers; a request that
    // runs past the end is cut at register 2047; beyond it nothing answers.
    EXPECT_EQ(simtest::ParseReply(Ask(Request(0, 255)))->data.size(), 256u);
    EXPECT_EQ(simtest::ParseReply(Ask(simtest::ExtendedRequest(2040, 2100)))->data.size(), 8u);
    Send(simtest::ExtendedRequest(2048, 2050));
    EXPECT_TRUE(Take().empty());
}

TEST_F(Unit, MalformedMessagesAreIgnored) {
    Make(QuilOne());
    const Bytes good = Request(1, 24);
    std::vector<Bytes> bad;
    bad.push_back({0xF0, 0x00, 0x01, 0x55, 0x68, 0x04, 0x2E, 0xF7});                    // other manufacturer
    bad.push_back({0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x2E});                          // no end byte
    bad.push_back({0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x2E, 0x00, 0xF7});              // one byte too many
    bad.push_back({0xF0, 0x00, 0x01, 0x54, 0x68, 0x84, 0x2E, 0xF7});                    // bit 7 in the payload
    bad.push_back({0xF0, 0x00, 0x01, 0x54, 0x61, 0x4D, 0x3A, 0xF7});                    // command 12, wrong check byte
    bad.push_back({0xF0, 0x00, 0x01, 0x54, 0x6F, 0x02, 0x00, 0x00, 0x3F, 0x79, 0xF7});  // pad bits set
    bad.push_back({});
    for (const auto& m : bad) Send(m);
    EXPECT_TRUE(Take().empty());
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(U().Received()[i].kind, sim::MessageKind::Malformed) << i;
    }
    EXPECT_EQ(Ask(good).size(), 36u);
}

// ---- writes and commands ---------------------------------------------------

TEST_F(Unit, WritesAreStoredInBothForms) {
    Make(QuilOne());
    Send(Write(5, 0x10));
    Send(simtest::ExtendedWrite(517, 0xAB));
    Send(simtest::ShortMessage(0, 256 + 3, 0x42));  // high bank: register 259
    EXPECT_TRUE(Take().empty());                    // writes are not answered
    EXPECT_EQ(U().Register(5), 0x10);
    EXPECT_TRUE(U().CardStoreSelected());
    EXPECT_EQ(U().Register(517), 0xAB);
    EXPECT_EQ(U().Register(259), 0x42);
    auto back = simtest::ParseReply(Ask(simtest::ExtendedRequest(517, 517)));
    ASSERT_TRUE(back && back->extended);
    EXPECT_EQ(back->data, Bytes{0xAB});
    const auto& log = U().Received();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].kind, sim::MessageKind::RegisterWrite);
    EXPECT_TRUE(log[1].extended);
    EXPECT_EQ(log[1].address, 517);
    EXPECT_EQ(log[1].value, 0xAB);
}

TEST_F(Unit, CommandsThreeFourAndTenNeedTheArm) {
    Make(QuilOne());
    for (unsigned op : {3u, 4u, 10u}) {
        Send(Command(op));
        EXPECT_EQ(Take(), std::vector<Bytes>{kStatusTxErr}) << op;
        EXPECT_FALSE(U().Received().back().accepted);
    }
    // The arm holds for the very next message only.
    Send(Command(12));
    Send(Request(9, 9));
    Send(Command(10));
    auto replies = Take();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1], kStatusTxErr);
    // Armed, the store command is taken and reported as accepted.
    Send(Command(12));
    Send(Command(10));
    EXPECT_EQ(Take(), std::vector<Bytes>{kStatusOk});
    // Other commands need no arm and send nothing back.
    for (unsigned op : {1u, 2u, 6u, 7u, 8u, 9u, 11u}) {
        Send(Command(op));
        EXPECT_TRUE(Take().empty()) << op;
        EXPECT_EQ(U().Received().back().kind, sim::MessageKind::Command);
        EXPECT_EQ(U().Received().back().address, op);
    }
}

TEST_F(Unit, BankSelectionAndCompletionFlag) {
    Make(QuilOne());
    EXPECT_EQ(U().SelectedBank(), 1);
    Send(Command(7));
    EXPECT_EQ(U().SelectedBank(), 2);
    Send(Command(6));
    EXPECT_EQ(U().SelectedBank(), 1);
    Send(Command(8));
    EXPECT_EQ(U().Register(9) & 0x80, 0x80);
    EXPECT_EQ(Read(9, 9), Bytes{0x80});
    Send(Command(9));
    EXPECT_EQ(U().Register(9) & 0x80, 0);
}

// ---- firmware packets -------------------------------------------------------

TEST_F(Unit, PacketTrafficAndCrcCheck) {
    Make(QuilOne());
    AnnounceLength(1024);
    U().ClearReceived();
    Bytes data = Image(128, true);
    SendPacket(data.data(), data.size());
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    const auto& log = U().Received();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].kind, sim::MessageKind::Command);
    EXPECT_EQ(log[0].address, 12);
    EXPECT_EQ(log[1].address, 4);
    EXPECT_EQ(log[2].kind, sim::MessageKind::RegisterWrite);
    EXPECT_EQ(log[2].address, 52);
    EXPECT_EQ(log[3].kind, sim::MessageKind::FirmwarePacket);
    EXPECT_EQ(log[3].raw.size(), 152u);
    EXPECT_EQ(log[3].value, 128);
    EXPECT_EQ(U().ImageBytesReceived(), 128u);

    // A CRC that does not match: TXERR, nothing stored.
    Send(Command(12));
    Send(Command(4));
    Send(Write(52, simtest::Crc(data.data(), 128) ^ 1));
    Send(simtest::Packet(data.data(), 128));
    EXPECT_EQ(StatusReports(), Bytes{0x04});
    EXPECT_EQ(U().ImageBytesReceived(), 128u);

    // A packet without command 4 ahead of it: TXERR.
    Send(Write(52, simtest::Crc(data.data(), 128)));
    Send(simtest::Packet(data.data(), 128));
    EXPECT_EQ(StatusReports(), Bytes{0x04});

    // A packet whose pad bits are not zero: TXERR.
    Bytes spoilt = simtest::Packet(data.data(), 128);
    spoilt[spoilt.size() - 2] |= 0x01;
    Send(Command(12));
    Send(Command(4));
    Send(Write(52, simtest::Crc(data.data(), 128)));
    Send(spoilt);
    EXPECT_EQ(StatusReports(), Bytes{0x04});
    EXPECT_EQ(U().ImageBytesReceived(), 128u);

    // Odd lengths decode too: 3 bytes carry the extra zero byte.
    const uint8_t three[3] = {0xDE, 0xAD, 0xBE};
    SendPacket(three, 3);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().ImageBytesReceived(), 131u);
}

TEST_F(Unit, SiblingUnitsTakePacketsWithoutCrc) {
    Make(Nimbra());
    Bytes data = Image(128, true);
    Send(Write(52, 0x00));  // a stale value the unit must not look at
    SendPacket(data.data(), data.size(), platform::Endpoint::Unit, /*withCrc=*/false);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().ImageBytesReceived(), 128u);
}

TEST_F(Unit, MainImageIsProgrammedByTheUnitItself) {
    sim::UnitDescription d = QuilTwo();
    d.eraseMs = 1000;
    d.programMs = 4000;
    d.verifyMs = 2000;
    Make(d);
    const Bytes image = Image(300000, true);
    Send(Write(27, 0));
    Send(Write(5, 0));
    AnnounceLength(static_cast<uint32_t>(image.size()));
    Send(Command(7));
    Bytes packet(128);
    const size_t packets = (image.size() + 127) / 128;
    for (size_t i = 0; i < packets; ++i) {
        std::fill(packet.begin(), packet.end(), uint8_t{0});
        const size_t n = std::min<size_t>(128, image.size() - i * 128);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(i * 128), n, packet.begin());
        SendPacket(packet.data(), packet.size());
        ASSERT_EQ(StatusReports(), Bytes{0x00}) << "packet " << i;
    }
    EXPECT_TRUE(U().Busy());
    EXPECT_EQ(Read(56, 58), (Bytes{2, 0, 0}));
    Advance(250);
    EXPECT_EQ(Read(56, 58), (Bytes{2, 12, 50}));
    Advance(500);
    EXPECT_EQ(Read(56, 58), (Bytes{3, 37, 50}));
    Advance(250 + 1000);
    EXPECT_EQ(Read(56, 58), (Bytes{4, 56, 25}));
    EXPECT_EQ(U().Bank(2).size(), image.size() / 4);
    // A packet while the unit is busy is refused.
    SendPacket(packet.data(), packet.size());
    EXPECT_EQ(StatusReports(), Bytes{0x05});
    Advance(3000 + 1999);
    EXPECT_EQ(Read(56, 58)[0], 5);
    EXPECT_TRUE(Take().empty());
    Advance(1);
    // Completion: the unit reports register 9 and phase 6.
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(Read(56, 58), (Bytes{6, 100, 100}));
    EXPECT_FALSE(U().Busy());
    ASSERT_EQ(U().Bank(2).size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), U().Bank(2).begin()));
    EXPECT_TRUE(U().Bank(1).empty());
}

TEST_F(Unit, WholeRunCompletesInOneClockStep) {
    Make(QuilOne());
    const Bytes image = Image(1000, true);
    AnnounceLength(1000);
    Bytes packet(128);
    for (size_t i = 0; i < 8; ++i) {
        std::fill(packet.begin(), packet.end(), uint8_t{0});
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(i * 128), std::min<size_t>(128, 1000 - i * 128),
                    packet.begin());
        SendPacket(packet.data(), 128);
    }
    EXPECT_EQ(StatusReports(), Bytes(8, 0x00));
    Advance(60000);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().Register(56), 6);
    // No padding beyond the announced length.
    EXPECT_EQ(Bytes(U().Bank(1).begin(), U().Bank(1).end()), image);
}

TEST_F(Unit, ImageThatIsNoBitstreamFailsVerification) {
    Make(QuilOne());
    Bytes image = Image(256, false);
    image[0] = 0x00;
    AnnounceLength(256);
    SendPacket(image.data(), 128);
    SendPacket(image.data() + 128, 128);
    EXPECT_EQ(StatusReports(), (Bytes{0x00, 0x00}));
    Advance(60000);
    EXPECT_EQ(StatusReports(), Bytes{0x02});
    EXPECT_EQ(U().Register(56), 5);  // never complete
    EXPECT_FALSE(U().Busy());
    // Sixteen 0xFF and a wrong sync word fail too.
    Make(QuilOne());
    image = Image(256, true);
    image[19] = 0x67;
    AnnounceLength(256);
    SendPacket(image.data(), 128);
    SendPacket(image.data() + 128, 128);
    Advance(60000);
    EXPECT_EQ(StatusReports(), (Bytes{0x00, 0x00, 0x02}));
}

TEST_F(Unit, TransferStartsOverOnNewLengthOrEraseButRunningFlashKeepsItsImage) {
    Make(QuilOne());
    const Bytes image = Image(512, true, 5);
    // A main-store erase in the middle of a transfer drops what came before it.
    AnnounceLength(512);
    SendPacket(image.data(), 128);
    Send(Command(12));
    Send(Command(3));
    Advance(10000);
    EXPECT_EQ(StatusReports(), (Bytes{0x00, 0x00}));
    EXPECT_EQ(U().ImageBytesReceived(), 0u);
    for (size_t i = 0; i < 4; ++i) SendPacket(image.data() + 128 * i, 128);
    EXPECT_EQ(StatusReports(), Bytes(4, 0x00));
    // A length written while the bank is being programmed does not cut the
    // image the unit is programming.
    Advance(2500);
    ASSERT_EQ(Read(56, 56), Bytes{4});
    AnnounceLength(512);
    Advance(60000);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().Register(56), 6);
    EXPECT_EQ(Bytes(U().Bank(1).begin(), U().Bank(1).end()), image);
    // The new announcement opened a new transfer.
    SendPacket(image.data(), 128);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().ImageBytesReceived(), 128u);
}

TEST_F(Unit, HostReportModeSendsProgress) {
    Make(QuilOne());
    Send(Write(27, 1));
    const Bytes image = Image(128, true);
    AnnounceLength(128);
    SendPacket(image.data(), 128);
    auto replies = Take();
    ASSERT_EQ(replies.size(), 2u);  // the packet report, then phase 2 at 0 %
    EXPECT_EQ(replies[0], kStatusOk);
    auto progress = simtest::ParseReply(replies[1]);
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->first, 56u);
    EXPECT_EQ(progress->data, (Bytes{2, 0, 0}));
}

// ---- option card -------------------------------------------------------------

TEST_F(Unit, CardEraseWriteAndReadBack) {
    sim::UnitDescription d = QuilOne();
    d.cardEraseMs = 3000;
    Make(d);
    Send(Write(5, 0x10));
    // Packets before an erase cannot be programmed.
    Bytes p0 = Image(128, false, 7);
    SendPacket(p0.data(), 128);
    EXPECT_EQ(StatusReports(), Bytes{0x02});

    Send(Command(12));
    Send(Command(3));
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(U().Busy());
    EXPECT_EQ(Read(9, 9), Bytes{0x01});  // PIP while erasing
    Advance(2999);
    EXPECT_TRUE(Take().empty());
    Advance(1);
    EXPECT_EQ(StatusReports(), Bytes{0x00});

    const Bytes p1 = Image(128, false, 8);
    const Bytes p2 = Image(128, false, 9);
    for (const Bytes* p : std::initializer_list<const Bytes*>{&p0, &p1, &p2}) {
        SendPacket(p->data(), 128);
        EXPECT_EQ(StatusReports(), Bytes{0x00});
    }
    EXPECT_EQ(U().CardPacketCount(), 3u);
    auto readBack = [&]() {
        Send(Command(5));
        auto replies = Take();
        EXPECT_EQ(replies.size(), 1u);
        auto r = simtest::ParseReply(replies.at(0));
        EXPECT_TRUE(r && r->first == 128 && !r->extended);
        return r ? r->data : Bytes{};
    };
    EXPECT_EQ(readBack(), p0);
    EXPECT_EQ(readBack(), p1);
    // A write starts the read-back over at the first packet.
    SendPacket(p2.data(), 128);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(readBack(), p0);
    EXPECT_EQ(readBack(), p1);
    EXPECT_EQ(readBack(), p2);
    EXPECT_EQ(readBack(), p2);
    EXPECT_EQ(readBack(), Bytes(128, 0xFF));  // erased flash beyond the last packet

    // Programming complete with bit 7 as the host sets it.
    Send(Write(9, 0x80));
    Send(Command(8));
    EXPECT_EQ(U().Register(9), 0x80);
    // The store is closed until the next erase.
    SendPacket(p0.data(), 128);
    EXPECT_EQ(StatusReports(), Bytes{0x82});
}

TEST_F(Unit, CardEndpointAddressesTheCardStore) {
    Make(QuilOne());
    const auto card = platform::Endpoint::OptionCard;
    Send(Command(12), card);
    Send(Command(3), card);
    Advance(10000);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    const Bytes p = Image(128, false, 3);
    SendPacket(p.data(), 128, card);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().CardPacketCount(), 1u);
    EXPECT_EQ(U().ImageBytesReceived(), 0u);
    // Command 5 to the unit itself (main store selected) is refused.
    Send(Command(5));
    EXPECT_EQ(Take(), std::vector<Bytes>{kStatusTxErr});
    Send(Command(5), card);
    EXPECT_EQ(simtest::ParseReply(Take().at(0))->data, p);
}

TEST_F(Unit, HostOptionCardSequenceCompletesWithinItsLimits) {
    // The built-in unit, addressed on its card's own endpoint as the Dante
    // link does, driven in the host's order: erase, every packet, every
    // packet read back, register 9 with bit 7 set, then command 8.
    Make(QuilOne());
    const auto card = platform::Endpoint::OptionCard;
    Bytes image = Image(3 * 128 + 50, false, 11);
    image.resize(4 * 128, 0x00);  // the host pads the last packet with zeros
    Send(Command(12), card);
    Send(Command(3), card);
    uint32_t waited = 0;
    Bytes erased;
    while ((erased = StatusReports()).empty() && waited <= 12000) {
        Advance(1);
        ++waited;
    }
    EXPECT_LE(waited, 12000u);
    EXPECT_EQ(erased, Bytes{0x00});
    for (size_t i = 0; i < 4; ++i) {
        SendPacket(image.data() + 128 * i, 128, card);
        ASSERT_EQ(StatusReports(), Bytes{0x00}) << "packet " << i;
    }
    for (size_t i = 0; i < 4; ++i) {
        Send(Command(5), card);
        const auto replies = Take();
        ASSERT_EQ(replies.size(), 1u);
        const auto back = simtest::ParseReply(replies[0]);
        ASSERT_TRUE(back && back->first == 128 && !back->extended);
        EXPECT_EQ(back->data, Bytes(image.begin() + static_cast<std::ptrdiff_t>(128 * i),
                                    image.begin() + static_cast<std::ptrdiff_t>(128 * (i + 1))))
            << "packet " << i;
    }
    // The host's image of register 9 still carries its own PAKRDY mark. The
    // completion is the card's: the unit's own register 9 (its active flash
    // bank) is untouched, on either endpoint's reading.
    Send(Write(9, 0x88), card);
    Send(Command(8), card);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(U().Register(9), 0x00);
    EXPECT_EQ(U().CardStatus(), 0x88);
    // Requests on the card's endpoint see its register 9 wherever it falls.
    const auto unitRegisters = [&](unsigned first, unsigned last) {
        return Bytes(U().Registers().begin() + first, U().Registers().begin() + last + 1);
    };
    for (const auto& [first, last] : {std::pair{8u, 10u}, {9u, 9u}, {0u, 8u}, {10u, 12u}, {0u, 127u}}) {
        Send(Request(first, last), card);
        const auto reply = simtest::ParseReply(Take().at(0));
        ASSERT_TRUE(reply && reply->first == first);
        Bytes expected = unitRegisters(first, last);
        if (first <= 9 && last >= 9) expected[9 - first] = 0x88;
        EXPECT_EQ(reply->data, expected) << first << ".." << last;
    }
    EXPECT_EQ(Read(9, 9), Bytes{0x00});
    EXPECT_EQ(U().SaveState().registers[9], 0x00);
    Send(Command(9), card);
    EXPECT_EQ(U().CardStatus(), 0x08);
    EXPECT_EQ(Bytes(U().CardStore().begin(), U().CardStore().end()), image);
    EXPECT_FALSE(U().Busy());
}

TEST_F(Unit, CardStoreNeedsADanteCard) {
    Make(QuilTwo());  // VX-HD
    Send(Write(5, 0x10));
    Send(Command(12));
    Send(Command(3));
    EXPECT_EQ(StatusReports(), Bytes{0x04});
    Send(Command(5));
    EXPECT_EQ(StatusReports(), Bytes{0x04});
}

// ---- serial numbers ----------------------------------------------------------

TEST_F(Unit, SerialNumberReadsBackAndIsStoredByCommandTen) {
    Make(QuilOne());
    // 0x31CB0FFF: year 44, week 48, unit 4095.
    const uint8_t regs[4] = {48, 44, 0xFF, 0x0F};
    for (unsigned i = 0; i < 4; ++i) Send(Write(12 + i, regs[i]));
    EXPECT_EQ(Read(12, 15), Bytes(regs, regs + 4));
    EXPECT_EQ(U().CurrentSerial(), 0x31CB0FFFu);
    EXPECT_EQ(sim::SerialText(U().StoredSerial()), "3118220001");
    // Not stored: a reload brings the old number back.
    Send(Command(1));
    EXPECT_EQ(sim::SerialText(U().CurrentSerial()), "3118220001");
    for (unsigned i = 0; i < 4; ++i) Send(Write(12 + i, regs[i]));
    Send(Command(12));
    Send(Command(10));
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(U().StoredSerial(), 0x31CB0FFFu);
    Send(Command(1));
    EXPECT_EQ(U().CurrentSerial(), 0x31CB0FFFu);

    // The option card's number the same way, through registers 28..31.
    const uint8_t cardRegs[4] = {3, 20, 7, 0};
    for (unsigned i = 0; i < 4; ++i) Send(Write(28 + i, cardRegs[i]));
    Send(Command(12));
    Send(Command(10));
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(sim::SerialText(U().StoredCardSerial()), "1520030007");
}

// ---- faults --------------------------------------------------------------------

TEST_F(Unit, DroppedAndCorruptedReplies) {
    Make(QuilOne());
    U().DropNextReplies(2);
    Send(Request(1, 1));
    Send(Request(1, 1));
    Send(Request(1, 1));
    EXPECT_EQ(Take().size(), 1u);

    U().CorruptNextReplies(1, sim::ReplyCorruption::WrongFirstRegister);
    auto moved = simtest::ParseReply(Ask(Request(1, 24)));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->first, 2u);
    EXPECT_EQ(simtest::ParseReply(Ask(Request(1, 24)))->first, 1u);  // only one

    U().CorruptNextReplies(1, sim::ReplyCorruption::BadLength);
    const Bytes shortened = Ask(Request(1, 24));
    EXPECT_EQ(shortened.size(), 35u);
    EXPECT_FALSE(simtest::ParseReply(shortened).has_value());

    U().CorruptNextReplies(1, sim::ReplyCorruption::FlippedData);
    auto flipped = simtest::ParseReply(Ask(Request(1, 1)));
    ASSERT_TRUE(flipped);
    EXPECT_NE(flipped->data[0], 0x31);
    EXPECT_EQ(U().RepliesSent(), 5u);
}

TEST_F(Unit, FallingSilent) {
    Make(QuilOne());
    U().FallSilent(1000);
    Send(Request(1, 1));
    Send(Write(5, 0x10));
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(U().Register(5), 0);  // lost on the way in
    EXPECT_FALSE(U().Received().back().accepted);
    Advance(999);
    Send(Request(1, 1));
    EXPECT_TRUE(Take().empty());
    Advance(1);
    EXPECT_EQ(Ask(Request(1, 1)).size(), 10u);
}

TEST_F(Unit, PacketFailsAtIndex) {
    Make(QuilOne());
    AnnounceLength(128 * 4);
    U().FailPacket(2, sim::kStatusPgmErr);
    const Bytes p = Image(128, true);
    for (int i = 0; i < 3; ++i) SendPacket(p.data(), 128);
    EXPECT_EQ(StatusReports(), (Bytes{0x00, 0x00, 0x02}));
    EXPECT_EQ(U().ImageBytesReceived(), 256u);
    // Card store, TXERR at the first packet after the erase.
    Send(Write(5, 0x10));
    Send(Command(12));
    Send(Command(3));
    Advance(5000);
    Take();
    U().FailPacket(0, sim::kStatusTxErr);
    SendPacket(p.data(), 128);
    SendPacket(p.data(), 128);
    EXPECT_EQ(StatusReports(), (Bytes{0x04, 0x00}));
    EXPECT_EQ(U().CardPacketCount(), 1u);
}

TEST_F(Unit, SlowAndEndlessErase) {
    Make(QuilOne());
    Send(Write(5, 0x10));
    U().SetEraseDuration(6000);
    Send(Command(12));
    Send(Command(3));
    Advance(5999);
    EXPECT_TRUE(Take().empty());
    Advance(1);
    EXPECT_EQ(StatusReports(), Bytes{0x00});

    U().SetNeverEndingErase(true);
    Send(Command(12));
    Send(Command(3));
    Advance(100000);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(Read(9, 9), Bytes{0x01});
    // Abort ends it.
    Send(Command(11));
    EXPECT_FALSE(U().Busy());
    EXPECT_EQ(U().Register(9), 0);

    // The main unit's erase phases hang as well.
    Send(Write(5, 0));
    const Bytes p = Image(128, true);
    AnnounceLength(128);
    SendPacket(p.data(), 128);
    Advance(100000);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(Read(56, 58)[0], 2);
    EXPECT_TRUE(U().Busy());
}

TEST_F(Unit, StalledPhase) {
    Make(QuilOne());
    U().StallPhase(4, 37);
    const Bytes p = Image(128, true);
    AnnounceLength(128);
    SendPacket(p.data(), 128);
    Advance(1000000);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(Read(56, 58), (Bytes{4, 59, 37}));
    EXPECT_TRUE(U().Busy());
}

// When the unit next acts by itself, as the transports wait for it: a reply
// not yet taken at once, the end of an erase, the end of each flash phase,
// every whole percent while it reports progress to the host, never while
// it hangs or only answers.
TEST_F(Unit, NextEventIsWhenTheUnitActsByItself) {
    sim::UnitDescription d = QuilOne();
    d.eraseMs = 1000;
    d.cardEraseMs = 3000;
    Make(d);
    const auto next = [&]() -> std::optional<uint32_t> {
        uint32_t at = 0;
        if (!U().NextEvent(at)) return std::nullopt;
        return at - m_clock.Peek();
    };
    EXPECT_EQ(next(), std::nullopt);
    Send(Request(9, 9));
    EXPECT_EQ(next(), 0u);
    Take();

    Send(Write(5, 0x10));
    Send(Command(12));
    Send(Command(3));
    EXPECT_EQ(next(), 3000u);
    Advance(2999);
    EXPECT_EQ(next(), 1u);
    Advance(1);
    EXPECT_EQ(next(), 0u);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(next(), std::nullopt);
    U().SetNeverEndingErase(true);
    Send(Command(12));
    Send(Command(3));
    EXPECT_EQ(next(), std::nullopt);
    Send(Command(11));
    U().SetNeverEndingErase(false);

    Send(Write(5, 0));
    Send(Write(27, 0));
    const Bytes p = Image(128, true);
    AnnounceLength(128);
    SendPacket(p.data(), 128);
    EXPECT_EQ(StatusReports(), Bytes{0x00});
    EXPECT_EQ(next(), 500u);  // phase 2, half the erase
    Advance(500);
    EXPECT_EQ(next(), 500u);  // phase 3
    Send(Write(27, 1));
    Advance(250);
    Take();
    EXPECT_EQ(next(), 5u);  // 51% of phase 3
    Advance(3);
    EXPECT_EQ(next(), 2u);
    U().SetNeverEndingErase(true);
    EXPECT_EQ(next(), std::nullopt);
    U().SetNeverEndingErase(false);
    U().StallPhase(4, 37);
    Advance(247 + 1000);
    Take();
    EXPECT_EQ(Read(56, 56), Bytes{4});
    EXPECT_EQ(next(), std::nullopt);
}

TEST_F(Unit, ReadBackDiffersAtPacket) {
    Make(QuilOne());
    Send(Write(5, 0x10));
    Send(Command(12));
    Send(Command(3));
    Advance(10000);
    Take();
    const Bytes p0 = Image(128, false, 1), p1 = Image(128, false, 2);
    SendPacket(p0.data(), 128);
    SendPacket(p1.data(), 128);
    Take();
    U().CorruptReadBack(1);
    Send(Command(5));
    Send(Command(5));
    auto replies = Take();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(simtest::ParseReply(replies[0])->data, p0);
    const Bytes back = simtest::ParseReply(replies[1])->data;
    EXPECT_NE(back, p1);
    size_t differences = 0;
    for (size_t i = 0; i < 128; ++i) differences += back[i] != p1[i];
    EXPECT_EQ(differences, 1u);
}

TEST_F(Unit, SerialThatNeverReadsBackAndFailedLink) {
    Make(QuilOne());
    U().SetSerialNeverReadsBack(true);
    Send(Write(12, 48));
    EXPECT_EQ(Read(12, 12), Bytes{22});
    U().SetSerialNeverReadsBack(false);
    Send(Write(12, 48));
    EXPECT_EQ(Read(12, 12), Bytes{48});

    EXPECT_FALSE(U().LinkFailed());
    U().SetLinkFailed(true);
    EXPECT_TRUE(U().LinkFailed());
    U().ClearFaults();
    EXPECT_FALSE(U().LinkFailed());
}

}  // namespace
