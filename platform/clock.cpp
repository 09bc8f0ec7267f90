#include "platform/clock.h"

#include <ctime>

namespace platform {

uint32_t SystemClock::TickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SystemClock::SleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000u), static_cast<long>((ms % 1000u) * 1000000u)};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

LocalTime SystemClock::Now() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

uint32_t VirtualClock::TickMs() {
    if (m_spinReadsPerMs != 0 && ++m_readsSinceAdvance >= m_spinReadsPerMs) {
        ++m_tick;
        m_readsSinceAdvance = 0;
    }
    return m_tick;
}

void VirtualClock::Advance(uint32_t ms) {
    m_tick += ms;
    m_readsSinceAdvance = 0;
}

namespace {
SystemClock g_systemClock;
Clock* g_clock = &g_systemClock;
}  // namespace

Clock& CurrentClock() { return *g_clock; }

ScopedClock::ScopedClock(Clock& clock) : m_previous(g_clock) { g_clock = &clock; }
ScopedClock::~ScopedClock() { g_clock = m_previous; }

}  // namespace platform
