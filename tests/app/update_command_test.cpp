// The Update command and the serial-number flow, end to end: the main
// window on the headless view over virtual units, on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_buffer.h"
#include "app/firmware_image.h"
#include "links/link_factory.h"
#include "platform/interruptions.h"
#include "sim/virtual_quil.h"
#include "tests/app/card_test_link.h"
#include "tests/app/main_window_fixture.h"

namespace {

using namespace resources;
using platform::BoxAnswer;
using platform::BoxIcon;

// An image the unit accepts: it begins like an FPGA bitstream.
std::vector<uint8_t> Bitstream(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    std::fill_n(image.begin(), std::min<size_t>(16, size), 0xFF);
    const uint8_t sync[] = {0xAA, 0x99, 0x55, 0x66};
    for (size_t i = 0; i < 4 && 16 + i < size; ++i) image[16 + i] = sync[i];
    return image;
}

size_t Count(const sim::VirtualQuil& unit, sim::MessageKind kind) {
    return static_cast<size_t>(std::count_if(unit.Received().begin(), unit.Received().end(),
                                             [kind](const sim::ReceivedMessage& m) { return m.kind == kind; }));
}

class UpdateTest : public MainWindowTest {
protected:
    // One unit with a card of `cardType`, reached over a link that can
    // address the card's own endpoint as the Dante link can (the MIDI-port
    // link cannot reach a VX-DANTE card's store at all).
    sim::VirtualQuil* UseCardLink(uint8_t cardType) {
        m_scopedLinks.reset();
        m_cardLinks.reset();
        m_cardUnit = std::make_unique<sim::VirtualQuil>(QuilWithCard(cardType));
        m_cardLinks = std::make_unique<programmingtest::CardLinkFactory>(*m_cardUnit);
        m_scopedLinks = std::make_unique<ScopedDefaultLinks>(*m_cardLinks);
        return m_unit = m_cardUnit.get();
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        m_scopedLinks.reset();
    }
    sim::VirtualQuil* AddQuil() { return m_unit = AddUnit("Quil 1", QuilWithCard(sim::kCardNone)); }
    // Presses Update once the window is up, and answers the confirmation.
    void PressUpdate(BoxAnswer confirm = BoxAnswer::Ok) {
        ui().QueueAction([this] { m_unit->ClearReceived(); });
        ui().QueuePress(IDC_UPDATE);
        ui().QueueAnswer(confirm);
    }
    sim::VirtualQuil* m_unit = nullptr;
    std::unique_ptr<sim::VirtualQuil> m_cardUnit;
    std::unique_ptr<programmingtest::CardLinkFactory> m_cardLinks;
    std::unique_ptr<ScopedDefaultLinks> m_scopedLinks;
};

TEST_F(UpdateTest, EmbeddedImageLandsByteForByteInTheChosenBank) {
    const std::vector<uint8_t> image = ExpandedEmbeddedImage("QUIL0803C.BIN");
    ASSERT_EQ(image.size(), 5346254u);
    for (const auto& [line, bank] : {std::pair<const char*, int>{"", 2}, {"PROM=1", 1}}) {
        SCOPED_TRACE(line);
        Reset();
        AddQuil();
        PressUpdate();
        Run(line);
        EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Succeeded);
        EXPECT_EQ(m_dialog->CurrentView(), ViewDone);
        const std::span<const uint8_t> written = m_unit->Bank(bank);
        EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin(), image.end()));
        EXPECT_TRUE(m_unit->Bank(3 - bank).empty());
        EXPECT_EQ(Count(*m_unit, sim::MessageKind::FirmwarePacket), 41768u);
        const platform::MessageBoxRequest& confirm = ui().Boxes().at(0);
        EXPECT_EQ(confirm.text, "About to program the Quil connected via Quil 1 with Firmware Version 8.3\n");
        EXPECT_EQ(confirm.caption, "Firmware Update Confirmation");
        EXPECT_EQ(confirm.icon, BoxIcon::Warning);
        EXPECT_EQ(confirm.buttons, platform::BoxButtons::OkCancel);
        EXPECT_EQ(confirm.defaultButton, 1u);
        EXPECT_TRUE(confirm.owned);
        // Discovery, then the programming, under the wait cursor.
        EXPECT_EQ(ui().WaitCursorChanges(), (std::vector<bool>{true, false, true, false}));
        ExpectLogInOrder({"OnUpdate\n", "About to program the Quil connected via Quil 1 with Firmware Version 8.3\n",
                          "ProgramEEPROM\n", std::string("SelectBank ") + (bank == 1 ? "0" : "1") + "\n",
                          "Downloading\n", "Download took: ", "Erasing\n", "Programming\n", "Verifying\n",
                          "Programming Complete\n"});
        const ui::HeadlessWindow& w = MainWindow();
        EXPECT_TRUE(w.IsShown(IDC_CONGRATULATIONS));
        EXPECT_TRUE(w.IsShown(IDC_CLOSE));
        EXPECT_FALSE(w.HasTimer(1));
        EXPECT_TRUE(w.IsEnabled(IDC_UNIT_LIST));
    }
}

