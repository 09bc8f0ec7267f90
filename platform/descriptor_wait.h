// poll(2) measured on the program's clock, for the Linux back-ends that wait
// on descriptors (the sequencer, sockets, the driver's device node).
#pragma once

#include <poll.h>

#include <cstdint>
#include <span>

namespace platform {

// Waits until one of `fds` is ready or `timeoutMs` milliseconds of
// CurrentClock() have passed: in real time on the system clock; on a virtual
// clock each millisecond of the clock is one real look of at most a
// millisecond. Returns poll's count with the revents filled in, 0 on the
// time-out, -1 on an error.
int PollFor(std::span<pollfd> fds, uint32_t timeoutMs);

}  // namespace platform
