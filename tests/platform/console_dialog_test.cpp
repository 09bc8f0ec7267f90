#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/ui.h"
#include "resources/dialog_templates.h"
#include "tests/platform/dialog_test_handler.h"
#include "ui/console_ui.h"

namespace {

using namespace resources;
using platform::BoxAnswer;
using platform::BoxButtons;
using platform::kIdCancel;
using platform::kIdOk;
using platform::ProgressDetail;
using test::DialogTestHandler;

void FillMainWindow(platform::DialogWindow& w, bool cardSelected) {
    w.ListAdd(IDC_UNIT_LIST, "Quil connected via MIDI port Quil MIDI 1", 0);
    w.ListAdd(IDC_UNIT_LIST, "VX-DANTE in Quil connected via MIDI port Quil MIDI 1", 1);
    w.ListSelect(IDC_UNIT_LIST, cardSelected ? 1 : 0);
    w.SetText(IDC_SERIAL, "3118220001");
    w.SetText(IDC_MANUFACTURE_DATE, "May 28, 2018");
    w.SetText(IDC_PCB_REVISION, "B");
    w.SetText(IDC_CURRENT_VERSION, "8.2");
    w.SetText(IDC_CURRENT_DATE, "Nov 27, 2018");
    w.SetText(IDC_NEW_VERSION, "8.3");
    w.SetText(IDC_NEW_DATE, "Nov 27, 2018");
    w.SetText(IDC_BANK, "2");
    w.Show(IDC_BANK, !cardSelected);
    w.Show(IDC_BANK_LABEL, !cardSelected);
    w.Show(IDC_CLOSE, false);  // the ready view
}

const char kReadyWindow[] =
    "== Quil Firmware Update ==\n"
    "Select Unit to Update:\n"
    "  * 0  Quil connected via MIDI port Quil MIDI 1\n"
    "    1  VX-DANTE in Quil connected via MIDI port Quil MIDI 1\n"
    "           Serial Number: 3118220001\n"
    "        Manufacture Date: May 28, 2018\n"
    "            PCB Revision: B\n"
    "Current Firmware Version: 8.2\n"
    "   Current Firmware Date: Nov 27, 2018\n"
    "    New Firmware Version: 8.3\n"
    "       New Firmware Date: Nov 27, 2018\n"
    "         PROM to Program: 2\n"
    "This program will update the firmware on the selected device.\n"
    "Once the firmware update process has begun DO NOT interrupt it or power off this computer or the Quil.\n"
    "[Cancel] [Update]\n";

TEST(ConsoleDialog, PrintsTheMainWindowWithItsLabelsThenClosesItWithCancel) {
    std::istringstream in;
    std::ostringstream out;
    ui::ConsoleUi view(in, out, false);
    DialogTestHandler handler;
    handler.onInit = [](platform::DialogWindow& w) { FillMainWindow(w, false); };
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), handler), kIdCancel);
    EXPECT_EQ(out.str(), kReadyWindow);
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"init", "command 2"}));

    // A card has no PROM to program.
    std::ostringstream cardOut;
    ui::ConsoleUi cardView(in, cardOut, false);
    handler.onInit = [](platform::DialogWindow& w) { FillMainWindow(w, true); };
    cardView.RunModalDialog(MainDialogTemplate(), handler);
    EXPECT_NE(cardOut.str().find("  * 1  VX-DANTE"), std::string::npos);
    EXPECT_EQ(cardOut.str().find("PROM to Program:"), std::string::npos);
}

TEST(ConsoleDialog, AtATerminalANumberSelectsAnEntryAndQuitCloses) {
    std::istringstream in("7\n1\nq\n");
    std::ostringstream out;
    ui::ConsoleUi view(in, out, true);
    DialogTestHandler handler;
    handler.onInit = [](platform::DialogWindow& w) { FillMainWindow(w, false); };
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), handler), kIdCancel);
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"init", "selection 1001", "command 2"}));
    const std::string text = out.str();
    EXPECT_EQ(text.find(std::string(kReadyWindow) + "[0-1] select  [u]pdate  [q]uit? No entry 7.\n"), 0u);
    EXPECT_NE(text.find("  * 1  VX-DANTE"), std::string::npos);  // printed again with the new selection
}

