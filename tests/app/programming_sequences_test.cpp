// The main unit's update end to end: ProgramEEPROM through the engine and the
// MIDI-port link to a virtual Quil on the virtual clock, with its packets,
// its texts and the watch over the unit's own phases.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "app/programming_sequences.h"
#include "platform/midi.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
#include "sim/virtual_midi_setup.h"
#include "tests/app/programming_test_support.h"
#include "ui/headless_ui.h"

namespace programmingtest {
namespace {

class MainUnitProgrammingTest : public ::testing::Test {
protected:
    void SetUp() override {
        quil = setup.AddPort("Quil MIDI 1", sim::PortTechnology::Hardware, QuilWithDanteCard(1));
        remote = std::make_unique<CNimbraRemote>();
        remote->SetDeviceName("Quil");
        ASSERT_EQ(remote->Open(), kStatusOk);
        ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    }
    void TearDown() override {
        if (remote) remote->Close();
        remote.reset();
    }

    // As the Update command runs it: host reports off, transfer mode, then
    // the sequence.
    bool Update(const Bytes& image, uint8_t bank) {
        remote->SetHostReportMode(0);
        remote->SetPollMode(kPollTransfer);
        const FirmwareBuffer buffer(image);
        return ProgramEEPROM(*remote, buffer, bank, display);
    }

    size_t PacketsReceived() const {
        size_t n = 0;
        for (const sim::ReceivedMessage& m : quil->Received()) n += m.kind == sim::MessageKind::FirmwarePacket;
        return n;
    }

    // Runs `action` once, at the first window message that finds the unit in
    // `phase`.
    void AtPhase(uint8_t phase, std::function<void()> action) {
        ui.SetTimer(7, 10, [this, phase, action] {
            if (quil->Register(REG_PGM_PHASE) != phase) return;
            ui.KillTimer(7);
            action();
        });
    }

    std::string OnlyBoxText() const {
        if (ui.Boxes().size() != 1) return "boxes: " + std::to_string(ui.Boxes().size());
        const platform::MessageBoxRequest& box = ui.Boxes()[0];
        EXPECT_EQ(box.caption, "Quil Firmware Update");
        EXPECT_EQ(box.icon, platform::BoxIcon::None);
        EXPECT_TRUE(box.owned);
        return box.text;
    }

