// Socket primitives on Windows: Winsock 2, started once for the process, and
// the host's interfaces from GetAdaptersAddresses.
#include "platform/win32/winsock.h"
//
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ipv4_socket_address.h"
#include "platform/net.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

constexpr ULONG kSoftwareLoopback = 24;  // IF_TYPE_SOFTWARE_LOOPBACK
constexpr ULONG kIeee80211 = 71;         // IF_TYPE_IEEE80211

uint32_t PrefixMask(unsigned length) {
    if (length == 0) return 0;
    const uint32_t host = length >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length);
    return NetOrder32(host);
}

uint32_t FirstIpv4(const SOCKET_ADDRESS& address) {
    if (address.lpSockaddr == nullptr || address.lpSockaddr->sa_family != AF_INET) return 0;
    return reinterpret_cast<const sockaddr_in*>(address.lpSockaddr)->sin_addr.s_addr;
}

}  // namespace

bool StartSockets() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int LastSocketError() { return WSAGetLastError(); }

bool SocketErrorsAreWindows() { return true; }

int OpenUdpSocket(bool nonBlocking) {
    if (!StartSockets()) return -1;
    const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return -1;
    u_long on = nonBlocking ? 1 : 0;
    if (nonBlocking && ioctlsocket(s, FIONBIO, &on) != 0) {
        const int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return -1;
    }
    return win32::FromSocket(s);
}

void CloseSocket(int socket) {
    if (socket >= 0) closesocket(win32::ToSocket(socket));
}

int SendOnSocket(int socket, const void* data, size_t length) {
    const int sent = send(win32::ToSocket(socket), static_cast<const char*>(data), static_cast<int>(length), 0);
    return sent == SOCKET_ERROR ? WSAGetLastError() : 0;
}

long ReceiveFromSocket(int socket, void* buffer, size_t size, uint32_t* address, uint16_t* port) {
    sockaddr_in sender{};
    int length = sizeof sender;
    const int n = recvfrom(win32::ToSocket(socket), static_cast<char*>(buffer), static_cast<int>(size), 0,
                           reinterpret_cast<sockaddr*>(&sender), &length);
    if (n == SOCKET_ERROR) return -1;
    if (address != nullptr) *address = sender.sin_addr.s_addr;
    if (port != nullptr) *port = ntohs(sender.sin_port);
    return n;
}

long SendToSocket(int socket, uint32_t address, uint16_t port, const void* data, size_t length) {
    const sockaddr_in to = Ipv4SocketAddress(address, port);
    const int sent = sendto(win32::ToSocket(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int SocketLocalPort(int socket) {
    sockaddr_in self{};
    int length = sizeof self;
    if (getsockname(win32::ToSocket(socket), reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        self.sin_family != AF_INET)
        return -1;
    return ntohs(self.sin_port);
}

int PeekSocket(int socket) {
    // Whether something waits, without waiting: a zero-time select, then the
    // peek itself.
    std::vector<int> readable;
    int error = 0;
    const int one[1] = {socket};
    if (SelectReadable(one, 0, readable, error) <= 0) {
        if (error == 0) WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    char byte;
    const int n = recv(win32::ToSocket(socket), &byte, 1, MSG_PEEK);
    if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEMSGSIZE ? 1 : -1;
    return n == 0 ? 0 : 1;
}

bool SocketSelectable(int socket) { return socket >= 0; }

int SelectReadable(std::span<const int> sockets, int32_t timeoutUs, std::vector<int>& readable, int& error) {
    readable.clear();
    fd_set fds;
    FD_ZERO(&fds);
    for (const int s : sockets) {
        if (SocketSelectable(s) && fds.fd_count < FD_SETSIZE) FD_SET(win32::ToSocket(s), &fds);
    }
    if (fds.fd_count == 0) {
        // Winsock refuses an empty select: wait out the time alone.
        if (timeoutUs > 0) Sleep(static_cast<DWORD>(timeoutUs / 1000));
        return 0;
    }
    timeval tv{timeoutUs / 1000000, timeoutUs % 1000000};
    const int n = select(0, &fds, nullptr, nullptr, timeoutUs < 0 ? nullptr : &tv);
    if (n == SOCKET_ERROR) {
        error = WSAGetLastError();
        return -1;
    }
    for (const int s : sockets) {
        if (SocketSelectable(s) && FD_ISSET(win32::ToSocket(s), &fds)) readable.push_back(s);
    }
    return n;
}

bool ListNetInterfaces(std::vector<NetInterface>& interfaces, int& error) {
    interfaces.clear();
    constexpr ULONG kFlags = GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_GATEWAYS;
    ULONG size = 16 * 1024;
    std::vector<uint8_t> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        result = GetAdaptersAddresses(AF_INET, kFlags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                      &size);
    }
    if (result == ERROR_NO_DATA) return true;
    if (result != ERROR_SUCCESS) {
        error = static_cast<int>(result);
        return false;
    }
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr; a = a->Next) {
        const IP_ADAPTER_UNICAST_ADDRESS* unicast = a->FirstUnicastAddress;
        while (unicast != nullptr && FirstIpv4(unicast->Address) == 0) unicast = unicast->Next;
        if (unicast == nullptr) continue;
        NetInterface e;
        e.name = win32::Narrow(a->FriendlyName != nullptr ? a->FriendlyName : L"");
        e.adapterName = a->AdapterName != nullptr ? a->AdapterName : "";
        if (e.name.empty()) e.name = e.adapterName;
        e.index = a->IfIndex;
        e.loopback = a->IfType == kSoftwareLoopback;
        e.kind = e.loopback                ? NetInterface::Kind::Loopback
                 : a->IfType == kIeee80211 ? NetInterface::Kind::Wireless
                                           : NetInterface::Kind::Adapter;
        e.address = FirstIpv4(unicast->Address);
        e.netmask = PrefixMask(unicast->OnLinkPrefixLength);
        e.physicalLength = std::min<size_t>(a->PhysicalAddressLength, sizeof e.physical);
        std::memcpy(e.physical, a->PhysicalAddress, e.physicalLength);
        e.up = a->OperStatus == IfOperStatusUp;
        e.multicast = (a->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
        e.linkSpeedMbps = a->TransmitLinkSpeed == a->ReceiveLinkSpeed && a->TransmitLinkSpeed != ~0ull
                              ? static_cast<uint32_t>(a->TransmitLinkSpeed / 1000000u)
                              : 0;
        interfaces.push_back(std::move(e));
    }
    return true;
}

}  // namespace platform
