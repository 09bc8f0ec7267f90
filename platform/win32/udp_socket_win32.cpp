// UDP sockets on Windows: Winsock 2, non-blocking through ioctlsocket.
#include "platform/win32/winsock.h"
//
#include "platform/ipv4_socket_address.h"
#include "platform/net.h"
#include "platform/udp_socket.h"

namespace platform {

bool UdpSocket::Create(bool nonBlocking) {
    Close();
    m_fd = OpenUdpSocket(nonBlocking);
    return m_fd >= 0;
}

bool UdpSocket::Bind(uint32_t address, uint16_t port) {
    if (m_fd < 0) return false;
    const sockaddr_in a = Ipv4SocketAddress(address, port);
    // Windows lets a second socket take a bound port unless told not to.
    BOOL exclusive = TRUE;
    setsockopt(win32::ToSocket(m_fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    return bind(win32::ToSocket(m_fd), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

int UdpSocket::WaitReadable(int waitMs) {
    if (m_fd < 0) return -1;
    WSAPOLLFD ready{win32::ToSocket(m_fd), POLLRDNORM, 0};
    const int n = WSAPoll(&ready, 1, waitMs);
    if (n < 0) return -1;
    if (n == 0) return 0;
    return (ready.revents & (POLLRDNORM | POLLERR)) != 0 ? 1 : -1;
}

long UdpSocket::Receive(uint8_t* buffer, size_t size, uint32_t* from) {
    if (m_fd < 0) return -1;
    for (;;) {
        sockaddr_in sender{};
        int senderLength = sizeof sender;
        const int n = recvfrom(win32::ToSocket(m_fd), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0,
                               reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n == SOCKET_ERROR) {
            // A datagram longer than the buffer arrives cut, as on Linux.
            if (WSAGetLastError() == WSAEMSGSIZE) {
                if (from != nullptr) *from = sender.sin_addr.s_addr;
                return static_cast<long>(size);
            }
            // An ICMP port-unreachable for an earlier send is reported here;
            // it says nothing about the datagrams waiting.
            if (WSAGetLastError() == WSAECONNRESET) continue;
            return -1;
        }
        if (from != nullptr) *from = sender.sin_addr.s_addr;
        return n;
    }
}

void UdpSocket::Close() {
    CloseSocket(m_fd);
    m_fd = -1;
}

}  // namespace platform
