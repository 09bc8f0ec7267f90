#include "ui/console_ui.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/interruptions.h"
#include "tests/temp_log.h"

namespace {

using platform::BoxAnswer;
using platform::BoxButtons;
using platform::BoxIcon;

platform::MessageBoxRequest Box(const std::string& text, const std::string& caption, BoxButtons buttons) {
    platform::MessageBoxRequest box;
    box.text = text;
    box.caption = caption;
    box.icon = BoxIcon::Warning;
    box.buttons = buttons;
    return box;
}

TEST(ConsoleUi, WithoutTerminalPrintsTheBoxAndTakesTheDefaultButton) {
    std::istringstream in("n\n");
    std::ostringstream out;
    ui::ConsoleUi view(in, out, false);
    EXPECT_EQ(view.ShowMessageBox(Box("GetVersionEx Failed!", "", BoxButtons::Ok)), BoxAnswer::Ok);
    EXPECT_EQ(view.ShowMessageBox(Box("Retry?", "On Battery Power", BoxButtons::RetryCancel)), BoxAnswer::Retry);
    platform::MessageBoxRequest confirm = Box("About to program", "Firmware Update Confirmation", BoxButtons::OkCancel);
    confirm.defaultButton = 1;
    EXPECT_EQ(view.ShowMessageBox(confirm), BoxAnswer::Cancel);
    EXPECT_EQ(out.str(),
              "[Quil Firmware Update] GetVersionEx Failed!\n[On Battery Power] Retry?\n"
              "-> Retry (the default; no terminal to ask)\n"
              "[Firmware Update Confirmation] About to program\n-> Cancel (the default; no terminal to ask)\n");
    EXPECT_EQ(in.tellg(), 0);  // input left alone
    EXPECT_FALSE(view.HandleOnePendingMessage());
}

TEST(ConsoleUi, AtATerminalReadsTheAnswer) {
    std::istringstream in("maybe\n  No\n\nc\nR\n\n");
    std::ostringstream out;
    ui::ConsoleUi view(in, out, true);
    // An unknown word asks again.
    EXPECT_EQ(view.ShowMessageBox(Box("Program?", "Quil Firmware Update", BoxButtons::YesNo)), BoxAnswer::No);
    EXPECT_EQ(out.str(), "[Quil Firmware Update] Program?\n[Y]es [N]o (Enter: [Y]es)? [Y]es [N]o (Enter: [Y]es)? ");
    // Enter alone picks the default button.
    EXPECT_EQ(view.ShowMessageBox(Box("Again?", "", BoxButtons::YesNoCancel)), BoxAnswer::Yes);
    EXPECT_EQ(view.ShowMessageBox(Box("Go on?", "", BoxButtons::OkCancel)), BoxAnswer::Cancel);
    EXPECT_EQ(view.ShowMessageBox(Box("Failed", "", BoxButtons::RetryCancel)), BoxAnswer::Retry);
    platform::MessageBoxRequest confirm = Box("About to program", "", BoxButtons::OkCancel);
    confirm.defaultButton = 1;
    EXPECT_EQ(view.ShowMessageBox(confirm), BoxAnswer::Cancel);
}

TEST(ConsoleUi, ClosedInputDismissesTheBox) {
    std::istringstream in("");
    std::ostringstream out;
    ui::ConsoleUi view(in, out, true);
    EXPECT_EQ(view.ShowMessageBox(Box("Program?", "", BoxButtons::YesNoCancel)), BoxAnswer::Cancel);
    EXPECT_EQ(view.ShowMessageBox(Box("Note", "", BoxButtons::Ok)), BoxAnswer::Ok);
}

// Once a stop request waits for the running update to end, the program
// stops right after it: a box at a terminal takes its default without
// asking, and an output that fails is noted once.
TEST(ConsoleUi, WhileAStopWaitsBoxesTakeTheirDefaultAndLostOutputIsNoted) {
    TempLog log;
    platform::VirtualInterruptions interruptions;
    platform::ScopedInterruptions scoped(interruptions);
    interruptions.Hold("the unit is being written");
    interruptions.Deliver(platform::StopRequest::Interrupt);
    std::istringstream in("y\n");
    std::ostringstream out;
    ui::ConsoleUi view(in, out, true);
    EXPECT_EQ(view.ShowMessageBox(Box("Failed", "", BoxButtons::RetryCancel)), BoxAnswer::Retry);
    EXPECT_EQ(out.str(), "[Quil Firmware Update] Failed\n-> Retry (the default; stopping)\n");
    EXPECT_EQ(in.tellg(), 0);
    EXPECT_FALSE(interruptions.OutputWasLost());
    out.setstate(std::ios::badbit);
    view.HandleOnePendingMessage();
    view.HandleOnePendingMessage();
    EXPECT_TRUE(interruptions.OutputWasLost());
    EXPECT_EQ(log.Count("Console: the output can no longer be written; what follows is only logged\n"), 1u);
}

// Nobody reads the output any more: a confirmation is not granted for the
// user, at a terminal or by --yes, and the terminal is not read; a box
// without a choice is shown as before.
TEST(ConsoleUi, ALostOutputGrantsNoConfirmation) {
    TempLog log;
    platform::VirtualInterruptions interruptions;
    platform::ScopedInterruptions scoped(interruptions);
    const struct {
        bool terminal, yes;
        BoxButtons buttons;
        BoxAnswer expected;
    } cases[] = {
        {true, false, BoxButtons::OkCancel, BoxAnswer::Cancel},
        {false, true, BoxButtons::OkCancel, BoxAnswer::Cancel},
        {true, false, BoxButtons::YesNoCancel, BoxAnswer::Cancel},
        {true, false, BoxButtons::Ok, BoxAnswer::Ok},
        {true, false, BoxButtons::RetryCancel, BoxAnswer::Retry},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.terminal << c.yes << static_cast<int>(c.buttons));
        std::istringstream in("y\no\nr\n");
        std::ostringstream out;
        out.setstate(std::ios::badbit);
        ui::ConsoleUi view(in, out, c.terminal);
        ui::ConsoleScript script;
        script.yes = c.yes;
        view.SetScript(script);
        EXPECT_EQ(view.ShowMessageBox(Box("About to program", "Firmware Update Confirmation", c.buttons)), c.expected);
        if (c.expected == BoxAnswer::Cancel) {
            EXPECT_EQ(in.tellg(), 0);
        }
    }
    EXPECT_EQ(log.Count("Console: \"Firmware Update Confirmation\" was asked after the output went away: Cancel\n"),
              3u);
}

}  // namespace
