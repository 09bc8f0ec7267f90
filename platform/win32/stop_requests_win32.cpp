// Stop requests on Windows: a console control handler notes the first event
// and sets an event HANDLE that the program's waits wait on. The handler
// runs on a thread of its own, so what it shares is atomic or set before it
// is installed. It is installed after the system's one handling of stop
// requests (interruptions.h), so that it runs first: a caught request never
// removes the temporaries of a save that is under way.
//
// After a close, logoff or shutdown event the system ends the program as
// soon as the handler returns, so the handler waits until the StopRequests
// object is destroyed (the system's own limit of a few seconds still holds).
#include <windows.h>

#include <atomic>

#include "platform/stop_requests.h"
#include "platform/win32/console_events.h"
#include "platform/win32/handle_wait.h"

namespace platform {

namespace {

std::atomic<int> g_requested{static_cast<int>(StopRequest::None)};
std::atomic<HANDLE> g_requestedEvent{nullptr};  // set by the handler
std::atomic<HANDLE> g_finishedEvent{nullptr};   // set when the program has stopped catching

BOOL WINAPI OnStopRequest(DWORD event) {
    int none = static_cast<int>(StopRequest::None);
    g_requested.compare_exchange_strong(none, static_cast<int>(win32::StopRequestOf(event)));
    SetEvent(g_requestedEvent.load());
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(g_finishedEvent.load(), INFINITE);
    }
    return TRUE;
}

}  // namespace

bool StopRequests::Catch(std::string& error) {
    if (m_source >= 0) return true;
    if (g_requestedEvent.load() != nullptr) {
        error = "stop requests are caught elsewhere in this program";
        return false;
    }
    HANDLE requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (requested == nullptr || finished == nullptr) {
        error = "cannot create an event (error " + std::to_string(GetLastError()) + ")";
        if (requested != nullptr) CloseHandle(requested);
        if (finished != nullptr) CloseHandle(finished);
        return false;
    }
    g_requested.store(static_cast<int>(StopRequest::None));
    g_requestedEvent.store(requested);
    g_finishedEvent.store(finished);
    InstallStopHandling();
    if (!SetConsoleCtrlHandler(OnStopRequest, TRUE)) {
        error = "cannot handle the console's events (error " + std::to_string(GetLastError()) + ")";
        g_requestedEvent.store(nullptr);
        g_finishedEvent.store(nullptr);
        CloseHandle(requested);
        CloseHandle(finished);
        return false;
    }
    m_source = reinterpret_cast<intptr_t>(requested);
    return true;
}

StopRequests::~StopRequests() {
    if (m_source < 0) return;
    SetConsoleCtrlHandler(OnStopRequest, FALSE);
    // A handler holding a close event back lets it go: the system may end
    // the program from here on. Its events stay open for a handler that is
    // still running.
    SetEvent(g_finishedEvent.load());
    g_requestedEvent.store(nullptr);
}

StopRequest StopRequests::Requested() {
    if (m_source >= 0 && m_requested == StopRequest::None) m_requested = static_cast<StopRequest>(g_requested.load());
    return m_requested;
}

WaitResult StopRequests::Wait(uint32_t timeoutMs) {
    if (m_source < 0) return WaitResult::Failed;
    const HANDLE event = reinterpret_cast<HANDLE>(m_source);
    return win32::WaitForHandles(std::span(&event, 1), timeoutMs, [this] { return Requested() != StopRequest::None; });
}

}  // namespace platform
