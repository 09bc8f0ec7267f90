// UDP sockets on Linux: BSD sockets, non-blocking through SOCK_NONBLOCK,
// waits with poll.
#include "platform/udp_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ipv4_socket_address.h"

namespace platform {

bool UdpSocket::Create(bool nonBlocking) {
    Close();
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
    return m_fd >= 0;
}

bool UdpSocket::Bind(uint32_t address, uint16_t port) {
    if (m_fd < 0) return false;
    const sockaddr_in a = Ipv4SocketAddress(address, port);
    return bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

int UdpSocket::WaitReadable(int waitMs) {
    if (m_fd < 0) return -1;
    pollfd ready{m_fd, POLLIN, 0};
    const int n = poll(&ready, 1, waitMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n == 0) return 0;
    return (ready.revents & (POLLIN | POLLERR)) != 0 ? 1 : -1;
}

long UdpSocket::Receive(uint8_t* buffer, size_t size, uint32_t* from) {
    if (m_fd < 0) return -1;
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    ssize_t n;
    do {
        n = recvfrom(m_fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && from != nullptr) *from = sender.sin_addr.s_addr;
    return static_cast<long>(n);
}

void UdpSocket::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

}  // namespace platform