TEST_F(UpdateTest, PacketCountFollowsTheImageSize) {
    for (size_t size : {size_t{256}, size_t{257}}) {
        SCOPED_TRACE(size);
        Reset();
        AddQuil();
        const std::string path = WriteFile("QUIL0900.BIN", Bitstream(size));
        PressUpdate();
        Run("FILE=" + path);
        EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Succeeded);
        EXPECT_EQ(Count(*m_unit, sim::MessageKind::FirmwarePacket), (size + 127) / 128);
        const std::vector<uint8_t> want = Bitstream(size);
        const std::span<const uint8_t> bank = m_unit->Bank(2);
        EXPECT_TRUE(std::equal(bank.begin(), bank.end(), want.begin(), want.end()));
        EXPECT_EQ(ui().Boxes().at(0).caption, path);
    }
}

TEST_F(UpdateTest, CancelSendsNothingButTheHostReportWrite) {
    AddQuil();
    PressUpdate(BoxAnswer::Cancel);
    // While the box is open the window's timer services the remote.
    uint32_t serviceInterval = 0;
    ui().SetBoxObserver(
        [&](const platform::MessageBoxRequest&) { serviceInterval = ui().CurrentWindow()->TimerInterval(1); });
    Run("");
    ui().SetBoxObserver(nullptr);
    EXPECT_EQ(serviceInterval, 16u);
    EXPECT_FALSE(MainWindow().HasTimer(1));
    // The window takes the list and the menu again.
    EXPECT_TRUE(MainWindow().IsEnabled(IDC_UNIT_LIST));
    EXPECT_TRUE(MainWindow().SystemMenuEnabled());
    EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Cancelled);
    EXPECT_EQ(m_dialog->CurrentView(), ViewReady);
    EXPECT_EQ(Count(*m_unit, sim::MessageKind::FirmwarePacket), 0u);
    EXPECT_EQ(Count(*m_unit, sim::MessageKind::Command), 0u);
    for (const sim::ReceivedMessage& m : m_unit->Received()) {
        if (m.kind == sim::MessageKind::RegisterWrite) {
            EXPECT_EQ(m.address, 27u);
        }
    }
    EXPECT_EQ(ui().Boxes().size(), 1u);  // the confirmation alone
}

