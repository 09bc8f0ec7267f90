#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"

namespace platform {

namespace {

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

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

UdpSocket::~UdpSocket() { Close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_blocking(other.m_blocking), m_error(std::move(other.m_error)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_blocking = other.m_blocking;
        m_error = std::move(other.m_error);
    }
    return *this;
}

bool UdpSocket::Create(bool nonBlocking) {
    Close();
    m_blocking = !nonBlocking;
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
    if (m_fd < 0) m_error = std::strerror(errno);
    return m_fd >= 0;
}

bool UdpSocket::Bind(uint32_t address, uint16_t port) {
    if (m_fd < 0) return false;
    const sockaddr_in a = SocketAddress(address, port);
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return true;
    m_error = std::strerror(errno);
    return false;
}

bool UdpSocket::SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) {
    if (m_fd < 0) return false;
    const sockaddr_in a = SocketAddress(address, port);
    ssize_t sent;
    do {
        sent = sendto(m_fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(length);
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

std::string Ipv4Text(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool ParseIpv4(const std::string& text, uint32_t& address) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    address = a.s_addr;
    return true;
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
