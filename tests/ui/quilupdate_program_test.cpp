// quilupdate as a user runs it: options, exit status, the console view on
// the built-in virtual units, and a complete update into a saved unit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/udp_socket.h"
#include "tests/ui/program_runner.h"

namespace {

namespace fs = std::filesystem;

using QuilUpdateProgram = ProgramTest;

TEST_F(QuilUpdateProgram, HelpVersionAndUsageErrors) {
    const ProgramRun help = Start({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* word :
         {"--simulate", "--sim-state", "--sim-fault", "pgmerr@N", "txerr@N", "silence@N", "dfustall", "--sim-quick",
          "--console", "--unit", "--update", "--yes", "--version", "SN=", "GETSN", "FILE=", "PROM=", "XSLOT"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    const ProgramRun version = Start({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("quilupdate (Quil Firmware Update) ", 0), 0u);
    // What cannot be printed fails the run.
    for (const char* option : {"--help", "--version"}) {
        const ProgramRun full = Finish(Spawn({option}, kQuilUpdate, {}, ::open("/dev/full", O_WRONLY | O_CLOEXEC)));
        EXPECT_EQ(full.code, 1) << option;
        EXPECT_EQ(full.err, "quilupdate: standard output: No space left on device\n");
        const ProgramRun closed = Finish(Spawn({option}, kQuilUpdate, {}, -1, {"sh", "-c", "exec \"$0\" \"$@\" >&-"}));
        EXPECT_EQ(closed.code, 1) << option;
        EXPECT_EQ(closed.err, "quilupdate: standard output is closed\n");
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-simulate"}, {"--simulat"}, {"--simulate", "--sim-fault", "melt@3"}, {"--unit"}, {"--sim-quick"}}) {
        const ProgramRun bad = Start(args);
        EXPECT_EQ(bad.code, 2) << args[0];
        EXPECT_TRUE(bad.out.empty());
        EXPECT_NE(bad.err.find("Try 'quilupdate --help'"), std::string::npos);
    }
}

TEST_F(QuilUpdateProgram, ConsoleShowsTheUnitsAndTheSelectedEntry) {
    const ProgramRun first = Start({"--console", "--simulate"});
    EXPECT_EQ(first.code, 0) << first.err;
    for (const char* text :
         {"Quil connected via Quil USB MIDI 1", "VX-DANTE in Quil connected via Quil USB MIDI 1",
          "Quil connected via Quil MIDI 2", "VX-HD in Quil connected via Quil MIDI 2", "Serial Number: 3118220001",
          "Manufacture Date: May 28, 2018", "Current Firmware Version: 7.2", "Current Firmware Date: Jan 12, 2016",
          "New Firmware Version: 8.3", "New Firmware Date: Nov 27, 2018"}) {
        EXPECT_NE(first.out.find(text), std::string::npos) << text;
    }
    const ProgramRun card = Start({"--console", "--simulate", "--unit", "1"});
    EXPECT_EQ(card.code, 0);
    for (const char* text : {"Serial Number: 1518220002", "Current Firmware Version: 1.1", "New Firmware Version: 1.2",
                             "New Firmware Date: Feb 14, 2017"}) {
        EXPECT_NE(card.out.find(text), std::string::npos) << text;
    }
    const ProgramRun noImage = Start({"--console", "--simulate", "--unit", "3"});
    EXPECT_EQ(noImage.code, 1);
    EXPECT_NE(noImage.out.find("Unable to determine New Firmware Version!"), std::string::npos);
    // Without a display the program says why it uses the console.
    const ProgramRun fallback = Start({"--simulate"});
    EXPECT_EQ(fallback.code, 0);
    EXPECT_NE(fallback.err.find("using the console view: no display"), std::string::npos);
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    EXPECT_NE(log.find("Found Quil. Number Of Connections: 4"), std::string::npos);
}

// The fourth Quil's VX-USB card, served by the build's fake of the USB audio
// driver's library.
TEST_F(QuilUpdateProgram, VxUsbCardIsListedAfterTheFirstTwoQuilsAndUpdatedThroughTheDriverLibrary) {
    const ProgramRun list = Start({"--console", "--simulate"});
    EXPECT_EQ(list.code, 0) << list.err;
    const size_t hd = list.out.find("3  VX-HD in Quil connected via Quil MIDI 2\n");
    const size_t usb = list.out.find("5  VX-USB in Quil connected via Quil USB MIDI 4\n");
    ASSERT_NE(hd, std::string::npos) << list.out;
    ASSERT_NE(usb, std::string::npos) << list.out;
    EXPECT_LT(hd, usb);
    const ProgramRun unit = Start({"--console", "--simulate", "--unit", "4"});
    EXPECT_EQ(unit.code, 0);
    EXPECT_NE(unit.out.find("Serial Number: 3120030043"), std::string::npos) << unit.out;

    const ProgramRun extract =
        Start({"extract", "VXUSB10V00.BIN", (m_dir / "card.bin").string()}, QUIL_BINARY_DIR "/tools/quiltool");
    ASSERT_EQ(extract.code, 0) << extract.err;
    const std::string image = ReadAll(m_dir / "card.bin");
    ASSERT_EQ(image.size(), 49408u);
    const fs::path state = m_dir / "state";
    // Whatever the environment names, the demo uses the build's fake.
    const ProgramRun update =
        Start({"--console", "--simulate", "--unit", "5", "--update", "--yes", "--sim-state", state.string()},
              QUIL_BINARY_DIR "/ui/quilupdate", {"QUIL_PROGRAM_FILES=/nonexistent"});
    EXPECT_EQ(update.code, 0) << update.out << update.err;
    EXPECT_NE(update.out.find("Congratulations!"), std::string::npos);
    EXPECT_TRUE(ReadAll(state / "3120030043" / "card.bin") == image);
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    EXPECT_NE(log.find("ProgramEEPROM VX-USB 49408"), std::string::npos);
    EXPECT_NE(log.find("ProgramEEPROM VX-USB Success!"), std::string::npos);

    const fs::path stalled = m_dir / "stalled";
    const ProgramRun stall = Start({"--console", "--simulate", "--unit", "5", "--update", "--yes", "--sim-state",
                                    stalled.string(), "--sim-fault", "dfustall"});
    EXPECT_EQ(stall.code, 1);
    EXPECT_NE(stall.out.find("VX-USB Firmware Update Failed!"), std::string::npos) << stall.out;
    EXPECT_TRUE(ReadAll(stalled / "3120030043" / "card.bin").empty());
    EXPECT_NE(ReadAll(m_dir / "QuilUpdate.log").find("download stalled!"), std::string::npos);
}

TEST_F(QuilUpdateProgram, FallsBackToTheConsoleSayingWhyAndReportsALogItCannotOpen) {
    const std::string program = QUIL_BINARY_DIR "/ui/quilupdate";
    const ProgramRun unreachable = Start({"--simulate"}, program, {"DISPLAY=:97", "QT_QPA_PLATFORM="});
    EXPECT_EQ(unreachable.code, 0) << unreachable.err;
    EXPECT_NE(unreachable.err.find("using the console view: the display cannot be opened"), std::string::npos)
        << unreachable.err;
    EXPECT_NE(unreachable.out.find("Serial Number: 3118220001"), std::string::npos);
    const ProgramRun offscreen = Start({"--simulate"}, program, {"DISPLAY=:97", "QT_QPA_PLATFORM=offscreen"});
    EXPECT_NE(offscreen.err.find("using the console view: Qt's platform 'offscreen' shows no window"),
              std::string::npos);

    // A folder where the log file would be: one line on stderr, and the
    // program still runs.
    fs::remove(m_dir / "QuilUpdate.log");
    fs::create_directory(m_dir / "QuilUpdate.log");
    const ProgramRun noLog = Start({"--console", "--simulate"});
    EXPECT_EQ(noLog.code, 0);
    const std::string line = "quilupdate: cannot open the log file QuilUpdate.log";
    ASSERT_NE(noLog.err.find(line), std::string::npos) << noLog.err;
    EXPECT_EQ(noLog.err.find(line, noLog.err.find(line) + 1), std::string::npos);
    EXPECT_NE(noLog.out.find("Serial Number: 3118220001"), std::string::npos);

    // A log that takes no entries (a full disk): said once too.
    fs::remove(m_dir / "QuilUpdate.log");
    fs::create_symlink("/dev/full", m_dir / "QuilUpdate.log");
    const ProgramRun fullLog = Start({"--console", "--simulate"});
    EXPECT_EQ(fullLog.code, 0);
    EXPECT_EQ(fullLog.err,
              "quilupdate: cannot write the log file QuilUpdate.log: No space left on device (its entries are being "
              "lost)\n");
    EXPECT_NE(fullLog.out.find("Serial Number: 3118220001"), std::string::npos);
}

TEST_F(QuilUpdateProgram, ConsoleUpdateWritesTheSavedUnitsBank) {
    const ProgramRun extract =
        Start({"extract", "QUIL0803C.BIN", (m_dir / "image.bin").string()}, QUIL_BINARY_DIR "/tools/quiltool");
    ASSERT_EQ(extract.code, 0) << extract.err;
    const std::string image = ReadAll(m_dir / "image.bin");
    ASSERT_EQ(image.size(), 5346254u);

    for (const auto& [keyword, bank] :
         {std::pair<std::string, const char*>{"", "bank2.bin"}, {"PROM=1", "bank1.bin"}}) {
        SCOPED_TRACE(bank);
        const fs::path state = m_dir / ("state-" + std::string(bank));
        std::vector<std::string> args{"--console", "--simulate", "--update", "--yes", "--sim-state", state.string()};
        if (!keyword.empty()) args.push_back(keyword);
        const ProgramRun update = Start(args);
        EXPECT_EQ(update.code, 0) << update.out << update.err;
        EXPECT_NE(update.out.find("Congratulations!"), std::string::npos);
        EXPECT_TRUE(ReadAll(state / "3118220001" / bank) == image);
    }

    const ProgramRun failed = Start({"--console", "--simulate", "--update", "--yes", "--sim-fault", "pgmerr@100"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_NE(failed.out.find("Wait for Write Firmware Packet Failed!"), std::string::npos);
    EXPECT_NE(failed.out.find("PGMERR"), std::string::npos);
    EXPECT_NE(failed.out.find("Updating the Firmware on the Quil FAILED!"), std::string::npos);

    // Without --yes and without a terminal the confirmation is cancelled.
    const ProgramRun cancelled = Start({"--console", "--simulate", "--update"});
    EXPECT_EQ(cancelled.code, 1);
    EXPECT_EQ(cancelled.out.find("Downloading"), std::string::npos);
}

TEST_F(QuilUpdateProgram, DriverSimulationListsAndUpdatesTheQuilsBehindThunderbolt) {
    const ProgramRun list = Start({"--console", "--simulate=driver"});
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find("0  Quil connected via Thunderbolt\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("1  Quil connected via Thunderbolt\n"), std::string::npos) << list.out;
    // Neither the interface in the slot nor the sibling model is an entry.
    EXPECT_EQ(list.out.find("2  "), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(" in Quil connected via"), std::string::npos);
    EXPECT_EQ(list.out.find("Nimbra"), std::string::npos);

    const ProgramRun extract =
        Start({"extract", "QUIL0803C.BIN", (m_dir / "image.bin").string()}, QUIL_BINARY_DIR "/tools/quiltool");
    ASSERT_EQ(extract.code, 0) << extract.err;
    const fs::path state = m_dir / "state";
    const ProgramRun update =
        Start({"--console", "--simulate=driver", "--update", "--yes", "--sim-state", state.string()});
    EXPECT_EQ(update.code, 0) << update.out << update.err;
    EXPECT_TRUE(ReadAll(state / "3118220001" / "bank2.bin") == ReadAll(m_dir / "image.bin"));
}

// The Dante link's ports are the system's own, so the Dante runs stay in one
// test: quiltool's identify, then the card's update through quilupdate.
// Other runs of these tests on the same machine may hold the Dante ports for
// a while; the test waits (bounded) until it can have them.
bool DantePortsFree() {
    uint32_t unit = 0;
    platform::ParseIpv4("127.0.0.1", unit);
    for (int attempt = 0; attempt < 600; ++attempt) {
        platform::UdpSocket reply, unitPort, cardPort;
        if (reply.Create(false) && reply.Bind(0, 5646) && unitPort.Create(false) && unitPort.Bind(unit, 5645) &&
            cardPort.Create(false) && cardPort.Bind(unit, 5647)) {
            return true;
        }
        ::usleep(200 * 1000);
    }
    return false;
}

TEST_F(QuilUpdateProgram, DanteSimulationUpdatesTheVxDanteCardOverUdp) {
    ASSERT_TRUE(DantePortsFree()) << "UDP ports 5645 to 5647 stay taken";
    {
        // Another demo holds the addresses: said plainly, and no DNS-SD
        // library of the system's is reached.
        uint32_t address = 0;
        platform::ParseIpv4("127.0.0.1", address);
        platform::UdpSocket taken;
        ASSERT_TRUE(taken.Create(false) && taken.Bind(address, 5645));
        const std::string said =
            "the Dante demo's addresses are taken (is another demo running?): cannot serve on 127.0.0.1:5645: "
            "Address already in use\n";
        const ProgramRun second = Start({"--console", "--simulate=dante"});
        EXPECT_EQ(second.code, 1);
        EXPECT_EQ(second.err, "quilupdate: " + said);
        EXPECT_EQ(second.out, "");
        const ProgramRun tool = Start({"identify", "--simulate=dante"}, QUIL_BINARY_DIR "/tools/quiltool");
        EXPECT_EQ(tool.code, 1);
        EXPECT_EQ(tool.err, "quiltool: " + said);
    }
    const ProgramRun identify = Start({"identify", "--simulate=dante"}, QUIL_BINARY_DIR "/tools/quiltool");
    EXPECT_EQ(identify.code, 0) << identify.err;
    EXPECT_NE(identify.out.find("connection 0: Quil connected via Dante (127.0.0.1) "), std::string::npos)
        << identify.out;
    EXPECT_EQ(identify.out.find("connection 1:"), std::string::npos) << identify.out;

    const ProgramRun extract =
        Start({"extract", "VXDNT0102NC.BIN", (m_dir / "image.bin").string()}, QUIL_BINARY_DIR "/tools/quiltool");
    ASSERT_EQ(extract.code, 0) << extract.err;
    const std::string image = ReadAll(m_dir / "image.bin");
    ASSERT_FALSE(image.empty());
    const fs::path state = m_dir / "state";
    // Datagrams from a stranger and a message left open by the card's own
    // address arrive while the card is erased and while it is written; the
    // update takes no notice.
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid =
        Spawn({"--console", "--simulate=dante", "--unit", "1", "--update", "--yes", "--sim-state", state.string()},
              kQuilUpdate, {}, out[1]);
    uint32_t stranger = 0, cardAddress = 0, reply = 0;
    platform::ParseIpv4("127.0.0.9", stranger);
    platform::ParseIpv4("127.0.0.1", cardAddress);
    platform::ParseIpv4("127.0.0.1", reply);
    platform::UdpSocket fromStranger, fromCard;
    ASSERT_TRUE(fromStranger.Create(false) && fromStranger.Bind(stranger, 0));
    ASSERT_TRUE(fromCard.Create(false) && fromCard.Bind(cardAddress, 0));
    const uint8_t open[] = {0xF0, 0x00, 0x01, 0x54, 0x70};
    std::vector<uint8_t> noise(3000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 151 + 17);
    std::string seen;
    for (const char* step : {"Erasing XSlot Firmware...", "Programming XSlot Firmware..."}) {
        EXPECT_TRUE(ReadUntil(out[0], seen, step)) << seen;
        EXPECT_TRUE(fromStranger.SendTo(reply, 5646, open, sizeof open));
        EXPECT_TRUE(fromStranger.SendTo(reply, 5646, noise.data(), noise.size()));
        EXPECT_TRUE(fromCard.SendTo(reply, 5646, open, sizeof open));
    }
    Drain(out[0], seen);
    const ProgramRun update = Finish(pid);
    EXPECT_EQ(update.code, 0) << seen << update.err;
    EXPECT_NE(seen.find("0  Quil connected via Dante (127.0.0.1)\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("1  VX-DANTE in Quil connected via Dante (127.0.0.1)\n"), std::string::npos);
    const std::string card = ReadAll(state / "3118220001" / "card.bin");
    ASSERT_EQ(card.size(), (image.size() + 127) / 128 * 128);
    EXPECT_TRUE(card.compare(0, image.size(), image) == 0);
    EXPECT_EQ(card.find_first_not_of('\0', image.size()), std::string::npos);
    // The card's completion is the card's: the Quil's own flash bank stays.
    EXPECT_NE(ReadAll(state / "3118220001" / "unit.txt").find("Active bank: 1\n"), std::string::npos);
}

}  // namespace
