// The POSIX back-end of the interruptions seam: while held, SIGINT, SIGTERM
// and SIGHUP run a handler that notes the first of them and prints the
// prepared line (with write(), which a handler may call), and SIGPIPE is
// ignored so that a write to a pipe whose reader went away fails instead of
// ending the program. Release puts the dispositions back as they were.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/interruptions.h"
#include "platform/signal_cleanup.h"

namespace platform {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// What the handler reads: set before the handler is installed.
volatile sig_atomic_t g_pendingSignal = 0;
volatile sig_atomic_t g_held = 0;
bool g_writesFailToAGoneReader = false;  // SIGPIPE stays ignored after a hold
bool g_cleanupWanted = false;            // a temporary was registered: keep the handling after a hold
std::string g_program = "quilupdate";
char g_lineHead[128] = {};  // "<program>: "
char g_lineTail[512] = {};  // ": <announcement>\n"
size_t g_lineHeadLength = 0;
size_t g_lineTailLength = 0;

void WriteAll(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, length);
        if (n <= 0) return;  // the error output is gone too: nothing to tell
        text += n;
        length -= static_cast<size_t>(n);
    }
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

void OnStopSignal(int signal) {
    if (g_held == 0) {
        // Not held: the temporaries go, and the program dies of the same
        // signal, so that its caller sees how it ended.
        RemoveTemporaries();
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    if (g_pendingSignal != 0) return;
    g_pendingSignal = signal;
    const int saved = errno;
    WriteAll(g_lineHead, g_lineHeadLength);
    const char* name = SignalName(signal);
    WriteAll(name, std::strlen(name));
    WriteAll(g_lineTail, g_lineTailLength);
    errno = saved;
}

struct sigaction StopAction() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    return action;
}

// Installs the handler for each stop signal whose disposition is the
// default; a program's own handling (or SIG_IGN) is kept.
void InstallWhereDefault() {
    const struct sigaction action = StopAction();
    for (int signal : kStopSignals) {
        struct sigaction old {};
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) ::sigaction(signal, &action, nullptr);
    }
}

size_t CopyBounded(char* to, size_t size, const std::string& text) {
    const size_t length = std::min(text.size(), size - 1);
    std::memcpy(to, text.data(), length);
    to[length] = '\0';
    return length;
}

class LinuxInterruptions final : public Interruptions {
public:
    void Hold(const std::string& announcement) override {
        if (m_held) {
            // A new announcement: the handler must not run while the line
            // changes.
            sigset_t stops;
            sigset_t previous;
            sigemptyset(&stops);
            for (int signal : kStopSignals) sigaddset(&stops, signal);
            sigprocmask(SIG_BLOCK, &stops, &previous);
            g_lineTailLength = CopyBounded(g_lineTail, sizeof g_lineTail, ": " + announcement + "\n");
            sigprocmask(SIG_SETMASK, &previous, nullptr);
            return;
        }
        g_lineHeadLength = CopyBounded(g_lineHead, sizeof g_lineHead, g_program + ": ");
        g_lineTailLength = CopyBounded(g_lineTail, sizeof g_lineTail, ": " + announcement + "\n");
        const struct sigaction action = StopAction();
        g_held = 1;
        for (size_t i = 0; i < kStopSignals.size(); ++i) sigaction(kStopSignals[i], &action, &m_previous[i]);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &m_previousPipe);
        m_held = true;
    }

    void Release() override {
        if (!m_held) return;
        for (size_t i = 0; i < kStopSignals.size(); ++i) sigaction(kStopSignals[i], &m_previous[i], nullptr);
        g_held = 0;
        if (g_cleanupWanted) InstallWhereDefault();
        // With the output gone, a write to it must not end the program now.
        if (!m_outputLost && !g_writesFailToAGoneReader) sigaction(SIGPIPE, &m_previousPipe, nullptr);
        m_held = false;
    }

    StopRequest Pending() const override {
        switch (g_pendingSignal) {
        case SIGINT: return StopRequest::Interrupt;
        case SIGTERM: return StopRequest::Terminate;
        case SIGHUP: return StopRequest::HangUp;
        default: return StopRequest::None;
        }
    }

    void OutputLost() override {
        m_outputLost = true;
        if (m_held) KeepStatusDespiteLostOutput();
        if (!m_held) ::signal(SIGPIPE, SIG_IGN);
    }

private:
    bool m_held = false;
    bool m_outputLost = false;
    std::array<struct sigaction, kStopSignals.size()> m_previous{};
    struct sigaction m_previousPipe {};
};

}  // namespace

Interruptions& SystemInterruptions() {
    static LinuxInterruptions interruptions;
    return interruptions;
}

void SetInterruptionsProgramName(const char* program) { g_program = program; }

void InstallStopHandling() {
    g_cleanupWanted = true;
    if (g_held == 0) InstallWhereDefault();  // a hold's release installs it
}

void FailWritesToAGoneReader() {
    g_writesFailToAGoneReader = true;
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
