// UDP sockets on Linux: BSD sockets, non-blocking through SOCK_NONBLOCK,
// waits with select through the socket seam.
#include "platform/udp_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/ipv4_socket_address.h"
#include "platform/net.h"

namespace platform {

namespace {

long ReceiveFrom(int fd, uint8_t* buffer, size_t size, uint32_t* from, int flags) {
    if (fd < 0) return -1;
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    ssize_t n;
    do {
        n = recvfrom(fd, buffer, size, flags, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && from != nullptr) *from = sender.sin_addr.s_addr;
    return static_cast<long>(n);
}

}  // namespace

bool UdpSocket::Create(bool nonBlocking) {
    Close();
    m_blocking = !nonBlocking;
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
    if (m_fd < 0) m_error = std::strerror(errno);
    return m_fd >= 0;
}

bool UdpSocket::Bind(uint32_t address, uint16_t port) {
    if (m_fd < 0) return false;
    const sockaddr_in a = Ipv4SocketAddress(address, port);
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return true;
    m_error = std::strerror(errno);
    return false;
}

long UdpSocket::Receive(uint8_t* buffer, size_t size, uint32_t* from) {
    return ReceiveFrom(m_fd, buffer, size, from, 0);
}

long UdpSocket::ReceiveWaiting(uint8_t* buffer, size_t size, uint32_t* from) {
    // A closed socket fails without a call, so errno tells nothing then.
    if (m_fd < 0) return -1;
    const long n = ReceiveFrom(m_fd, buffer, size, from, MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? kNothingWaiting : n;
}

void UdpSocket::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

// On Linux the wait is a select through the socket seam, measured on the
// program's clock.
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
