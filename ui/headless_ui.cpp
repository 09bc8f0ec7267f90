#include "ui/headless_ui.h"

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

bool HeadlessUi::HandleOnePendingMessage() {
    if (!m_actions.empty()) {
        // Taken off the queue first: the action may queue more.
        std::function<void()> action = std::move(m_actions.front());
        m_actions.pop_front();
        if (action) action();
        return true;
    }

    const uint32_t now = platform::CurrentClock().TickMs();
    auto due = m_timers.end();
    uint32_t mostOverdue = 0;
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        const uint32_t elapsed = now - it->second.startMs;
        if (elapsed < it->second.intervalMs) continue;
        const uint32_t overdue = elapsed - it->second.intervalMs;
        if (due == m_timers.end() || overdue > mostOverdue) {
            due = it;
            mostOverdue = overdue;
        }
    }
    if (due == m_timers.end()) return false;
    due->second.startMs = now;
    // A copy: the callback may kill or reset its own timer.
    const std::function<void()> callback = due->second.callback;
    if (callback) callback();
    return true;
}

}  // namespace ui
