// The wait for readable UDP sockets, on every system: select through the
// socket seam, measured on the program's clock.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/udp_socket.h"

namespace platform {

WaitResult UdpSocket::WaitReadable(uint32_t timeoutMs) {
    const UdpSocket* self = this;
    bool ready = false;
    return WaitAnyReadable(std::span(&self, 1), std::span(&ready, 1), timeoutMs);
}

WaitResult UdpSocket::WaitAnyReadable(std::span<const UdpSocket* const> sockets, std::span<bool> ready,
                                      uint32_t timeoutMs) {
    std::vector<int> ids;
    ids.reserve(sockets.size());
    for (const UdpSocket* socket : sockets) {
        if (socket == nullptr || socket->m_fd < 0 || !SocketSelectable(socket->m_fd)) return WaitResult::Failed;
        ids.push_back(socket->m_fd);
    }
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    std::vector<int> readable;
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        const uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        // On a virtual clock each of its milliseconds is one real look of
        // at most a millisecond.
        const bool virtualClock = clock.IsVirtual();
        const uint32_t lookMs = virtualClock && left > 0 ? 1 : left;
        int error = 0;
        const int n = SelectReadable(ids, static_cast<int32_t>(lookMs) * 1000, readable, error);
        if (n < 0 && error == EINTR) continue;
        if (n < 0) return WaitResult::Failed;
        if (n > 0) {
            for (size_t i = 0; i < ids.size() && i < ready.size(); ++i) {
                ready[i] = std::find(readable.begin(), readable.end(), ids[i]) != readable.end();
            }
            return WaitResult::Ready;
        }
        if (left == 0) return WaitResult::TimedOut;
        if (virtualClock) clock.SleepMs(1);
    }
}

}  // namespace platform
