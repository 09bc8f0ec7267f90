// Requests from outside to stop the program: Ctrl-C, a request to terminate,
// the terminal going away (SIGINT, SIGTERM and SIGHUP on Linux; the console's
// control events on Windows), and output that can no longer be written (a
// reader of the standard output that went away). Normally they end the
// program as usual, once its registered temporaries are removed. While a unit's or card's flash is being erased or
// written, a FlashWriteGuard holds them back: the first request prints one
// line saying so, the sequence runs to its end, and the caller then stops
// the program in order; output errors meanwhile are ignored.
//
// The back-end behind CurrentInterruptions() is the system's (signal
// handlers on Linux); tests install a VirtualInterruptions.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class StopRequest : uint8_t { None, Interrupt, Terminate, HangUp };

// "SIGINT", "SIGTERM", "SIGHUP" (the back-end's names; "" for None).
const char* StopRequestName(StopRequest request);

class Interruptions {
public:
    virtual ~Interruptions() = default;
    // Holds stop requests back and ignores output errors until Release.
    // `announcement` completes the line printed on the error output when
    // the first request arrives: "<program>: <request>: <announcement>".
    // Called again while held, it replaces the announcement (a back-end
    // that cannot do so safely keeps the first).
    virtual void Hold(const std::string& announcement) = 0;
    // Stop requests act as usual again. One that arrived meanwhile stays
    // pending for the caller to act on.
    virtual void Release() = 0;
    // The first request that arrived while held (None when none did).
    virtual StopRequest Pending() const = 0;
    // The program's output can no longer be written. While held this is
    // ignored; afterwards output errors stay ignored for the rest of the run
    // (there is no reader left to tell).
    virtual void OutputLost() = 0;
};

// The process-wide back-end.
Interruptions& CurrentInterruptions();

// Installs a back-end for the lifetime of this object (tests).
class ScopedInterruptions {
public:
    explicit ScopedInterruptions(Interruptions& interruptions);
    ~ScopedInterruptions();
    ScopedInterruptions(const ScopedInterruptions&) = delete;
    ScopedInterruptions& operator=(const ScopedInterruptions&) = delete;

private:
    Interruptions* m_previous;
};

// Holds stop requests for its lifetime, announcing `announcement` for the
// first one. Holds nest: the innermost one's announcement is the one printed,
// the outer one's again once it ends, and the outermost one releases. An
// update of several units holds for the whole run, so that a request
// between two units stops the run before the next one.
class StopRequestHold {
public:
    explicit StopRequestHold(std::string announcement);
    ~StopRequestHold();
    StopRequestHold(const StopRequestHold&) = delete;
    StopRequestHold& operator=(const StopRequestHold&) = delete;

private:
    std::string m_announcement;
    StopRequestHold* m_outer;
};

// Holds stop requests for its lifetime: a unit's flash is being erased or
// written. `what` names it for the line and the log ("the Quil", "the
// VX-DANTE card"). Guards nest; the outermost one holds and releases.
class FlashWriteGuard {
public:
    explicit FlashWriteGuard(const std::string& what);
    ~FlashWriteGuard();
    FlashWriteGuard(const FlashWriteGuard&) = delete;
    FlashWriteGuard& operator=(const FlashWriteGuard&) = delete;

private:
    std::string m_what;
    bool m_outermost;
    bool m_pendingBefore;
    StopRequestHold m_hold;
};

// The announcement a guard gives: "<what> is being written; the program
// will stop when that is safe."
std::string FlashWriteAnnouncement(const std::string& what);

// A back-end driven by the test: Deliver() plays a request.
class VirtualInterruptions final : public Interruptions {
public:
    void Hold(const std::string& announcement) override;
    void Release() override;
    StopRequest Pending() const override { return m_pending; }
    void OutputLost() override { m_outputLost = true; }

    // A request arrives: held back (and announced) while held; otherwise it
    // would have ended the program, which is counted instead.
    void Deliver(StopRequest request);
    bool Held() const { return m_held; }
    int Holds() const { return m_holds; }
    // Requests that came while nothing was held.
    int Unheld() const { return m_unheld; }
    // The lines printed for held requests.
    const std::string& Printed() const { return m_printed; }
    bool OutputWasLost() const { return m_outputLost; }

private:
    bool m_held = false;
    int m_holds = 0;
    int m_unheld = 0;
    StopRequest m_pending = StopRequest::None;
    std::string m_announcement;
    std::string m_printed;
    bool m_outputLost = false;
};

// The system's back-end (interruptions_posix.cpp, win32/interruptions_win32.cpp), which
// CurrentInterruptions() uses unless a test installed another. `program`
// heads the printed line.
Interruptions& SystemInterruptions();
void SetInterruptionsProgramName(const char* program);

// The system's one handling of stop requests, installed where the program
// has none of its own (the request's disposition is still the system's
// default): outside a hold a request removes the temporaries registered in
// signal_cleanup.h and then ends the program as the system would; inside
// one it is held back as above. Registering a temporary installs it; a hold
// puts it back when it is released.
void InstallStopHandling();

// From now on a write to an output whose reader went away fails instead of
// ending the program (on Linux SIGPIPE is ignored for the rest of the run; on
// Windows such a write fails anyway). The console view asks for this so that
// it can tell a lost reader and act on it.
void FailWritesToAGoneReader();

}  // namespace platform
