#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "resources/dialog_templates.h"
#include "tests/platform/dialog_test_handler.h"
#include "ui/headless_ui.h"

namespace {

using namespace resources;
using platform::kIdCancel;
using platform::kIdOk;
using test::DialogTestHandler;

TEST(HeadlessWindow, BuildsEveryControlOfTheTemplateAndClosesWhenNoActionIsLeft) {
    ui::HeadlessUi view;
    DialogTestHandler handler;
    handler.colours = [](int id) {
        platform::ControlColours c;
        c.custom = id == IDC_INFO_1;
        c.textRgb = id == IDC_INFO_1 ? 0x0000FFu : 0u;
        return c;
    };
    handler.onInit = [&](platform::DialogWindow& w) {
        w.SetText(IDC_SERIAL, "3118220001");
        w.SetFont(IDC_SERIAL, platform::FontRole::Bold);
        w.AddSystemMenuCommand(IDM_ABOUTBOX, kAboutMenuText);
        view.SetWaitCursor(true);
        view.SetWaitCursor(false);
    };
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), handler), kIdCancel);

    const ui::HeadlessWindow* main = view.LastWindow(kMainDialogId);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->Caption(), "Quil Firmware Update");
    EXPECT_EQ(main->Text(IDC_INFO_1), "This program will update the firmware on the selected device.");
    EXPECT_EQ(main->Text(IDC_STATUS_LINE), "Programming...");
    EXPECT_FALSE(main->IsShown(IDC_STATUS_LINE));
    EXPECT_FALSE(main->IsShown(IDC_PROGRESS));
    EXPECT_TRUE(main->IsShown(IDC_UPDATE));
    EXPECT_EQ(main->Text(IDC_SERIAL), "3118220001");
    EXPECT_EQ(main->Control(IDC_SERIAL)->font, platform::FontRole::Bold);
    EXPECT_EQ(main->Control(IDC_INFO_1)->colours.textRgb, 0x0000FFu);
    EXPECT_FALSE(main->Control(IDC_INFO_2)->colours.custom);
    EXPECT_EQ(main->DefaultButton(), kIdCancel);
    EXPECT_EQ(main->Controls().size(), MainDialogTemplate().controls.size());
    EXPECT_EQ(main->Controls()[2].text, "Serial Number:");  // labels kept too
    EXPECT_EQ(main->Control(4242), nullptr);
    EXPECT_EQ(main->Text(4242), "");
    ASSERT_EQ(main->SystemMenu().size(), 1u);
    EXPECT_EQ(main->SystemMenu()[0].first, IDM_ABOUTBOX);
    EXPECT_TRUE(main->ClosedForLackOfActions());
    EXPECT_FALSE(main->IsOpen());
    EXPECT_EQ(handler.calls, (std::vector<std::string>{"init", "command 2"}));
    EXPECT_EQ(view.WaitCursorChanges(), (std::vector<bool>{true, false}));
}

TEST(HeadlessWindow, UserActionsReachTheHandlerAsARealWindowWouldPassThem) {
    ui::HeadlessUi view;
    DialogTestHandler handler;
    handler.onInit = [](platform::DialogWindow& w) {
        w.ListAdd(IDC_UNIT_LIST, "Quil connected via MIDI", 0);
        w.ListAdd(IDC_UNIT_LIST, "VX-DANTE in Quil connected via MIDI", 1);
        w.ListSelect(IDC_UNIT_LIST, 0);
        w.Show(IDC_UPDATE, false);
        w.AddSystemMenuCommand(IDM_ABOUTBOX, kAboutMenuText);
    };
    view.QueueSelect(IDC_UNIT_LIST, 1);
    view.QueueSelect(IDC_UNIT_LIST, 2);  // no such entry
    view.QueuePress(IDC_UPDATE);         // hidden
    view.QueueDrop({"/tmp/QUIL0804A.BIN"});
    view.QueueSystemCommand(IDM_ABOUTBOX);
    view.QueueSystemCommand(17);    // not in the menu
    view.QueueKey(ui::Key::Enter);  // the default button: Cancel
    view.QueuePress(IDC_CLOSE);     // never runs: the dialog ended
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), handler), kIdCancel);

    EXPECT_EQ(handler.calls, (std::vector<std::string>{"init", "selection 1001", "drop /tmp/QUIL0804A.BIN", "system 16",
                                                       "command 2"}));
    const ui::HeadlessWindow* main = view.LastWindow(kMainDialogId);
    EXPECT_EQ(main->ListSelection(IDC_UNIT_LIST), 1);
    EXPECT_EQ(main->ListItemData(IDC_UNIT_LIST, 1), 1u);
    EXPECT_EQ(main->RefusedActions().size(), 3u);
    EXPECT_FALSE(main->ClosedForLackOfActions());
    EXPECT_EQ(view.PendingActions(), 1u);
}

