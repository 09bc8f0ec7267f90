#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/ipv4_socket_address.h"
#include "platform/net.h"

namespace platform {

namespace {

bool ReadSysFile(const std::string& path, std::string& text) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    char buf[64] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    text.assign(buf, n);
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The kind as the system describes the interface: loopback by its flag,
// wireless by its wireless directory, virtual when no device backs it.
NetInterface::Kind InterfaceKind(const char* name, unsigned flags) {
    if (flags & IFF_LOOPBACK) return NetInterface::Kind::Loopback;
    const std::string base = std::string("/sys/class/net/") + name;
    if (PathExists(base + "/wireless") || PathExists(base + "/phy80211")) return NetInterface::Kind::Wireless;
    if (PathExists(base) && !PathExists(base + "/device")) return NetInterface::Kind::Virtual;
    return NetInterface::Kind::Adapter;
}

uint32_t LinkSpeed(const char* name) {
    std::string text;
    if (!ReadSysFile(std::string("/sys/class/net/") + name + "/speed", text)) return 0;
    const long speed = std::strtol(text.c_str(), nullptr, 10);
    return speed > 0 ? static_cast<uint32_t>(speed) : 0;
}

}  // namespace

bool StartSockets() { return true; }

int LastSocketError() { return errno; }

bool SocketErrorsAreWindows() { return false; }

int OpenUdpSocket(bool nonBlocking) {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
}

void CloseSocket(int socket) {
    if (socket >= 0) ::close(socket);
}

int SendOnSocket(int socket, const void* data, size_t length) {
    return ::send(socket, data, length, MSG_NOSIGNAL) < 0 ? errno : 0;
}

long ReceiveFromSocket(int socket, void* buffer, size_t size, uint32_t* address, uint16_t* port) {
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n = ::recvfrom(socket, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (n >= 0) {
        if (address != nullptr) *address = sender.sin_addr.s_addr;
        if (port != nullptr) *port = ntohs(sender.sin_port);
    }
    return static_cast<long>(n);
}

long SendToSocket(int socket, uint32_t address, uint16_t port, const void* data, size_t length) {
    const sockaddr_in to = Ipv4SocketAddress(address, port);
    ssize_t sent;
    do {
        sent = ::sendto(socket, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

int SocketLocalPort(int socket) {
    sockaddr_in self{};
    socklen_t length = sizeof self;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&self), &length) != 0 || self.sin_family != AF_INET)
        return -1;
    return ntohs(self.sin_port);
}

int PeekSocket(int socket) {
    char byte;
    const ssize_t n = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 ? -1 : (n == 0 ? 0 : 1);
}

bool SocketSelectable(int socket) { return socket >= 0 && socket < FD_SETSIZE; }

int SelectReadable(std::span<const int> sockets, int32_t timeoutUs, std::vector<int>& readable, int& error) {
    readable.clear();
    fd_set fds;
    FD_ZERO(&fds);
    int highest = -1;
    for (const int s : sockets) {
        if (!SocketSelectable(s)) continue;
        FD_SET(s, &fds);
        highest = std::max(highest, s);
    }
    timeval tv{timeoutUs / 1000000, timeoutUs % 1000000};
    const int n = ::select(highest + 1, &fds, nullptr, nullptr, timeoutUs < 0 ? nullptr : &tv);
    if (n < 0) {
        error = errno;
        return -1;
    }
    for (const int s : sockets) {
        if (SocketSelectable(s) && FD_ISSET(s, &fds)) readable.push_back(s);
    }
    return n;
}

bool ListNetInterfaces(std::vector<NetInterface>& interfaces, int& error) {
    interfaces.clear();
    ifaddrs* addrs = nullptr;
    if (::getifaddrs(&addrs) != 0) {
        error = errno;
        return false;
    }
    for (const ifaddrs* a = addrs; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        const unsigned index = ::if_nametoindex(a->ifa_name);
        // The first IPv4 address of an interface describes it.
        if (std::any_of(interfaces.begin(), interfaces.end(), [&](const NetInterface& e) { return e.index == index; }))
            continue;
        NetInterface e;
        e.name = a->ifa_name;
        e.adapterName = a->ifa_name;
        e.index = index;
        e.kind = InterfaceKind(a->ifa_name, a->ifa_flags);
        e.address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
        if (a->ifa_netmask != nullptr)
            e.netmask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr;
        e.up = (a->ifa_flags & IFF_RUNNING) != 0;
        e.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
        e.multicast = (a->ifa_flags & IFF_MULTICAST) != 0;
        e.linkSpeedMbps = LinkSpeed(a->ifa_name);
        for (const ifaddrs* p = addrs; p != nullptr; p = p->ifa_next) {
            if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_PACKET ||
                std::strcmp(p->ifa_name, a->ifa_name) != 0)
                continue;
            const auto* ll = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
            e.physicalLength = std::min<size_t>(ll->sll_halen, sizeof e.physical);
            std::memcpy(e.physical, ll->sll_addr, e.physicalLength);
            break;
        }
        interfaces.push_back(std::move(e));
    }
    ::freeifaddrs(addrs);
    return true;
}

}  // namespace platform
