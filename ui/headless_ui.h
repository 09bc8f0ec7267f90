// A view without any window, for tests and tools: records every message box,
// answers boxes from a script, runs dialogs as recorded windows, and hands out
// scripted user actions and due timers one per pending-message call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/ui.h"
#include "ui/headless_window.h"

namespace ui {

class HeadlessUi final : public platform::UserInterface {
public:
    // What RunModalDialog returns when the dialog ignored the close that ends
    // a run out of user actions (a busy dialog ignores Cancel).
    static constexpr int kIgnoredClose = kIgnoredCloseResult;

    // Message boxes. Each box is recorded, shown to the observer (if any),
    // then answered with the next queued answer, or with the default answer
    // once the queue is empty (the box's default button unless set).
    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override;
    void QueueAnswer(platform::BoxAnswer answer) { m_answers.push_back(answer); }
    void SetDefaultAnswer(platform::BoxAnswer answer) { m_defaultAnswer = answer; }
    // Runs while a box is open, before it is answered (e.g. to let time pass).
    void SetBoxObserver(std::function<void(const platform::MessageBoxRequest&)> observer) {
        m_boxObserver = std::move(observer);
    }
    const std::vector<platform::MessageBoxRequest>& Boxes() const { return m_boxes; }
    size_t PendingAnswers() const { return m_answers.size(); }

    // Pending messages: a queued user action runs first (one per call), else
    // the window timer that is most overdue on platform::CurrentClock().
    bool HandleOnePendingMessage() override;
    // 0 while a user action waits, else until the next timer of the view or
    // of an open window.
    uint32_t PumpDueInMs() override;
    void QueueAction(std::function<void()> action) { m_actions.push_back(std::move(action)); }
    size_t PendingActions() const { return m_actions.size(); }
    // A repeating timer: due `intervalMs` after it was set or last ran.
    // Setting an id that runs already restarts it with the new callback.
    void SetTimer(unsigned id, uint32_t intervalMs, std::function<void()> callback);
    void KillTimer(unsigned id) { m_timers.erase(id); }
    bool HasTimer(unsigned id) const { return m_timers.count(id) != 0; }

    // Dialogs. The window runs OnInitDialog, then takes the queued actions one
    // by one until it ends; with none left it is closed as the user would
    // close it (Cancel), and a dialog that ignores that returns kIgnoredClose.
    // Nested dialogs take their actions from the same queue.
    int RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) override;
    // The top open window, or null.
    HeadlessWindow* CurrentWindow() { return m_open.empty() ? nullptr : m_open.back(); }
    // Every window ever opened, in the order they opened; closed ones keep
    // their last state.
    const std::vector<std::unique_ptr<HeadlessWindow>>& Windows() const { return m_windows; }
    // The latest window built from template `templateId`, or null.
    const HeadlessWindow* LastWindow(int templateId) const;

    // User actions on the current window, now; false when there is no
    // window or it does not take the action.
    bool Select(int listId, int index);
    bool Press(int buttonId);
    bool Type(int editId, const std::string& text);
    bool DropFiles(const std::vector<std::string>& paths);
    bool PressKey(Key key);
    bool ChooseSystemCommand(unsigned commandId);
    // The same, queued as the next user actions.
    void QueueSelect(int listId, int index);
    void QueuePress(int buttonId);
    void QueueType(int editId, std::string text);
    void QueueDrop(std::vector<std::string> paths);
    void QueueKey(Key key);
    void QueueSystemCommand(unsigned commandId);
    // Lets `ms` pass on `clock`, running every timer (window or view) as it
    // falls due; now, or queued as a user action (the user waits).
    void PassTime(platform::VirtualClock& clock, uint32_t ms);
    void QueueWait(platform::VirtualClock& clock, uint32_t ms);

    void SetWaitCursor(bool on) override;
    bool WaitCursor() const { return m_waitCursor; }
    // Every change of the wait cursor, in order.
    const std::vector<bool>& WaitCursorChanges() const { return m_waitCursorChanges; }

private:
    // Runs the most overdue timer of the view or of an open window.
    bool RunDueTimer(uint32_t nowMs);
    // Milliseconds until the next timer of the view or of an open window.
    std::optional<uint32_t> NextTimerDueIn(uint32_t nowMs) const;
    bool UserCanAct() const;

    struct Timer {
        uint32_t intervalMs;
        uint32_t startMs;
        std::function<void()> callback;
    };

    std::vector<platform::MessageBoxRequest> m_boxes;
    std::deque<platform::BoxAnswer> m_answers;
    std::optional<platform::BoxAnswer> m_defaultAnswer;
    std::function<void(const platform::MessageBoxRequest&)> m_boxObserver;
    std::deque<std::function<void()>> m_actions;
    std::map<unsigned, Timer> m_timers;
    std::vector<std::unique_ptr<HeadlessWindow>> m_windows;
    std::vector<HeadlessWindow*> m_open;
    HeadlessWindow* m_initialising = nullptr;  // in its OnInitDialog
    bool m_waitCursor = false;
    std::vector<bool> m_waitCursorChanges;
};

}  // namespace ui
