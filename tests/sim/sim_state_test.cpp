// Unit descriptions, the built-in set and saving units to a folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/clock.h"
#include "sim/builtin_set.h"
#include "sim/state_store.h"
#include "sim/virtual_quil.h"
#include "tests/sim/sim_wire.h"

namespace {

namespace fs = std::filesystem;
using simtest::Bytes;

TEST(UnitDescription, SerialNumbersPackAndPrint) {
    EXPECT_EQ(sim::SerialText(sim::PackSerial(0x31, 18, 48, 123)), "3118480123");
    EXPECT_EQ(sim::PackSerial(0x31, 44, 48, 4095), 0x31CB0FFFu);
    const auto f = sim::UnpackSerial(0x31CB0FFF);
    EXPECT_EQ(f.owner, 0x31);
    EXPECT_EQ(f.year, 44u);
    EXPECT_EQ(f.week, 48u);
    EXPECT_EQ(f.unit, 4095u);
    EXPECT_EQ(sim::SerialRegisters(0x31CB0FFF), (std::array<uint8_t, 4>{48, 44, 0xFF, 0x0F}));
    EXPECT_EQ(sim::SerialRegisters(sim::kNoSerial), (std::array<uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    const std::array<uint8_t, 4> blank{0xFF, 18, 1, 0};
    EXPECT_EQ(sim::SerialFromRegisters(0x31, blank), sim::kNoSerial);
    const std::array<uint8_t, 4> zero{0, 18, 1, 0};
    EXPECT_EQ(sim::SerialFromRegisters(0x31, zero), sim::kNoSerial);
    EXPECT_EQ(sim::ParseSerialText("3118220001"), sim::PackSerial(0x31, 18, 22, 1));
    EXPECT_EQ(sim::ParseSerialText("1518220002"), sim::PackSerial(21, 18, 22, 2));
    EXPECT_FALSE(sim::ParseSerialText("311822000").has_value());
    EXPECT_FALSE(sim::ParseSerialText("31182x0001").has_value());
    EXPECT_FALSE(sim::ParseSerialText("3164220001").has_value());  // year beyond 6 bits
}

TEST(UnitDescription, DateWordAndRegisterLayout) {
    EXPECT_EQ(sim::FirmwareDateWord(12, 1, 1), 0xC101);
    EXPECT_EQ(sim::FirmwareDateWord(14, 4, 9), 0xE409);
    EXPECT_EQ(sim::FirmwareDateWord(16, 1, 12), 0x012C);
    const auto d = sim::UnpackFirmwareDate(0x012C);
    EXPECT_EQ(d.year, 16u);
    EXPECT_EQ(d.month, 1u);
    EXPECT_EQ(d.day, 12u);

    sim::UnitDescription u;
    u.firmwareMajor = 45;
    u.firmwareMinor = 63;
    u.boardRevision = 15;
    u.card = {sim::kCardVxDante, 9, 11, 4, sim::PackSerial(21, 20, 3, 2000)};
    std::array<uint8_t, sim::kRegisterCount> r;
    r.fill(0xEE);
    sim::PresetRegisters(u, r);
    EXPECT_EQ(r[10] & 0x3F, 45);
    EXPECT_EQ(((r[11] & 0x0F) << 2) | (r[10] >> 6), 63);
    EXPECT_EQ(r[11] >> 4, 15);
    EXPECT_EQ(r[16], 21);
    EXPECT_EQ(r[17], 9);
    EXPECT_EQ(r[18], 4);
    EXPECT_EQ(r[20], 11);
    EXPECT_EQ(sim::SerialFromRegisters(21, std::span<const uint8_t, 4>(r.data() + 28, 4)),
              sim::PackSerial(21, 20, 3, 2000));
    EXPECT_EQ(r[9], 0);
    EXPECT_EQ(r[2047], 0);
}

TEST(BuiltinSet, PortsAndUnits) {
    const auto ports = sim::BuiltinSet();
    ASSERT_EQ(ports.size(), 6u);
    const char* names[] = {"Quil USB MIDI 1",   "Quil MIDI 2",         "Quil MIDI 3",
                           "Quil Virtual MIDI", "Quil Software Synth", "Quil USB MIDI 4"};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(ports[i].name, names[i]);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(ports[i].technology, i == 4 ? sim::PortTechnology::Software : sim::PortTechnology::Hardware);

    const auto& q4 = *ports[5].unit;
    EXPECT_EQ(q4.pid, sim::kPidQuil);
    EXPECT_EQ(sim::SerialText(q4.serial), "3120030043");
    EXPECT_EQ(q4.firmwareMajor, 8);
    EXPECT_EQ(q4.firmwareMinor, 2);
    EXPECT_EQ(q4.boardRevision, 3);
    EXPECT_EQ(q4.card.type, sim::kCardVxUsb);
    EXPECT_EQ(q4.card.firmwareMajor, 9);
    EXPECT_EQ(q4.card.firmwareMinor, 5);
    EXPECT_EQ(q4.card.revision, 1);
    EXPECT_EQ(sim::SerialText(q4.card.serial), "3220030044");
    EXPECT_FALSE(ports[3].unit.has_value());
    EXPECT_FALSE(ports[4].unit.has_value());

    const auto& q1 = *ports[0].unit;
    EXPECT_EQ(sim::SerialText(q1.serial), "3118220001");
    EXPECT_EQ(sim::SerialText(q1.card.serial), "1518220002");
    EXPECT_EQ(q1.card.type, sim::kCardVxDante);
    EXPECT_EQ(q1.firmwareDate, sim::FirmwareDateWord(16, 1, 12));
    EXPECT_EQ(q1.cardEraseMs, 3000u);
    const auto& q2 = *ports[1].unit;
    EXPECT_EQ(sim::SerialText(q2.serial), "3119100042");
    EXPECT_EQ(sim::SerialText(q2.card.serial), "1819100043");
    EXPECT_EQ(q2.firmwareMajor, 8);
    EXPECT_EQ(q2.firmwareMinor, 3);
    EXPECT_EQ(q2.boardRevision, 3);
    EXPECT_EQ(q2.firmwareDate, sim::FirmwareDateWord(18, 11, 27));
    const auto& n = *ports[2].unit;
    EXPECT_EQ(n.pid, 0x26);
    EXPECT_EQ(sim::SerialText(n.serial), "2617050007");
    EXPECT_EQ(n.card.type, sim::kCardNone);
    EXPECT_EQ(n.firmwareMajor, 17);
    EXPECT_EQ(n.firmwareMinor, 1);
}

class StateStore : public ::testing::Test {
protected:
    StateStore() : m_scoped(m_clock) {
        m_clock.SetSpinReadsPerMs(0);
        char pattern[] = "/tmp/quil-sim-state-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_dir = made ? made : "/tmp/quil-sim-state";
    }
    ~StateStore() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    static void Send(sim::VirtualQuil& u, const Bytes& m, platform::Endpoint e = platform::Endpoint::Unit) {
        u.ReceiveMessage(m.data(), m.size(), e);
    }
    static Bytes FileBytes(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scoped;
    fs::path m_dir;
};

TEST_F(StateStore, RoundTripKeepsFlashSerialAndRegisters) {
    const sim::UnitDescription d = *sim::BuiltinSet()[0].unit;
    sim::VirtualQuil unit(d);
    // A 300-byte image into bank 2, one packet into the card, a new serial.
    Bytes image(300, 0x11);
    std::fill(image.begin(), image.begin() + 16, uint8_t{0xFF});
    image[16] = 0xAA;
    image[17] = 0x99;
    image[18] = 0x55;
    image[19] = 0x66;
    for (unsigned i = 0; i < 4; ++i) Send(unit, simtest::Write(48 + i, (300 >> (8 * i)) & 0xFF));
    Send(unit, simtest::Command(7));
    Bytes packet(128);
    for (size_t i = 0; i < 3; ++i) {
        std::fill(packet.begin(), packet.end(), uint8_t{0});
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(i * 128), std::min<size_t>(128, 300 - i * 128),
                    packet.begin());
        Send(unit, simtest::Command(12));
        Send(unit, simtest::Command(4));
        Send(unit, simtest::Write(52, simtest::Crc(packet.data(), 128)));
        Send(unit, simtest::Packet(packet.data(), 128));
    }
    m_clock.Advance(60000);
    const auto card = platform::Endpoint::OptionCard;
    Send(unit, simtest::Command(12), card);
    Send(unit, simtest::Command(3), card);
    m_clock.Advance(60000);
    const Bytes cardPacket(128, 0x3C);
    Send(unit, simtest::Command(12), card);
    Send(unit, simtest::Command(4), card);
    Send(unit, simtest::Write(52, simtest::Crc(cardPacket.data(), 128)), card);
    Send(unit, simtest::Packet(cardPacket.data(), 128), card);
    Send(unit, simtest::Write(14, 99));  // unit number 99
    Send(unit, simtest::Command(12));
    Send(unit, simtest::Command(10));
    Send(unit, simtest::Write(15, 7));  // written, never stored
    Send(unit, simtest::Command(8));    // bank 2 active
    std::vector<Bytes> replies;
    unit.TakeReplies(replies);
    ASSERT_EQ(unit.Register(56), 6);

    std::string error;
    ASSERT_TRUE(sim::SaveUnitState(unit, 0, m_dir, error)) << error;
    const fs::path folder = m_dir / "3118220001";
    EXPECT_EQ(sim::UnitStateFolder(m_dir, unit, 0), folder);
    EXPECT_EQ(FileBytes(folder / "registers.bin").size(), 2048u);
    EXPECT_EQ(FileBytes(folder / "bank2.bin"), image);  // exactly the announced bytes
    EXPECT_TRUE(FileBytes(folder / "bank1.bin").empty());
    EXPECT_EQ(FileBytes(folder / "card.bin"), cardPacket);
    const Bytes text = FileBytes(folder / "unit.txt");
    const std::string unitTxt(text.begin(), text.end());
    EXPECT_NE(unitTxt.find("3118220099"), std::string::npos);
    EXPECT_NE(unitTxt.find("Quil"), std::string::npos);
    EXPECT_NE(unitTxt.find("VX-DANTE"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 5);  // no temporaries

    sim::VirtualQuil fresh(d);
    ASSERT_EQ(sim::LoadUnitState(fresh, 0, m_dir, error), sim::LoadResult::Loaded) << error;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), fresh.Bank(2).begin(), fresh.Bank(2).end()));
    EXPECT_EQ(fresh.CardPacketCount(), 1u);
    EXPECT_EQ(sim::SerialText(fresh.CurrentSerial()), "3118220099");  // the unstored write is gone
    EXPECT_EQ(fresh.StoredSerial(), fresh.CurrentSerial());
    EXPECT_EQ(fresh.Register(9), 0x80);
    EXPECT_EQ(fresh.Register(56), 6);
    // The card store reads back after loading.
    Send(fresh, simtest::Command(5), card);
    replies.clear();
    fresh.TakeReplies(replies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(simtest::ParseReply(replies[0])->data, cardPacket);
}

TEST_F(StateStore, MissingOrBrokenStateLeavesTheUnitAlone) {
    const sim::UnitDescription d = *sim::BuiltinSet()[1].unit;
    sim::VirtualQuil unit(d);
    std::string error;
    EXPECT_EQ(sim::LoadUnitState(unit, 0, m_dir, error), sim::LoadResult::NotFound);
    ASSERT_TRUE(sim::SaveUnitState(unit, 0, m_dir, error));
    const fs::path folder = m_dir / "3119100042";
    {
        std::ofstream out(folder / "registers.bin", std::ios::binary | std::ios::trunc);
        out << "short";
    }
    Send(unit, simtest::Write(5, 0x10));
    EXPECT_EQ(sim::LoadUnitState(unit, 0, m_dir, error), sim::LoadResult::Invalid);
    EXPECT_NE(error.find("registers.bin"), std::string::npos);
    EXPECT_EQ(unit.Register(5), 0x10);
    fs::remove(folder / "bank1.bin");
    EXPECT_EQ(sim::LoadUnitState(unit, 0, m_dir, error), sim::LoadResult::Invalid);
    EXPECT_NE(error.find("bank1.bin"), std::string::npos);

    // A folder that cannot be created is reported, not ignored.
    const fs::path blocker = m_dir / "file";
    { std::ofstream(blocker) << "x"; }
    EXPECT_FALSE(sim::SaveUnitState(unit, 0, blocker, error));
    EXPECT_FALSE(error.empty());
}

TEST_F(StateStore, UnitsWithoutASerialNumberKeepTheirOwnFolders) {
    sim::UnitDescription d = *sim::BuiltinSet()[1].unit;
    d.serial = sim::kNoSerial;
    sim::VirtualQuil first(d);
    sim::VirtualQuil second(d);
    Send(first, simtest::Write(5, 0x11));
    Send(second, simtest::Write(5, 0x22));
    std::string error;
    ASSERT_TRUE(sim::SaveUnitState(first, 0, m_dir, error)) << error;
    ASSERT_TRUE(sim::SaveUnitState(second, 1, m_dir, error)) << error;
    EXPECT_EQ(sim::UnitStateFolder(m_dir, first, 1), m_dir / "no-serial-2");

    sim::VirtualQuil firstAgain(d);
    sim::VirtualQuil secondAgain(d);
    ASSERT_EQ(sim::LoadUnitState(firstAgain, 0, m_dir, error), sim::LoadResult::Loaded) << error;
    ASSERT_EQ(sim::LoadUnitState(secondAgain, 1, m_dir, error), sim::LoadResult::Loaded) << error;
    EXPECT_EQ(firstAgain.Register(5), 0x11);
    EXPECT_EQ(secondAgain.Register(5), 0x22);
}

}  // namespace
