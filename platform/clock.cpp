#include "platform/clock.h"

namespace platform {

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