TEST_F(UpdateTest, UnitErrorAfterAPacketFailsTheUpdate) {
    AddQuil();
    m_unit->FailPacket(1, sim::kStatusPgmErr);
    const std::string path = WriteFile("QUIL0900.BIN", Bitstream(1000));
    PressUpdate();
    Run("FILE=" + path);
    EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Failed);
    EXPECT_EQ(m_dialog->CurrentView(), ViewReady);
    ASSERT_EQ(ui().Boxes().size(), 3u);
    EXPECT_EQ(ui().Boxes()[1].text, "Wait for Write Firmware Packet Failed!\n\nPGMERR");
    EXPECT_EQ(ui().Boxes()[2].text, "Updating the Firmware on the Quil FAILED!");
    EXPECT_EQ(ui().Boxes()[2].caption, "EEPROM Programming Failure");
    EXPECT_EQ(Count(*m_unit, sim::MessageKind::FirmwarePacket), 2u);
    const auto& received = m_unit->Received();
    EXPECT_TRUE(std::any_of(received.begin(), received.end(), [](const sim::ReceivedMessage& m) {
        return m.kind == sim::MessageKind::Command && m.address == 11;  // abort
    }));
    ExpectLogInOrder(
        {"Wait for Write Firmware Packet Failed!\n\nPGMERR", "Updating the Firmware on the Quil FAILED!\n"});
}

TEST_F(UpdateTest, ImagesThatCannotBeProgrammedAreRefusedBeforeAnythingIsSent) {
    // What lies at the path when Update is pressed. A file of the kernel's
    // says it holds 4096 bytes and gives a few: the image read falls short.
    enum Kind { File, Folder, Removed, ShortRead };
    const char* const kShortFile = "/sys/devices/system/cpu/online";
    struct Case {
        const char* file;
        size_t size;
        Kind kind;
        const char* box;  // the start of its text
        const char* caption;
    };
    const Case cases[] = {
        {"QUIL0900.BIN", 0, File, "Unable to get Firmware file size!", ""},
        {"QUIL0900.BIN", 0, Folder, "Unable to get Firmware file size!", ""},
        {"QUIL0900.BIN", 300, Removed, "Unable to open file '", "CreateFile Failure! [00000002]"},
        {"QUIL0900.BIN", 0, ShortRead, "Unable to read Firmware into Memory!", "Quil Firmware Update"},
        {"VXHD0200.BIN", 300, File, "The firmware image '", "Quil Firmware Update"},
        {"VXMA0101.BIN", 300, File, "The firmware image '", "Quil Firmware Update"},
        {"VXUSB10V05.BIN", 300, File, "The firmware image '", "Quil Firmware Update"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file << " " << c.kind);
        Reset();
        AddQuil();
        const std::string relative = "case" + std::to_string(++n) + "/" + c.file;
        const std::string path = (m_dir / relative).string();
        if (c.kind == Folder) {
            std::filesystem::create_directories(path);
            // Windows opens no folder as a file: there the name is refused as
            // it is chosen, as any file that cannot be opened is.
            std::FILE* opened = std::fopen(path.c_str(), "rb");
            if (opened == nullptr) continue;
            std::fclose(opened);
        } else if (c.kind == ShortRead) {
            if (!std::filesystem::exists(kShortFile)) continue;  // no sysfs here
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            std::error_code linked;
            std::filesystem::create_symlink(kShortFile, path, linked);
            if (linked) continue;  // no symbolic links here (Windows)
        } else {
            WriteFile(relative, Bitstream(c.size));
        }
        if (c.kind == Removed) ui().QueueAction([path] { std::filesystem::remove(path); });
        PressUpdate();
        Run("FILE=" + path);
        EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Abandoned);
        EXPECT_EQ(m_dialog->CurrentView(), ViewReady);
        ASSERT_EQ(ui().Boxes().size(), 1u);
        EXPECT_EQ(ui().Boxes()[0].text.rfind(c.box, 0), 0u) << ui().Boxes()[0].text;
        EXPECT_EQ(ui().Boxes()[0].caption, c.caption);
        EXPECT_TRUE(ui().Boxes()[0].owned);
        EXPECT_EQ(Count(*m_unit, sim::MessageKind::FirmwarePacket), 0u);
        EXPECT_EQ(Count(*m_unit, sim::MessageKind::Command), 0u);
        EXPECT_TRUE(m_unit->Bank(2).empty());
    }
}

