// Routing devices: a device opened by name is resolved, then its host's
// address is queried, and it becomes RESOLVED once one address is known.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "discovery/dnssd.h"
#include "discovery/dr_internal.h"
#include "platform/net.h"

namespace {

constexpr unsigned kRequestSlots = 16;
constexpr unsigned kReceiveBuffer = 1400;
constexpr unsigned kMaxRequest = 1400;
constexpr const char* kArcpService = "_netaudio-arc._udp.";
// ForceMulticast | LongLivedQuery; Avahi refuses any flags, so a refusal is
// asked again with none.
constexpr DNSServiceFlags kQueryFlags = dnssd::kDNSServiceFlagsForceMulticast | dnssd::kDNSServiceFlagsLongLivedQuery;

struct RequestSlot {
    bool in_use = false;
    uint16_t seqnum = 0;
    dr_device_t* device = nullptr;
    void (*done)(void* context, const dr_arcp_header_t* response) = nullptr;
    void* done_context = nullptr;
    std::array<uint8_t, kMaxRequest> packet{};
};

struct AddressSlot {
    dr_device_t* device = nullptr;
    unsigned flags = 0;
    uint32_t interface_index = 0;
    DNSServiceRef ref = nullptr;
    int socket = -1;
    char host[1009] = "";
    uint16_t pending_port = 0;
    // The device's control address: IPv4 address and port, both in network
    // order; `known` once an address record or the loopback has given it.
    struct {
        bool known = false;
        uint32_t ip = 0;
        uint16_t port = 0;
    } address;
};

}  // namespace

struct dr_device {
    dr_devices_t* devices = nullptr;
    aud_env_t* env = nullptr;
    void* context = nullptr;
    dr_device_changed_fn changed = nullptr;
    std::vector<AddressSlot> slots;
    aud_error_t address_error = AUD_SUCCESS;
    int state = DR_DEVICE_STATE_RESOLVING;
    bool safe_mode = false;
    db_version_t router_version{};
    uint16_t arcp_version = DR_ARCP_VERSION_DEFAULT;
    char name[40] = "";
    unsigned changes = 0;
    bool processing = false;
    aud_error_t state_error = AUD_SUCCESS;
    char state_message[128] = "";
};

struct dr_devices {
    aud_env_t* env = nullptr;
    uint32_t loopback_index = 0;
    uint32_t loopback_ip = 0;  // network order
    std::unique_ptr<RequestSlot[]> requests;
    int arcp_socket = -1;
    uint16_t next_seqnum = 1;
    std::vector<dr_device_t*> open;
    void* context = nullptr;
    dr_devices_fn sockets_cb = nullptr;
    bool processing = false;
    bool sockets_changed = false;
    std::array<uint8_t, kReceiveBuffer> buffer{};
    uint32_t sender_ip = 0;  // of the last datagram received, network order
    uint16_t sender_port = 0;
};

