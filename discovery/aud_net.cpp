// The wall clock, socket sets and the host's IPv4 interface list.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "discovery/aud.h"
#include "platform/clock.h"

extern "C" {

aud_error_t aud_utime_get(aud_utime_t* out) {
    if (out == nullptr) return AUD_ERR_INVALIDPARAMETER;
    platform::Clock& clock = platform::CurrentClock();
    if (dynamic_cast<platform::SystemClock*>(&clock) != nullptr) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        out->tv_sec = static_cast<int32_t>(ts.tv_sec);
        out->tv_usec = static_cast<int32_t>(ts.tv_nsec / 1000);
    } else {
        const uint32_t ms = clock.TickMs();
        out->tv_sec = static_cast<int32_t>(ms / 1000u);
        out->tv_usec = static_cast<int32_t>((ms % 1000u) * 1000u);
    }
    return AUD_SUCCESS;
}

aud_utime_t aud_utime_add(aud_utime_t a, aud_utime_t b) {
    aud_utime_t r{a.tv_sec + b.tv_sec, a.tv_usec + b.tv_usec};
    r.tv_sec += r.tv_usec / 1000000;
    r.tv_usec %= 1000000;
    return r;
}

int aud_utime_compare(const aud_utime_t* a, const aud_utime_t* b) {
    if (a->tv_sec != b->tv_sec) return a->tv_sec < b->tv_sec ? -1 : 1;
    if (a->tv_usec != b->tv_usec) return a->tv_usec < b->tv_usec ? -1 : 1;
    return 0;
}

void aud_socket_set_init(aud_socket_set_t* set) {
    set->add_count = 0;
    set->count = 0;
    FD_ZERO(&set->fds);
}

int aud_socket_set_contains(const aud_socket_set_t* set, int socket) {
    return set != nullptr && socket >= 0 && socket < FD_SETSIZE && FD_ISSET(socket, &set->fds) ? 1 : 0;
}

void aud_socket_set_add(aud_socket_set_t* set, int socket) {
    if (set == nullptr || socket < 0 || socket >= FD_SETSIZE) return;
    for (int i = 0; i < set->count; ++i) {
        if (set->sockets[i] == socket) return;
    }
    if (set->count >= AUD_SOCKET_SET_MAX) return;
    set->sockets[set->count++] = socket;
    ++set->add_count;
    FD_SET(socket, &set->fds);
}

void aud_socket_set_remove(aud_socket_set_t* set, int socket) {
    if (set == nullptr || socket < 0 || socket >= FD_SETSIZE) return;
    for (int i = 0; i < set->count; ++i) {
        if (set->sockets[i] != socket) continue;
        std::memmove(&set->sockets[i], &set->sockets[i + 1], sizeof(int) * static_cast<size_t>(set->count - i - 1));
        --set->count;
        --set->add_count;
        break;
    }
    FD_CLR(socket, &set->fds);
}

int aud_socket_set_select(aud_socket_set_t* set, int32_t timeout_us, aud_error_t* error) {
    int highest = -1;
    for (int i = 0; i < set->count; ++i) highest = std::max(highest, set->sockets[i]);
    timeval tv{timeout_us / 1000000, timeout_us % 1000000};
    const int n = ::select(highest + 1, &set->fds, nullptr, nullptr, timeout_us < 0 ? nullptr : &tv);
    if (n < 0 && error != nullptr) *error = aud_error_from_system(errno);
    return n;
}

}  // extern "C"

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

// The class as the system describes the interface: loopback by its flag,
// wireless by its wireless directory, virtual when no device backs it.
int InterfaceClass(const char* name, unsigned flags) {
    if (flags & IFF_LOOPBACK) return AUD_INTERFACE_CLASS_LOOPBACK;
    const std::string base = std::string("/sys/class/net/") + name;
    if (PathExists(base + "/wireless") || PathExists(base + "/phy80211")) return AUD_INTERFACE_CLASS_WIRELESS;
    if (PathExists(base) && !PathExists(base + "/device")) return AUD_INTERFACE_CLASS_VIRTUAL;
    return AUD_INTERFACE_CLASS_ADAPTER;
}