// The image's DeviceID must name the device of the selected entry: the card
// for a card entry or under XSLOT, else the Quil. Anything else is refused
// with both named, before a single message goes to the unit.
TEST_F(UpdateTest, TheImageMustBeForTheSelectedEntrysDevice) {
    struct Case {
        uint8_t cardType;
        const char* keywords;  // "DROP": the file is dropped on the window instead of named
        int entry;             // 0 the Quil, 1 its card
        const char* file;
        const char* refusal;  // after "The firmware image '<path>' "; nullptr: the update goes through
    };
    const uint8_t dante = sim::kCardVxDante;
    const Case cases[] = {
        {dante, "", 0, "QUIL0901A.BIN", nullptr},
        {dante, "", 1, "VXDNT0103.BIN", nullptr},
        {dante, "XSLOT", 0, "VXDNT0103.BIN", nullptr},
        {dante, "", 0, "VXDNT0103.BIN",
         "is for the VX-DANTE card, not for the selected Quil connected via Quil Dante Test."},
        {dante, "", 1, "QUIL0901A.BIN",
         "is for the Quil, not for the selected VX-DANTE in Quil connected via Quil Dante Test."},
        {dante, "XSLOT", 0, "QUIL0901A.BIN",
         "is for the Quil, not for the selected VX-DANTE in Quil connected via Quil Dante Test."},
        {dante, "", 0, "VXUSB10V05.BIN",
         "is for the VX-USB card, not for the selected Quil connected via Quil Dante Test."},
        {dante, "", 1, "VXHD0200.BIN",
         "is for the VX-HD card, not for the selected VX-DANTE in Quil connected via Quil Dante Test."},
        {sim::kCardVxHd, "", 1, "VXHD0200.BIN", "is for a VX-HD card (DeviceID 24), which this program cannot update."},
        // The VX-USB card is reached only through the USB audio driver.
        {sim::kCardVxUsb, "XSLOT", 0, "VXUSB10V05.BIN", ""},
        // The name is checked again before anything is sent.
        {dante, "DROP", 0, "NOPE0100.BIN", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.keywords << " entry " << c.entry << " " << c.file);
        Reset();
        UseCardLink(c.cardType);
        m_initialEntry = c.entry;
        const std::vector<uint8_t> image = Bitstream(1000);
        const std::string path = WriteFile(c.file, image);
        const bool drop = std::string(c.keywords) == "DROP";
        if (drop) ui().QueueDrop({path});
        PressUpdate();
        Run(drop ? "" : std::string(c.keywords) + " FILE=" + path);
        if (c.refusal == nullptr) {
            EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Succeeded);
            const bool card = c.entry == 1 || std::string(c.keywords) == "XSLOT";
            const std::span<const uint8_t> store = card ? m_unit->CardStore() : m_unit->Bank(2);
            std::vector<uint8_t> want = image;
            if (card) want.resize(1024, 0);  // the last packet's zero fill
            EXPECT_TRUE(std::equal(store.begin(), store.end(), want.begin(), want.end()));
            EXPECT_TRUE((card ? m_unit->Bank(2) : m_unit->CardStore()).empty());
            continue;
        }
        EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Abandoned);
        EXPECT_EQ(m_dialog->CurrentView(), ViewReady);
        std::string text = "The firmware image '" + path + "' " + c.refusal + "\n\nNothing was programmed.";
        if (c.cardType == sim::kCardVxUsb) {
            text =
                "No VX-USB card can be reached through the USB audio driver, so the VX-USB firmware cannot be "
                "programmed.\n\nNothing was programmed.";
        }
        if (drop) text = "Unable to determine DeviceID from File Name";
        ASSERT_EQ(ui().Boxes().size(), drop ? 2u : 1u);  // a dropped name is checked when it is dropped too
        const platform::MessageBoxRequest& box = ui().Boxes().back();
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, "Quil Firmware Update");
        EXPECT_EQ(box.icon, drop ? BoxIcon::None : BoxIcon::Warning);
        EXPECT_TRUE(box.owned);
        if (!drop) ExpectLogInOrder({"OnUpdate\n", text + "\n"});
        // Not a message went out: the host report write included.
        EXPECT_TRUE(m_unit->Received().empty());
        EXPECT_TRUE(m_unit->Bank(2).empty() && m_unit->CardStore().empty());
    }
}

