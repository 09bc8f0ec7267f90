// The wall clock, socket sets and the host's IPv4 interface list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/aud.h"
#include "platform/clock.h"
#include "platform/net.h"

extern "C" {

aud_error_t aud_utime_get(aud_utime_t* out) {
    if (out == nullptr) return AUD_ERR_INVALIDPARAMETER;
    platform::Clock& clock = platform::CurrentClock();
    if (dynamic_cast<platform::SystemClock*>(&clock) != nullptr) {
        const int64_t us = platform::WallClockMicroseconds();
        out->tv_sec = static_cast<int32_t>(us / 1000000);
        out->tv_usec = static_cast<int32_t>(us % 1000000);
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
}

namespace {

int SocketEntry(const aud_socket_set_t* set, int socket) {
    for (int i = 0; i < set->count; ++i) {
        if (set->sockets[i] == socket) return i;
    }
    return -1;
}

}  // namespace

int aud_socket_set_contains(const aud_socket_set_t* set, int socket) {
    if (set == nullptr) return 0;
    const int i = SocketEntry(set, socket);
    return i >= 0 && set->member[i] != 0 ? 1 : 0;
}

void aud_socket_set_add(aud_socket_set_t* set, int socket) {
    if (set == nullptr || !platform::SocketSelectable(socket)) return;
    if (SocketEntry(set, socket) >= 0) return;
    if (set->count >= AUD_SOCKET_SET_MAX) return;
    set->member[set->count] = 1;
    set->sockets[set->count++] = socket;
    ++set->add_count;
}

void aud_socket_set_remove(aud_socket_set_t* set, int socket) {
    if (set == nullptr) return;
    const int i = SocketEntry(set, socket);
    if (i < 0) return;
    const size_t after = static_cast<size_t>(set->count - i - 1);
    std::memmove(&set->sockets[i], &set->sockets[i + 1], sizeof(int) * after);
    std::memmove(&set->member[i], &set->member[i + 1], after);
    --set->count;
    --set->add_count;
}

int aud_socket_set_select(aud_socket_set_t* set, int32_t timeout_us, aud_error_t* error) {
    std::vector<int> watched;
    for (int i = 0; i < set->count; ++i) {
        if (set->member[i] != 0) watched.push_back(set->sockets[i]);
    }
    std::vector<int> readable;
    int system_error = 0;
    const int n = platform::SelectReadable(watched, timeout_us, readable, system_error);
    if (n < 0) {
        if (error != nullptr) *error = aud_error_from_socket_error(system_error);
        return n;
    }
    for (int i = 0; i < set->count; ++i) {
        set->member[i] = std::find(readable.begin(), readable.end(), set->sockets[i]) != readable.end() ? 1 : 0;
    }
    return n;
}

}  // extern "C"

namespace {

void CopyText(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text); }

int InterfaceClass(platform::NetInterface::Kind kind) {
    switch (kind) {
    case platform::NetInterface::Kind::Loopback: return AUD_INTERFACE_CLASS_LOOPBACK;
    case platform::NetInterface::Kind::Wireless: return AUD_INTERFACE_CLASS_WIRELESS;
    case platform::NetInterface::Kind::Virtual: return AUD_INTERFACE_CLASS_VIRTUAL;
    case platform::NetInterface::Kind::Adapter: break;
    }
    return AUD_INTERFACE_CLASS_ADAPTER;
}

}  // namespace

extern "C" {

aud_error_t aud_interface_list_with_env(aud_env_t* env, aud_interface_t** out, unsigned* count) {
    if (out == nullptr || count == nullptr) return AUD_ERR_INVALIDPARAMETER;
    *out = nullptr;
    *count = 0;
    std::vector<platform::NetInterface> found;
    int system_error = 0;
    if (!platform::ListNetInterfaces(found, system_error)) return aud_error_from_socket_error(system_error);

    std::vector<aud_interface_t> list;
    for (const platform::NetInterface& f : found) {
        aud_interface_t e{};
        CopyText(e.display_name, sizeof e.display_name, f.name.c_str());
        CopyText(e.adapter_name, sizeof e.adapter_name, f.adapterName.c_str());
        e.interface_index = f.index;
        e.pktinfo_index = static_cast<uint16_t>(f.index & 0xFFFFu);
        e.interface_class = InterfaceClass(f.kind);
        e.ip_address = f.address;
        e.netmask = f.netmask;
        e.up = f.up ? 1 : 0;
        e.loopback = f.loopback ? 1 : 0;
        e.multicast = f.multicast ? 1 : 0;
        e.link_speed_mbps = f.linkSpeedMbps;
        std::memcpy(e.physical_address, f.physical, std::min(f.physicalLength, sizeof e.physical_address));
        aud_log(env, AUD_LOG_DEBUG, "%s: UP=%u TX=%u RX=%u\n", "aud_interface_list", e.up, e.link_speed_mbps,
                e.link_speed_mbps);
        list.push_back(e);
    }

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
