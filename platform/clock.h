// Millisecond clock seam: the tick count every time limit is measured on,
// sleeping, and the local time stamped into the log.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps like the 32-bit system tick.
    virtual uint32_t TickMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
    virtual LocalTime Now() = 0;
    // True for a clock that moves only when told to (tests): waits on real
    // descriptors then look in real time for no more than a millisecond per
    // millisecond of this clock.
    virtual bool IsVirtual() const { return false; }
};

// The system's millisecond tick, sleep and local time: CLOCK_MONOTONIC,
// nanosleep and localtime_r on Linux; GetTickCount, Sleep and GetLocalTime on
// Windows.
class SystemClock final : public Clock {
public:
    uint32_t TickMs() override;
    void SleepMs(uint32_t ms) override;
    LocalTime Now() override;
};

// A clock that only moves when told to, so that time limits are tested without
// real waiting. Sleeping advances it; so does busy polling: after
// `spinReadsPerMs` reads of the tick without any other advance, the tick moves
// on by one millisecond, which lets the code's busy waits run out
// deterministically.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint32_t startMs = 1000) : m_tick(startMs) {}

    uint32_t TickMs() override;
    void SleepMs(uint32_t ms) override { Advance(ms); }
    LocalTime Now() override { return m_localTime; }
    bool IsVirtual() const override { return true; }

    void Advance(uint32_t ms);
    void SetLocalTime(const LocalTime& t) { m_localTime = t; }
    // 0 turns the spin advance off.
    void SetSpinReadsPerMs(uint32_t reads) { m_spinReadsPerMs = reads; }
    uint32_t Peek() const { return m_tick; }

private:
    uint32_t m_tick;
    uint32_t m_readsSinceAdvance = 0;
    uint32_t m_spinReadsPerMs = 16;
    LocalTime m_localTime{2026, 12, 8, 12, 0, 0};
};

// Microseconds since 1970-01-01 00:00 UTC on the system's wall clock.
int64_t WallClockMicroseconds();

// Raises the system timer's resolution to 1 ms for the rest of the process,
// so that sleeps and the tick count are that fine (timeBeginPeriod(1) on
// Windows; nothing to do on Linux). Calling it again does nothing more.
void RaiseTimerResolution();

// The process-wide clock every subsystem reads; the system clock unless a test
// or the demo mode installs another one.
Clock& CurrentClock();

// Installs a clock for the lifetime of this object (tests).
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* m_previous;
};

}  // namespace platform
