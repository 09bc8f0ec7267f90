#include "ui/qt_ui.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>

#include "tests/ui/qt_test_application.h"

namespace {

using platform::BoxAnswer;
using platform::BoxButtons;
using platform::BoxIcon;

class QtUiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureQtTestApplication(); }

    // Once the box is open, hands it to `inspect`, which answers it.
    // Retries a few times in case the box is not up yet.
    static void WhenBoxOpens(std::function<void(QMessageBox&)> inspect, int triesLeft = 50) {
        QTimer::singleShot(0, [inspect = std::move(inspect), triesLeft]() mutable {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box != nullptr) {
                inspect(*box);
            } else if (triesLeft > 0) {
                WhenBoxOpens(std::move(inspect), triesLeft - 1);
            } else {
                ADD_FAILURE() << "no modal box opened";
            }
        });
    }

    ui::QtUserInterface m_view;
};

TEST_F(QtUiTest, ShowsAModalBoxWithTextCaptionIconAndButtons) {
    bool seen = false;
    WhenBoxOpens([&](QMessageBox& box) {
        seen = true;
        EXPECT_EQ(box.text(), "This computer must be connected to AC power to update firmware.");
        EXPECT_EQ(box.windowTitle(), "On Battery Power");
        EXPECT_EQ(box.icon(), QMessageBox::Critical);
        EXPECT_EQ(box.standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        box.button(QMessageBox::Ok)->click();
    });
    platform::MessageBoxRequest request;
    request.text = "This computer must be connected to AC power to update firmware.";
    request.caption = "On Battery Power";
    request.icon = BoxIcon::Error;
    EXPECT_EQ(m_view.ShowMessageBox(request), BoxAnswer::Ok);
    EXPECT_TRUE(seen);
}

TEST_F(QtUiTest, EmptyCaptionIsTheProgramNameAndTheAnswerIsTheButtonClicked) {
    WhenBoxOpens([](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle(), "Quil Firmware Update");
        EXPECT_EQ(box.icon(), QMessageBox::Warning);
        EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()), box.button(QMessageBox::Yes));
        box.button(QMessageBox::No)->click();
    });
    platform::MessageBoxRequest request;
    request.text = "Quil Firmware Update does not support this operating system.";
    request.icon = BoxIcon::Warning;
    request.buttons = BoxButtons::YesNoCancel;
    EXPECT_EQ(m_view.ShowMessageBox(request), BoxAnswer::No);
}

TEST_F(QtUiTest, DefaultButtonAndEscapeFollowTheRequest) {
    WhenBoxOpens([](QMessageBox& box) {
        EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()), box.button(QMessageBox::Cancel));
        EXPECT_EQ(box.icon(), QMessageBox::Question);
        box.reject();  // Escape or the close box
    });
    platform::MessageBoxRequest request;
    request.text = "About to program the Quil with Firmware Version 2.5\n";
    request.icon = BoxIcon::Question;
    request.buttons = BoxButtons::OkCancel;
    request.defaultButton = 1;
    EXPECT_EQ(m_view.ShowMessageBox(request), BoxAnswer::Cancel);

    WhenBoxOpens([](QMessageBox& box) { box.button(QMessageBox::Retry)->click(); });
    request.buttons = BoxButtons::RetryCancel;
    request.defaultButton = 0;
    EXPECT_EQ(m_view.ShowMessageBox(request), BoxAnswer::Retry);
}

TEST_F(QtUiTest, HandlesPendingEventsAndReturns) {
    int fired = 0;
    QTimer::singleShot(0, [&] { ++fired; });
    // Bounded: a zero-time timer is due at the latest after a few passes.
    for (int pass = 0; pass < 100 && fired == 0; ++pass) m_view.HandleOnePendingMessage();
    EXPECT_EQ(fired, 1);
    // Nothing left: returns at once without blocking.
    for (int pass = 0; pass < 10; ++pass) m_view.HandleOnePendingMessage();
    EXPECT_EQ(fired, 1);
}

}  // namespace