// --unit chooses the entry at start-up, which is no reselection: a file named
// with FILE= stays chosen, and SN= goes to that entry (the card's serial for
// a card entry).
TEST_F(UpdateTest, TheStartUpEntryKeepsTheFileAndTakesTheSerialNumber) {
    struct Case {
        int entry;  // 0 Quil 1, 1 its VX-DANTE card, 2 Quil 2
        const char* keywords;
        int programmed;                // the unit whose bank 2 holds the file: 0, 1 (Quil 2), -1 none
        uint32_t unit1, card1, unit2;  // serials stored afterwards
    };
    const uint32_t unit1 = sim::PackSerial(0x31, 18, 22, 1);
    const uint32_t card1 = sim::PackSerial(0x15, 18, 22, 2);
    const uint32_t unit2 = sim::PackSerial(0x31, 19, 10, 42);
    const Case cases[] = {
        {2, "FILE=", 1, unit1, card1, unit2},
        {0, "FILE=", 0, unit1, card1, unit2},
        {2, "SN=3119100099", -1, unit1, card1, sim::PackSerial(0x31, 19, 10, 99)},
        {1, "SN=1518220077", -1, unit1, sim::PackSerial(0x15, 18, 22, 77), unit2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.entry << " " << c.keywords);
        Reset();
        m_unit = AddUnit("Quil 1", QuilWithCard(sim::kCardVxDante));
        sim::UnitDescription second = QuilWithCard(sim::kCardNone);
        second.serial = unit2;
        sim::VirtualQuil* quil2 = AddUnit("Quil 2", second);
        m_initialEntry = c.entry;
        const std::vector<uint8_t> image = Bitstream(700);
        std::string line = c.keywords;
        if (line == "FILE=") {
            line += WriteFile("QUIL0999A.BIN", image);
            PressUpdate();
        }
        Run(line);
        sim::VirtualQuil* units[] = {m_unit, quil2};
        for (int u = 0; u < 2; ++u) {
            const std::span<const uint8_t> bank = units[u]->Bank(2);
            if (u == c.programmed) {
                EXPECT_TRUE(std::equal(bank.begin(), bank.end(), image.begin(), image.end())) << u;
            } else {
                EXPECT_TRUE(bank.empty()) << u;
            }
        }
        if (c.programmed >= 0) {
            EXPECT_EQ(ui().Boxes().at(0).text, std::string("About to program the Quil connected via Quil ") +
                                                   (c.programmed == 0 ? "1" : "2") + " with Firmware Version 9.99\n");
        }
        EXPECT_EQ(m_unit->StoredSerial(), c.unit1);
        EXPECT_EQ(m_unit->StoredCardSerial(), c.card1);
        EXPECT_EQ(quil2->StoredSerial(), c.unit2);
        EXPECT_EQ(ui().LastWindow(kSerialDialogId), nullptr);
        EXPECT_FALSE(m_dialog->EndedThroughFailure());
    }
}

// A file larger than any unit's flash is refused before it is read; one of
// exactly the bound is read (and here cancelled at the confirmation).
TEST_F(UpdateTest, AnImageLargerThanAnyFlashIsRefusedBeforeItIsRead) {
    for (const uint64_t size : {uint64_t{kLargestFirmwareImage}, uint64_t{kLargestFirmwareImage} + 1}) {
        SCOPED_TRACE(size);
        Reset();
        AddQuil();
        const std::string path = WriteFile("QUIL0901A.BIN", {});
        std::filesystem::resize_file(path, size);
        PressUpdate(BoxAnswer::Cancel);
        Run("FILE=" + path);
        const platform::MessageBoxRequest& box = ui().Boxes().at(0);
        if (size == kLargestFirmwareImage) {
            EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Cancelled);
            EXPECT_EQ(box.text.rfind("About to program the Quil", 0), 0u);
            continue;
        }
        EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Abandoned);
        EXPECT_EQ(box.text, "Unable to allocate enough RAM to load the Firmware!\n\nThe file '" + path +
                                "' holds 16777217 bytes; no unit's flash takes more than 16777216.");
        EXPECT_EQ(box.caption, "Out of Memory");
        EXPECT_EQ(ui().Boxes().size(), 1u);
        EXPECT_EQ(Count(*m_unit, sim::MessageKind::Command), 0u);
    }
}