// The serial-number dialog opened from inside a handler of the main window
// takes the next actions; typing past its limit submits what is there.
TEST(HeadlessWindow, NestedDialogIsTheCurrentWindowAndKeepsItsStateAfterClosing) {
    ui::HeadlessUi view;
    DialogTestHandler serial;
    serial.onInit = [](platform::DialogWindow& w) { w.LimitText(IDC_SERIAL_EDIT, 10); };
    int nestedTemplate = 0;
    serial.onCommand = [&](int id) {
        nestedTemplate = view.CurrentWindow()->TemplateId();
        if (id == kIdCancel || serial.window->Text(IDC_SERIAL_EDIT).size() == 10) serial.window->EndDialog(id);
    };
    DialogTestHandler main;
    main.onCommand = [&](int id) {
        if (id != IDC_UPDATE) return main.window->EndDialog(id);
        const int result = view.RunModalDialog(SerialNumberDialogTemplate(), serial);
        main.window->SetText(IDC_SERIAL, std::to_string(result) + ":" + view.Windows().back()->Text(IDC_SERIAL_EDIT));
    };
    view.QueuePress(IDC_UPDATE);
    view.QueueType(IDC_SERIAL_EDIT, "31a182");  // digits only: the letter is dropped
    view.QueuePress(kIdOk);                     // six digits: stays open
    view.QueueType(IDC_SERIAL_EDIT, "311822000199");
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), main), kIdCancel);

    EXPECT_EQ(nestedTemplate, kSerialDialogId);
    ASSERT_EQ(view.Windows().size(), 2u);
    const ui::HeadlessWindow& entry = *view.Windows()[1];
    EXPECT_EQ(entry.TemplateId(), kSerialDialogId);
    EXPECT_EQ(entry.Result(), kIdOk);
    EXPECT_EQ(entry.Text(IDC_SERIAL_EDIT), "3118220001");
    EXPECT_EQ(serial.calls, (std::vector<std::string>{"init", "command 1", "full 1002", "command 1"}));
    EXPECT_EQ(view.LastWindow(kMainDialogId)->Text(IDC_SERIAL), "1:3118220001");
    EXPECT_EQ(view.CurrentWindow(), nullptr);
}

TEST(HeadlessWindow, WindowTimersRunOnTheVirtualClockAndTheBarKeepsItsCourse) {
    platform::VirtualClock clock(5000);
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scopedClock(clock);
    ui::HeadlessUi view;
    DialogTestHandler handler;
    int ticks = 0;
    handler.onInit = [](platform::DialogWindow& w) {
        w.SetTimer(1, 1000);
        w.ProgressSetRange(IDC_PROGRESS, 0, 100);
    };
    handler.onTimer = [&](unsigned) {
        ++ticks;
        handler.window->ProgressSetPos(IDC_PROGRESS, 25 * ticks);
        if (ticks == 6) handler.window->KillTimer(1);
    };
    view.QueueWait(clock, 3500);
    view.QueueAction([&] {
        EXPECT_FALSE(view.HandleOnePendingMessage());  // the fourth is not due yet
        clock.Advance(600);
        EXPECT_TRUE(view.HandleOnePendingMessage());  // the most overdue timer runs
        view.QueueWait(clock, 10000);
    });
    EXPECT_EQ(view.RunModalDialog(MainDialogTemplate(), handler), kIdCancel);

    EXPECT_EQ(ticks, 6);
    const auto& course = view.LastWindow(kMainDialogId)->Control(IDC_PROGRESS)->positions;
    ASSERT_EQ(course.size(), 6u);
    EXPECT_EQ(course[2].tickMs, 8000u);
    EXPECT_EQ(course[3].tickMs, 9100u);  // run when the test let it
    EXPECT_EQ(course[3].pos, 100);       // full from then on, clamped to the range
    EXPECT_EQ(course[5].pos, 100);
}

TEST(HeadlessWindow, ADialogThatIgnoresTheCloseIsGivenUpOn) {
    ui::HeadlessUi view;
    DialogTestHandler busy;
    busy.onCommand = [](int) {};
    EXPECT_EQ(view.RunModalDialog(AboutDialogTemplate(), busy), ui::HeadlessUi::kIgnoredClose);
    EXPECT_TRUE(view.LastWindow(kAboutDialogId)->IgnoredClose());
    EXPECT_EQ(busy.calls, (std::vector<std::string>{"init", "command 2"}));
}

}  // namespace
