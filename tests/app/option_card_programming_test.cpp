// The VX-DANTE card's update end to end: ProgramXSlotEEPROM through the
// engine to the card endpoint of a virtual Quil on the virtual clock.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/programming_sequences.h"
#include "platform/midi.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
#include "remote/sysex_codec.h"
#include "sim/virtual_midi_setup.h"
#include "tests/app/card_test_link.h"
#include "tests/app/programming_test_support.h"
#include "ui/headless_ui.h"

namespace programmingtest {
namespace {

class CardProgrammingTest : public ::testing::Test {
protected:
    void Start(uint32_t cardEraseMs) {
        sim::UnitDescription description = QuilWithDanteCard(1);
        description.cardEraseMs = cardEraseMs;
        quil = std::make_unique<sim::VirtualQuil>(description);
        links = std::make_unique<CardLinkFactory>(*quil);
        remote = std::make_unique<CNimbraRemote>(*links);
        ASSERT_EQ(remote->Open(), kStatusOk);
        ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    }
    void TearDown() override {
        if (remote) remote->Close();
    }

    bool Update(const Bytes& image) {
        remote->SetHostReportMode(0);
        remote->SetPollMode(kPollTransfer);
        const FirmwareBuffer buffer(image);
        return ProgramXSlotEEPROM(*remote, buffer, true, display);
    }

    std::string BoxText() const { return ui.Boxes().empty() ? "" : ui.Boxes().back().text; }
    // The percentages reported for step `phase`, in order.
    std::vector<int> Percents(const std::string& phase) const {
        std::vector<int> percents;
        for (const platform::ProgressDetail& d : display.details) {
            if (d.kind == platform::ProgressDetail::Kind::Phase && d.phase == phase) percents.push_back(d.percent);
        }
        return percents;
    }
    // The link addresses the unit again, and said so last.
    bool UnitStoreSelected() const {
        const auto& t = links->last->targets;
        return !t.empty() && t.front() == 1 && t.back() == 0;
    }

