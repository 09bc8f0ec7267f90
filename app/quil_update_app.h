// The application object: start-up checks (operating system, mains power),
// the main window run modally, and the closing log entry.
#pragma once

#include <functional>
#include <optional>
#include <string>

class BatchView;
class CQuilUpdateApp;

// Runs the main window modally and returns its result once the user has
// closed it. Everything the user does happens inside this call.
using MainWindowRunner = std::function<int(CQuilUpdateApp& app)>;

class CQuilUpdateApp {
public:
    CQuilUpdateApp();

    // The raw command line after the program name; the main window reads its
    // keywords from it.
    void SetCommandLine(std::string commandLine) { m_commandLine = std::move(commandLine); }
    const std::string& GetCommandLine() const { return m_commandLine; }

    // Demo mode: the main window works on the built-in virtual units.
    void SetDemoMode(bool demo) { m_bDemoMode = demo; }
    bool IsDemoMode() const { return m_bDemoMode; }

    void SetMainWindowRunner(MainWindowRunner runner) { m_runMainWindow = std::move(runner); }
    // Runs once the main window has closed, before the closing log entry, so
    // that what it logs (the demo's units being saved) belongs to the run.
    void SetBeforeExit(std::function<void(CQuilUpdateApp& app)> hook) { m_beforeExit = std::move(hook); }

    // The list entry to select once the window is up (--unit).
    void SetInitialEntry(std::optional<int> entry) { m_initialEntry = entry; }
    std::optional<int> InitialEntry() const { return m_initialEntry; }
    // The run is judged by its update (--update): it succeeds only when the
    // window ends in its done view.
    void SetUpdateRequested(bool requested) { m_updateRequested = requested; }
    bool UpdateRequested() const { return m_updateRequested; }
    // Nobody answers the program's questions (--update --yes): a named image
    // file is used or nothing is (see CQuilUpdateDlg::SetUnattended).
    void SetUnattended(bool unattended) { m_unattended = unattended; }
    bool Unattended() const { return m_unattended; }
    // Where a script reads what the main window does (--json); null: nowhere.
    void SetReport(BatchView* report) { m_report = report; }
    BatchView* Report() const { return m_report; }

    // The process's exit status once InitInstance has returned: 0 when the
    // window ended normally, 1 when a start-up check stopped the program or
    // the window ended through a failure (or, with an update requested,
    // without a finished update).
    int ExitStatus() const { return m_exitStatus; }
    void SetExitStatus(int status) { m_exitStatus = status; }

    // Runs the whole program: checks, main window, exit entry. Always
    // returns false: there is nothing left to run afterwards.
    bool InitInstance();

private:
    std::string m_commandLine;
    bool m_bDemoMode = false;
    MainWindowRunner m_runMainWindow;
    std::function<void(CQuilUpdateApp& app)> m_beforeExit;
    std::optional<int> m_initialEntry;
    bool m_updateRequested = false;
    bool m_unattended = false;
    BatchView* m_report = nullptr;
    int m_exitStatus = 0;
};
