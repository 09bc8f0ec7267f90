#include "ui/console_ui.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <string>

#include "platform/clock.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "resources/dialog_templates.h"
#include "ui/box_defaults.h"

namespace ui {

using platform::BoxAnswer;
using platform::BoxButtons;
using platform::ControlKind;
using platform::ControlTemplate;
using platform::ProgressDetail;

namespace {

// The on-screen label of a button, its key in brackets.
const char* LabelOf(BoxAnswer answer) {
    switch (answer) {
    case BoxAnswer::Ok: return "[O]K";
    case BoxAnswer::Cancel: return "[C]ancel";
    case BoxAnswer::Yes: return "[Y]es";
    case BoxAnswer::No: return "[N]o";
    case BoxAnswer::Retry: return "[R]etry";
    }
    return "[O]K";
}

const char* NameOf(BoxAnswer answer) {
    switch (answer) {
    case BoxAnswer::Ok: return "OK";
    case BoxAnswer::Cancel: return "Cancel";
    case BoxAnswer::Yes: return "Yes";
    case BoxAnswer::No: return "No";
    case BoxAnswer::Retry: return "Retry";
    }
    return "OK";
}

char KeyOf(BoxAnswer answer) { return static_cast<char>(std::tolower(static_cast<unsigned char>(LabelOf(answer)[1]))); }

std::string Trimmed(const std::string& line) {
    size_t first = 0;
    size_t last = line.size();
    while (first < last && std::isspace(static_cast<unsigned char>(line[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(line[last - 1]))) --last;
    return line.substr(first, last - first);
}

// Ten cells, one per tenth done.
std::string Bar(int percent) {
    const int filled = std::clamp(percent, 0, 100) / 10;
    return '[' + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(10 - filled), '.') +
           ']';
}

int PercentOf(const ControlState& bar) {
    const int span = bar.high - bar.low;
    if (span == 0) return 0;
    return static_cast<int>(static_cast<int64_t>(bar.pos - bar.low) * 100 / span);
}

const ControlState* ProgressBarOf(const HeadlessWindow& window) {
    for (const ControlState& c : window.Controls()) {
        if (c.control.kind == ControlKind::ProgressBar) return &c;
    }
    return nullptr;
}

// Static texts that name the control to their right: the labels, and texts
// drawn right-aligned against a value.
bool MayLabel(const ControlTemplate& c) {
    return c.kind == ControlKind::Label || (c.kind == ControlKind::Text && c.align == platform::TextAlign::Right);
}

bool IsValue(const ControlTemplate& c) {
    return (c.kind == ControlKind::Text && !MayLabel(c)) || c.kind == ControlKind::DropDownList ||
           c.kind == ControlKind::Edit;
}

// Which control labels which: a label names the nearest value that starts
// to its right on the same row.
struct Labels {
    std::vector<int> labelOf;  // per control: index of its label, -1 for none
    std::vector<bool> isLabel;
};

Labels MatchLabels(const std::vector<ControlState>& controls) {
    constexpr int kRowSlack = 2;  // dialog units a label may sit off its value's row
    Labels labels{std::vector<int>(controls.size(), -1), std::vector<bool>(controls.size(), false)};
    for (size_t l = 0; l < controls.size(); ++l) {
        const ControlTemplate& label = controls[l].control;
        if (!MayLabel(label)) continue;
        int best = -1;
        int bestGap = 0;
        for (size_t v = 0; v < controls.size(); ++v) {
            const ControlTemplate& value = controls[v].control;
            if (!IsValue(value) || std::abs(value.y - label.y) > kRowSlack) continue;
            const int gap = value.x - (label.x + label.width);
            if (gap < -kRowSlack) continue;
            if (best < 0 || gap < bestGap) {
                best = static_cast<int>(v);
                bestGap = gap;
            }
        }
        if (best < 0) continue;
        const int current = labels.labelOf[static_cast<size_t>(best)];
        if (current >= 0) {
            const ControlTemplate& other = controls[static_cast<size_t>(current)].control;
            if (other.x + other.width > label.x + label.width) continue;  // the other one sits nearer
            labels.isLabel[static_cast<size_t>(current)] = false;
        }
        labels.labelOf[static_cast<size_t>(best)] = static_cast<int>(l);
        labels.isLabel[l] = true;
    }
    return labels;
}

bool HasList(const HeadlessWindow& window) {
    return std::any_of(window.Controls().begin(), window.Controls().end(),
                       [](const ControlState& c) { return c.control.kind == ControlKind::DropDownList; });
}

const ControlState* FirstEdit(const HeadlessWindow& window) {
    for (const ControlState& c : window.Controls()) {
        if (c.control.kind == ControlKind::Edit) return &c;
    }
    return nullptr;
}

// What the prompt of an entry dialog says: the edit's label.
std::string EntryPrompt(const HeadlessWindow& window, const ControlState& edit) {
    const std::vector<ControlState>& controls = window.Controls();
    const Labels labels = MatchLabels(controls);
    for (size_t i = 0; i < controls.size(); ++i) {
        if (&controls[i] != &edit) continue;
        if (labels.labelOf[i] >= 0) return controls[static_cast<size_t>(labels.labelOf[i])].text;
    }
    return "Text:";
}

// A confirmation: a box that asks OK or Yes against Cancel or No.
bool IsConfirmation(BoxButtons buttons) {
    return buttons == BoxButtons::OkCancel || buttons == BoxButtons::YesNo || buttons == BoxButtons::YesNoCancel;
}

// A window as the console shows it; status and progress are drawn in place
// as they change.
class ConsoleWindow final : public HeadlessWindow {
public:
    ConsoleWindow(const platform::DialogTemplate& dialog, platform::DialogHandler& handler,
                  ConsoleProgressLine& progress)
        : HeadlessWindow(dialog, handler), m_progress(progress) {
        const ControlState* bar = ProgressBarOf(*this);
        m_barId = bar != nullptr ? bar->control.id : -1;
        m_statusId = Control(resources::IDC_STATUS_LINE) != nullptr ? resources::IDC_STATUS_LINE : -1;
    }

    void SetText(int id, const std::string& text) override {
        const bool changed = Text(id) != text;
        HeadlessWindow::SetText(id, text);
        if (!changed || id != m_statusId || !IsShown(m_statusId)) return;
        // A new status is a new step: the bar and counts on show still belong
        // to the last one, so the status comes alone until they move.
        HeadlessWindow::ReportProgress({});
        m_progress.Update(text, -1, {});
    }
    // Showing the step draws nothing yet: its status text and progress come
    // next. Hiding it ends the line.
    void Show(int id, bool shown) override {
        const bool wasRunning = Running();
        HeadlessWindow::Show(id, shown);
        if ((id == m_statusId || id == m_barId) && wasRunning && !Running()) {
            HeadlessWindow::ReportProgress({});
            m_progress.Reset();
        }
    }
    void ProgressSetPos(int id, int pos) override {
        HeadlessWindow::ProgressSetPos(id, pos);
        if (id == m_barId) Draw();
    }
    void ReportProgress(const ProgressDetail& detail) override {
        HeadlessWindow::ReportProgress(detail);
        Draw();
    }

private:
    bool Running() const { return IsShown(m_statusId) || IsShown(m_barId); }

    void Draw() {
        if (!Running()) return;
        const ControlState* bar = Control(m_barId);
        const int percent = bar != nullptr && bar->shown ? PercentOf(*bar) : -1;
        m_progress.Update(IsShown(m_statusId) ? Text(m_statusId) : std::string(), percent, LastProgressDetail());
    }

    ConsoleProgressLine& m_progress;
    int m_barId;
    int m_statusId;
};

}  // namespace

std::string RenderWindowText(const HeadlessWindow& window, bool forEntry) {
    const std::vector<ControlState>& controls = window.Controls();
    const Labels labels = MatchLabels(controls);
    auto labelText = [&](size_t i) -> std::string {
        const int l = labels.labelOf[i];
        if (l < 0) return {};
        const ControlState& label = controls[static_cast<size_t>(l)];
        return label.shown ? label.text : std::string();
    };

    // Values line up after their labels, right-aligned as on screen.
    size_t width = 0;
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlState& c = controls[i];
        if (c.shown && labels.labelOf[i] >= 0 && c.control.kind != ControlKind::DropDownList) {
            width = std::max(width, labelText(i).size());
        }
    }

