// Window-system seam used by the core: message boxes and the "handle one
// pending window message" step of every wait loop. Implemented by the Qt view,
// the headless view and the console view in ui/.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dialog.h"

namespace platform {

enum class BoxIcon { None, Information, Warning, Error, Question };
enum class BoxButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class BoxAnswer { Ok, Cancel, Yes, No, Retry };

struct MessageBoxRequest {
    std::string text;
    // Empty means the window system's default caption (the program's name).
    std::string caption;
    BoxIcon icon = BoxIcon::None;
    BoxButtons buttons = BoxButtons::Ok;
    // False for boxes shown before the main window exists.
    bool owned = false;
    // Position of the default button among `buttons` (Enter picks it);
    // 0, the first button, unless a box says otherwise.
    unsigned defaultButton = 0;
};

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // Shows a modal box and returns the user's answer.
    virtual BoxAnswer ShowMessageBox(const MessageBoxRequest& box) = 0;
    // Takes at most one pending window message, handles it and returns at
    // once; false when nothing was pending.
    virtual bool HandleOnePendingMessage() = 0;
    // How long a wait may block before HandleOnePendingMessage must run
    // again: 0 while something is pending, the time until the view's next
    // timer, kNoPumpDue when nothing will be. A view that cannot tell when
    // its messages come is pumped at kPumpIntervalMs.
    static constexpr uint32_t kNoPumpDue = UINT32_MAX;
    static constexpr uint32_t kPumpIntervalMs = 10;
    virtual uint32_t PumpDueInMs() { return kPumpIntervalMs; }
    // Builds a window from `dialog`, runs it modally with `handler` for its
    // messages and returns the result given to EndDialog. -1 when this view
    // cannot show windows.
    virtual int RunModalDialog(const DialogTemplate& dialog, DialogHandler& handler) {
        (void)dialog;
        (void)handler;
        return -1;
    }
    // The wait cursor over the program's windows, on or off.
    virtual void SetWaitCursor(bool on) { (void)on; }
};

// A view for code that runs without any window: every box is answered with
// its first button and nothing is ever pending.
class NullUserInterface final : public UserInterface {
public:
    BoxAnswer ShowMessageBox(const MessageBoxRequest& box) override;
    bool HandleOnePendingMessage() override { return false; }
    uint32_t PumpDueInMs() override { return kNoPumpDue; }
};

// Shows a box with an OK button on the current view.
BoxAnswer ShowOkBox(const std::string& text, const std::string& caption, BoxIcon icon, bool owned);

// The process-wide view the core talks to; the null view until the program
// or a test installs one.
UserInterface& CurrentUi();

class ScopedUi {
public:
    explicit ScopedUi(UserInterface& ui);
    ~ScopedUi();
    ScopedUi(const ScopedUi&) = delete;
    ScopedUi& operator=(const ScopedUi&) = delete;

private:
    UserInterface* m_previous;
};

}  // namespace platform
