// Stop requests on Linux: SIGINT, SIGTERM and SIGHUP are blocked and read
// from a signal descriptor, so that no handler has to reach into the
// program's loop and the loop can poll the descriptor with its devices.
// Threads started after Catch inherit the blocked signals, which is what
// lets the descriptor take requests sent to the whole process.
#include "platform/stop_requests.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/descriptor_wait.h"

namespace platform {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

bool g_catching = false;
sigset_t g_previousMask;

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : kStopSignals) sigaddset(&signals, signal);
    return signals;
}

StopRequest RequestOf(uint32_t signal) {
    switch (signal) {
    case SIGINT: return StopRequest::Interrupt;
    case SIGTERM: return StopRequest::Terminate;
    default: return StopRequest::HangUp;
    }
}

}  // namespace

bool StopRequests::Catch(std::string& error) {
    if (m_source >= 0) return true;
    if (g_catching) {
        error = "stop requests are caught elsewhere in this program";
        return false;
    }
    const sigset_t signals = StopSignals();
    if (pthread_sigmask(SIG_BLOCK, &signals, &g_previousMask) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const int fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        error = std::string("signalfd: ") + std::strerror(errno);
        pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
        return false;
    }
    m_source = fd;
    g_catching = true;
    return true;
}

StopRequests::~StopRequests() {
    if (m_source < 0) return;
    // What came and was not read would end the program once unblocked.
    const int fd = static_cast<int>(m_source);
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) > 0) {
    }
    close(fd);
    pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
    g_catching = false;
}

StopRequest StopRequests::Requested() {
    if (m_source < 0) return m_requested;
    signalfd_siginfo info{};
    // Each read takes one request; the first one is the one kept.
    while (read(static_cast<int>(m_source), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (m_requested == StopRequest::None) m_requested = RequestOf(info.ssi_signo);
    }
    return m_requested;
}

WaitResult StopRequests::Wait(uint32_t timeoutMs) {
    if (m_source < 0) return WaitResult::Failed;
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        if (Requested() != StopRequest::None) return WaitResult::Ready;
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) return WaitResult::TimedOut;
        pollfd fd{static_cast<int>(m_source), POLLIN, 0};
        if (PollFor(std::span(&fd, 1), timeoutMs - elapsed) < 0) return WaitResult::Failed;
    }
}

}  // namespace platform