    std::string out = "== " + window.Caption() + " ==\n";
    std::vector<const ControlState*> buttons;
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlState& c = controls[i];
        if (labels.isLabel[i] || !c.shown) continue;
        switch (c.control.kind) {
        case ControlKind::DropDownList: {
            if (labels.labelOf[i] >= 0) out += labelText(i) + '\n';
            for (size_t k = 0; k < c.entries.size(); ++k) {
                out += static_cast<int>(k) == c.selection ? "  * " : "    ";
                out += std::to_string(k) + "  " + c.entries[k].text + '\n';
            }
            break;
        }
        case ControlKind::Edit:
            if (forEntry) break;
            [[fallthrough]];
        case ControlKind::Text:
        case ControlKind::Label:
            if (labels.labelOf[i] >= 0) {
                const std::string label = labelText(i);
                out += std::string(width - label.size(), ' ') + label + ' ' + c.text + '\n';
            } else if (!c.text.empty()) {
                out += c.text + '\n';
            }
            break;
        case ControlKind::ProgressBar: out += Bar(PercentOf(c)) + ' ' + std::to_string(PercentOf(c)) + "%\n"; break;
        case ControlKind::Button: buttons.push_back(&c); break;
        case ControlKind::Icon: break;
        }
    }
    if (!forEntry && !buttons.empty()) {
        std::stable_sort(buttons.begin(), buttons.end(),
                         [](const ControlState* a, const ControlState* b) { return a->control.x < b->control.x; });
        std::string row;
        for (const ControlState* b : buttons) {
            if (!row.empty()) row += ' ';
            row += '[' + b->text + ']';
        }
        out += row + '\n';
    }
    return out;
}