// The script presses Update; the handler runs a transfer and a phase, then
// shows the done view, which the script closes with Close.
TEST(ConsoleDialog, UpdateScriptShowsTheProgressLinesOfALogAndTheDoneView) {
    platform::VirtualClock clock(1000);
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scopedClock(clock);
    std::istringstream in;
    std::ostringstream out;
    ui::ConsoleUi view(in, out, false);
    view.SetScript(ui::ConsoleScript{true, false});
    DialogTestHandler handler;
    handler.onInit = [](platform::DialogWindow& w) { FillMainWindow(w, false); };
    handler.onCommand = [&](int id) {
        platform::DialogWindow& w = *handler.window;
        if (id != IDC_UPDATE) return w.EndDialog(id);
        for (int hide : {IDC_INFO_1, IDC_INFO_2, IDC_INFO_3, IDC_CANCEL, IDC_UPDATE}) w.Show(hide, false);
        for (int show : {IDC_DO_NOT_INTERRUPT, IDC_STATUS_LINE, IDC_PROGRESS}) w.Show(show, true);
        w.SetText(IDC_STATUS_LINE, "Sending firmware...");
        for (uint32_t done : {0u, 4177u, 6000u, 41768u}) {
            clock.Advance(1000);
            w.ReportProgress(ProgressDetail{ProgressDetail::Kind::Transfer, done, 41768, "", 0});
            w.ProgressSetPos(IDC_PROGRESS, static_cast<int>(done * 100 / 41768));
        }
        w.SetText(IDC_STATUS_LINE, "Programming...");
        w.ReportProgress(ProgressDetail{ProgressDetail::Kind::Phase, 0, 0, "Erasing", 45});
        w.ReportProgress(ProgressDetail{ProgressDetail::Kind::Phase, 0, 0, "Erasing", 50});
        for (int hide : {IDC_DO_NOT_INTERRUPT, IDC_STATUS_LINE, IDC_PROGRESS}) w.Show(hide, false);
        w.Show(IDC_CONGRATULATIONS, true);
        w.Show(IDC_CLOSE, true);
    };
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), handler), kIdOk);
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"init", "command 1009", "command 1"}));

    const std::string text = out.str();
    ASSERT_EQ(text.find(kReadyWindow), 0u);
    const std::string progress =
        "Sending firmware...\n"
        "Sending firmware...  [#.........] 4177/41768 packets  4177 packets/s  0:09 left\n"
        "Sending firmware...  [##########] 41768/41768 packets  13922 packets/s  0:00 left\n"
        "Programming...\n"
        "Programming...  [####......] Erasing 45%\n"
        "== Quil Firmware Update ==\n";
    EXPECT_EQ(text.find(progress), std::string(kReadyWindow).size());
    const std::string done = "Congratulations!\n\nThe firmware has been successfully updated on the Quil.";
    EXPECT_NE(text.find(done), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 8), "[Close]\n");
}

TEST(ConsoleDialog, OnATerminalTheProgressLineIsRedrawnInPlace) {
    platform::VirtualClock clock(1000);
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scopedClock(clock);
    std::ostringstream out;
    ui::ConsoleProgressLine line(out, true);
    line.Update("Programming...", 0, ProgressDetail{ProgressDetail::Kind::Transfer, 0, 41768, "", 0});
    clock.Advance(2000);
    out.str("");
    line.Update("Programming...", 2, ProgressDetail{ProgressDetail::Kind::Transfer, 1000, 41768, "", 0});
    EXPECT_EQ(out.str(), "\r\033[KProgramming...  [..........] 1000/41768 packets  500 packets/s  1:22 left");
    out.str("");
    line.Update("Programming...", 2, ProgressDetail{ProgressDetail::Kind::Phase, 0, 0, "Verifying", 91});
    line.Break();
    line.Break();
    EXPECT_EQ(out.str(), "\r\033[KProgramming...  [#########.] Verifying 91%\n");
}