// While a card is written the About box is not offered: held open, its loop
// would keep the erase's wait from running until the card timed out.
TEST_F(UpdateTest, TheAboutBoxIsNotOfferedWhileACardIsWritten) {
    UseCardLink(sim::kCardVxDante);
    m_initialEntry = 1;
    const std::string path = WriteFile("VXDNT0103.BIN", Bitstream(1000));
    PressUpdate();
    // Taken during the card's erase: the command, then (had the box opened)
    // 13 s with the box open, longer than the erase may take, then its OK.
    ui().QueueSystemCommand(IDM_ABOUTBOX);
    ui().QueueAction([this] {
        if (ui().CurrentWindow()->TemplateId() == kAboutDialogId) ui().PassTime(m_clock, 13000);
    });
    ui().QueuePress(platform::kIdOk);
    Run("FILE=" + path);
    EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Succeeded);
    EXPECT_EQ(ui().LastWindow(kAboutDialogId), nullptr);
    EXPECT_EQ(m_unit->CardStore().size(), 1024u);
    // Once the update is over the menu is offered again.
    EXPECT_TRUE(MainWindow().SystemMenuEnabled());
}

// A stop request (a signal) while a unit is written waits for the end of the
// sequence, then ends the dialog with the update's outcome; before the first
// byte it acts at once, as usual.
TEST_F(UpdateTest, AStopRequestWaitsUntilTheUnitIsWritten) {
    using platform::StopRequest;
    struct Case {
        const char* name;
        int entry;  // 0 the Quil, 1 its card
        StopRequest request;
        bool beforeTheWrite;  // delivered while the confirmation is open
        bool fails;           // the unit refuses a packet
        const char* printed;
        const char* outcome;
    };
    const Case cases[] = {
        {"SIGINT during the card's erase", 1, StopRequest::Interrupt, false, false,
         "quilupdate: SIGINT: the VX-DANTE card is being written; the program will stop when that is safe.\n",
         "succeeded"},
        {"SIGTERM, and the card refuses a packet", 1, StopRequest::Terminate, false, true,
         "quilupdate: SIGTERM: the VX-DANTE card is being written; the program will stop when that is safe.\n",
         "failed"},
        {"SIGHUP during the Quil's download", 0, StopRequest::HangUp, false, false,
         "quilupdate: SIGHUP: the unit is being written; the program will stop when that is safe.\n", "succeeded"},
        {"SIGINT at the confirmation", 0, StopRequest::Interrupt, true, false, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        UseCardLink(sim::kCardVxDante);
        if (c.fails) m_unit->FailPacket(2, sim::kStatusPgmErr);
        m_initialEntry = c.entry;
        const std::string path = WriteFile(c.entry == 1 ? "VXDNT0103.BIN" : "QUIL0901A.BIN", Bitstream(128 * 20));
        PressUpdate();
        if (c.beforeTheWrite) {
            ui().SetBoxObserver([this, &c](const platform::MessageBoxRequest&) { m_interruptions.Deliver(c.request); });
        } else {
            ui().QueueAction([this, &c] { m_interruptions.Deliver(c.request); });
        }
        Run("FILE=" + path);
        ui().SetBoxObserver(nullptr);
        EXPECT_EQ(m_interruptions.Printed(), c.printed);
        EXPECT_EQ(m_interruptions.Holds(), 1);
        EXPECT_FALSE(m_interruptions.Held());
        EXPECT_EQ(m_dialog->LastUpdate(), c.fails ? UpdateOutcome::Failed : UpdateOutcome::Succeeded);
        if (c.outcome == nullptr) {
            // It would have ended the program there and then.
            EXPECT_EQ(m_interruptions.Unheld(), 1);
            EXPECT_FALSE(m_dialog->StoppedByRequest());
            continue;
        }
        EXPECT_TRUE(m_dialog->StoppedByRequest());
        const std::string name = platform::StopRequestName(c.request);
        ExpectLogInOrder({name + " arrived while the " + (c.entry == 1 ? "VX-DANTE card" : "unit") +
                              " was being written; held back until it was done\n",
                          "Stopping on " + name + " now that the update has " + c.outcome + "\n"});
        if (c.entry == 1 && !c.fails) {
            EXPECT_EQ(m_unit->CardStore().size(), 128u * 20);
        }
    }
}

TEST_F(UpdateTest, WhileTheUnitIsWrittenTheListDropsAndCloseAreIgnored) {
    AddQuil();
    AddUnit("Quil 2", QuilWithCard(sim::kCardNone));
    const std::string path = WriteFile("QUIL0900.BIN", Bitstream(128 * 40));
    const std::string other = WriteFile("QUIL0999.BIN", Bitstream(128));
    PressUpdate();
    // These arrive while the packets go out.
    ui().QueueSelect(IDC_UNIT_LIST, 1);
    ui().QueueDrop({other});
    ui().QueueKey(ui::Key::Escape);
    ui().QueueKey(ui::Key::Enter);
    Run("FILE=" + path);
    EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Succeeded);
    EXPECT_EQ(m_unit->Bank(2).size(), 128u * 40);
    EXPECT_EQ(Log().find("OnSelChangeModel"), std::string::npos);
    EXPECT_EQ(Log().find("OnDropFiles"), std::string::npos);
    EXPECT_EQ(MainWindow().ListSelection(IDC_UNIT_LIST), 0);
    // The close attempts left a note where the window tells why nothing
    // happened.
    EXPECT_EQ(MainWindow().Text(IDC_DO_NOT_INTERRUPT), "The window cannot close until the update has finished.");
    EXPECT_EQ(Log().find("Ignoring close while the unit is being written\n") != std::string::npos, true);
}

