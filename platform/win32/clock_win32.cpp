// The clock on Windows: the multimedia millisecond clock (timeGetTime, which
// follows the timer resolution; GetTickCount moves in steps of 10 to 16 ms,
// too coarse for the MIDI link's "until the clock moves" polls), Sleep, the
// local time, and the timer resolution raised with timeBeginPeriod.
#include <windows.h>
// after windows.h
#include <mmsystem.h>

#include "platform/clock.h"

namespace platform {

uint32_t SystemClock::TickMs() { return timeGetTime(); }

void SystemClock::SleepMs(uint32_t ms) { Sleep(ms); }

LocalTime SystemClock::Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

int64_t WallClockMicroseconds() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    // 100 ns units since 1601-01-01; 11644473600 s lie between that and 1970.
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10u) - INT64_C(11644473600000000);
}

void RaiseTimerResolution() {
    // Raised once; it stays raised until the process ends.
    static const bool raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)raised;
}

}  // namespace platform
