// Socket primitives for the discovery library and the virtual units: socket
// ids, readiness over several sockets, sends that never raise a signal, one
// peeked byte, datagrams with their sender, the system's socket error codes,
// and the host's IPv4 interface list. BSD sockets and getifaddrs on Linux;
// Winsock 2 and GetAdaptersAddresses on Windows.
//
// Socket ids are plain ints on every system: a Winsock SOCKET is a small
// kernel handle value, which fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Network byte order of 16- and 32-bit values (and back: the same swap).
constexpr uint16_t NetOrder16(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }
constexpr uint32_t NetOrder32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}
static_assert(NetOrder32(0x7F000001u) == 0x0100007Fu, "a little-endian host is assumed");

// Starts the socket layer once for the process (WSAStartup); true when
// sockets can be used. The calls below start it themselves.
bool StartSockets();

// The last socket call's system error (errno, or WSAGetLastError()).
int LastSocketError();
// True when LastSocketError() gives Windows (Winsock) codes.
bool SocketErrorsAreWindows();

// A new IPv4 UDP socket, unbound; -1 on failure (LastSocketError() says why).
int OpenUdpSocket(bool nonBlocking);
void CloseSocket(int socket);

// Sends on a connected socket without raising SIGPIPE; 0, or the system
// error.
int SendOnSocket(int socket, const void* data, size_t length);
// One datagram of at most `size` bytes with its sender (network order
// address, host order port); -1 on error.
long ReceiveFromSocket(int socket, void* buffer, size_t size, uint32_t* address, uint16_t* port);
// One datagram to ADDRESS (network order) and PORT (host order) without
// raising SIGPIPE; the bytes sent, or -1 (LastSocketError() says why).
long SendToSocket(int socket, uint32_t address, uint16_t port, const void* data, size_t length);
// The local port (host order) a socket is bound to, or -1.
int SocketLocalPort(int socket);
// Looks at the next byte without taking it and without waiting: 1 when data
// waits, 0 when the peer has closed, -1 on error (would-block included).
int PeekSocket(int socket);

// Waits up to `timeoutUs` microseconds (negative: without limit) until one
// of `sockets` is readable; `readable` receives those that are. Returns their
// number, or -1 with `error` set to the system error. Ids that are not
// selectable are left out.
int SelectReadable(std::span<const int> sockets, int32_t timeoutUs, std::vector<int>& readable, int& error);
// Whether select can watch this id (on Linux only descriptors below
// FD_SETSIZE).
bool SocketSelectable(int socket);

// One IPv4 interface of the host, by its first IPv4 address.
struct NetInterface {
    enum class Kind { Adapter, Loopback, Wireless, Virtual };
    std::string name;         // "eth0", or the adapter's friendly name
    std::string adapterName;  // the system's name for the adapter
    uint32_t index = 0;
    Kind kind = Kind::Adapter;
    uint32_t address = 0;  // network order
    uint32_t netmask = 0;  // network order
    uint8_t physical[8] = {};
    size_t physicalLength = 0;
    bool up = false;
    bool loopback = false;
    bool multicast = false;
    uint32_t linkSpeedMbps = 0;
};

// The host's IPv4 interfaces in the system's order; false with the system
// error in `error` when the list cannot be had.
bool ListNetInterfaces(std::vector<NetInterface>& interfaces, int& error);

}  // namespace platform