namespace {

constexpr const char* kStateNames[] = {"ERROR", "RESOLVING", "RESOLVED", "QUERYING", "ACTIVE"};

void SignalSocketsChanged(dr_devices_t* d) {
    if (d->processing) {
        d->sockets_changed = true;
    } else if (d->sockets_cb != nullptr) {
        d->sockets_cb(d);
    }
}

void StopSlot(AddressSlot& slot) {
    if (slot.ref == nullptr && (slot.flags & (DR_ADDRESS_RESOLVING | DR_ADDRESS_QUERYING)) == 0) return;
    dnssd::DNSServiceRefDeallocate(slot.ref);
    slot.ref = nullptr;
    slot.socket = -1;
    slot.flags &= ~static_cast<unsigned>(DR_ADDRESS_RESOLVING | DR_ADDRESS_QUERYING);
    SignalSocketsChanged(slot.device->devices);
}

void SetState(dr_device_t* dev, int state, aud_error_t code, const char* message) {
    if (dev->state == state) return;
    aud_log(dev->env, AUD_LOG_DEBUG, "%s(%s): Setting state to %s (was %s)\n", "dr_device_set_state", dev->name,
            dr_device_state_name(state), dr_device_state_name(dev->state));
    dev->state = state;
    dev->state_error = code;
    std::snprintf(dev->state_message, sizeof dev->state_message, "%s", message != nullptr ? message : "");
    if (dev->processing)
        dev->changes |= DR_DEVICE_CHANGE_STATE;
    else if (dev->changed != nullptr)
        dev->changed(dev, DR_DEVICE_CHANGE_STATE);
}

aud_error_t ResolveSlot(dr_device_t* dev, AddressSlot& slot) {
    StopSlot(slot);
    slot.flags &= ~static_cast<unsigned>(DR_ADDRESS_KNOWN);
    slot.host[0] = '\0';
    slot.pending_port = 0;
    slot.interface_index = 0;
    const DNSServiceErrorType e = dnssd::DNSServiceResolve(&slot.ref, 0, 0, dev->name, kArcpService, "local",
                                                           device_address_resolve_callback, &slot);
    if (e != dnssd::kDNSServiceErr_NoError || slot.ref == nullptr) {
        slot.ref = nullptr;
        return AUD_ERR_DNSSDFAIL;
    }
    slot.socket = dnssd::DNSServiceRefSockFD(slot.ref);
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: Resolving device '%s' on interface %d using socket %d\n",
            "dr_device_addresses_resolve_address_at_index", dev->name, 0, slot.socket);
    slot.flags |= DR_ADDRESS_RESOLVING;
    SignalSocketsChanged(dev->devices);
    return AUD_SUCCESS;
}

aud_error_t QuerySlot(dr_device_t* dev, AddressSlot& slot) {
    constexpr const char* kOp = "dr_device_address_process_socket";
    DNSServiceErrorType e =
        dnssd::DNSServiceQueryRecord(&slot.ref, kQueryFlags, 0, slot.host, dnssd::kDNSServiceType_A,
                                     dnssd::kDNSServiceClass_IN, device_address_query_callback, &slot);
    if (e == dnssd::kDNSServiceErr_Unsupported) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: address query flags refused for %s, asking without flags\n", kOp,
                dev->name);
        slot.ref = nullptr;
        e = dnssd::DNSServiceQueryRecord(&slot.ref, 0, 0, slot.host, dnssd::kDNSServiceType_A,
                                         dnssd::kDNSServiceClass_IN, device_address_query_callback, &slot);
    }
    if (e != dnssd::kDNSServiceErr_NoError || slot.ref == nullptr) {
        aud_log(dev->env, AUD_LOG_ERROR, "%s: Error querying device %s: %d\n", kOp, dev->name, e);
        slot.ref = nullptr;
        return AUD_ERR_DNSSDFAIL;
    }
    slot.flags |= DR_ADDRESS_QUERYING;
    slot.socket = dnssd::DNSServiceRefSockFD(slot.ref);
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: Querying device %s using socket %d\n", kOp, dev->name, slot.socket);
    SignalSocketsChanged(dev->devices);
    return AUD_SUCCESS;
}

