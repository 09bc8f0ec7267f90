// Waiting for input without spinning. A link waits for its unit's bytes by
// asking the platform object they come through (a MIDI input port, a UDP
// socket, the driver's device) to block until something may have arrived or
// a time-out has passed; the core never sees what that object waits on.
//
// The contract of every WaitFor... operation in platform/:
//  - It blocks the calling thread until the object may have something new
//    (bytes to read, a send finished), or until `timeoutMs` milliseconds of
//    platform::CurrentClock() have passed. A time-out of 0 only looks.
//  - Ready may come without anything new: callers read, and wait again when
//    nothing was there. Nothing is consumed by the wait itself.
//  - Nothing runs on the processor while nothing happens: no polling of a
//    flag, no sleeping in small steps where the object can be waited on.
//  - Simulated objects (the virtual ports, driver and units) never block in
//    real time on a virtual clock: the wait returns as soon as a unit's reply
//    is there, else it moves the clock on to the simulation's next timed
//    event (a transfer finishing, a unit's flash work) or to the time-out,
//    whichever comes first. Real objects (sockets, the sequencer) under a
//    virtual clock look in real time for at most a millisecond per
//    millisecond of the clock.
//  - The window's messages are not handled while a wait blocks: callers
//    keep a wait no longer than platform::CurrentUi().PumpDueInMs().
//
// On Linux the objects wait with poll(2) on their descriptors (the
// sequencer's poll descriptors, the socket, the driver's device node); the
// virtual objects wait on the clock. On Windows they wait with
// WaitForMultipleObjects on event HANDLEs: the one WinMM sets as a port's
// callback, one per socket tied to it by WSAEventSelect. The driver's fetch
// tells no readiness there; its wait is bounded to a millisecond.
#pragma once

#include <cstdint>

namespace platform {

enum class WaitResult : uint8_t {
    Ready,     // something may be there: read it
    TimedOut,  // the time-out passed and nothing came
    Failed,    // the object cannot be waited on (closed, gone, an error)
};

}  // namespace platform
