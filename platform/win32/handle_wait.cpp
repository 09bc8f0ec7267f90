#include "platform/win32/handle_wait.h"

#include "platform/clock.h"

namespace platform::win32 {

WaitResult WaitForHandles(std::span<const HANDLE> handles, uint32_t timeoutMs, const std::function<bool()>& ready) {
    if (handles.empty() || handles.size() > MAXIMUM_WAIT_OBJECTS) return WaitResult::Failed;
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        if (ready()) return WaitResult::Ready;
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) return WaitResult::TimedOut;
        const bool virtualClock = clock.IsVirtual();
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                                    virtualClock ? 1 : timeoutMs - elapsed);
        if (result == WAIT_FAILED) return WaitResult::Failed;
        if (result == WAIT_TIMEOUT && virtualClock) clock.SleepMs(1);
    }
}

}  // namespace platform::win32