    platform::VirtualClock clock{10000};
    platform::ScopedClock scopedClock{clock};
    ui::HeadlessUi ui;
    platform::ScopedUi scopedUi{ui};
    TempLog log;
    sim::VirtualMidiSetup setup;
    platform::ScopedMidiSystem scopedMidi{setup.System()};
    sim::VirtualQuil* quil = nullptr;
    std::unique_ptr<CNimbraRemote> remote;
    RecordingDisplay display;
};

TEST_F(MainUnitProgrammingTest, ImageLiesByteForByteInTheChosenBank) {
    struct Case {
        uint8_t bank;
        int unitBank;
    };
    for (const Case c : {Case{0, 1}, Case{1, 2}}) {
        SCOPED_TRACE(c.unitBank);
        const Bytes image = BitstreamImage(40000 + 1000 * c.bank);
        ASSERT_TRUE(Update(image, c.bank));
        const auto bank = quil->Bank(c.unitBank);
        ASSERT_EQ(bank.size(), image.size());
        EXPECT_TRUE(std::equal(bank.begin(), bank.end(), image.begin()));
        EXPECT_FALSE(quil->Busy());
        EXPECT_TRUE(
            log.InOrder({"ProgramEEPROM\n", "SelectBank " + std::to_string(c.bank) + "\n", "Downloading\n",
                         "Download took: ", "Erasing\n", "Programming\n", "Verifying\n", "Programming Complete\n"}));
    }
    EXPECT_TRUE(ui.Boxes().empty());
    // The second update followed the unit's phases again: the phase 6 the
    // engine still held from the first one did not end its watch.
    EXPECT_EQ(log.Count(" Verifying\n"), 2u);
    // Phases 2 and 3 are both entered, each with its own "Erasing...".
    const std::vector<std::string> once{"Downloading...", "Erasing...", "Erasing...", "Programming...", "Verifying..."};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(display.statusLines, twice);
    const uint32_t packets = (41000 + 127) / 128;
    EXPECT_EQ(display.ranges.back(), std::make_pair(0, int(packets)));
    EXPECT_EQ(display.details.back().kind, platform::ProgressDetail::Kind::Phase);
    EXPECT_EQ(display.details.back().phase, "Verifying");
}

TEST_F(MainUnitProgrammingTest, PacketCountFollowsTheImageLength) {
    struct Case {
        size_t length;
        size_t packets;
    };
    for (const Case c : {Case{128 * 3, 3}, Case{128 * 3 + 1, 4}, Case{1000, 8}}) {
        SCOPED_TRACE(c.length);
        quil->ClearReceived();
        display.details.clear();
        ASSERT_TRUE(Update(BitstreamImage(c.length), 0));
        EXPECT_EQ(PacketsReceived(), c.packets);
        EXPECT_EQ(quil->Bank(1).size(), c.length);
        // The transfer's own counts end with all packets done.
        const auto transfer = std::find_if(display.details.rbegin(), display.details.rend(), [](const auto& d) {
            return d.kind == platform::ProgressDetail::Kind::Transfer;
        });
        ASSERT_NE(transfer, display.details.rend());
        EXPECT_EQ(transfer->done, c.packets);
        EXPECT_EQ(transfer->total, c.packets);
    }
}

struct PacketFailure {
    const char* name;
    void (*fault)(sim::VirtualQuil&);
    const char* text;
    size_t packets;
};

void PrintTo(const PacketFailure& c, std::ostream* os) { *os << c.name; }

class PacketFailureTest : public MainUnitProgrammingTest, public ::testing::WithParamInterface<PacketFailure> {};

TEST_P(PacketFailureTest, NamesTheUnitsStatus) {
    const PacketFailure& c = GetParam();
    c.fault(*quil);
    quil->ClearReceived();
    // Time moves only as the waits let it: a packet's wait runs out at the
    // first tick past its second.
    clock.SetSpinReadsPerMs(0);
    const uint32_t start = clock.Peek();
    EXPECT_FALSE(Update(BitstreamImage(4096), 0));
    EXPECT_EQ(OnlyBoxText(), c.text);
    EXPECT_EQ(log.Count(c.text), 1u);
    EXPECT_EQ(PacketsReceived(), c.packets);
    if (std::string(c.text).ends_with("TIMEOUT")) {
        EXPECT_EQ(clock.Peek() - start, 1001u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, PacketFailureTest,
    ::testing::Values(PacketFailure{"PgmErrAtPacket5", [](sim::VirtualQuil& q) { q.FailPacket(5, sim::kStatusPgmErr); },
                                    "Wait for Write Firmware Packet Failed!\n\nPGMERR", 6},
                      PacketFailure{"TxErrAtPacket0", [](sim::VirtualQuil& q) { q.FailPacket(0, sim::kStatusTxErr); },
                                    "Wait for Write Firmware Packet Failed!\n\nTXERR", 1},
                      PacketFailure{"Silent", [](sim::VirtualQuil& q) { q.FallSilent(5000); },
                                    "Wait for Write Firmware Packet Failed!\n\nTIMEOUT", 1}),
    [](const ::testing::TestParamInfo<PacketFailure>& p) { return std::string(p.param.name); });

TEST_F(MainUnitProgrammingTest, VerificationErrorEndsTheWatch) {
    Bytes image = BitstreamImage(3000);
    image[16] = 0x00;  // no bitstream: the unit's verification fails
    EXPECT_FALSE(Update(image, 1));
    EXPECT_EQ(OnlyBoxText(), "Wait for Programming Complete Failed!\n\nPGMERR");
    EXPECT_TRUE(log.InOrder({"Verifying\n", "Wait for Programming Complete Failed!\n\nPGMERR"}));
    EXPECT_EQ(log.Count("Programming Complete\n"), 0u);
}

TEST_F(MainUnitProgrammingTest, UnitThatStopsMovingFailsAfterTenMinutes) {
    quil->StallPhase(4, 50);
    uint32_t stalledAt = 0;
    AtPhase(4, [&] { stalledAt = clock.Peek(); });
    EXPECT_FALSE(Update(BitstreamImage(3000), 0));
    EXPECT_EQ(OnlyBoxText(), "Wait for Programming Complete Failed!\n\nTIMEOUT");
    // The last change was the step to 50 % about a second into the phase.
    EXPECT_GT(clock.Peek() - stalledAt, 10u * 60 * 1000);
    EXPECT_LT(clock.Peek() - stalledAt, 10u * 60 * 1000 + 2000);
}

TEST_F(MainUnitProgrammingTest, UnitThatStaysSilentFailsAfterAMinuteOffline) {
    uint32_t silentAt = 0;
    AtPhase(3, [&] {
        silentAt = clock.Peek();
        quil->FallSilent(10 * 60 * 1000);
    });
    EXPECT_FALSE(Update(BitstreamImage(3000), 0));
    EXPECT_EQ(OnlyBoxText(), "ProgramEEPROM: The Quil Stopped Responding!\n");
    EXPECT_EQ(log.Count("ProgramEEPROM: Quil Offline in Phase "), 1u);
    // Dropped after a second of silence, then a minute without a unit.
    EXPECT_GT(clock.Peek() - silentAt, 61000u);
    EXPECT_LT(clock.Peek() - silentAt, 70000u);
}

TEST_F(MainUnitProgrammingTest, UnitBackFromSilenceIsWatchedToTheEnd) {
    // Reselecting leaves the engine in poll mode 2, where the phases are not
    // polled: without poll mode 5 again the watch would see no progress.
    AtPhase(3, [&] { quil->FallSilent(4000); });
    const Bytes image = BitstreamImage(3000);
    ASSERT_TRUE(Update(image, 1));
    EXPECT_TRUE(ui.Boxes().empty());
    EXPECT_EQ(log.Count("ProgramEEPROM: Quil Selected Again\n"), 1u);
    EXPECT_EQ(remote->PollMode(), kPollProgress);
    const auto bank = quil->Bank(2);
    ASSERT_EQ(bank.size(), image.size());
    EXPECT_TRUE(std::equal(bank.begin(), bank.end(), image.begin()));
}

TEST_F(MainUnitProgrammingTest, AnotherUnitAtTheLostUnitsPortIsNoSuccess) {
    // The unit falls silent; when the link finds its port again another unit
    // answers there, one that finished an update of its own. The engine looks
    // for the lost unit by serial number and PID, so it never takes the other
    // one for it: the watch sees a unit that stays away.
    sim::VirtualQuil other(QuilWithDanteCard(2));
    other.PresetRegister(REG_PGM_PHASE, 6);
    other.PresetRegister(REG_PGM_PROGRESS, 100);
    const auto ports = setup.UnitPorts(0);
    AtPhase(3, [&] {
        quil->FallSilent(10 * 60 * 1000);
        ui.SetTimer(8, 10, [&] {
            uint8_t offline = 0;
            remote->IsOffline(&offline);
            if (offline == 0) return;
            ui.KillTimer(8);
            setup.System().Attach(ports.output, ports.input, &other);
        });
    });
    EXPECT_FALSE(Update(BitstreamImage(3000), 0));
    EXPECT_EQ(OnlyBoxText(), "ProgramEEPROM: The Quil Stopped Responding!\n");
    uint32_t serial = 0;
    remote->GetSerialNumber(&serial);
    EXPECT_NE(serial, other.CurrentSerial());
    setup.System().Attach(ports.output, ports.input, quil);
}

TEST(DownloadTime, FormatsHoursMinutesSecondsAndMilliseconds) {
    EXPECT_EQ(FormatDownloadTime(((1 * 60 + 2) * 60 + 3) * 1000 + 4), "Download took: 01:02:03.004\n");
    EXPECT_EQ(FormatDownloadTime(0), "Download took: 00:00:00.000\n");
    EXPECT_EQ(FormatDownloadTime(59999), "Download took: 00:00:59.999\n");
}

TEST(StatusNames, EveryNamedBitInOrder) {
    struct Case {
        uint8_t status;
        const char* text;
    };
    for (const Case c : {Case{0x00, ""}, Case{0x02, "\nPGMERR"}, Case{0x09, "\nPIP\nPAKRDY"},
                         Case{0xFF, "\nPIP\nPGMERR\nTXERR\nPAKRDY\nTIMEOUT"}, Case{0x90, ""}}) {
        std::string text = "head";
        AppendStatusNames(text, c.status);
        EXPECT_EQ(text, std::string("head") + c.text) << int(c.status);
    }
}

}  // namespace
}  // namespace programmingtest