    platform::VirtualClock clock{10000};
    platform::ScopedClock scopedClock{clock};
    ui::HeadlessUi ui;
    platform::ScopedUi scopedUi{ui};
    TempLog log;
    std::unique_ptr<sim::VirtualQuil> quil;
    std::unique_ptr<CardLinkFactory> links;
    std::unique_ptr<CNimbraRemote> remote;
    RecordingDisplay display;
};

TEST_F(CardProgrammingTest, SixSecondEraseSucceedsAndTheCardHoldsTheImage) {
    Start(6000);
    const Bytes image = BitstreamImage(128 * 9 + 20);
    uint32_t eraseStart = 0;
    display.onStatusLine = [&](const std::string& text) {
        if (text == "Erasing XSlot Firmware...") eraseStart = clock.Peek();
    };
    ASSERT_TRUE(Update(image));
    EXPECT_TRUE(ui.Boxes().empty());
    EXPECT_TRUE(log.InOrder({"ProgramXSlotEEPROM", "Erasing XSlot Firmware", "SelectXSlotFirmware 1", "Start Erase",
                             "Erase Complete", "Programming 10 Packets", "Verifying 10 Packets", "Verify Complete",
                             "EEPROM Programming Success"}));
    EXPECT_EQ(display.statusLines,
              (std::vector<std::string>{"Erasing XSlot Firmware...", "Programming XSlot Firmware...",
                                        "Verifying XSlot Firmware..."}));
    EXPECT_EQ(display.ranges, (std::vector<std::pair<int, int>>{{0, 40}, {0, 10}, {0, 10}}));

    // The erase bar: e / 100, full from the fourth second on.
    bool sawFull = false;
    for (const auto& p : display.positions) {
        if (p.statusLine != 1) continue;
        EXPECT_LE(p.pos, 40);
        if (p.atMs - eraseStart >= 4000) {
            EXPECT_EQ(p.pos, 40) << p.atMs - eraseStart;
        } else {
            EXPECT_LT(p.pos, 40);
        }
        sawFull = sawFull || p.pos == 40;
    }
    EXPECT_TRUE(sawFull);

    // Every packet as sent, the last one with its zero fill.
    Bytes expected = image;
    expected.resize(128 * 10, 0);
    const auto card = quil->CardStore();
    ASSERT_EQ(card.size(), expected.size());
    EXPECT_TRUE(std::equal(card.begin(), card.end(), expected.begin()));
    EXPECT_TRUE(quil->CardStatus() & 0x80);               // the card completed with the first form
    EXPECT_FALSE(quil->Register(REG_PGM_STATUS) & 0x80);  // the unit's own bank stays
    EXPECT_TRUE(UnitStoreSelected());
    EXPECT_EQ(remote->PollMode(), kPollMonitor);

    // Each step's percentage once, as it changes, from nothing to all: the
    // erase by its bar (e / 100 of 40 steps), the packets by their count.
    EXPECT_EQ(display.positions.front().pos, 0);
    std::vector<int> erasing;
    for (int bar = 0; bar <= 40; ++bar) erasing.push_back(bar * 100 / 40);
    const std::vector<int> packets = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    EXPECT_EQ(Percents("Erasing"), erasing);
    EXPECT_EQ(Percents("Programming"), packets);
    EXPECT_EQ(Percents("Verifying"), packets);
}

// One packet: each step still goes from nothing to all.
TEST_F(CardProgrammingTest, AOnePacketImageReportsNothingThenAll) {
    Start(300);
    ASSERT_TRUE(Update(BitstreamImage(100)));
    EXPECT_EQ(Percents("Programming"), (std::vector<int>{0, 100}));
    EXPECT_EQ(Percents("Verifying"), (std::vector<int>{0, 100}));
}

// The erase may take 12 s to the millisecond: the clock moves only between
// the sequence's status passes here, one millisecond each.
TEST_F(CardProgrammingTest, TheEraseMayTakeTwelveSecondsAndNotOneMillisecondMore) {
    for (const uint32_t eraseMs : {12000u, 12001u}) {
        SCOPED_TRACE(eraseMs);
        TearDown();
        Start(eraseMs);
        clock.SetSpinReadsPerMs(0);
        EXPECT_EQ(Update(BitstreamImage(128)), eraseMs == 12000);
        EXPECT_EQ(BoxText(), eraseMs == 12000 ? "" : "Wait for Erase EEPROM Failed!\n\nTIMEOUT");
        clock.SetSpinReadsPerMs(16);
    }
}

// Each packet's acknowledgement and each read-back packet may take a second
// to the millisecond to come back, and not one millisecond more.
TEST_F(CardProgrammingTest, PacketsAndReadBacksMayTakeOneSecondAndNotOneMillisecondMore) {
    struct Case {
        bool readBack;  // the read-back packets come late; else the acknowledgements
        uint32_t delayMs;
        const char* box;
    };
    const Case cases[] = {
        {false, 1000, ""},
        {false, 1001, "Wait for Write Firmware Packet Failed!\n\nTIMEOUT"},
        {true, 1000, ""},
        {true, 1001, "Wait for Verify Packet Failed!\n\nTIMEOUT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.readBack ? "read-back " : "acknowledgement ") << c.delayMs);
        TearDown();
        Start(300);
        clock.SetSpinReadsPerMs(0);
        CardTestLink& link = *links->last;
        // The erase's report comes at once: the delay begins with the step.
        display.onStatusLine = [&](const std::string& text) {
            if (text == "Programming XSlot Firmware...") link.replyDelayMs = c.readBack ? 0 : c.delayMs;
            if (text == "Verifying XSlot Firmware...") link.replyDelayMs = c.readBack ? c.delayMs : 0;
        };
        const size_t boxes = ui.Boxes().size();
        EXPECT_EQ(Update(BitstreamImage(256)), c.box[0] == '\0');
        EXPECT_EQ(ui.Boxes().size() > boxes ? BoxText() : "", c.box);
        display.onStatusLine = nullptr;
        clock.SetSpinReadsPerMs(16);
    }
}

// A card the engine no longer knows at the end (its image emptied, as when
// the unit is dropped) still gets the link pointed at the unit again.
TEST_F(CardProgrammingTest, AForgottenCardStillLeavesTheUnitsStoreSelected) {
    Start(300);
    display.onStatusLine = [this](const std::string& text) {
        if (text != "Verifying XSlot Firmware...") return;
        const uint8_t none = 0;
        remote->StoreRegisterData(&none, REMO_VX_TYPE, 1);
    };
    Update(BitstreamImage(256));
    EXPECT_TRUE(UnitStoreSelected());
}

// Without the card as the target the unit's own store is addressed.
TEST_F(CardProgrammingTest, WithoutTheCardTargetTheUnitsStoreIsSelected) {
    Start(300);
    const FirmwareBuffer buffer(BitstreamImage(256));
    ProgramXSlotEEPROM(*remote, buffer, false, display);
    EXPECT_TRUE(log.InOrder({"SelectXSlotFirmware 0"}));
    ASSERT_FALSE(links->last->targets.empty());
    EXPECT_EQ(links->last->targets.front(), 0);
}

struct CardFailure {
    const char* name;
    uint32_t eraseMs;
    // Sets the fault up; runs before the update.
    void (*arrange)(sim::VirtualQuil&, CNimbraRemote&, ui::HeadlessUi&, RecordingDisplay&);
    const char* text;
};

void PrintTo(const CardFailure& c, std::ostream* os) { *os << c.name; }

class CardFailureTest : public CardProgrammingTest, public ::testing::WithParamInterface<CardFailure> {};

TEST_P(CardFailureTest, ShowsItsTextAndSelectsTheUnitsStoreAgain) {
    const CardFailure& c = GetParam();
    Start(c.eraseMs);
    c.arrange(*quil, *remote, ui, display);
    EXPECT_FALSE(Update(BitstreamImage(128 * 4)));
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_EQ(BoxText(), c.text);
    EXPECT_EQ(ui.Boxes()[0].caption, "Quil Firmware Update");
    EXPECT_EQ(ui.Boxes()[0].icon, platform::BoxIcon::None);
    EXPECT_TRUE(UnitStoreSelected());
    EXPECT_EQ(log.Count("EEPROM Programming Success"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Card, CardFailureTest,
    ::testing::Values(
        CardFailure{"EraseOfThirteenSeconds", 13000, [](auto&, auto&, auto&, auto&) {},
                    "Wait for Erase EEPROM Failed!\n\nTIMEOUT"},
        CardFailure{"PgmErrAtPacket2", 3000,
                    [](sim::VirtualQuil& q, auto&, auto&, auto&) { q.FailPacket(2, sim::kStatusPgmErr); },
                    "Wait for Write Firmware Packet Failed!\n\nPGMERR"},
        CardFailure{"ReadBackDiffers", 3000, [](sim::VirtualQuil& q, auto&, auto&, auto&) { q.CorruptReadBack(2); },
                    "Firmware Verify Failed!"},
        // The unit reports PIP with the read-back packet: PAKRDY alone is the
        // only good answer.
        CardFailure{"VerifyStatusPipAndPakRdy", 3000,
                    [](sim::VirtualQuil&, CNimbraRemote& remote, ui::HeadlessUi& ui, RecordingDisplay& display) {
                        display.onStatusLine = [&remote, &ui](const std::string& text) {
                            if (text != "Verifying XSlot Firmware...") return;
                            ui.QueueAction([&remote] {
                                const uint8_t pip = kPgmStatusPip;
                                remote.StoreRegisterData(&pip, REG_PGM_STATUS, 1);
                            });
                        };
                    },
                    "Wait for Verify Packet Failed!\n\nPIP\nPAKRDY"},
        // Everything is written and read back, but the completion command
        // that makes the card take it never leaves.
        CardFailure{"CompletionCannotBeSent", 3000,
                    [](sim::VirtualQuil&, CNimbraRemote& remote, auto&, auto&) {
                        auto& link = static_cast<CardTestLink&>(*remote.Link());
                        link.refused.resize(kCommandLength);
                        link.refused.resize(BuildCommand(link.refused.data(), 8));
                    },
                    "SetProgrammingComplete Failed!"}),
    [](const ::testing::TestParamInfo<CardFailure>& p) { return std::string(p.param.name); });

TEST(CardOverMidiPorts, TheCardStoreCannotBeSelected) {
    platform::VirtualClock clock{10000};
    platform::ScopedClock scopedClock{clock};
    ui::HeadlessUi ui;
    platform::ScopedUi scopedUi{ui};
    TempLog log;
    sim::VirtualMidiSetup setup;
    sim::VirtualQuil* quil = setup.AddPort("Quil MIDI 1", sim::PortTechnology::Hardware, QuilWithDanteCard(1));
    platform::ScopedMidiSystem scopedMidi{setup.System()};
    CNimbraRemote remote;
    remote.SetDeviceName("Quil");
    ASSERT_EQ(remote.Open(), kStatusOk);
    ASSERT_EQ(remote.SelectConnection(0), kStatusOk);
    RecordingDisplay display;
    EXPECT_FALSE(ProgramXSlotEEPROM(remote, FirmwareBuffer(BitstreamImage(256)), true, display));
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_EQ(ui.Boxes()[0].text, "ProgramEEPROM: SelectXSlotFirmware Failed!\n");
    EXPECT_EQ(log.Count("ProgramEEPROM: SelectXSlotFirmware Failed!\n"), 1u);
    EXPECT_TRUE(quil->CardStore().empty());
    remote.Close();
}

}  // namespace
}  // namespace programmingtest