// Processes one readable DNS-SD socket of a slot; *obtained is set when the
// slot now has an address.
aud_error_t ProcessSlot(dr_device_t* dev, AddressSlot& slot, bool* obtained) {
    constexpr const char* kOp = "dr_device_address_process_socket";
    std::vector<int> readable;
    int select_error = 0;
    const int ready = platform::SelectReadable(std::span(&slot.socket, 1), 0, readable, select_error);
    if (ready == 0) {
        std::fprintf(stderr,
                     "%s(device=%s state=%d sdref=%p socket=%d): ERROR, about to read blocked mDNS socket (select "
                     "returned %d)\n",
                     kOp, dev->name, dev->state, static_cast<void*>(slot.ref), slot.socket, ready);
        return AUD_ERR_INVALIDSTATE;
    }
    if (ready < 0) {
        std::fprintf(stderr,
                     "%s(device=%s state=%d sdref=%p socket=%d): ERROR, about to read blocked mDNS socket (select "
                     "returned %d errno=%d)\n",
                     kOp, dev->name, dev->state, static_cast<void*>(slot.ref), slot.socket, ready, select_error);
    }
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result starting!\n", kOp);
    dev->address_error = AUD_SUCCESS;
    const int32_t result = dt_dns_sd_process_result(slot.socket, slot.ref);
    if (result != 0) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, dns error=%d!\n", kOp, result);
        StopSlot(slot);
        return AUD_ERR_DNSSDFAIL;
    }
    if (dev->address_error != AUD_SUCCESS) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, library error=%d!\n", kOp,
                dev->address_error);
        StopSlot(slot);
        return dev->address_error;
    }
    if (slot.flags & DR_ADDRESS_QUERYING) {
        if (slot.flags & DR_ADDRESS_KNOWN) {
            aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, queried an address\n", kOp);
            StopSlot(slot);
            *obtained = true;
        } else {
            aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, query still pending\n", kOp);
        }
        return AUD_SUCCESS;
    }
    if (slot.flags & DR_ADDRESS_RESOLVING) {
        if (slot.flags & DR_ADDRESS_KNOWN) {
            aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, resolved an address\n", kOp);
            StopSlot(slot);
            *obtained = true;
            return AUD_SUCCESS;
        }
        if (slot.host[0] == '\0') {
            aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, resolve still pending\n", kOp);
            return AUD_SUCCESS;
        }
        StopSlot(slot);
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: dt_dns_sd_process_result finished, resolve finished, time to query\n",
                kOp);
        return QuerySlot(dev, slot);
    }
    return AUD_ERR_INVALIDSTATE;
}

aud_error_t ProcessDevice(dr_device_t* dev, aud_socket_set_t* readable) {
    dev->processing = true;
    dev->changes = 0;
    bool obtained = false;
    aud_error_t result = AUD_SUCCESS;
    for (AddressSlot& slot : dev->slots) {
        const int socket = slot.socket;
        if (socket < 0 || !aud_socket_set_contains(readable, socket)) continue;
        result = ProcessSlot(dev, slot, &obtained);
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: removing processed socket %d (%s) from active sockets\n",
                "dr_device_process", socket, dev->name);
        aud_socket_set_remove(readable, socket);
        if (result != AUD_SUCCESS) break;
    }
    if (obtained) {
        dev->changes |= DR_DEVICE_CHANGE_ADDRESSES;
        const bool any = std::any_of(dev->slots.begin(), dev->slots.end(),
                                     [](const AddressSlot& s) { return (s.flags & DR_ADDRESS_KNOWN) != 0; });
        if (dev->state == DR_DEVICE_STATE_RESOLVING && any) SetState(dev, DR_DEVICE_STATE_RESOLVED, AUD_SUCCESS, "");
    }
    dev->processing = false;
    if (dev->changes != 0 && dev->changed != nullptr) dev->changed(dev, dev->changes);
    return result;
}

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void ProcessMessage(dr_devices_t* d, const uint8_t* data, unsigned length) {
    constexpr const char* kOp = "dr_devices_process_message";
    aud_log(d->env, AUD_LOG_DEBUG, "%s: Got a message (%u bytes)", kOp, length);
    dr_arcp_header_t header{};
    if (!dr_arcp_header_read(data, length, &header)) return;
    if (header.result == 0) {
        aud_log(d->env, AUD_LOG_DEBUG, "%s: Unexpected request seqnum=0x%04x opcode=0x%04x", kOp, header.seqnum,
                header.opcode);
        return;
    }
    for (unsigned i = 0; i < kRequestSlots; ++i) {
        RequestSlot& slot = d->requests[i];
        if (!slot.in_use || slot.seqnum != header.seqnum) continue;
        // No requests are sent yet; a matched response completes its slot.
        if (slot.done != nullptr) slot.done(slot.done_context, &header);
        slot = RequestSlot{};
        aud_log(d->env, AUD_LOG_DEBUG, "%s: finished", kOp);
        return;
    }
    aud_log(d->env, AUD_LOG_DEBUG, "%s: Unhandled response seqnum=0x%04x opcode=0x%04x", kOp, header.seqnum,
            header.opcode);
}

}  // namespace

