#include "ui/headless_ui.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"

namespace {

using platform::BoxAnswer;
using platform::BoxButtons;
using platform::BoxIcon;
using platform::MessageBoxRequest;

MessageBoxRequest Box(const std::string& text, BoxButtons buttons) {
    MessageBoxRequest box;
    box.text = text;
    box.caption = "Quil Firmware Update";
    box.icon = BoxIcon::Question;
    box.buttons = buttons;
    box.owned = true;
    return box;
}

TEST(HeadlessUi, RecordsBoxesAndAnswersFromTheScriptThenTheDefault) {
    ui::HeadlessUi view;
    view.QueueAnswer(BoxAnswer::No);
    view.QueueAnswer(BoxAnswer::Cancel);
    EXPECT_EQ(view.ShowMessageBox(Box("first", BoxButtons::YesNo)), BoxAnswer::No);
    EXPECT_EQ(view.ShowMessageBox(Box("second", BoxButtons::RetryCancel)), BoxAnswer::Cancel);
    // Script used up: the default (here the first) button of each box.
    EXPECT_EQ(view.ShowMessageBox(Box("third", BoxButtons::RetryCancel)), BoxAnswer::Retry);
    EXPECT_EQ(view.ShowMessageBox(Box("fourth", BoxButtons::YesNoCancel)), BoxAnswer::Yes);
    MessageBoxRequest confirm = Box("confirm", BoxButtons::OkCancel);
    confirm.defaultButton = 1;
    EXPECT_EQ(view.ShowMessageBox(confirm), BoxAnswer::Cancel);  // its default button
    view.SetDefaultAnswer(BoxAnswer::Cancel);
    EXPECT_EQ(view.ShowMessageBox(Box("fifth", BoxButtons::OkCancel)), BoxAnswer::Cancel);

    ASSERT_EQ(view.Boxes().size(), 6u);
    EXPECT_EQ(view.Boxes()[0].text, "first");
    EXPECT_EQ(view.Boxes()[0].caption, "Quil Firmware Update");
    EXPECT_EQ(view.Boxes()[0].icon, BoxIcon::Question);
    EXPECT_EQ(view.Boxes()[0].buttons, BoxButtons::YesNo);
    EXPECT_TRUE(view.Boxes()[0].owned);
    EXPECT_EQ(view.Boxes()[5].text, "fifth");
    EXPECT_EQ(view.PendingAnswers(), 0u);
}

TEST(HeadlessUi, ObserverRunsWhileTheBoxIsOpen) {
    ui::HeadlessUi view;
    std::vector<std::string> seen;
    view.SetBoxObserver([&](const MessageBoxRequest& box) {
        seen.push_back(box.text);
        view.QueueAnswer(BoxAnswer::No);  // decided while looking at the box
    });
    EXPECT_EQ(view.ShowMessageBox(Box("About to program", BoxButtons::YesNo)), BoxAnswer::No);
    EXPECT_EQ(seen, std::vector<std::string>{"About to program"});
}

TEST(HeadlessUi, HandlesOneQueuedActionPerCallInOrder) {
    ui::HeadlessUi view;
    std::vector<int> order;
    view.QueueAction([&] {
        order.push_back(1);
        view.QueueAction([&] { order.push_back(3); });  // queued from inside an action
    });
    view.QueueAction([&] { order.push_back(2); });
    EXPECT_EQ(view.PendingActions(), 2u);
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_EQ(order, (std::vector<int>{1}));
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(view.HandleOnePendingMessage());
}

TEST(HeadlessUi, TimersRunWhenDueOnTheCurrentClockAndRepeat) {
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scoped(clock);
    ui::HeadlessUi view;
    int fast = 0;
    int slow = 0;
    view.SetTimer(1, 16, [&] { ++fast; });
    view.SetTimer(2, 100, [&] { ++slow; });

    clock.Advance(15);
    EXPECT_FALSE(view.HandleOnePendingMessage());
    clock.Advance(1);
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_EQ(fast, 1);
    EXPECT_FALSE(view.HandleOnePendingMessage());  // restarted when it ran

    // Both due: the more overdue one first, one per call; actions go before timers.
    clock.Advance(100);
    bool actionRan = false;
    view.QueueAction([&] { actionRan = true; });
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_TRUE(actionRan);
    EXPECT_EQ(fast + slow, 1);
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_EQ(fast, 2);
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_EQ(slow, 1);
    EXPECT_FALSE(view.HandleOnePendingMessage());

    view.KillTimer(1);
    EXPECT_FALSE(view.HasTimer(1));
    clock.Advance(1000);
    EXPECT_TRUE(view.HandleOnePendingMessage());
    EXPECT_FALSE(view.HandleOnePendingMessage());
    EXPECT_EQ(fast, 2);
    EXPECT_EQ(slow, 2);
}

TEST(HeadlessUi, TimerCallbackMayKillItsOwnTimer) {
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scoped(clock);
    ui::HeadlessUi view;
    int runs = 0;
    view.SetTimer(1, 16, [&] {
        ++runs;
        view.KillTimer(1);
    });
    clock.Advance(20);
    EXPECT_TRUE(view.HandleOnePendingMessage());
    clock.Advance(20);
    EXPECT_FALSE(view.HandleOnePendingMessage());
    EXPECT_EQ(runs, 1);
}

}  // namespace
