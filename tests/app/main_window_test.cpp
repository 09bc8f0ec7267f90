// The main window on the headless view over virtual units, on the virtual
// clock: discovery and the unit list, every value field, the keywords, image
// choice by keyword and by drop, and the failures that end the dialog.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/quil_update_dlg.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/midi.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "resources/dialog_templates.h"
#include "sim/virtual_midi_setup.h"
#include "tests/app/main_window_fixture.h"

namespace {

using namespace resources;
using platform::BoxAnswer;
using platform::BoxIcon;

struct Fields {
    std::string serial, manufactured, pcb, version, date, newVersion, newDate, bank;
};

Fields ReadFields(const ui::HeadlessWindow& w) {
    return {w.Text(IDC_SERIAL),       w.Text(IDC_MANUFACTURE_DATE),
            w.Text(IDC_PCB_REVISION), w.Text(IDC_CURRENT_VERSION),
            w.Text(IDC_CURRENT_DATE), w.Text(IDC_NEW_VERSION),
            w.Text(IDC_NEW_DATE),     w.IsShown(IDC_BANK) ? w.Text(IDC_BANK) : "(hidden)"};
}

void ExpectFields(const Fields& got, const Fields& want) {
    EXPECT_EQ(got.serial, want.serial);
    EXPECT_EQ(got.manufactured, want.manufactured);
    EXPECT_EQ(got.pcb, want.pcb);
    EXPECT_EQ(got.version, want.version);
    EXPECT_EQ(got.date, want.date);
    EXPECT_EQ(got.newVersion, want.newVersion);
    EXPECT_EQ(got.newDate, want.newDate);
    EXPECT_EQ(got.bank, want.bank);
}

TEST_F(MainWindowTest, BuiltinSetListsEachQuilAndItsCardAndShowsTheFirstEntry) {
    UseBuiltinSet();
    const int result = Run("");
    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_FALSE(m_dialog->EndedThroughFailure());
    const ui::HeadlessWindow& w = MainWindow();
    EXPECT_EQ(ListTexts(w), (std::vector<std::string>{
                                "Quil connected via Quil USB MIDI 1", "VX-DANTE in Quil connected via Quil USB MIDI 1",
                                "Quil connected via Quil MIDI 2", "VX-HD in Quil connected via Quil MIDI 2",
                                // No USB audio driver library here: its VX-USB card is not listed.
                                "Quil connected via Quil USB MIDI 4"}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(w.ListItemData(IDC_UNIT_LIST, i), static_cast<uint32_t>(i));
    EXPECT_EQ(w.ListSelection(IDC_UNIT_LIST), 0);
    ExpectFields(ReadFields(w), {"3118220001", "May 28, 2018", "B", "7.2", "Jan 12, 2016", "8.3", "Nov 27, 2018", "2"});
    EXPECT_TRUE(w.Control(IDC_SERIAL)->font == platform::FontRole::Bold);
    EXPECT_TRUE(w.Control(IDC_INFO_1)->font == platform::FontRole::Bold);
    ExpectLogInOrder({"Found Quil. Number Of Connections: 4\n", "Found Quil connected via Quil USB MIDI 1\n",
                      "Found VX-DANTE in Quil connected via Quil USB MIDI 1\n",
                      "Found Quil connected via Quil MIDI 2\n", "Found VX-HD in Quil connected via Quil MIDI 2\n",
                      "Found Quil connected via Quil USB MIDI 4\n", "SN: 3118220001\n", "FWRev: 7.2\n",
                      "Selecting QUIL0803C.BIN Firmware\n", "New FWRev: 8.3\n"});
    EXPECT_TRUE(ui().Boxes().empty());
    // Discovery ran under the wait cursor.
    EXPECT_EQ(ui().WaitCursorChanges(), (std::vector<bool>{true, false}));
    ASSERT_EQ(w.SystemMenu().size(), 1u);
    EXPECT_EQ(w.SystemMenu()[0].first, IDM_ABOUTBOX);
    EXPECT_EQ(w.SystemMenu()[0].second, "&About Quil Firmware Update...");
}

TEST_F(MainWindowTest, SelectingTheCardShowsTheCardsFields) {
    UseBuiltinSet();
    ui().QueueSelect(IDC_UNIT_LIST, 1);
    Run("");
    const ui::HeadlessWindow& w = MainWindow();
    ExpectFields(ReadFields(w),
                 {"1518220002", "May 28, 2018", "A", "1.1", "Feb 14, 2017", "1.2", "Feb 14, 2017", "(hidden)"});
    EXPECT_FALSE(w.IsShown(IDC_BANK_LABEL));
    EXPECT_EQ(w.ListText(IDC_UNIT_LIST, 1), "VX-DANTE in Quil connected via Quil USB MIDI 1");
    ExpectLogInOrder({"OnSelChangeModel\n", "SN: 1518220002\n", "Selecting VXDNT0102NC.BIN Firmware\n"});
}

TEST_F(MainWindowTest, UnitOption_SelectsTheEntryAndAnEntryWithoutImageEndsTheDialog) {
    UseBuiltinSet();
    m_initialEntry = 3;  // the VX-HD card: no image is embedded for it
    Run("");
    EXPECT_TRUE(m_dialog->EndedThroughFailure());
    ExpectBox("Unable to determine New Firmware Version!", "Quil Firmware Update", BoxIcon::Warning);
    // The start-up entry is no reselection, and the first entry is never
    // shown on the way.
    ExpectLogInOrder({"SN: 1819100043\n", "Unable to determine New Firmware Version!\n"});
    EXPECT_EQ(Log().find("OnSelChangeModel"), std::string::npos);
    EXPECT_EQ(Log().find("SN: 3118220001"), std::string::npos);
}

TEST_F(MainWindowTest, UnitOptionBeyondTheListEndsTheDialog) {
    for (int entry : {5, -1}) {
        Reset();
        UseBuiltinSet();
        m_initialEntry = entry;
        Run("");
        EXPECT_TRUE(m_dialog->EndedThroughFailure());
        ExpectBox("There is no entry " + std::to_string(entry) + " in the unit list.", "Quil Firmware Update",
                  BoxIcon::Warning);
    }
}

TEST_F(MainWindowTest, DroppedImageShowsItsVersionAndDate) {
    AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
    const std::string path = WriteFile("VXUSB10V05.BIN", std::vector<uint8_t>(10, 1));
    SetModificationDate(path, 2020, 2, 29);
    ui().QueueDrop({path});
    Run("");
    EXPECT_EQ(MainWindow().Text(IDC_NEW_VERSION), "10.5");
    EXPECT_EQ(MainWindow().Text(IDC_NEW_DATE), "Feb 29, 2020");
}

TEST_F(MainWindowTest, ListHoldsAtMostSixteenEntries) {
    for (unsigned i = 0; i < 9; ++i) {
        sim::UnitDescription unit = QuilWithCard(sim::kCardVxDante);
        unit.serial = sim::PackSerial(sim::kPidQuil, 18, 22, i + 1);
        AddUnit("Quil MIDI " + std::to_string(i), unit);
    }
    Run("");
    const ui::HeadlessWindow& w = MainWindow();
    ASSERT_EQ(w.ListCount(IDC_UNIT_LIST), 16);
    EXPECT_EQ(w.ListText(IDC_UNIT_LIST, 15), "VX-DANTE in Quil connected via Quil MIDI 7");
}

TEST_F(MainWindowTest, OtherModelsAreLeftOutAndCardsListedByKind) {
    struct Case {
        uint8_t card;
        bool listed;
        const char* logged;  // "Found ..." line for the card, or empty
    };
    const Case cases[] = {
        {sim::kCardVxMadi, true, "Found VX-MADI in Quil connected via Quil 1\n"},
        {sim::kCardVxFw, false, "Found VX-FW in Quil connected via Quil 1\n"},
        {sim::kCardVxUsb, false, ""},  // listed only with its USB-card updater
        {sim::kCardNone, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.card));
        Reset();
        sim::UnitDescription nimbra;
        nimbra.pid = sim::kPidNimbra16;
        nimbra.firmwareMajor = 17;
        nimbra.serial = sim::PackSerial(sim::kPidNimbra16, 17, 5, 7);
        AddUnit("Quil N", nimbra);
        AddUnit("Quil 1", QuilWithCard(c.card));
        Run("");
        const ui::HeadlessWindow& w = MainWindow();
        std::vector<std::string> want{"Quil connected via Quil 1"};
        if (c.listed) want.push_back(std::string("VX-MADI in Quil connected via Quil 1"));
        EXPECT_EQ(ListTexts(w), want);
        if (*c.logged) {
            EXPECT_NE(Log().find(c.logged), std::string::npos);
        }
        EXPECT_EQ(Log().find("Found VX-USB"), std::string::npos);
    }
}

TEST_F(MainWindowTest, ValueFieldsFollowTheUnitsRegisters) {
    struct Case {
        const char* name;
        unsigned year, week;
        uint8_t major, minor, board;
        Fields want;
    };
    const Case cases[] = {
        {"week 18", 18, 18, 7, 2, 0, {"3118180001", "Apr 30, 2018", "NC", "7.2", "Jan 12, 2016", "", "", ""}},
        {"week 53", 21, 53, 8, 3, 3, {"3121530001", "Dec 31, 2021", "C", "8.3", "Jan 12, 2016", "", "", ""}},
        {"week 1 of 2063", 63, 1, 6, 1, 12, {"3163010001", "Jan 01, 2063", "L", "6.1", "Apr 09, 2014", "", "", ""}},
        {"firmware 0.0", 18, 22, 0, 0, 2, {"3118220001", "May 28, 2018", "B", "Not Present", "", "", "", ""}},
        {"firmware 63.5", 18, 22, 63, 5, 2, {"3118220001", "May 28, 2018", "B", "Not Present", "", "", "", ""}},
        {"firmware 0.4", 18, 22, 0, 4, 2, {"3118220001", "May 28, 2018", "B", "0.4", "Jan 01, 2012", "", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        sim::UnitDescription unit = QuilWithCard(sim::kCardNone);
        unit.serial = sim::PackSerial(sim::kPidQuil, c.year, c.week, 1);
        unit.firmwareMajor = c.major;
        unit.firmwareMinor = c.minor;
        unit.boardRevision = c.board;
        AddUnit("Quil 1", unit);
        Run("");
        Fields want = c.want;
        want.newVersion = "8.3";
        want.newDate = "Nov 27, 2018";
        want.bank = "2";
        ExpectFields(ReadFields(MainWindow()), want);
    }
}

TEST_F(MainWindowTest, PromKeywordChoosesTheBank) {
    const std::pair<const char*, const char*> cases[] = {
        {"PROM=1", "1"}, {"prom=1", "1"},  {"PROM=2", "2"},        {"PROM=7", "2"},
        {"PROM=", "2"},  {"PROM=12", "1"}, {"PROM=1 PROM=2", "2"}, {"", "2"},
    };
    for (const auto& [line, shown] : cases) {
        SCOPED_TRACE(line);
        Reset();
        AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
        Run(line);
        EXPECT_EQ(MainWindow().Text(IDC_BANK), shown);
    }
}

TEST_F(MainWindowTest, XSlotKeywordInAnyCaseTargetsTheCardForEveryEntry) {
    for (const char* line : {"XSLOT", "xslot", "XSlotExtra"}) {
        SCOPED_TRACE(line);
        Reset();
        UseBuiltinSet();
        ui().QueueSelect(IDC_UNIT_LIST, 2);  // the second Quil's entry
        Run(line);
        const ui::HeadlessWindow& w = MainWindow();
        EXPECT_EQ(w.ListText(IDC_UNIT_LIST, 0), "VX-DANTE in Quil connected via Quil USB MIDI 1");
        EXPECT_EQ(w.ListText(IDC_UNIT_LIST, 2), "VX-HD in Quil connected via Quil MIDI 2");
        EXPECT_FALSE(w.IsShown(IDC_BANK));
        EXPECT_NE(Log().find("SN: 1518220002\n"), std::string::npos);
        // No image for a VX-HD card: the second selection ends the dialog.
        EXPECT_TRUE(m_dialog->EndedThroughFailure());
    }
}

TEST_F(MainWindowTest, FileKeywordKeepsThePathsCaseAndShowsItsVersionAndDate) {
    AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
    const std::string path = WriteFile("Images/quil0905b.bin", std::vector<uint8_t>(300, 0xAB));
    SetModificationDate(path, 2019, 3, 14);
    Run("FILE=" + path);
    const ui::HeadlessWindow& w = MainWindow();
    EXPECT_EQ(w.Text(IDC_NEW_VERSION), "9.5");
    EXPECT_EQ(w.Text(IDC_NEW_DATE), "Mar 14, 2019");
    ExpectLogInOrder({"SelectNewFirmware " + path + "\n", "New FWRev: 9.5\n"});
    EXPECT_EQ(Log().find("Selecting QUIL"), std::string::npos);
}

TEST_F(MainWindowTest, ChosenFilesThatCannotBeUsed) {
    struct Case {
        const char* name;
        bool byDrop;
        bool create;  // the file exists
        std::vector<std::string> boxes;
        bool ends;
        const char* newVersion;
        bool unattended = false;
    };
    const Case cases[] = {
        // Nobody there to notice a fall-back: the file named, or nothing.
        {"unreadable by keyword, unattended",
         false,
         false,
         {"Unable to open file '%s' specified on the command line!\n\nNothing was programmed.\n"},
         true,
         "",
         true},
        {"unreadable by keyword",
         false,
         false,
         {"Unable to open file '%s' specified on the command line!\n\nReverting to default firmware.\n"},
         false,
         "8.3"},
        {"unreadable by drop",
         true,
         false,
         {"Unable to open file '%s' specified on the command line!\n\nReverting to default firmware.\n"},
         false,
         "8.3"},
        {"unknown prefix by keyword",
         false,
         true,
         {"Unable to determine DeviceID from File Name", "Unable to determine New Firmware Version!"},
         true,
         ""},
        {"unknown prefix by drop", true, true, {"Unable to determine DeviceID from File Name"}, false, "8.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
        m_unattended = c.unattended;
        const std::string name =
            std::string(c.name).find("prefix") != std::string::npos ? "NOPE0100.BIN" : "QUIL0900.BIN";
        const std::string path = (m_dir / name).string();
        if (c.create) WriteFile(name, std::vector<uint8_t>(10, 1));
        if (c.byDrop) {
            ui().QueueDrop({path, "/ignored/second.bin"});
            Run("");
        } else {
            Run("FILE=" + path);
        }
        ASSERT_EQ(ui().Boxes().size(), c.boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            std::string want = c.boxes[i];
            if (const size_t at = want.find("%s"); at != std::string::npos) want.replace(at, 2, path);
            EXPECT_EQ(ui().Boxes()[i].text, want);
        }
        EXPECT_EQ(m_dialog->EndedThroughFailure(), c.ends);
        if (!c.ends) {
            EXPECT_EQ(MainWindow().Text(IDC_NEW_VERSION), c.newVersion);
        }
        if (c.byDrop) {
            EXPECT_NE(Log().find("OnDropFiles: " + path + "\n"), std::string::npos);
        }
    }
}

// A long path is taken whole, by keyword and by drop: cut at 259
// characters it would name another file, here QUIL0900 beside QUIL0900.BIN.
TEST_F(MainWindowTest, ALongPathIsTakenWhole) {
    for (const bool byDrop : {false, true}) {
        SCOPED_TRACE(byDrop);
        Reset();
        AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
        const size_t room = 259 - (m_dir.string().size() + 2 + std::string("QUIL0900").size());
        const std::filesystem::path folder = m_dir / std::string(room, 'd');
        std::filesystem::create_directories(folder);
        const std::string shorter = (folder / "QUIL0900").string();
        ASSERT_EQ(shorter.size(), 259u);
        const std::string path = shorter + ".BIN";
        std::ofstream(shorter, std::ios::binary) << "another file";
        std::ofstream(path, std::ios::binary) << "the image";
        if (byDrop) {
            ui().QueueDrop({path});
            Run("");
        } else {
            Run("FILE=" + path);
        }
        EXPECT_NE(Log().find("SelectNewFirmware " + path + "\n"), std::string::npos);
        EXPECT_EQ(Log().find("SelectNewFirmware " + shorter + "\n"), std::string::npos);
        EXPECT_TRUE(ui().Boxes().empty()) << ui().Boxes().front().text;
        EXPECT_EQ(MainWindow().Text(IDC_NEW_VERSION), "9.0");
    }
}

TEST_F(MainWindowTest, SelectingAnotherEntryAfterADropReturnsToTheEmbeddedImage) {
    UseBuiltinSet();
    const std::string path = WriteFile("QUIL0910.BIN", std::vector<uint8_t>(10, 1));
    ui().QueueDrop({path});
    ui().QueueSelect(IDC_UNIT_LIST, 2);
    Run("");
    EXPECT_EQ(MainWindow().Text(IDC_NEW_VERSION), "8.3");
    ExpectLogInOrder({"OnDropFiles: " + path + "\n", "SelectNewFirmware " + path + "\n", "OnSelChangeModel\n",
                      "Selecting QUIL0803C.BIN Firmware\n"});
}

TEST_F(MainWindowTest, FailuresEndTheDialogWithTheirMessage) {
    enum Setup { Nothing, OnlySiblings, OsFails, OsUnsupported };
    struct Case {
        const char* name;
        Setup setup;
        const char* commandLine;
        const char* box;
        BoxIcon icon;
        const char* logged;
    };
    const Case cases[] = {
        {"no link", Nothing, "", "Unable to locate a Quil!", BoxIcon::None, "Unable to locate a Quil!\n"},
        {"no Quil", OnlySiblings, "", "No Quil Found!", BoxIcon::None, "No Quil Found!\n"},
        {"version query", OsFails, "", "GetVersionEx FAILED!", BoxIcon::Warning, "GetVersionEx FAILED!\n"},
        {"old Windows", OsUnsupported, "", "This program does not support Windows 95/98/ME", BoxIcon::Error,
         "VER_PLATFORM_WIN32_WINDOWS FAILED!"},
        {"short SN=", OnlySiblings, "SN=311822000", "Invalid Serial Number!", BoxIcon::Warning, ""},
        {"bad week SN=", OnlySiblings, "SN=3118650001", "Invalid Serial Number!", BoxIcon::Warning, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        if (c.setup == OnlySiblings) {
            sim::UnitDescription nimbra;
            nimbra.pid = sim::kPidNimbra8;
            AddUnit("Quil 8", nimbra);
        }
        if (c.setup == OsFails) m_system.SetOs(platform::ScriptedSystemInfo::Os::QueryFails);
        if (c.setup == OsUnsupported) m_system.SetOs(platform::ScriptedSystemInfo::Os::Unsupported);
        Run(c.commandLine);
        EXPECT_TRUE(m_dialog->EndedThroughFailure());
        ExpectBox(c.box, "Quil Firmware Update", c.icon);
        if (*c.logged) {
            EXPECT_NE(Log().find(c.logged), std::string::npos);
        }
        EXPECT_EQ(MainWindow().ListCount(IDC_UNIT_LIST), 0);
    }
}

TEST_F(MainWindowTest, ViewStatesShowTheirControls) {
    AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
    Run("");
    struct Row {
        int id;
        bool ready, programming, done;
    };
    const Row rows[] = {
        {IDC_INFO_1, true, false, false},          {IDC_INFO_2, true, false, false},
        {IDC_INFO_3, true, false, false},          {IDC_DO_NOT_INTERRUPT, false, true, false},
        {IDC_STATUS_LINE, false, true, false},     {IDC_PROGRESS, false, true, false},
        {IDC_CONGRATULATIONS, false, false, true}, {IDC_CANCEL, true, false, false},
        {IDC_UPDATE, true, false, false},          {IDC_CLOSE, false, false, true},
    };
    for (ViewState state : {ViewProgramming, ViewDone, ViewReady}) {
        m_dialog->SetViewState(state);
        for (const Row& row : rows) {
            const bool want = state == ViewReady ? row.ready : state == ViewProgramming ? row.programming : row.done;
            EXPECT_EQ(MainWindow().IsShown(row.id), want) << "control " << row.id << " in view " << state;
        }
    }
}

TEST_F(MainWindowTest, ColoursAndAboutBox) {
    AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
    ui().QueueSystemCommand(IDM_ABOUTBOX);
    Run("");
    const ui::HeadlessWindow& w = MainWindow();
    for (int id = IDC_INFO_1; id <= IDC_CONGRATULATIONS; ++id) {
        EXPECT_TRUE(w.Control(id)->colours.custom);
        EXPECT_EQ(w.Control(id)->colours.textRgb, 0x0000FFu);
        EXPECT_TRUE(w.Control(id)->colours.transparent);
    }
    for (int id : {IDC_SERIAL, IDC_NEW_DATE, IDC_BANK, IDC_MANUFACTURE_DATE}) {
        EXPECT_EQ(w.Control(id)->colours.textRgb, 0u);
        EXPECT_TRUE(w.Control(id)->colours.transparent);
    }
    EXPECT_FALSE(w.Control(IDC_UNIT_LIST)->colours.custom);
    const ui::HeadlessWindow* about = ui().LastWindow(kAboutDialogId);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->Caption(), "About Quil Update");
    EXPECT_TRUE(about->Ended());
}

TEST_F(MainWindowTest, EnterEndsTheProgramThroughTheDefaultCancel) {
    AddUnit("Quil 1", QuilWithCard(sim::kCardNone));
    ui().QueueKey(ui::Key::Enter);
    ui().QueuePress(IDC_UPDATE);  // never reached
    EXPECT_EQ(Run(""), platform::kIdCancel);
    EXPECT_FALSE(m_dialog->EndedThroughFailure());
    EXPECT_EQ(Log().find("OnUpdate"), std::string::npos);
}

}  // namespace
