// The Windows back-end of the interruptions seam: a console control handler
// (SetConsoleCtrlHandler), installed once, that while held notes the first
// Ctrl-C, Ctrl-Break, console close, logoff or shutdown, prints the prepared
// line on the error output and swallows the event; otherwise it lets the
// system end the program as usual, once the registered temporaries are
// removed. The handler runs on a thread of its own,
// so what it shares is atomic or written before the hold begins. Windows
// ends a process whose console closes a few seconds after the event, held or
// not; the line at least says why. There is no SIGPIPE: a write to a pipe
// whose reader went away fails and is ignored already.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/interruptions.h"
#include "platform/signal_cleanup.h"
#include "platform/win32/console_events.h"

namespace platform {

namespace {

std::atomic<bool> g_held{false};
std::atomic<int> g_pending{static_cast<int>(StopRequest::None)};
std::string g_program = "quilupdate";
char g_line[640] = {};
DWORD g_lineLength = 0;

BOOL WINAPI OnControl(DWORD event) {
    if (!g_held.load()) {
        RemoveTemporaries();
        return FALSE;  // the system's default: the program ends
    }
    int none = static_cast<int>(StopRequest::None);
    if (g_pending.compare_exchange_strong(none, static_cast<int>(win32::StopRequestOf(event)))) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), g_line, g_lineLength, &written, nullptr);
    }
    return TRUE;
}

class Win32Interruptions final : public Interruptions {
public:
    void Hold(const std::string& announcement) override {
        if (g_held.load()) return;
        const std::string line = g_program + ": stop requested: " + announcement + "\r\n";
        const size_t length = std::min(line.size(), sizeof g_line);
        std::memcpy(g_line, line.data(), length);
        g_lineLength = static_cast<DWORD>(length);
        InstallStopHandling();
        g_held.store(true);
    }
    void Release() override { g_held.store(false); }
    StopRequest Pending() const override { return static_cast<StopRequest>(g_pending.load()); }
    void OutputLost() override {
        if (g_held.load()) KeepStatusDespiteLostOutput();
    }
};

}  // namespace

Interruptions& SystemInterruptions() {
    static Win32Interruptions interruptions;
    return interruptions;
}

void SetInterruptionsProgramName(const char* program) { g_program = program; }

void InstallStopHandling() {
    static const bool installed = SetConsoleCtrlHandler(OnControl, TRUE) != 0;
    (void)installed;
}

// A write to a pipe whose reader went away fails here (ERROR_NO_DATA); no
// signal ends the program.
void FailWritesToAGoneReader() {}

}  // namespace platform
