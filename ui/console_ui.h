// A view for terminals without a display: boxes are printed as
// "[Caption] text" and answered from the input when it is a terminal;
// otherwise every box takes its default button (the first unless the box
// names another) and the console says which.
//
// Dialogs are printed as text built from their templates: the caption, the
// list with numbered entries, each value beside its label, the free texts and
// the buttons. A script (update, yes) drives the main window for scripts; at a
// terminal the user picks entries and commands at a prompt. An entry dialog
// (one with an edit control) prompts for the edit's text. A running step is
// drawn as one status line with its progress.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "ui/headless_window.h"
#include "ui/json_event_writer.h"

namespace ui {

// What the console does without being asked.
struct ConsoleScript {
    bool update = false;  // press Update once the window is up, then close it
    bool yes = false;     // answer confirmation boxes (OK/Cancel, Yes/No) with OK or Yes
};

// The status line of a running step and its progress, drawn in place on a
// terminal; elsewhere a new line only when the status changes or the
// percentage moves by 10 or more, so that logs stay short.
class ConsoleProgressLine {
public:
    ConsoleProgressLine(std::ostream& out, bool terminal) : m_out(out), m_terminal(terminal) {}
    // `barPercent` is the progress bar's (-1: no bar shown); a Transfer or
    // Phase detail takes its place.
    void Update(const std::string& status, int barPercent, const platform::ProgressDetail& detail);
    // Ends a line drawn in place, before any other output.
    void Break();
    // The step is over: the next one starts afresh.
    void Reset();
    void SetTerminal(bool terminal) { m_terminal = terminal; }

private:
    std::ostream& m_out;
    bool m_terminal;
    bool m_lineOpen = false;
    bool m_printed = false;
    std::string m_lastKey;
    int m_lastPercent = 0;
    // The transfer the rate is measured on.
    bool m_inTransfer = false;
    uint32_t m_transferStartMs = 0;
    uint32_t m_transferStartDone = 0;
    uint32_t m_transferTotal = 0;
};

class ConsoleUi final : public platform::UserInterface {
public:
    // `interactive`: the input is a terminal a person types into.
    ConsoleUi(std::istream& in, std::ostream& out, bool interactive);

    void SetScript(const ConsoleScript& script) { m_script = script; }
    // The output is a terminal: progress is redrawn in place.
    void SetOutputTerminal(bool terminal) { m_progress.SetTerminal(terminal); }
    // --json: each box is one "box" event on `events` instead of text, and
    // is answered without asking (confirmations by --yes, others by their
    // default), since the output belongs to the events. Windows print no
    // text and ask nothing (an entry dialog is cancelled).
    void SetJsonEvents(bool on) { m_events = on ? std::make_unique<JsonEventWriter>(m_out) : nullptr; }
    JsonEventWriter* JsonEvents() { return m_events.get(); }
    // Notes a failed output (see CheckOutput).
    void NoteOutput() { CheckOutput(); }

    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override;
    // Runs the most overdue timer of an open window.
    bool HandleOnePendingMessage() override;
    // Until the next timer of an open window.
    uint32_t PumpDueInMs() override;
    int RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) override;

private:
    // Notes, once, that the output can no longer be written (a pager that
    // quit): logged, and the interruptions seam told, so that a unit being
    // written is finished regardless.
    void CheckOutput();
    platform::BoxAnswer UnreadConfirmation(const platform::MessageBoxRequest& box);
    void RunWindow(HeadlessWindow& window);
    void PromptWindow(HeadlessWindow& window);
    void RunEntry(HeadlessWindow& window);
    void CloseWindow(HeadlessWindow& window);
    void PrintWindow(HeadlessWindow& window, bool force);
    // Where window text goes: nowhere when the output carries events.
    std::ostream& Screen() { return m_events ? m_noScreen : m_out; }

    std::istream& m_in;
    std::ostream& m_out;
    bool m_interactive;
    ConsoleScript m_script;
    ConsoleProgressLine m_progress;
    std::vector<HeadlessWindow*> m_open;
    std::vector<std::string> m_lastPrinted;  // per open window
    bool m_outputLost = false;
    std::unique_ptr<JsonEventWriter> m_events;
    std::ostream m_noScreen{nullptr};
    ConsoleProgressLine m_noProgress{m_noScreen, false};
};

// The text the console prints for a window; `forEntry` leaves out the edit
// rows (prompted for instead) and the buttons.
std::string RenderWindowText(const HeadlessWindow& window, bool forEntry = false);

}  // namespace ui
