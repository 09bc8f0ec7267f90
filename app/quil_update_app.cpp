#include "app/quil_update_app.h"

#include <memory>

#include "app/quil_update_dlg.h"
#include "platform/log.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"

namespace {

constexpr const char* kBuildStamp = __DATE__ " " __TIME__;

void ShowStartupBox(const char* text, const char* caption, platform::BoxIcon icon) {
    // An empty caption is the window system's default; the main window does
    // not exist yet, so the box has no owner.
    platform::ShowOkBox(text, caption, icon, false);
}

// The main window, run modally on the current view.
int RunMainWindow(CQuilUpdateApp& app) {
    if (app.IsDemoMode()) LogMessage("Demo mode: built-in virtual units\n");
    CQuilUpdateDlg dialog(app.GetCommandLine());
    dialog.SetInitialEntry(app.InitialEntry());
    dialog.SetUnattended(app.Unattended());
    dialog.SetReport(app.Report());
    const int result = dialog.DoModal();
    bool failed = dialog.EndedThroughFailure() || result < 0;
    if (app.UpdateRequested() && dialog.LastUpdate() != UpdateOutcome::Succeeded) failed = true;
    // Stopped by a request held back during the update: the update alone
    // tells how the run went.
    if (dialog.StoppedByRequest()) failed = dialog.LastUpdate() != UpdateOutcome::Succeeded;
    app.SetExitStatus(failed ? 1 : 0);
    return result;
}

}  // namespace

CQuilUpdateApp::CQuilUpdateApp() : m_runMainWindow(RunMainWindow) {}

bool CQuilUpdateApp::InitInstance() {
    // The first entry opens the log, so the banner is there even when a
    // check below stops the program.
    LogMessage("QuilUpdate Built: %s\n", kBuildStamp);

    platform::SystemInfo& system = platform::CurrentSystem();
    const platform::OsVersionInfo os = system.QueryOsVersion();
    if (!os.queryOk) {
        ShowStartupBox("GetVersionEx Failed!", "", platform::BoxIcon::Warning);
        m_exitStatus = 1;
        return false;
    }
    if (!os.supported) {
        LogMessage("Terminating: Unsupported Operating System.\n");
        ShowStartupBox("Quil Firmware Update does not support this operating system.", "", platform::BoxIcon::Warning);
        m_exitStatus = 1;
        return false;
    }

    const platform::PowerStatus power = system.QueryPowerStatus();
    if (!power.queryOk) {
        LogMessage("GetSystemPowerStatus FAILED! [%08lx]\n", static_cast<unsigned long>(power.errorCode));
    } else if (power.acLineStatus == platform::kAcLineOffline) {
        LogMessage("Terminating: On Battery Power\n");
        ShowStartupBox("This computer must be connected to AC power to update firmware.", "On Battery Power",
                       platform::BoxIcon::Error);
        m_exitStatus = 1;
        return false;
    }
    // 1 (mains) and 255 (the system cannot tell) go on.

    if (m_runMainWindow) m_runMainWindow(*this);
    if (m_beforeExit) m_beforeExit(*this);

    LogMessage("Exiting\n*****************************************************************************\n");
    CloseLogFile();
    return false;
}
