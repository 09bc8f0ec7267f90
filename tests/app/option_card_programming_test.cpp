// The VX-DANTE card's update end to end: ProgramXSlotEEPROM through the
// engine to the card endpoint of a virtual Quil on the virtual clock.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "app/programming_sequences.h"
#include "platform/midi.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
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
    EXPECT_TRUE(quil->Register(REG_PGM_STATUS) & 0x80);  // completed with the first form
    EXPECT_TRUE(UnitStoreSelected());
    EXPECT_EQ(remote->PollMode(), kPollMonitor);
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
                    "Wait for Verify Packet Failed!\n\nPIP\nPAKRDY"}),
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
