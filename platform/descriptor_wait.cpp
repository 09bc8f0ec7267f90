#include "platform/descriptor_wait.h"

#include <cerrno>

#include "platform/clock.h"

namespace platform {

int PollFor(std::span<pollfd> fds, uint32_t timeoutMs) {
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        const uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        const bool virtualClock = clock.IsVirtual();
        const int n = poll(fds.data(), fds.size(), static_cast<int>(virtualClock && left > 0 ? 1 : left));
        if (n < 0 && errno == EINTR) continue;
        if (n != 0 || left == 0) return n < 0 ? -1 : n;
        if (virtualClock) clock.SleepMs(1);
    }
}

}  // namespace platform