struct BoxCase {
    bool yes;
    BoxButtons buttons;
    unsigned defaultButton;
    BoxAnswer answer;
    const char* output;
};

TEST(ConsoleDialog, ConfirmationIsAnsweredByTheYesScriptElseByItsDefaultSayingSo) {
    const BoxCase cases[] = {
        {true, BoxButtons::OkCancel, 1, BoxAnswer::Ok, "[Firmware Update] About to program\n-> OK (--yes)\n"},
        {false, BoxButtons::OkCancel, 1, BoxAnswer::Cancel,
         "[Firmware Update] About to program\n-> Cancel (the default; no terminal to ask)\n"},
        {true, BoxButtons::Ok, 0, BoxAnswer::Ok, "[Firmware Update] About to program\n"},
        {true, BoxButtons::RetryCancel, 0, BoxAnswer::Retry,
         "[Firmware Update] About to program\n-> Retry (the default; no terminal to ask)\n"},
    };
    for (const BoxCase& c : cases) {
        std::istringstream in;
        std::ostringstream out;
        ui::ConsoleUi view(in, out, false);
        view.SetScript(ui::ConsoleScript{false, c.yes});
        platform::MessageBoxRequest box;
        box.text = "About to program";
        box.caption = "Firmware Update";
        box.buttons = c.buttons;
        box.defaultButton = c.defaultButton;
        EXPECT_EQ(view.ShowMessageBox(box), c.answer) << c.output;
        EXPECT_EQ(out.str(), c.output);
    }
}

struct EntryCase {
    bool interactive;
    const char* input;
    int result;
    const char* dialogue;  // what follows the dialog's texts
};

TEST(ConsoleDialog, SerialEntryPromptsUntilTheHandlerTakesItOrCancelsWithoutInput) {
    const EntryCase cases[] = {
        {true, "123\n\n3118220001\n", kIdOk,
         "Serial Number: [Quil Firmware Update] Invalid Serial Number!\n[O]K (Enter: [O]K)? Serial Number: [123] "},
        {true, "", kIdCancel, "Serial Number: \nEnd of input: Cancel.\n"},
        {false, "3118220001\n", kIdCancel, "Serial Number: no terminal to type into: Cancel.\n"},
    };
    for (const EntryCase& c : cases) {
        std::istringstream in(c.input);
        std::ostringstream out;
        ui::ConsoleUi view(in, out, c.interactive);
        platform::ScopedUi scopedUi(view);
        DialogTestHandler serial;
        std::string taken;
        serial.onInit = [](platform::DialogWindow& w) { w.LimitText(IDC_SERIAL_EDIT, 10); };
        serial.onCommand = [&](int id) {
            if (id == kIdOk && serial.window->Text(IDC_SERIAL_EDIT).size() != 10) {
                platform::ShowOkBox("Invalid Serial Number!", "Quil Firmware Update", platform::BoxIcon::Warning, true);
                return;
            }
            taken = serial.window->Text(IDC_SERIAL_EDIT);
            serial.window->EndDialog(id);
        };
        EXPECT_EQ(view.RunModalDialog(SerialNumberDialogTemplate(), serial), c.result) << c.input;
        EXPECT_EQ(out.str(),
                  std::string("== Enter Quil Serial Number ==\nThe Serial Number on your Quil is blank.  To proceed, "
                              "you must enter the serial number printed on the back of your Quil.\n") +
                      c.dialogue);
        if (c.result == kIdOk) {
            EXPECT_EQ(taken, "3118220001");
        }
    }
}

}  // namespace