uint32_t LinkSpeed(const char* name) {
    std::string text;
    if (!ReadSysFile(std::string("/sys/class/net/") + name + "/speed", text)) return 0;
    const long speed = std::strtol(text.c_str(), nullptr, 10);
    return speed > 0 ? static_cast<uint32_t>(speed) : 0;
}

void CopyText(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text); }

}  // namespace

extern "C" {

aud_error_t aud_interface_list_with_env(aud_env_t* env, aud_interface_t** out, unsigned* count) {
    if (out == nullptr || count == nullptr) return AUD_ERR_INVALIDPARAMETER;
    *out = nullptr;
    *count = 0;
    ifaddrs* addrs = nullptr;
    if (::getifaddrs(&addrs) != 0) return aud_error_from_system(errno);

    std::vector<aud_interface_t> list;
    for (const ifaddrs* a = addrs; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        const unsigned index = ::if_nametoindex(a->ifa_name);
        // The first IPv4 address of an interface describes it.
        if (std::any_of(list.begin(), list.end(), [&](const aud_interface_t& e) { return e.interface_index == index; }))
            continue;
        aud_interface_t e{};
        CopyText(e.display_name, sizeof e.display_name, a->ifa_name);
        CopyText(e.adapter_name, sizeof e.adapter_name, a->ifa_name);
        e.interface_index = index;
        e.pktinfo_index = static_cast<uint16_t>(index & 0xFFFFu);
        e.interface_class = InterfaceClass(a->ifa_name, a->ifa_flags);
        e.ip_address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
        if (a->ifa_netmask != nullptr)
            e.netmask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr;
        e.up = (a->ifa_flags & IFF_RUNNING) ? 1 : 0;
        e.loopback = (a->ifa_flags & IFF_LOOPBACK) ? 1 : 0;
        e.multicast = (a->ifa_flags & IFF_MULTICAST) ? 1 : 0;
        e.link_speed_mbps = LinkSpeed(a->ifa_name);
        for (const ifaddrs* p = addrs; p != nullptr; p = p->ifa_next) {
            if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_PACKET ||
                std::strcmp(p->ifa_name, a->ifa_name) != 0)
                continue;
            const auto* ll = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
            std::memcpy(e.physical_address, ll->sll_addr, std::min<size_t>(ll->sll_halen, sizeof e.physical_address));
            break;
        }
        aud_log(env, AUD_LOG_DEBUG, "%s: UP=%u TX=%u RX=%u\n", "aud_interface_list", e.up, e.link_speed_mbps,
                e.link_speed_mbps);
        list.push_back(e);
    }
    ::freeifaddrs(addrs);

    std::stable_sort(list.begin(), list.end(), [](const aud_interface_t& x, const aud_interface_t& y) {
        return x.interface_class != y.interface_class ? x.interface_class < y.interface_class
                                                      : x.interface_index < y.interface_index;
    });
    if (list.empty()) return AUD_SUCCESS;
    auto* result = static_cast<aud_interface_t*>(std::calloc(list.size(), sizeof(aud_interface_t)));
    if (result == nullptr) return AUD_ERR_NOMEMORY;
    std::copy(list.begin(), list.end(), result);
    *out = result;
    *count = static_cast<unsigned>(list.size());
    return AUD_SUCCESS;
}

void aud_interface_list_free(aud_interface_t* list) { std::free(list); }

aud_error_t aud_interface_find_loopback(aud_env_t* env, aud_interface_t* out) {
    aud_interface_t* list = nullptr;
    unsigned count = 0;
    const aud_error_t result = aud_interface_list_with_env(env, &list, &count);
    if (result != AUD_SUCCESS) return result;
    aud_error_t found = AUD_ERR_NOTFOUND;
    for (unsigned i = 0; i < count; ++i) {
        if (list[i].loopback) {
            if (out != nullptr) *out = list[i];
            found = AUD_SUCCESS;
            break;
        }
    }
    aud_interface_list_free(list);
    return found;
}

}  // extern "C"