TEST_F(UpdateTest, SerialNumberFlow) {
    struct Case {
        const char* name;
        const char* commandLine;
        uint32_t unitSerial;
        uint32_t cardSerial;
        int entry;                       // selected after start-up; -1: the first
        std::vector<std::string> typed;  // one OK after each text; "" cancels
        uint32_t wantUnit, wantCard;     // serials stored afterwards
        const char* shown;               // serial field; nullptr when the dialog ended
        std::vector<std::string> boxes;
        const char* prefill;  // edit text when the entry dialog opened
    };
    const uint32_t unitSerial = sim::PackSerial(0x31, 18, 22, 1);
    const uint32_t cardSerial = sim::PackSerial(0x15, 18, 22, 2);
    const Case cases[] = {
        {"blank unit",
         "",
         sim::kNoSerial,
         cardSerial,
         -1,
         {"3118220007"},
         sim::PackSerial(0x31, 18, 22, 7),
         cardSerial,
         "3118220007",
         {},
         ""},
        {"GETSN prefills and writes again",
         "GETSN",
         unitSerial,
         cardSerial,
         -1,
         {"="},
         unitSerial,
         cardSerial,
         "3118220001",
         {},
         "3118220001"},
        {"nine characters, then cancel",
         "",
         sim::kNoSerial,
         cardSerial,
         -1,
         {"311822000", ""},
         sim::kNoSerial,
         cardSerial,
         nullptr,
         {"Invalid Serial Number!"},
         ""},
        {"blank card, the unit's model typed first",
         "",
         unitSerial,
         sim::kNoSerial,
         1,
         {"3118220009", "1518220009"},
         unitSerial,
         sim::PackSerial(0x15, 18, 22, 9),
         "1518220009",
         {"Quil Serial Number does not match Device ID!"},
         ""},
        {"SN= writes and ends",
         "SN=3118220042",
         unitSerial,
         cardSerial,
         -1,
         {},
         sim::PackSerial(0x31, 18, 22, 42),
         cardSerial,
         nullptr,
         {},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        sim::UnitDescription unit = QuilWithCard(sim::kCardVxDante);
        unit.serial = c.unitSerial;
        unit.card.serial = c.cardSerial;
        m_unit = AddUnit("Quil 1", unit);
        if (c.entry >= 0) ui().QueueSelect(IDC_UNIT_LIST, c.entry);
        for (const std::string& text : c.typed) {
            if (text.empty()) {
                ui().QueuePress(platform::kIdCancel);
                continue;
            }
            if (text != "=") ui().QueueType(IDC_SERIAL_EDIT, text);
            ui().QueuePress(platform::kIdOk);
        }
        Run(c.commandLine);
        EXPECT_EQ(m_unit->StoredSerial(), c.wantUnit);
        EXPECT_EQ(m_unit->StoredCardSerial(), c.wantCard);
        std::vector<std::string> boxes;
        for (const auto& box : ui().Boxes()) boxes.push_back(box.text);
        EXPECT_EQ(boxes, c.boxes);
        if (c.shown != nullptr) {
            EXPECT_FALSE(m_dialog->EndedThroughFailure());
            EXPECT_EQ(MainWindow().Text(IDC_SERIAL), c.shown);
            EXPECT_EQ(m_dialog->CurrentView(), ViewReady);
        }
        if (c.prefill != nullptr) {
            const ui::HeadlessWindow* entry = ui().LastWindow(kSerialDialogId);
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(entry->Caption(), "Enter Quil Serial Number");
        }
    }
}

TEST_F(UpdateTest, PresetSerialEndsTheProgramWithoutShowingTheUnit) {
    m_unit = AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
    EXPECT_EQ(Run("SN=3118220042"), platform::kIdOk);
    EXPECT_FALSE(m_dialog->EndedThroughFailure());
    EXPECT_EQ(m_unit->StoredSerial(), sim::PackSerial(0x31, 18, 22, 42));
    EXPECT_EQ(MainWindow().Text(IDC_SERIAL), "");
    EXPECT_EQ(ui().LastWindow(kSerialDialogId), nullptr);
}

TEST_F(UpdateTest, SerialNumberThatNeverReadsBackEndsTheProgram) {
    sim::UnitDescription unit = QuilWithCard(sim::kCardNone);
    unit.serial = sim::kNoSerial;
    m_unit = AddUnit("Quil 1", unit);
    m_unit->SetSerialNeverReadsBack(true);
    ui().QueueType(IDC_SERIAL_EDIT, "3118220007");
    ui().QueuePress(platform::kIdOk);
    Run("");
    EXPECT_TRUE(m_dialog->EndedThroughFailure());
    EXPECT_EQ(m_dialog->CurrentView(), ViewProgramming);
    EXPECT_EQ(MainWindow().Text(IDC_STATUS_LINE), "Writing Serial Number... Please wait...");
    EXPECT_EQ(m_unit->StoredSerial(), sim::kNoSerial);
}

TEST_F(UpdateTest, CancelledSerialEntryEndsTheProgram) {
    sim::UnitDescription unit = QuilWithCard(sim::kCardNone);
    unit.serial = sim::kNoSerial;
    m_unit = AddUnit("Quil 1", unit);
    ui().QueuePress(platform::kIdCancel);
    Run("");
    EXPECT_TRUE(m_dialog->EndedThroughFailure());
    ExpectLogInOrder({"Invalid Serial Number. User Pressed Cancel.\n"});
    EXPECT_EQ(m_unit->StoredSerial(), sim::kNoSerial);
}

}  // namespace
