// WaitForMultipleObjects measured on the program's clock, for the Win32
// back-ends that wait on event HANDLEs (a MIDI port's callback event, a
// socket's WSAEventSelect event). The counterpart of descriptor_wait.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>

#include "platform/wait.h"

namespace platform::win32 {

// Looks at `ready` and, while it does not hold, blocks until one of
// `handles` is signalled or `timeoutMs` milliseconds of CurrentClock() have
// passed, then looks again: Ready once `ready` holds, TimedOut when the time
// ran out first, Failed when the handles cannot be waited on. In real time
// the wait is one system wait; on a virtual clock each millisecond of the
// clock is one real look of at most a millisecond.
WaitResult WaitForHandles(std::span<const HANDLE> handles, uint32_t timeoutMs, const std::function<bool()>& ready);

}  // namespace platform::win32
