// UDP sockets on Windows: Winsock 2, non-blocking through ioctlsocket.
#include "platform/win32/winsock.h"
//
#include <algorithm>
#include <span>
#include <vector>

#include "platform/ipv4_socket_address.h"
#include "platform/net.h"
#include "platform/udp_socket.h"
#include "platform/win32/handle_wait.h"
#include "platform/win32/wide_text.h"

namespace platform {

bool UdpSocket::Create(bool nonBlocking) {
    Close();
    m_blocking = !nonBlocking;
    m_fd = OpenUdpSocket(nonBlocking);
    if (m_fd < 0) m_error = win32::ErrorText(static_cast<DWORD>(WSAGetLastError()));
    return m_fd >= 0;
}

bool UdpSocket::Bind(uint32_t address, uint16_t port) {
    if (m_fd < 0) return false;
    const sockaddr_in a = Ipv4SocketAddress(address, port);
    // Windows lets a second socket take a bound port unless told not to.
    BOOL exclusive = TRUE;
    setsockopt(win32::ToSocket(m_fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    if (bind(win32::ToSocket(m_fd), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return true;
    m_error = win32::ErrorText(static_cast<DWORD>(WSAGetLastError()));
    return false;
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

long UdpSocket::ReceiveWaiting(uint8_t* buffer, size_t size, uint32_t* from) {
    if (m_fd < 0) return -1;
    std::vector<int> readable;
    int error = 0;
    const int id = m_fd;
    const int n = SelectReadable(std::span(&id, 1), 0, readable, error);
    if (n < 0) return -1;
    if (n == 0) return kNothingWaiting;
    return Receive(buffer, size, from);
}

// Each socket signals an event of its own when a datagram comes (its socket
// event); the wait blocks on all of them at once. What is already there
// before the events are tied is seen by a look without waiting, so the wait
// does not rely on Winsock signalling what came before.
WaitResult UdpSocket::WaitAnyReadable(std::span<const UdpSocket* const> sockets, std::span<bool> ready,
                                      uint32_t timeoutMs) {
    if (sockets.empty() || sockets.size() > MAXIMUM_WAIT_OBJECTS) return WaitResult::Failed;
    std::vector<int> ids;
    ids.reserve(sockets.size());
    for (const UdpSocket* socket : sockets) {
        if (socket == nullptr || socket->m_fd < 0) return WaitResult::Failed;
        ids.push_back(socket->m_fd);
    }
    std::vector<HANDLE> events;
    events.reserve(ids.size());
    const auto untie = [&] {
        for (size_t i = 0; i < events.size(); ++i) {
            const SOCKET s = win32::ToSocket(ids[i]);
            WSAEventSelect(s, nullptr, 0);
            WSACloseEvent(events[i]);
            // Tying an event made the socket non-blocking.
            u_long off = 0;
            if (sockets[i]->m_blocking) ioctlsocket(s, FIONBIO, &off);
        }
    };
    for (const int id : ids) {
        const HANDLE event = WSACreateEvent();
        if (event == WSA_INVALID_EVENT) {
            untie();
            return WaitResult::Failed;
        }
        events.push_back(event);
        if (WSAEventSelect(win32::ToSocket(id), event, FD_READ | FD_CLOSE) != 0) {
            untie();
            return WaitResult::Failed;
        }
    }
    bool failed = false;
    std::vector<int> readable;
    const WaitResult result = win32::WaitForHandles(events, timeoutMs, [&] {
        // Clears the events before the look, so that a datagram coming after
        // it signals again.
        for (size_t i = 0; i < events.size(); ++i) {
            WSANETWORKEVENTS happened{};
            WSAEnumNetworkEvents(win32::ToSocket(ids[i]), events[i], &happened);
        }
        int error = 0;
        const int n = SelectReadable(ids, 0, readable, error);
        failed = n < 0;
        return n != 0;
    });
    untie();
    if (failed) return WaitResult::Failed;
    if (result == WaitResult::Ready) {
        for (size_t i = 0; i < ids.size() && i < ready.size(); ++i) {
            ready[i] = std::find(readable.begin(), readable.end(), ids[i]) != readable.end();
        }
    }
    return result;
}

void UdpSocket::Close() {
    CloseSocket(m_fd);
    m_fd = -1;
}

}  // namespace platform