extern "C" {

int dr_arcp_header_read(const uint8_t* data, unsigned length, dr_arcp_header_t* out) {
    if (data == nullptr || out == nullptr || length < DR_ARCP_HEADER_SIZE) return 0;
    out->protocol_version = ReadBe16(data);
    out->length = ReadBe16(data + 2);
    out->seqnum = ReadBe16(data + 4);
    out->opcode = ReadBe16(data + 6);
    out->result = ReadBe16(data + 8);
    return 1;
}

void dr_arcp_header_write(const dr_arcp_header_t* h, uint8_t* out) {
    const uint16_t fields[5] = {h->protocol_version, h->length, h->seqnum, h->opcode, h->result};
    for (int i = 0; i < 5; ++i) {
        out[2 * i] = static_cast<uint8_t>(fields[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(fields[i] & 0xFF);
    }
}

const char* dr_device_state_name(int state) {
    return state >= 0 && state <= DR_DEVICE_STATE_ACTIVE ? kStateNames[state] : "UNKNOWN";
}

void* dr_device_address_slot(dr_device_t* device) { return device->slots.empty() ? nullptr : &device->slots[0]; }
aud_error_t dr_device_address_error(const dr_device_t* device) { return device->address_error; }

void device_address_resolve_callback(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                                     DNSServiceErrorType error, const char* fullname, const char* host_target,
                                     uint16_t port, uint16_t txt_len, const unsigned char* txt, void* context) {
    auto* slot = static_cast<AddressSlot*>(context);
    dr_device_t* dev = slot->device;
    dr_devices_t* d = dev->devices;
    constexpr const char* kOp = "device_address_resolve_callback";
    if (error != dnssd::kDNSServiceErr_NoError) {
        aud_log(dev->env, AUD_LOG_ERROR, "%s: dnssd error resolving record '%s': %d\n", kOp, dev->name, error);
        dev->address_error = AUD_ERR_DNSSDFAIL;
        return;
    }
    if (slot->interface_index == 0) {
        slot->interface_index = interface_index;
    } else if (interface_index != slot->interface_index && interface_index != d->loopback_index) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: Resolved device '%s' on invalid interface index %u using socket %d\n",
                kOp, dev->name, interface_index, slot->socket);
        return;
    }
    if (slot->pending_port != 0) return;
    const uint16_t host_port = static_cast<uint16_t>((port >> 8) | (port << 8));
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: Resolved device '%s' using socket %d\n", kOp, dev->name, slot->socket);
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: interface_index=%u flags=0x%08x fullname=%s hosttarget=%s port=%u)\n", kOp,
            interface_index, flags, fullname != nullptr ? fullname : "", host_target != nullptr ? host_target : "",
            host_port);
    if (d->loopback_index != 0 && interface_index == d->loopback_index) {
        slot->address = {true, d->loopback_ip, port};
        slot->flags |= DR_ADDRESS_KNOWN;
        slot->host[0] = '\0';
        slot->pending_port = 0;
    } else {
        std::snprintf(slot->host, sizeof slot->host, "%s", host_target != nullptr ? host_target : "");
        slot->pending_port = host_port;
    }
    if (dnssd::TXTRecordContainsKey(txt_len, txt, "safe")) {
        aud_log(dev->env, AUD_LOG_ERROR, "%s: txt record has 'safe' key, marking as being in safe mode\n", kOp);
        dev->safe_mode = true;
        return;
    }
    auto read_version = [&](const char* key, db_version_t& v) -> int {
        uint8_t length = 0;
        const void* p = dnssd::TXTRecordGetValuePtr(txt_len, txt, key, &length);
        if (p == nullptr || length == 0 || length > 63) {
            aud_log(dev->env, AUD_LOG_ERROR, "%s: txt record has missing or empty field '%s'\n", kOp, key);
            return -1;
        }
        // Three numbers, as "%u.%u.%u" reads them; what follows is not looked at.
        if (db_version_from_text(&v, static_cast<const char*>(p), length) != 3) return 0;
        return 1;
    };
    db_version_t arcp{};
    const int arcp_ok = read_version("arcp_vers", arcp);
    if (arcp_ok <= 0) {
        if (arcp_ok == 0) aud_log(dev->env, AUD_LOG_ERROR, "%s: error parsing txt record field 'arcp_vers'\n", kOp);
        dev->address_error = AUD_ERR_DNSSDFAIL;
        return;
    }
    dev->arcp_version = static_cast<uint16_t>((arcp.major << 12) | ((arcp.minor << 8) & 0x0FFF) | (arcp.patch & 0xFF));
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: device %s has arcp version %u.%u.%u (0x%04x)\n", kOp, dev->name, arcp.major,
            arcp.minor, arcp.patch, dev->arcp_version);
    db_version_t router{};
    const int router_ok = read_version("router_vers", router);
    if (router_ok <= 0 || router.major == 0) {
        if (router_ok >= 0) aud_log(dev->env, AUD_LOG_ERROR, "%s: error parsing txt record field 'router_vers'\n", kOp);
        dev->address_error = AUD_ERR_DNSSDFAIL;
        return;
    }
    dev->router_version = router;
    aud_log(dev->env, AUD_LOG_DEBUG, "%s: device %s has apec version %u.%u.%u\n", kOp, dev->name, router.major,
            router.minor, router.patch);
}

