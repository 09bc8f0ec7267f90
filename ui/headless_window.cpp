#include "ui/headless_window.h"

#include <algorithm>
#include <cctype>

#include "platform/clock.h"

namespace ui {

using platform::ControlKind;

HeadlessWindow::HeadlessWindow(const platform::DialogTemplate& dialog, platform::DialogHandler& handler)
    : m_template(dialog), m_handler(&handler), m_caption(dialog.caption) {
    m_controls.reserve(dialog.controls.size());
    for (const platform::ControlTemplate& c : dialog.controls) {
        ControlState state;
        state.control = c;
        state.text = c.text;
        state.shown = !c.hidden;
        m_controls.push_back(std::move(state));
    }
}

ControlState* HeadlessWindow::Find(int id) {
    if (id < 0) return nullptr;  // labels have no id to be found by
    for (ControlState& c : m_controls) {
        if (c.control.id == id) return &c;
    }
    return nullptr;
}

const ControlState* HeadlessWindow::Find(int id) const { return const_cast<HeadlessWindow*>(this)->Find(id); }

ControlState* HeadlessWindow::FindKind(int id, ControlKind kind) {
    ControlState* c = Find(id);
    return c != nullptr && c->control.kind == kind ? c : nullptr;
}

const ControlState* HeadlessWindow::FindKind(int id, ControlKind kind) const {
    return const_cast<HeadlessWindow*>(this)->FindKind(id, kind);
}

const ControlState* HeadlessWindow::Control(int id) const { return Find(id); }

void HeadlessWindow::SetText(int id, const std::string& text) {
    if (ControlState* c = Find(id)) c->text = text;
}

std::string HeadlessWindow::Text(int id) const {
    const ControlState* c = Find(id);
    return c != nullptr ? c->text : std::string();
}

void HeadlessWindow::Show(int id, bool shown) {
    if (ControlState* c = Find(id)) c->shown = shown;
}

bool HeadlessWindow::IsShown(int id) const {
    const ControlState* c = Find(id);
    return c != nullptr && c->shown;
}

void HeadlessWindow::Enable(int id, bool enabled) {
    if (ControlState* c = Find(id)) c->enabled = enabled;
}

bool HeadlessWindow::IsEnabled(int id) const {
    const ControlState* c = Find(id);
    return c != nullptr && c->enabled;
}

void HeadlessWindow::SetFont(int id, platform::FontRole font) {
    if (ControlState* c = Find(id)) c->font = font;
}

void HeadlessWindow::RefreshColours(int id) {
    ControlState* c = Find(id);
    if (c != nullptr && m_handler != nullptr) c->colours = m_handler->OnControlColour(id);
}

void HeadlessWindow::AskAllColours() {
    if (m_handler == nullptr) return;
    for (ControlState& c : m_controls) c.colours = m_handler->OnControlColour(c.control.id);
}

void HeadlessWindow::ListClear(int id) {
    if (ControlState* c = FindKind(id, ControlKind::DropDownList)) {
        c->entries.clear();
        c->selection = -1;
    }
}

int HeadlessWindow::ListAdd(int id, const std::string& text, uint32_t itemData) {
    ControlState* c = FindKind(id, ControlKind::DropDownList);
    if (c == nullptr) return -1;
    c->entries.push_back(ListEntry{text, itemData});
    return static_cast<int>(c->entries.size()) - 1;
}

int HeadlessWindow::ListCount(int id) const {
    const ControlState* c = FindKind(id, ControlKind::DropDownList);
    return c != nullptr ? static_cast<int>(c->entries.size()) : 0;
}

std::string HeadlessWindow::ListText(int id, int index) const {
    const ControlState* c = FindKind(id, ControlKind::DropDownList);
    if (c == nullptr || index < 0 || index >= static_cast<int>(c->entries.size())) return {};
    return c->entries[static_cast<size_t>(index)].text;
}

uint32_t HeadlessWindow::ListItemData(int id, int index) const {
    const ControlState* c = FindKind(id, ControlKind::DropDownList);
    if (c == nullptr || index < 0 || index >= static_cast<int>(c->entries.size())) return 0;
    return c->entries[static_cast<size_t>(index)].itemData;
}

void HeadlessWindow::ListSetText(int id, int index, const std::string& text) {
    ControlState* c = FindKind(id, ControlKind::DropDownList);
    if (c == nullptr || index < 0 || index >= static_cast<int>(c->entries.size())) return;
    c->entries[static_cast<size_t>(index)].text = text;
}

void HeadlessWindow::ListSelect(int id, int index) {
    ControlState* c = FindKind(id, ControlKind::DropDownList);
    if (c == nullptr) return;
    // An index off the list clears the selection, as the list control does.
    c->selection = index >= 0 && index < static_cast<int>(c->entries.size()) ? index : -1;
}

int HeadlessWindow::ListSelection(int id) const {
    const ControlState* c = FindKind(id, ControlKind::DropDownList);
    return c != nullptr ? c->selection : -1;
}

void HeadlessWindow::ProgressSetRange(int id, int low, int high) {
    ControlState* c = FindKind(id, ControlKind::ProgressBar);
    if (c == nullptr) return;
    c->low = low;
    c->high = high;
    c->pos = std::clamp(c->pos, std::min(low, high), std::max(low, high));
}

void HeadlessWindow::ProgressSetPos(int id, int pos) {
    ControlState* c = FindKind(id, ControlKind::ProgressBar);
    if (c == nullptr) return;
    c->pos = std::clamp(pos, std::min(c->low, c->high), std::max(c->low, c->high));
    c->positions.push_back(ProgressStep{platform::CurrentClock().TickMs(), c->pos});
}

int HeadlessWindow::ProgressPos(int id) const {
    const ControlState* c = FindKind(id, ControlKind::ProgressBar);
    return c != nullptr ? c->pos : 0;
}

void HeadlessWindow::ProgressRange(int id, int& low, int& high) const {
    const ControlState* c = FindKind(id, ControlKind::ProgressBar);
    low = c != nullptr ? c->low : 0;
    high = c != nullptr ? c->high : 0;
}

void HeadlessWindow::LimitText(int id, int characters) {
    if (ControlState* c = FindKind(id, ControlKind::Edit)) c->limit = std::max(characters, 0);
}

void HeadlessWindow::SetTimer(unsigned timerId, uint32_t intervalMs) {
    m_timers[timerId] = Timer{intervalMs, platform::CurrentClock().TickMs()};
}

void HeadlessWindow::AddSystemMenuCommand(unsigned commandId, const std::string& text) {
    m_systemMenu.emplace_back(commandId, text);
}

void HeadlessWindow::EndDialog(int result) {
    m_ended = true;
    m_result = result;
}

int HeadlessWindow::DefaultButton() const {
    for (const ControlState& c : m_controls) {
        if (c.control.kind == ControlKind::Button && c.control.defaultButton) return c.control.id;
    }
    return platform::kIdOk;
}

bool HeadlessWindow::Refuse(std::string why) {
    m_refused.push_back(std::move(why));
    return false;
}

bool HeadlessWindow::Select(int listId, int index) {
    if (m_ended || m_handler == nullptr) return Refuse("select: the dialog has ended");
    ControlState* c = FindKind(listId, ControlKind::DropDownList);
    if (c == nullptr || !c->shown || !c->enabled) return Refuse("select: no usable list " + std::to_string(listId));
    if (index < 0 || index >= static_cast<int>(c->entries.size())) {
        return Refuse("select: no entry " + std::to_string(index));
    }
    c->selection = index;
    m_handler->OnSelectionChange(listId);
    return true;
}

bool HeadlessWindow::Press(int buttonId) {
    if (m_ended || m_handler == nullptr) return Refuse("press: the dialog has ended");
    const ControlState* c = FindKind(buttonId, ControlKind::Button);
    if (c == nullptr) return Refuse("press: no button " + std::to_string(buttonId));
    if (!c->shown) return Refuse("press: button " + std::to_string(buttonId) + " is hidden");
    if (!c->enabled) return Refuse("press: button " + std::to_string(buttonId) + " is disabled");
    m_handler->OnCommand(buttonId);
    return true;
}

bool HeadlessWindow::Type(int editId, const std::string& text) {
    if (m_ended || m_handler == nullptr) return Refuse("type: the dialog has ended");
    ControlState* c = FindKind(editId, ControlKind::Edit);
    if (c == nullptr || !c->shown || !c->enabled) return Refuse("type: no usable edit " + std::to_string(editId));
    c->text.clear();
    for (char ch : text) {
        if (c->control.digitsOnly && std::isdigit(static_cast<unsigned char>(ch)) == 0) continue;
        if (c->limit > 0 && static_cast<int>(c->text.size()) >= c->limit) {
            m_handler->OnEditFull(editId);
            if (m_ended) break;
            continue;
        }
        c->text += ch;
    }
    return true;
}

bool HeadlessWindow::DropFiles(const std::vector<std::string>& paths) {
    if (m_ended || m_handler == nullptr) return Refuse("drop: the dialog has ended");
    if (!m_template.acceptFiles) return Refuse("drop: the window takes no files");
    m_handler->OnDropFiles(paths);
    return true;
}

bool HeadlessWindow::PressKey(Key key) {
    if (m_ended || m_handler == nullptr) return Refuse("key: the dialog has ended");
    m_handler->OnCommand(key == Key::Enter ? DefaultButton() : platform::kIdCancel);
    return true;
}

bool HeadlessWindow::ChooseSystemCommand(unsigned commandId) {
    if (m_ended || m_handler == nullptr) return Refuse("system command: the dialog has ended");
    const bool known = std::any_of(m_systemMenu.begin(), m_systemMenu.end(),
                                   [commandId](const auto& command) { return command.first == commandId; });
    if (!known) return Refuse("system command: no command " + std::to_string(commandId));
    if (!m_systemMenuEnabled) return Refuse("system command: the menu is not offered now");
    m_handler->OnSystemCommand(commandId);
    return true;
}

bool HeadlessWindow::CloseByUser() {
    if (m_ended || m_handler == nullptr) return Refuse("close: the dialog has ended");
    m_handler->OnCommand(platform::kIdCancel);
    return true;
}

void HeadlessWindow::CloseForLackOfActions() {
    m_closedForLackOfActions = true;
    CloseByUser();
    m_ignoredClose = !m_ended;
}

std::optional<std::pair<unsigned, uint32_t>> HeadlessWindow::MostOverdueTimer(uint32_t nowMs) const {
    std::optional<std::pair<unsigned, uint32_t>> due;
    for (const auto& [id, timer] : m_timers) {
        const uint32_t elapsed = nowMs - timer.startMs;
        if (elapsed < timer.intervalMs) continue;
        const uint32_t overdue = elapsed - timer.intervalMs;
        if (!due || overdue > due->second) due = std::make_pair(id, overdue);
    }
    return due;
}

std::optional<uint32_t> HeadlessWindow::NextTimerDueIn(uint32_t nowMs) const {
    std::optional<uint32_t> next;
    for (const auto& entry : m_timers) {
        const uint32_t elapsed = nowMs - entry.second.startMs;
        const uint32_t in = elapsed >= entry.second.intervalMs ? 0 : entry.second.intervalMs - elapsed;
        if (!next || in < *next) next = in;
    }
    return next;
}

void HeadlessWindow::RunTimer(unsigned timerId, uint32_t nowMs) {
    auto it = m_timers.find(timerId);
    if (it == m_timers.end() || m_handler == nullptr) return;
    it->second.startMs = nowMs;
    m_handler->OnTimer(timerId);
}

std::optional<DueWindowTimer> MostOverdueWindowTimer(const std::vector<HeadlessWindow*>& windows, uint32_t nowMs) {
    std::optional<DueWindowTimer> due;
    for (HeadlessWindow* window : windows) {
        const auto timer = window->MostOverdueTimer(nowMs);
        if (timer && (!due || timer->second > due->overdueMs))
            due = DueWindowTimer{window, timer->first, timer->second};
    }
    return due;
}

}  // namespace ui
