// The socket address of an IPv4 address (network order) and a port (host
// order), for the socket back-ends of every system. Included after the
// system's socket header (netinet/in.h, or winsock2.h through win32/winsock.h).
#pragma once

#include <cstdint>

namespace platform {

inline sockaddr_in Ipv4SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

}  // namespace platform