void device_address_query_callback(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index,
                                   DNSServiceErrorType error, const char*, uint16_t, uint16_t, uint16_t rdlen,
                                   const void* rdata, uint32_t, void* context) {
    auto* slot = static_cast<AddressSlot*>(context);
    dr_device_t* dev = slot->device;
    constexpr const char* kOp = "device_address_query_callback";
    if (slot->pending_port == 0) return;
    if (error != dnssd::kDNSServiceErr_NoError) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: dnssd error querying device %s: %d\n", kOp, dev->name, error);
        dev->address_error = AUD_ERR_DNSSDFAIL;
        return;
    }
    if (slot->interface_index == 0) {
        slot->interface_index = interface_index;
    } else if (interface_index != slot->interface_index && interface_index != dev->devices->loopback_index) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: Query result for %s on invalid interface %u\n", kOp, dev->name,
                interface_index);
        return;
    }
    if (rdlen != 4 || rdata == nullptr) {
        aud_log(dev->env, AUD_LOG_DEBUG, "%s: invalid rdlen querying device %s: %d\n", kOp, dev->name, rdlen);
        dev->address_error = AUD_ERR_INVALIDDATA;
        return;
    }
    const auto* ip = static_cast<const uint8_t*>(rdata);
    slot->address = {true, 0, platform::NetOrder16(slot->pending_port)};
    std::memcpy(&slot->address.ip, ip, 4);
    aud_log(dev->env, AUD_LOG_DEBUG,
            "%s: queried device %s on interface %u using socket %d (flags=0x%08x host=%u.%u.%u.%u)\n", kOp, dev->name,
            interface_index, slot->socket, flags, ip[0], ip[1], ip[2], ip[3]);
    slot->host[0] = '\0';
    slot->flags |= DR_ADDRESS_KNOWN;
    slot->pending_port = 0;
}

aud_error_t dr_devices_new(aud_env_t* env, dr_devices_t** out) {
    constexpr const char* kOp = "dr_devices_new";
    if (out == nullptr) return AUD_ERR_INVALIDPARAMETER;
    auto* d = new (std::nothrow) dr_devices();
    if (d == nullptr) return AUD_ERR_NOMEMORY;
    d->env = env;
    aud_interface_t loopback{};
    const aud_error_t found = aud_interface_find_loopback(env, &loopback);
    if (found == AUD_SUCCESS) {
        d->loopback_index = loopback.interface_index;
        d->loopback_ip = loopback.ip_address;
        aud_log(env, AUD_LOG_DEBUG, "%s: Found localhost interface with index %d\n", kOp,
                static_cast<int>(d->loopback_index));
    } else {
        aud_log(env, AUD_LOG_WARNING, "%s: Error getting localhost interface index: %d\n", kOp, found);
    }
    d->requests.reset(new (std::nothrow) RequestSlot[kRequestSlots]);
    if (!d->requests) {
        delete d;
        return AUD_ERR_NOMEMORY;
    }
    aud_log(env, AUD_LOG_DEBUG, "%s: creating INET socket\n", "dr_devices_enable_socket_inet");
    // Unbound: the system picks the local port with the first datagram. An
    // unconnected UDP socket here never reports ICMP port-unreachable as a
    // receive error, so nothing needs switching off for that.
    const int s = platform::OpenUdpSocket(true);
    if (s < 0) {
        const aud_error_t result = aud_error_from_socket_error(platform::LastSocketError());
        delete d;
        return result;
    }
    d->arcp_socket = s;
    aud_log(env, AUD_LOG_DEBUG, "%s: opened arcp comms socket %d\n", kOp, s);
    *out = d;
    return AUD_SUCCESS;
}