void ConsoleProgressLine::Update(const std::string& status, int barPercent, const ProgressDetail& detail) {
    const uint32_t now = platform::CurrentClock().TickMs();
    int percent = barPercent;
    std::string line = status;
    auto append = [&line](const std::string& part) {
        if (!line.empty()) line += "  ";
        line += part;
    };

    switch (detail.kind) {
    case ProgressDetail::Kind::Transfer: {
        // A new transfer (or one started over) restarts the rate.
        if (!m_inTransfer || detail.done < m_transferStartDone || detail.total != m_transferTotal) {
            m_inTransfer = true;
            m_transferStartMs = now;
            m_transferStartDone = detail.done;
            m_transferTotal = detail.total;
        }
        percent = detail.total != 0 ? static_cast<int>(uint64_t{detail.done} * 100 / detail.total) : 0;
        std::string part =
            Bar(percent) + ' ' + std::to_string(detail.done) + '/' + std::to_string(detail.total) + " packets";
        const uint32_t elapsed = now - m_transferStartMs;
        const uint32_t sent = detail.done - m_transferStartDone;
        if (elapsed > 0 && sent > 0) {
            const uint64_t rate = uint64_t{sent} * 1000 / elapsed;
            const uint64_t remaining = detail.total > detail.done ? detail.total - detail.done : 0;
            const uint64_t leftSeconds = (remaining * elapsed / sent + 999) / 1000;
            char text[64];
            std::snprintf(text, sizeof text, "  %llu packets/s  %llu:%02llu left",
                          static_cast<unsigned long long>(rate), static_cast<unsigned long long>(leftSeconds / 60),
                          static_cast<unsigned long long>(leftSeconds % 60));
            part += text;
        }
        append(part);
        break;
    }
    case ProgressDetail::Kind::Phase:
        m_inTransfer = false;
        percent = std::clamp(detail.percent, 0, 100);
        append(Bar(percent) + ' ' + detail.phase + ' ' + std::to_string(percent) + '%');
        break;
    case ProgressDetail::Kind::None:
        m_inTransfer = false;
        if (percent >= 0) append(Bar(percent) + ' ' + std::to_string(percent) + '%');
        break;
    }

    if (line.empty()) return;
    if (m_terminal) {
        m_out << "\r\033[K" << line << std::flush;
        m_lineOpen = true;
        return;
    }
    const std::string key = status + '\n' + detail.phase;
    if (m_printed && key == m_lastKey && std::abs(percent - m_lastPercent) < 10) return;
    m_out << line << '\n' << std::flush;
    m_printed = true;
    m_lastKey = key;
    m_lastPercent = std::max(percent, 0);  // a status alone counts from nothing done
}

void ConsoleProgressLine::Break() {
    if (!m_lineOpen) return;
    m_out << '\n' << std::flush;
    m_lineOpen = false;
}

void ConsoleProgressLine::Reset() {
    Break();
    m_printed = false;
    m_lastKey.clear();
    m_lastPercent = 0;
    m_inTransfer = false;
}

ConsoleUi::ConsoleUi(std::istream& in, std::ostream& out, bool interactive)
    : m_in(in), m_out(out), m_interactive(interactive), m_progress(out, false) {}

void ConsoleUi::CheckOutput() {
    if (m_outputLost || !m_out.fail()) return;
    m_outputLost = true;
    LogMessage("Console: the output can no longer be written; what follows is only logged\n");
    platform::CurrentInterruptions().OutputLost();
}

