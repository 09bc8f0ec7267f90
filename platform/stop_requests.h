// Stop requests that a serving program catches, so that it ends in order
// (it saves its units) rather than being ended: SIGINT, SIGTERM and SIGHUP on
// Linux; on Windows the console's Ctrl-C, Ctrl-Break, close, logoff and
// shutdown events (Wine hands a SIGINT sent to a Windows program to it as
// its console's Ctrl-C). While caught, a request ends nothing by itself: the
// program looks at Requested() between its waits, or waits for one together
// with its devices (raw_midi_device.h).
//
// Requests are process-wide: one object catches them at a time. On Windows
// the system ends a program a few seconds after its console closes or the
// user logs off; until then the handler holds that event back while the
// program stops, and lets it go when the object is destroyed, so the object
// should outlive whatever the program saves on its way out.
#pragma once

#include <cstdint>
#include <string>

#include "platform/interruptions.h"
#include "platform/wait.h"

namespace platform {

class StopRequests {
public:
    StopRequests() = default;
    // Stops catching. Requests caught and not yet looked at are dropped.
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // Catches the requests from now on; false, with the system's reason in
    // `error`, when it cannot (or another object catches them already).
    bool Catch(std::string& error);
    // The first request caught so far; None while none came. Does not wait.
    StopRequest Requested();
    // Ready once a request has come (at once when one came before), TimedOut
    // after `timeoutMs` of CurrentClock() without one, Failed when nothing is
    // caught.
    WaitResult Wait(uint32_t timeoutMs);

    // What the system's waits wait on: the signal descriptor on Linux, the
    // event HANDLE on Windows; -1 while nothing is caught.
    intptr_t Source() const { return m_source; }

private:
    intptr_t m_source = -1;
    StopRequest m_requested = StopRequest::None;
};

}  // namespace platform