aud_error_t dr_devices_delete(dr_devices_t* d) {
    if (d == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (!d->open.empty()) return AUD_ERR_INVALIDSTATE;
    aud_log(d->env, AUD_LOG_DEBUG, "%s: closing arcp comms socket %d\n", "dr_devices_delete", d->arcp_socket);
    if (d->arcp_socket >= 0) platform::CloseSocket(d->arcp_socket);
    delete d;
    return AUD_SUCCESS;
}

void dr_devices_set_context(dr_devices_t* d, void* context) { d->context = context; }
void* dr_devices_get_context(const dr_devices_t* d) { return d->context; }
void dr_devices_set_sockets_callback(dr_devices_t* d, dr_devices_fn fn) { d->sockets_cb = fn; }
int dr_devices_get_arcp_socket(const dr_devices_t* d) { return d->arcp_socket; }

aud_error_t dr_devices_get_sockets(const dr_devices_t* d, aud_socket_set_t* set) {
    if (d == nullptr || set == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (d->arcp_socket >= 0) aud_socket_set_add(set, d->arcp_socket);
    for (const dr_device_t* dev : d->open) {
        for (const AddressSlot& slot : dev->slots) {
            if (slot.socket >= 0) aud_socket_set_add(set, slot.socket);
        }
    }
    return AUD_SUCCESS;
}

aud_error_t dr_devices_process(dr_devices_t* d, aud_socket_set_t* readable) {
    constexpr const char* kOp = "dr_devices_process";
    if (d == nullptr || readable == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (d->arcp_socket < 0) return AUD_ERR_NOTCONN;
    d->processing = true;
    // A device's callback may close devices: walk a copy.
    const std::vector<dr_device_t*> devices = d->open;
    for (dr_device_t* dev : devices) {
        if (std::find(d->open.begin(), d->open.end(), dev) == d->open.end()) continue;
        const aud_error_t result = ProcessDevice(dev, readable);
        if (result != AUD_SUCCESS) {
            char text[AUD_ERROR_TEXT_SIZE];
            aud_log(d->env, AUD_LOG_ERROR, "%s: Error processing sockets: %s", kOp, aud_error_text(result, text));
        }
    }
    aud_error_t result = AUD_SUCCESS;
    if (aud_socket_set_contains(readable, d->arcp_socket)) {
        aud_socket_set_remove(readable, d->arcp_socket);
        for (;;) {
            const long n = platform::ReceiveFromSocket(d->arcp_socket, d->buffer.data(), d->buffer.size(),
                                                       &d->sender_ip, &d->sender_port);
            if (n < 0) {
                const aud_error_t e = aud_error_from_socket_error(platform::LastSocketError());
                if (e == AUD_ERR_TIMEDOUT) break;
                if (e != AUD_ERR_INTERRUPTED) {
                    char text[AUD_ERROR_TEXT_SIZE];
                    aud_log(d->env, AUD_LOG_ERROR, "%s: Error reading socket %d: %s", kOp, d->arcp_socket,
                            aud_error_text(e, text));
                }
                result = e;
                break;
            }
            ProcessMessage(d, d->buffer.data(), static_cast<unsigned>(n));
        }
    }
    d->processing = false;
    if (d->sockets_changed) {
        d->sockets_changed = false;
        if (d->sockets_cb != nullptr) d->sockets_cb(d);
    }
    return result;
}

aud_error_t dr_device_open_remote(dr_devices_t* d, const char* name, dr_device_t** out) {
    constexpr const char* kOp = "dr_device_open_with_config";
    if (d == nullptr || out == nullptr) return AUD_ERR_INVALIDPARAMETER;
    aud_log(d->env, AUD_LOG_DEBUG, "%s: starting\n", kOp);
    if (name == nullptr || name[0] == '\0') return AUD_ERR_INVALIDPARAMETER;
    auto* dev = new (std::nothrow) dr_device();
    if (dev == nullptr) return AUD_ERR_NOMEMORY;
    dev->devices = d;
    dev->env = d->env;
    std::snprintf(dev->name, sizeof dev->name, "%s", name);
    dev->slots.resize(1);
    dev->slots[0].device = dev;
    d->open.push_back(dev);
    if (ResolveSlot(dev, dev->slots[0]) != AUD_SUCCESS) {
        d->open.pop_back();
        delete dev;
        return AUD_ERR_DNSSDFAIL;
    }
    dev->state = DR_DEVICE_STATE_RESOLVING;
    aud_log(d->env, AUD_LOG_DEBUG, "%s: finished\n", kOp);
    *out = dev;
    return AUD_SUCCESS;
}

void dr_device_set_context(dr_device_t* dev, void* context) { dev->context = context; }
void* dr_device_get_context(const dr_device_t* dev) { return dev->context; }
void dr_device_set_changed_callback(dr_device_t* dev, dr_device_changed_fn fn) { dev->changed = fn; }
int dr_device_get_state(const dr_device_t* dev) { return dev != nullptr ? dev->state : DR_DEVICE_STATE_ERROR; }
int dr_device_is_safe_mode(const dr_device_t* dev) { return dev->safe_mode ? 1 : 0; }
int dr_device_resolve_stopped(const dr_device_t* dev) {
    if (dev->state == DR_DEVICE_STATE_RESOLVED) return 0;
    return std::none_of(dev->slots.begin(), dev->slots.end(), [](const AddressSlot& slot) {
        return (slot.flags & (DR_ADDRESS_RESOLVING | DR_ADDRESS_QUERYING)) != 0;
    });
}
uint16_t dr_device_get_arcp_version(const dr_device_t* dev) { return dev->arcp_version; }
db_version_t dr_device_get_router_version(const dr_device_t* dev) { return dev->router_version; }

aud_error_t dr_device_get_addresses(const dr_device_t* dev, unsigned* count, dr_address_t* out) {
    if (dev == nullptr || count == nullptr) return AUD_ERR_INVALIDPARAMETER;
    for (unsigned i = 0; i < *count && i < dev->slots.size() && out != nullptr; ++i) {
        const AddressSlot& slot = dev->slots[i];
        const bool known = (slot.flags & DR_ADDRESS_KNOWN) != 0 && slot.address.known;
        out[i] = known ? dr_address_t{slot.address.ip, platform::NetOrder16(slot.address.port)} : dr_address_t{0, 0};
    }
    *count = static_cast<unsigned>(dev->slots.size());
    return AUD_SUCCESS;
}

void dr_device_close(dr_device_t* dev) {
    if (dev == nullptr) return;
    dr_devices_t* d = dev->devices;
    aud_log(d->env, AUD_LOG_DEBUG, "%s: starting, device '%s'\n", "dr_device_close", dev->name);
    d->open.erase(std::remove(d->open.begin(), d->open.end(), dev), d->open.end());
    for (unsigned i = 0; i < kRequestSlots; ++i) {
        if (d->requests[i].device == dev) d->requests[i] = RequestSlot{};
    }
    for (AddressSlot& slot : dev->slots) StopSlot(slot);
    delete dev;
    aud_log(d->env, AUD_LOG_DEBUG, "%s: finished\n", "dr_device_close");
}

}  // extern "C"