// Nobody reads the program's output any more: what it asks is not granted
// for the user, so that a script whose reader went away starts nothing.
BoxAnswer ConsoleUi::UnreadConfirmation(const platform::MessageBoxRequest& box) {
    const BoxAnswer answer = DismissAnswer(box);
    LogMessage("Console: \"%s\" was asked after the output went away: %s\n", CaptionOrDefault(box.caption).c_str(),
               NameOf(answer));
    return answer;
}

BoxAnswer ConsoleUi::ShowMessageBox(const platform::MessageBoxRequest& box) {
    if (m_events) {
        const auto answers = ButtonAnswers(box.buttons);
        const bool confirmedByYes = m_script.yes && IsConfirmation(box.buttons);
        const BoxAnswer answer = confirmedByYes ? answers[0] : DefaultAnswer(box);
        JsonEvent event("box");
        event.Text("caption", CaptionOrDefault(box.caption)).Text("text", box.text);
        std::vector<std::string> buttons;
        for (BoxAnswer a : answers) buttons.push_back(JsonQuoted(NameOf(a)));
        event.Raw("buttons", JsonArrayOf(buttons)).Text("answer", NameOf(answer));
        event.Text("answered_by", confirmedByYes ? "--yes" : "default");
        m_events->Write(event);
        CheckOutput();
        if (m_outputLost && IsConfirmation(box.buttons)) return UnreadConfirmation(box);
        return answer;
    }
    m_progress.Break();
    m_out << '[' << CaptionOrDefault(box.caption) << "] " << box.text << '\n';
    const auto answers = ButtonAnswers(box.buttons);
    if (m_script.yes && IsConfirmation(box.buttons)) {
        m_out << "-> " << NameOf(answers[0]) << " (--yes)\n" << std::flush;
        CheckOutput();
        if (m_outputLost) return UnreadConfirmation(box);
        return answers[0];
    }
    // The program stops once the running update is over: nobody is asked.
    if (platform::CurrentInterruptions().Pending() != platform::StopRequest::None) {
        if (answers.size() > 1) m_out << "-> " << NameOf(DefaultAnswer(box)) << " (the default; stopping)\n";
        m_out.flush();
        CheckOutput();
        return DefaultAnswer(box);
    }
    if (!m_interactive) {
        // Only a box with a choice says what was chosen for the user.
        if (answers.size() > 1) m_out << "-> " << NameOf(DefaultAnswer(box)) << " (the default; no terminal to ask)\n";
        m_out.flush();
        return DefaultAnswer(box);
    }

    for (;;) {
        for (BoxAnswer answer : answers) m_out << LabelOf(answer) << ' ';
        m_out << "(Enter: " << LabelOf(DefaultAnswer(box)) << ")? " << std::flush;
        CheckOutput();
        if (m_outputLost && IsConfirmation(box.buttons)) return UnreadConfirmation(box);
        std::string line;
        if (!std::getline(m_in, line)) return DismissAnswer(box);  // input closed
        const std::string word = Trimmed(line);
        if (word.empty()) return DefaultAnswer(box);
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(word[0])));
        for (BoxAnswer answer : answers) {
            if (KeyOf(answer) == key) return answer;
        }
    }
}

bool ConsoleUi::HandleOnePendingMessage() {
    CheckOutput();
    const uint32_t now = platform::CurrentClock().TickMs();
    const std::optional<DueWindowTimer> due = MostOverdueWindowTimer(m_open, now);
    if (!due) return false;
    due->window->RunTimer(due->timerId, now);
    return true;
}

uint32_t ConsoleUi::PumpDueInMs() {
    const uint32_t now = platform::CurrentClock().TickMs();
    std::optional<uint32_t> next;
    for (const HeadlessWindow* window : m_open) {
        const std::optional<uint32_t> in = window->NextTimerDueIn(now);
        if (in && (!next || *in < *next)) next = in;
    }
    return next.value_or(kNoPumpDue);
}

int ConsoleUi::RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) {
    ConsoleWindow window(dialog, handler, m_events ? m_noProgress : m_progress);
    m_open.push_back(&window);
    m_lastPrinted.emplace_back();

    handler.OnInitDialog(window);
    if (!window.Ended()) {
        window.AskAllColours();
        if (FirstEdit(window) != nullptr) {
            RunEntry(window);
        } else {
            RunWindow(window);
        }
    }
    m_progress.Break();
    m_open.pop_back();
    m_lastPrinted.pop_back();
    window.Detach();
    return window.Ended() ? window.Result() : kIgnoredCloseResult;
}

