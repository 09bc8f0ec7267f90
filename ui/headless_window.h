// A dialog window without a screen: every control of its template, kept by id
// with the state the code gives it (text, shown, enabled, font, colours, list
// entries, progress and its course, edit limit), its timers and system-menu
// commands. The headless view hands these to tests; the console view prints
// them. User actions go through the same checks a real window makes: a hidden
// or disabled button cannot be pressed, an edit takes no more than its limit.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog.h"

namespace ui {

struct ListEntry {
    std::string text;
    uint32_t itemData = 0;
};

// One position given to a progress bar, with the tick it was given at.
struct ProgressStep {
    uint32_t tickMs = 0;
    int pos = 0;
};

struct ControlState {
    platform::ControlTemplate control;  // as the template gives it
    std::string text;
    bool shown = true;
    bool enabled = true;
    platform::FontRole font = platform::FontRole::Dialog;
    platform::ControlColours colours;
    std::vector<ListEntry> entries;
    int selection = -1;
    int low = 0, high = 100, pos = 0;
    std::vector<ProgressStep> positions;
    int limit = 0;  // edit: most characters typed, 0 for no limit
};

enum class Key { Enter, Escape };

// What a view's RunModalDialog returns when the dialog ignored the close the
// view ended it with (a busy dialog ignores Cancel).
inline constexpr int kIgnoredCloseResult = -2;

class HeadlessWindow : public platform::DialogWindow {
public:
    HeadlessWindow(const platform::DialogTemplate& dialog, platform::DialogHandler& handler);

    // platform::DialogWindow
    void SetText(int id, const std::string& text) override;
    std::string Text(int id) const override;
    void Show(int id, bool shown) override;
    bool IsShown(int id) const override;
    void Enable(int id, bool enabled) override;
    bool IsEnabled(int id) const override;
    void SetFont(int id, platform::FontRole font) override;
    void RefreshColours(int id) override;
    void SetCaption(const std::string& caption) override { m_caption = caption; }
    void ListClear(int id) override;
    int ListAdd(int id, const std::string& text, uint32_t itemData) override;
    int ListCount(int id) const override;
    std::string ListText(int id, int index) const override;
    uint32_t ListItemData(int id, int index) const override;
    void ListSetText(int id, int index, const std::string& text) override;
    void ListSelect(int id, int index) override;
    int ListSelection(int id) const override;
    void ProgressSetRange(int id, int low, int high) override;
    void ProgressSetPos(int id, int pos) override;
    int ProgressPos(int id) const override;
    void ProgressRange(int id, int& low, int& high) const override;
    void ReportProgress(const platform::ProgressDetail& detail) override { m_lastDetail = detail; }
    void LimitText(int id, int characters) override;
    void SetTimer(unsigned timerId, uint32_t intervalMs) override;
    void KillTimer(unsigned timerId) override { m_timers.erase(timerId); }
    void AddSystemMenuCommand(unsigned commandId, const std::string& text) override;
    void EnableSystemMenu(bool enabled) override { m_systemMenuEnabled = enabled; }
    void EndDialog(int result) override;

    // What the window holds.
    int TemplateId() const { return m_template.id; }
    const platform::DialogTemplate& Template() const { return m_template; }
    const std::string& Caption() const { return m_caption; }
    // Every control in template order, labels included.
    const std::vector<ControlState>& Controls() const { return m_controls; }
    // The control with `id`, or null.
    const ControlState* Control(int id) const;
    const std::vector<std::pair<unsigned, std::string>>& SystemMenu() const { return m_systemMenu; }
    bool SystemMenuEnabled() const { return m_systemMenuEnabled; }
    bool HasTimer(unsigned timerId) const { return m_timers.count(timerId) != 0; }
    // The interval of a running timer; 0 when it does not run.
    uint32_t TimerInterval(unsigned timerId) const {
        const auto it = m_timers.find(timerId);
        return it == m_timers.end() ? 0 : it->second.intervalMs;
    }
    const platform::ProgressDetail& LastProgressDetail() const { return m_lastDetail; }
    // The default button's id; kIdOk when the template names none.
    int DefaultButton() const;

    bool Ended() const { return m_ended; }
    int Result() const { return m_result; }
    // Closed by the view because nobody was left to act.
    bool ClosedForLackOfActions() const { return m_closedForLackOfActions; }
    // That close was ignored (a busy dialog): the view gave up on it.
    bool IgnoredClose() const { return m_ignoredClose; }
    bool IsOpen() const { return m_handler != nullptr; }
    // User actions a real window would not have taken, with the reason.
    const std::vector<std::string>& RefusedActions() const { return m_refused; }

    // User actions; false when the window does not take it (see RefusedActions).
    bool Select(int listId, int index);
    bool Press(int buttonId);
    // Replaces the edit's text by typing `text` one character at a time: a
    // digits-only edit drops anything else, and each character past the limit
    // makes the handler's OnEditFull run instead (which may end the dialog).
    bool Type(int editId, const std::string& text);
    bool DropFiles(const std::vector<std::string>& paths);
    bool PressKey(Key key);
    bool ChooseSystemCommand(unsigned commandId);
    // The window's close button: Cancel, as Windows sends it.
    bool CloseByUser();

    // Lifecycle, for the views.
    // Asks the handler for every control's colours (the first paint).
    void AskAllColours();
    // The view closes because no action is left; records whether it ended.
    void CloseForLackOfActions();
    // The modal loop returned; the handler is not called any more.
    void Detach() { m_handler = nullptr; }

    // Window timers: the one most overdue at `nowMs`, with how far overdue.
    std::optional<std::pair<unsigned, uint32_t>> MostOverdueTimer(uint32_t nowMs) const;
    // Milliseconds from `nowMs` until the next timer is due (0 when one is).
    std::optional<uint32_t> NextTimerDueIn(uint32_t nowMs) const;
    // Runs timer `timerId` now: restarts its interval, calls OnTimer.
    void RunTimer(unsigned timerId, uint32_t nowMs);

protected:
    ControlState* Find(int id);
    const ControlState* Find(int id) const;
    ControlState* FindKind(int id, platform::ControlKind kind);
    const ControlState* FindKind(int id, platform::ControlKind kind) const;
    bool Refuse(std::string why);

private:
    struct Timer {
        uint32_t intervalMs = 0;
        uint32_t startMs = 0;
    };

    platform::DialogTemplate m_template;
    platform::DialogHandler* m_handler;
    std::string m_caption;
    std::vector<ControlState> m_controls;
    std::vector<std::pair<unsigned, std::string>> m_systemMenu;
    bool m_systemMenuEnabled = true;
    std::map<unsigned, Timer> m_timers;
    platform::ProgressDetail m_lastDetail;
    std::vector<std::string> m_refused;
    bool m_ended = false;
    int m_result = 0;
    bool m_closedForLackOfActions = false;
    bool m_ignoredClose = false;
};

// A window timer due on one of several open windows.
struct DueWindowTimer {
    HeadlessWindow* window = nullptr;
    unsigned timerId = 0;
    uint32_t overdueMs = 0;
};

// The most overdue timer among `windows` at `nowMs`, if any is due.
std::optional<DueWindowTimer> MostOverdueWindowTimer(const std::vector<HeadlessWindow*>& windows, uint32_t nowMs);

}  // namespace ui
