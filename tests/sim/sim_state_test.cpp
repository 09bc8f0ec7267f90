// Unit descriptions, the built-in set and saving units to a folder.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/clock.h"
#include "platform/folder_lock.h"
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
    static void WriteBytes(const fs::path& p, const Bytes& bytes) {
        std::ofstream(p, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
#ifndef _WIN32
    static ino_t Inode(const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
    }
#endif
    // The first built-in Quil with `bank2` in its second flash bank, saved
    // in `folder`.
    static void SaveQuilWithBank2(const fs::path& folder, const Bytes& bank2) {
        sim::VirtualQuil unit(*sim::BuiltinSet()[0].unit);
        sim::PersistentState state = unit.SaveState();
        state.bank2 = bank2;
        unit.RestoreState(state);
        std::string error;
        ASSERT_TRUE(sim::SaveUnitState(unit, 0, folder, error)) << error;
    }
    static std::vector<std::string> Names(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
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
    EXPECT_EQ(error, (folder / "registers.bin").string() + " does not hold 2048 bytes");
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

// A state folder holds plain files and folders only: a link or a FIFO in
// their place is refused on loading, and nothing is written through it.
// Links, FIFOs and inodes are POSIX matters; the Windows build tests its
// folder lock and plain-file checks among its own back-ends.
#ifndef _WIN32
TEST_F(StateStore, LinksAndOddFilesAreRefusedAndNeverWrittenThrough) {
    const fs::path state = m_dir / "state";
    const fs::path outside = m_dir / "outside";
    const fs::path dangling = m_dir / "made-by-a-link";
    enum class Put { LinkToFile, DanglingLink, Fifo, LinkToFolder };
    const struct {
        const char* entry;
        Put put;
        const char* reason;
    } cases[] = {
        {"3118220001/bank1.bin", Put::LinkToFile, "3118220001/bank1.bin: is a symbolic link"},
        {"3118220001/unit.txt", Put::DanglingLink, "3118220001/unit.txt: is a symbolic link"},
        {"3118220001/registers.bin", Put::Fifo, "3118220001/registers.bin: is not a plain file"},
        {"3118220001/card.bin", Put::LinkToFolder, "3118220001/card.bin: is a symbolic link"},
        {"3118220001", Put::LinkToFolder, "3118220001: is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        fs::remove_all(state);
        fs::remove_all(outside);
        SaveQuilWithBank2(state, {1, 2, 3});
        fs::create_directory(outside);
        WriteBytes(outside / "file", {'k', 'e', 'e', 'p'});
        const fs::path entry = state / c.entry;
        fs::remove_all(entry);
        switch (c.put) {
        case Put::LinkToFile: fs::create_symlink(outside / "file", entry); break;
        case Put::DanglingLink: fs::create_symlink(dangling, entry); break;
        case Put::Fifo: ASSERT_EQ(::mkfifo(entry.c_str(), 0600), 0); break;
        case Put::LinkToFolder: fs::create_symlink(outside, entry); break;
        }
        sim::VirtualQuil unit(*sim::BuiltinSet()[0].unit);
        std::string error;
        EXPECT_EQ(sim::LoadUnitState(unit, 0, state, error), sim::LoadResult::Invalid);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_TRUE(unit.Bank(2).empty());
        // A save puts a whole new folder in the old one's place; a link
        // standing for the unit's folder is refused.
        const bool saved = sim::SaveUnitState(unit, 0, state, error);
        EXPECT_EQ(saved, std::string(c.entry) != "3118220001") << error;
        EXPECT_EQ(FileBytes(outside / "file"), (Bytes{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(Names(outside), std::vector<std::string>{"file"});
        EXPECT_FALSE(fs::exists(fs::symlink_status(dangling)));
    }
}

// What an interrupted save leaves is put right by the next load: the old
// folder comes back when it was set aside, unfinished folders and stray
// temporaries go, and the user's own files stay.
#endif

TEST_F(StateStore, InterruptedSavesArePutRightOnLoading) {
    const fs::path state = m_dir / "state";
    enum class Left { Unfinished, UnfinishedOnly, AsideOnly, AsideAndUnfinished, OldTemporary };
    for (const Left left :
         {Left::Unfinished, Left::UnfinishedOnly, Left::AsideOnly, Left::AsideAndUnfinished, Left::OldTemporary}) {
        SCOPED_TRACE(static_cast<int>(left));
        fs::remove_all(state);
        SaveQuilWithBank2(state, {1, 2, 3});
        const fs::path unitFolder = state / "3118220001";
        const fs::path unfinished = state / ".3118220001.save-Ab3dE6";
        if (left == Left::AsideOnly || left == Left::AsideAndUnfinished) {
            fs::rename(unitFolder, state / ".3118220001.save-Zz9yX8.old");
        }
        if (left == Left::UnfinishedOnly) fs::remove_all(unitFolder);
        if (left != Left::AsideOnly && left != Left::OldTemporary) {
            fs::create_directory(unfinished);
            WriteBytes(unfinished / "registers.bin", Bytes(2048, 0x55));
            WriteBytes(unfinished / "bank2.bin", Bytes(7, 0x66));
        }
        if (left == Left::OldTemporary) {
            WriteBytes(unitFolder / ".bank2.bin.Qw3eR5", Bytes(9, 0x66));
            WriteBytes(unitFolder / ".bank2.bin.mine", {1});
            WriteBytes(state / "notes.txt", {2});
        }
        sim::VirtualQuil unit(*sim::BuiltinSet()[0].unit);
        std::string error;
        if (left == Left::UnfinishedOnly) {
            // An unfinished folder never takes the unit's place.
            EXPECT_EQ(sim::LoadUnitState(unit, 0, state, error), sim::LoadResult::NotFound);
            EXPECT_TRUE(Names(state).empty());
            continue;
        }
        ASSERT_EQ(sim::LoadUnitState(unit, 0, state, error), sim::LoadResult::Loaded) << error;
        EXPECT_EQ(Bytes(unit.Bank(2).begin(), unit.Bank(2).end()), (Bytes{1, 2, 3}));
        std::vector<std::string> expected{"3118220001"};
        if (left == Left::OldTemporary) expected.push_back("notes.txt");
        EXPECT_EQ(Names(state), expected);
        expected = {".bank2.bin.mine", "bank1.bin", "bank2.bin", "card.bin", "registers.bin", "unit.txt"};
        if (left != Left::OldTemporary) expected.erase(expected.begin());
        EXPECT_EQ(Names(unitFolder), expected);
    }
}

// Registers that describe another unit, or nothing at all, are refused
// rather than loaded into the unit the folder is named after.
TEST_F(StateStore, RegistersOfAnotherUnitAreRefused) {
    const fs::path state = m_dir / "state";
    // The first Quil (3118220001, VX-DANTE) and the Nimbra 16 (2617050007).
    std::string error;
    for (size_t port : {size_t{0}, size_t{2}}) {
        sim::VirtualQuil unit(*sim::BuiltinSet()[port].unit);
        ASSERT_TRUE(sim::SaveUnitState(unit, 0, state, error)) << error;
    }
    const fs::path quilFile = state / "3118220001" / "registers.bin";
    const fs::path nimbraFile = state / "2617050007" / "registers.bin";
    const Bytes quil = FileBytes(quilFile);
    const Bytes nimbra = FileBytes(nimbraFile);
    ASSERT_EQ(quil.size(), 2048u);
    Bytes noise(2048);
    std::mt19937 random(23);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    noise[1] = 0x44;
    const auto with = [](Bytes r, size_t index, uint8_t value) {
        r[index] = value;
        return r;
    };
    // Serial registers: week, year, unit number low and high byte.
    const auto serial = [&](uint8_t week, uint8_t year, uint8_t low, uint8_t high) {
        return with(with(with(with(quil, 12, week), 13, year), 14, low), 15, high);
    };
    const char* noSerial = "serial number registers 12 to 15 hold neither 3118220001 nor any valid serial number";
    const struct {
        const char* name;
        fs::path file;
        Bytes registers;
        const char* reason;  // null: loaded
    } cases[] = {
        {"random bytes", quilFile, noise, "product identifier 0x44 is not one of a unit the virtual Quil models"},
        {"no PID", quilFile, with(quil, 1, 0x00),
         "product identifier 0x00 is not one of a unit the virtual Quil models"},
        {"a sibling's PID", quilFile, with(quil, 1, 0x26), "product identifier 0x26 is not this unit's (0x31)"},
        {"a sub-model", nimbraFile, with(nimbra, 6, 0x60), "product identifier 0x60 is not this unit's (0x26)"},
        {"another card", quilFile, with(quil, 16, 24), "option card type 24 is not this unit's (21)"},
        {"week 0", quilFile, serial(0, 18, 1, 0), noSerial},
        {"week 54", quilFile, serial(54, 18, 1, 0), noSerial},
        {"year 0", quilFile, serial(22, 0, 1, 0), noSerial},
        {"year 64", quilFile, serial(22, 64, 1, 0), noSerial},
        {"unit 0", quilFile, serial(22, 18, 0, 0), noSerial},
        {"unit 4096", quilFile, serial(22, 18, 0, 0x10), noSerial},
        {"a blank serial", quilFile, serial(0xFF, 0xFF, 0xFF, 0xFF), noSerial},
        {"the folder's serial", quilFile, quil, nullptr},
        {"the Nimbra's own", nimbraFile, nimbra, nullptr},
        {"a serial written since", quilFile, serial(53, 1, 1, 0), nullptr},
        {"another written since", quilFile, serial(1, 63, 0xFF, 0x0F), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(c.file, c.registers);
        const size_t port = c.file == quilFile ? 0 : 2;
        sim::VirtualQuil unit(*sim::BuiltinSet()[port].unit);
        unit.PresetRegister(5, 0x21);
        const sim::LoadResult result = sim::LoadUnitState(unit, 0, state, error);
        WriteBytes(c.file, c.file == quilFile ? quil : nimbra);
        if (c.reason == nullptr) {
            EXPECT_EQ(result, sim::LoadResult::Loaded) << error;
            EXPECT_EQ(Bytes(unit.Registers().begin(), unit.Registers().end()), c.registers);
            continue;
        }
        EXPECT_EQ(result, sim::LoadResult::Invalid);
        EXPECT_EQ(error, c.file.string() + ": " + c.reason);
        EXPECT_EQ(unit.Register(5), 0x21);  // untouched
    }
}

#ifndef _WIN32
// One program at a time: the folder is locked from Open until the object
// goes, and a run that changed a unit rewrites that unit's folder only.
TEST_F(StateStore, StateFolderIsLockedAndRewritesOnlyWhatChanged) {
    const fs::path state = m_dir / "state";
    std::string error;
    auto first = sim::StateFolder::Open(state, "first", error);
    ASSERT_TRUE(first) << error;
    EXPECT_FALSE(sim::StateFolder::Open(state, "second", error));
    EXPECT_EQ(error, state.string() + " is in use by first (process " + std::to_string(::getpid()) + ")");

    std::vector<std::unique_ptr<sim::VirtualQuil>> owned;
    std::vector<sim::VirtualQuil*> units;
    for (size_t i = 0; i < 2; ++i) {
        owned.push_back(std::make_unique<sim::VirtualQuil>(*sim::BuiltinSet()[i].unit));
        units.push_back(owned.back().get());
    }
    ASSERT_TRUE(first->Load(units, error)) << error;
    ASSERT_TRUE(first->Save(units, error)) << error;  // new folders are written
    const ino_t one = Inode(state / "3118220001");
    const ino_t two = Inode(state / "3119100042");
    ASSERT_NE(one, 0u);
    ASSERT_NE(two, 0u);
    units[1]->PresetRegister(5, 0x21);
    ASSERT_TRUE(first->Save(units, error)) << error;
    EXPECT_EQ(Inode(state / "3118220001"), one);
    EXPECT_NE(Inode(state / "3119100042"), two);
    first.reset();

    // Another run that loads and changes nothing leaves every folder alone.
    auto again = sim::StateFolder::Open(state, "again", error);
    ASSERT_TRUE(again) << error;
    const ino_t changed = Inode(state / "3119100042");
    ASSERT_TRUE(again->Load(units, error)) << error;
    EXPECT_EQ(units[1]->Register(5), 0x21);
    ASSERT_TRUE(again->Save(units, error)) << error;
    EXPECT_EQ(Inode(state / "3118220001"), one);
    EXPECT_EQ(Inode(state / "3119100042"), changed);
    EXPECT_EQ(Names(state), (std::vector<std::string>{".lock", "3118220001", "3119100042"}));
    // A unit that cannot be kept is named, and the others are still saved.
    fs::rename(state / "3118220001", m_dir / "moved");
    fs::create_symlink(m_dir / "moved", state / "3118220001");
    units[0]->PresetRegister(5, 0x11);
    units[1]->PresetRegister(5, 0x12);
    error.clear();
    EXPECT_FALSE(again->Save(units, error));
    EXPECT_EQ(error, "unit 3118220001: " + (state / "3118220001").string() + ": is a symbolic link\n");
    EXPECT_NE(Inode(state / "3119100042"), changed);
    again.reset();

    // A folder made for a run that kept nothing in it goes again, and only
    // the folder named is ever made.
    ASSERT_TRUE(sim::StateFolder::Open(m_dir / "made", "test", error)) << error;
    EXPECT_FALSE(fs::exists(m_dir / "made"));
    fs::create_directory(m_dir / "own");
    ASSERT_TRUE(sim::StateFolder::Open(m_dir / "own", "test", error)) << error;
    EXPECT_TRUE(fs::exists(m_dir / "own")) << "a folder the user made stays";
    // The holder's name is told as printable text.
    const auto held = sim::StateFolder::Open(m_dir / "own",
                                             "a~\x01"
                                             "b",
                                             error);
    ASSERT_TRUE(held) << error;
    EXPECT_FALSE(sim::StateFolder::Open(m_dir / "own", "test", error));
    EXPECT_EQ(error, (m_dir / "own").string() + " is in use by a~?b (process " + std::to_string(::getpid()) + ")");
    // Another program's lock file is told as it reads, up to its first line's end.
    const fs::path other = m_dir / "other";
    fs::create_directory(other);
    WriteBytes(other / ".lock", {'a', 'p', 'p'});
    const int fd = ::open((other / ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_FALSE(sim::StateFolder::Open(other, "test", error));
    EXPECT_EQ(error, other.string() + " is in use by app");
    ::close(fd);
    EXPECT_FALSE(sim::StateFolder::Open(m_dir / "absent" / "state", "test", error));
    EXPECT_EQ(error, (m_dir / "absent" / "state").string() + ": No such file or directory");
    EXPECT_FALSE(fs::exists(m_dir / "absent"));

    // A folder that is a file, and a lock file that is a link, are refused.
    WriteBytes(m_dir / "file", {1});
    EXPECT_FALSE(sim::StateFolder::Open(m_dir / "file", "test", error));
    EXPECT_EQ(error, (m_dir / "file").string() + ": is not a folder");
    fs::remove(state / ".lock");
    fs::create_symlink(m_dir / "elsewhere", state / ".lock");
    EXPECT_FALSE(sim::StateFolder::Open(state, "test", error));
    EXPECT_EQ(error, (state / ".lock").string() + ": is a symbolic link");
    EXPECT_FALSE(fs::exists(m_dir / "elsewhere"));
}

// A signal that ends the program takes a folder made for the run along while
// it holds no unit, and leaves one that holds units as it is.
TEST_F(StateStore, ASignalTakesAFolderMadeForTheRunAlongOnlyWhileItHoldsNoUnit) {
    for (const bool saved : {false, true}) {
        const fs::path state = m_dir / (saved ? "saved" : "empty");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string error;
            auto folder = sim::StateFolder::Open(state, "test", error);
            sim::VirtualQuil unit(*sim::BuiltinSet()[0].unit);
            if (!folder || (saved && !folder->Save({&unit}, error))) ::_exit(3);
            ::raise(SIGTERM);
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << saved << " " << status;
        EXPECT_EQ(fs::exists(state), saved);
        EXPECT_EQ(fs::exists(state / "3118220001" / "registers.bin"), saved);
    }
}
#endif

}  // namespace