void ConsoleUi::PrintWindow(HeadlessWindow& window, bool force) {
    if (m_events) return;
    const std::string text = RenderWindowText(window);
    if (!force && text == m_lastPrinted.back()) return;
    m_progress.Break();
    m_out << text << std::flush;
    m_lastPrinted.back() = text;
    CheckOutput();
}

void ConsoleUi::RunWindow(HeadlessWindow& window) {
    PrintWindow(window, true);
    if (m_script.update) {
        if (!window.Press(resources::IDC_UPDATE)) Screen() << "Update is not available.\n";
        if (!window.Ended()) PrintWindow(window, false);
    } else if (m_interactive && !m_events && (window.Control(resources::IDC_UPDATE) != nullptr || HasList(window))) {
        // Only a window with something to choose asks; a box like About is
        // shown and closed.
        PromptWindow(window);
    }
    if (!window.Ended()) CloseWindow(window);
}

void ConsoleUi::PromptWindow(HeadlessWindow& window) {
    const ControlState* list = nullptr;
    for (const ControlState& c : window.Controls()) {
        if (c.control.kind == ControlKind::DropDownList) list = &c;
    }
    while (!window.Ended()) {
        std::string prompt;
        if (list != nullptr && !list->entries.empty()) {
            prompt += "[0-" + std::to_string(list->entries.size() - 1) + "] select  ";
        }
        if (window.IsShown(resources::IDC_UPDATE)) prompt += "[u]pdate  ";
        if (!window.SystemMenu().empty()) prompt += "[a]bout  ";
        prompt += "[q]uit? ";
        m_out << prompt << std::flush;

        std::string line;
        if (!std::getline(m_in, line)) {
            m_out << '\n';
            return;
        }
        const std::string word = Trimmed(line);
        if (word.empty()) continue;
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(word[0])));
        if (key == 'q') return;
        if (key == 'u') {
            if (!window.Press(resources::IDC_UPDATE)) m_out << "Update is not available.\n";
        } else if (key == 'a' && !window.SystemMenu().empty()) {
            window.ChooseSystemCommand(window.SystemMenu().front().first);
        } else if (list != nullptr && std::all_of(word.begin(), word.end(), [](char ch) {
                       return std::isdigit(static_cast<unsigned char>(ch)) != 0;
                   })) {
            if (word.size() > 4 || !window.Select(list->control.id, std::stoi(word)))
                m_out << "No entry " << word << ".\n";
        } else {
            continue;
        }
        if (!window.Ended()) PrintWindow(window, false);
    }
}

void ConsoleUi::CloseWindow(HeadlessWindow& window) {
    // As the window's close would: Close where it is offered, else Cancel.
    if (!window.Press(platform::kIdOk)) window.CloseByUser();
    if (!window.Ended()) Screen() << "The window is busy and does not close.\n" << std::flush;
}

void ConsoleUi::RunEntry(HeadlessWindow& window) {
    if (m_events) {
        // Nobody types into a run that prints events.
        LogMessage("Console: %s cancelled: the output carries JSON events\n", window.Caption().c_str());
        window.CloseByUser();
        if (!window.Ended()) LogMessage("Console: the window is busy and does not close\n");
        return;
    }
    m_progress.Break();
    m_out << RenderWindowText(window, true) << std::flush;
    const ControlState* edit = FirstEdit(window);
    const int editId = edit->control.id;
    const std::string label = EntryPrompt(window, *edit);
    while (!window.Ended()) {
        if (!m_interactive) {
            m_out << label << " no terminal to type into: Cancel.\n" << std::flush;
            window.CloseByUser();
            break;
        }
        const std::string current = window.Text(editId);
        m_out << label << ' ' << (current.empty() ? std::string() : '[' + current + "] ") << std::flush;
        std::string line;
        if (!std::getline(m_in, line)) {
            m_out << "\nEnd of input: Cancel.\n" << std::flush;
            window.CloseByUser();
            break;
        }
        std::string typed = Trimmed(line);
        if (typed.empty()) typed = current;  // Enter keeps what is there
        window.Type(editId, typed);
        if (!window.Ended() && !window.Press(platform::kIdOk)) window.PressKey(Key::Enter);
    }
    if (!window.Ended()) m_out << "The window is busy and does not close.\n" << std::flush;
}

}  // namespace ui
