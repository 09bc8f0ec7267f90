// A view without any window, for tests and tools: records every message box,
// answers boxes from a script, and hands out scripted user actions and due
// window timers one per pending-message call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "platform/ui.h"

namespace ui {

class HeadlessUi final : public platform::UserInterface {
public:
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
    void QueueAction(std::function<void()> action) { m_actions.push_back(std::move(action)); }
    size_t PendingActions() const { return m_actions.size(); }
    // A repeating timer: due `intervalMs` after it was set or last ran.
    // Setting an id that runs already restarts it with the new callback.
    void SetTimer(unsigned id, uint32_t intervalMs, std::function<void()> callback);
    void KillTimer(unsigned id) { m_timers.erase(id); }
    bool HasTimer(unsigned id) const { return m_timers.count(id) != 0; }

private:
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
};

}  // namespace ui
