#include "ui/headless_ui.h"

#include <algorithm>

#include "platform/clock.h"
#include "ui/box_defaults.h"

namespace ui {

platform::BoxAnswer HeadlessUi::ShowMessageBox(const platform::MessageBoxRequest& box) {
    m_boxes.push_back(box);
    if (m_boxObserver) m_boxObserver(box);
    if (!m_answers.empty()) {
        const platform::BoxAnswer answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }
    return m_defaultAnswer.value_or(DefaultAnswer(box));
}

void HeadlessUi::SetTimer(unsigned id, uint32_t intervalMs, std::function<void()> callback) {
    m_timers[id] = Timer{intervalMs, platform::CurrentClock().TickMs(), std::move(callback)};
}

bool HeadlessUi::UserCanAct() const {
    // A window being initialised is not on screen yet: the user acts on it
    // (and on anything beneath it) only once its OnInitDialog has returned.
    return m_open.empty() || m_open.back() != m_initialising;
}

uint32_t HeadlessUi::PumpDueInMs() {
    if (!m_actions.empty() && UserCanAct()) return 0;
    return NextTimerDueIn(platform::CurrentClock().TickMs()).value_or(kNoPumpDue);
}

std::optional<uint32_t> HeadlessUi::NextTimerDueIn(uint32_t nowMs) const {
    std::optional<uint32_t> next;
    for (const auto& entry : m_timers) {
        const uint32_t elapsed = nowMs - entry.second.startMs;
        const uint32_t in = elapsed >= entry.second.intervalMs ? 0 : entry.second.intervalMs - elapsed;
        if (!next || in < *next) next = in;
    }
    for (const HeadlessWindow* window : m_open) {
        const std::optional<uint32_t> in = window->NextTimerDueIn(nowMs);
        if (in && (!next || *in < *next)) next = in;
    }
    return next;
}

bool HeadlessUi::HandleOnePendingMessage() {
    if (!m_actions.empty() && UserCanAct()) {
        // Taken off the queue first: the action may queue more.
        std::function<void()> action = std::move(m_actions.front());
        m_actions.pop_front();
        if (action) action();
        return true;
    }
    return RunDueTimer(platform::CurrentClock().TickMs());
}

bool HeadlessUi::RunDueTimer(uint32_t nowMs) {
    auto due = m_timers.end();
    uint32_t mostOverdue = 0;
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        const uint32_t elapsed = nowMs - it->second.startMs;
        if (elapsed < it->second.intervalMs) continue;
        const uint32_t overdue = elapsed - it->second.intervalMs;
        if (due == m_timers.end() || overdue > mostOverdue) {
            due = it;
            mostOverdue = overdue;
        }
    }
    const std::optional<DueWindowTimer> windowTimer = MostOverdueWindowTimer(m_open, nowMs);
    if (windowTimer && (due == m_timers.end() || windowTimer->overdueMs > mostOverdue)) {
        windowTimer->window->RunTimer(windowTimer->timerId, nowMs);
        return true;
    }
    if (due == m_timers.end()) return false;
    due->second.startMs = nowMs;
    // A copy: the callback may kill or reset its own timer.
    const std::function<void()> callback = due->second.callback;
    if (callback) callback();
    return true;
}

void HeadlessUi::PassTime(platform::VirtualClock& clock, uint32_t ms) {
    uint32_t remaining = ms;
    for (;;) {
        const std::optional<uint32_t> next = NextTimerDueIn(clock.Peek());
        if (!next || *next > remaining) {
            clock.Advance(remaining);
            return;
        }
        // A timer of no interval would run for ever at one tick: let a
        // millisecond pass after each run.
        const uint32_t step = std::max<uint32_t>(*next, 1);
        if (step > remaining) {
            clock.Advance(remaining);
            return;
        }
        clock.Advance(step);
        remaining -= step;
        RunDueTimer(clock.Peek());
    }
}

void HeadlessUi::QueueWait(platform::VirtualClock& clock, uint32_t ms) {
    QueueAction([this, &clock, ms] { PassTime(clock, ms); });
}

int HeadlessUi::RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) {
    m_windows.push_back(std::make_unique<HeadlessWindow>(dialog, handler));
    HeadlessWindow& window = *m_windows.back();
    m_open.push_back(&window);

    HeadlessWindow* const outer = m_initialising;
    m_initialising = &window;
    handler.OnInitDialog(window);
    m_initialising = outer;
    if (!window.Ended()) window.AskAllColours();
    int result = 0;
    for (;;) {
        if (window.Ended()) {
            result = window.Result();
            break;
        }
        if (!m_actions.empty()) {
            HandleOnePendingMessage();
            continue;
        }
        // Nobody left to act: the user closes the window.
        window.CloseForLackOfActions();
        if (window.IgnoredClose()) {
            result = kIgnoredClose;
            break;
        }
    }
    // Nested dialogs have returned before this one, so it is the top.
    m_open.erase(std::find(m_open.begin(), m_open.end(), &window));
    window.Detach();
    return result;
}

const HeadlessWindow* HeadlessUi::LastWindow(int templateId) const {
    for (auto it = m_windows.rbegin(); it != m_windows.rend(); ++it) {
        if ((*it)->TemplateId() == templateId) return it->get();
    }
    return nullptr;
}

bool HeadlessUi::Select(int listId, int index) {
    HeadlessWindow* window = CurrentWindow();
    return window != nullptr && window->Select(listId, index);
}

bool HeadlessUi::Press(int buttonId) {
    HeadlessWindow* window = CurrentWindow();
    return window != nullptr && window->Press(buttonId);
}

bool HeadlessUi::Type(int editId, const std::string& text) {
    HeadlessWindow* window = CurrentWindow();
    return window != nullptr && window->Type(editId, text);
}

bool HeadlessUi::DropFiles(const std::vector<std::string>& paths) {
    HeadlessWindow* window = CurrentWindow();
    return window != nullptr && window->DropFiles(paths);
}

bool HeadlessUi::PressKey(Key key) {
    HeadlessWindow* window = CurrentWindow();
    return window != nullptr && window->PressKey(key);
}

bool HeadlessUi::ChooseSystemCommand(unsigned commandId) {
    HeadlessWindow* window = CurrentWindow();
    return window != nullptr && window->ChooseSystemCommand(commandId);
}

void HeadlessUi::QueueSelect(int listId, int index) {
    QueueAction([this, listId, index] { Select(listId, index); });
}

void HeadlessUi::QueuePress(int buttonId) {
    QueueAction([this, buttonId] { Press(buttonId); });
}

void HeadlessUi::QueueType(int editId, std::string text) {
    QueueAction([this, editId, text = std::move(text)] { Type(editId, text); });
}

void HeadlessUi::QueueDrop(std::vector<std::string> paths) {
    QueueAction([this, paths = std::move(paths)] { DropFiles(paths); });
}

void HeadlessUi::QueueKey(Key key) {
    QueueAction([this, key] { PressKey(key); });
}

void HeadlessUi::QueueSystemCommand(unsigned commandId) {
    QueueAction([this, commandId] { ChooseSystemCommand(commandId); });
}

void HeadlessUi::SetWaitCursor(bool on) {
    m_waitCursor = on;
    m_waitCursorChanges.push_back(on);
}

}  // namespace ui
