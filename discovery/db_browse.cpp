// The browse object: one DNS-SD browse per service type, a queue of resolves
// with a concurrency limit and deadlines, and the device tree they feed.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "discovery/db_internal.h"
#include "discovery/dnssd.h"
#include "discovery/dnssd_records.h"

using discovery_internal::SameDnsName;

namespace {

constexpr unsigned kDefaultMaxResolves = 16;
constexpr unsigned kLabelRoom = 18;  // 17 characters and the terminator
constexpr unsigned kBrowseTypeRoom = 50;

struct ResolveList {
    unsigned count = 0;
    db_resolve* head = nullptr;
    db_resolve* tail = nullptr;
};

struct ResolveNode {
    db_resolve* owner = nullptr;
    ResolveList* list = nullptr;
    db_resolve* next = nullptr;
    db_resolve* prev = nullptr;
};

using ResolvedFn = void (*)(db_resolve* record, const char* host, uint16_t port, uint16_t txt_len,
                            const unsigned char* txt);
using LostFn = void (*)(db_browse_t* browse, unsigned network, const char* name);

struct TypeInfo {
    const char* label;
    const char* service;
    ResolvedFn resolved;
    LostFn lost;
    unsigned name_limit;
};

// When the library refuses a filtered browse (Avahi accepts only subtype
// labels that begin with "_"), the plain type is browsed and the subtype's
// PTR records, asked for directly, say which instances pass the filter.
struct FilterQuery {
    db_browse_t* browse = nullptr;
    unsigned type = 0;
    DNSServiceRef ref = nullptr;
    int socket = -1;
    std::vector<std::string> admitted;
};

struct HeldAdvertisement {
    unsigned network;
    unsigned type;
    std::string name;
};

}  // namespace

struct db_resolve {
    db_browse_t* browse;
    int resolving;
    unsigned network;
    unsigned type_index;
    char name[64];
    DNSServiceRef ref;
    int socket;
    ResolveNode node;
    aud_utime_t deadline;
};

struct db_tree {
    unsigned types = 0;
    std::vector<db_device_t*> nodes;  // sorted by name, letter case ignored
};

struct db_browse {
    aud_env_t* env = nullptr;
    unsigned types = 0;
    unsigned num_types = 0;
    db_browse_config_t config{};
    uint32_t loopback_index = 0;
    bool started = false;
    char subtype[kLabelRoom] = "";
    DNSServiceRef refs[DB_NUM_TYPES] = {};
    int sockets[DB_NUM_TYPES] = {-1, -1, -1, -1, -1, -1, -1};
    FilterQuery filters[DB_NUM_TYPES];
    std::vector<HeldAdvertisement> held;
    unsigned max_resolves = kDefaultMaxResolves;
    ResolveList active;
    ResolveList pending;
    ResolveList free_list;
    db_tree tree;
    void* context = nullptr;
    db_browse_node_fn node_cb = nullptr;
    db_browse_fn tree_cb = nullptr;
    db_browse_fn sockets_cb = nullptr;
    aud_utime_t now{};
    aud_error_t pending_error = AUD_SUCCESS;
    bool sockets_changed = false;
    bool tree_changed = false;
};

namespace {

// ---- resolve lists ----------------------------------------------------------

void ListAppend(ResolveList& list, db_resolve* r) {
    r->node.owner = r;
    r->node.list = &list;
    r->node.next = nullptr;
    r->node.prev = list.tail;
    if (list.tail != nullptr)
        list.tail->node.next = r;
    else
        list.head = r;
    list.tail = r;
    ++list.count;
}

void ListRemove(db_resolve* r) {
    ResolveList* list = r->node.list;
    if (list == nullptr) return;
    if (r->node.prev != nullptr)
        r->node.prev->node.next = r->node.next;
    else
        list->head = r->node.next;
    if (r->node.next != nullptr)
        r->node.next->node.prev = r->node.prev;
    else
        list->tail = r->node.prev;
    --list->count;
    r->node.list = nullptr;
    r->node.next = r->node.prev = nullptr;
}

void StopResolve(db_resolve* r) {
    if (!r->resolving) return;
    r->browse->sockets_changed = true;
    dnssd::DNSServiceRefDeallocate(r->ref);
    r->ref = nullptr;
    r->socket = -1;
    r->resolving = 0;
}

void DropResolve(db_resolve* r) {
    StopResolve(r);
    r->network = 0;
    r->type_index = DB_TYPE_INDEX_NONE;
    r->name[0] = '\0';
    if (r->node.list == &r->browse->free_list) return;
    ListRemove(r);
    ListAppend(r->browse->free_list, r);
}

void ReleaseFree(db_browse_t* b) {
    while (db_resolve* r = b->free_list.head) {
        ListRemove(r);
        delete r;
    }
}

uint32_t NetworkInterface(const db_browse_t* b, unsigned network) {
    return network < b->config.num_networks && network < DB_MAX_NETWORKS ? b->config.interface_index[network] : 0;
}

// ---- device tree -----------------------------------------------------------------

void NotifyNode(db_browse_t* b, int kind, void* node, int change) {
    if (b->node_cb == nullptr) return;
    const db_node_event_t event{kind, node};
    b->node_cb(b, &event, change);
}

void FreeDevice(db_device_t* d) {
    delete[] d->channels;
    delete d;
}

void TreeClear(db_tree& tree) {
    for (db_device_t* d : tree.nodes) FreeDevice(d);
    tree.nodes.clear();
}

uint32_t& FlagSlot(db_browse_t* b, db_device_t* d, unsigned network) {
    return network < b->config.num_networks && network < DB_MAX_NETWORKS ? d->network_flags[network]
                                                                         : d->loopback_flags;
}

void RecomputeFlags(db_device_t* d) { d->flags = d->network_flags[0] | d->network_flags[1] | d->loopback_flags; }

db_device_t* FindExact(db_tree& tree, const char* name, size_t* position) {
    for (size_t i = 0; i < tree.nodes.size(); ++i) {
        if (std::strcmp(tree.nodes[i]->name, name) == 0) {
            if (position != nullptr) *position = i;
            return tree.nodes[i];
        }
    }
    return nullptr;
}

// Finds NAME (letter case ignored) or inserts a new node where it sorts.
aud_error_t FindOrInsert(db_browse_t* b, const char* name, db_device_t** out, bool* created) {
    db_tree& tree = b->tree;
    size_t i = 0;
    for (; i < tree.nodes.size(); ++i) {
        const int order = strcasecmp(tree.nodes[i]->name, name);
        if (order == 0) {
            *out = tree.nodes[i];
            *created = false;
            return AUD_SUCCESS;
        }
        if (order > 0) break;
    }
    if (std::strlen(name) >= sizeof(db_device_t::name)) return AUD_ERR_INVALIDPARAMETER;
    auto* d = new (std::nothrow) db_device_t{};
    if (d == nullptr) return AUD_ERR_NOMEMORY;
    d->tree = &tree;
    std::snprintf(d->name, sizeof d->name, "%s", name);
    if (tree.types & DB_TYPE_MEDIA_CHANNEL) {
        d->channels = new (std::nothrow) db_channel_t[2]{};
        d->max_channels = d->channels != nullptr ? 2 : 0;
    }
    if (tree.nodes.size() == tree.nodes.capacity()) tree.nodes.reserve(std::max<size_t>(8, tree.nodes.capacity() * 2));
    tree.nodes.insert(tree.nodes.begin() + static_cast<std::ptrdiff_t>(i), d);
    *out = d;
    *created = true;
    return AUD_SUCCESS;
}

// Sets FLAG for the network, the host and the type's values (APPLY), and
// tells the user when the node is new or anything changed.
template <typename Apply>
aud_error_t TreeUpdate(db_browse_t* b, unsigned network, uint32_t flag, const char* name, const char* host,
                       Apply apply) {
    db_device_t* d = nullptr;
    bool created = false;
    const aud_error_t result = FindOrInsert(b, name, &d, &created);
    if (result != AUD_SUCCESS) return result;
    db_device_t before;
    std::memcpy(&before, d, sizeof before);
    FlagSlot(b, d, network) |= flag;
    RecomputeFlags(d);
    std::snprintf(d->host, sizeof d->host, "%s", host);
    apply(*d);
    if (created || std::memcmp(&before, d, sizeof before) != 0) {
        b->tree_changed = true;
        NotifyNode(b, DB_NODE_DEVICE, d, created ? DB_NODE_ADDED : DB_NODE_MODIFIED);
    }
    return AUD_SUCCESS;
}

// The lost path shared by the device types: clears FLAG on the network and
// reports the node modified, or removed when nothing is left of it.
template <typename ZeroFields>
void TreeRemoveFlag(db_browse_t* b, unsigned network, uint32_t flag, const char* name, ZeroFields zero) {
    size_t position = 0;
    db_device_t* d = FindExact(b->tree, name, &position);
    if (d == nullptr) return;
    uint32_t& slot = FlagSlot(b, d, network);
    if ((slot & flag) == 0) return;
    slot &= ~flag;
    RecomputeFlags(d);
    b->tree_changed = true;
    if ((d->flags & flag) == 0) zero(*d);
    if (d->flags == 0) d->host[0] = '\0';
    if (d->flags != 0 || d->num_channels > 0) {
        NotifyNode(b, DB_NODE_DEVICE, d, DB_NODE_MODIFIED);
        return;
    }
    b->tree.nodes.erase(b->tree.nodes.begin() + static_cast<std::ptrdiff_t>(position));
    NotifyNode(b, DB_NODE_DEVICE, d, DB_NODE_REMOVED);
    FreeDevice(d);
}

// ---- TXT values read through the library ------------------------------------

struct TxtValue {
    const char* text = nullptr;
    unsigned length = 0;
    bool present = false;
};

TxtValue GetValue(uint16_t txt_len, const unsigned char* txt, const char* key) {
    TxtValue v;
    uint8_t length = 0;
    const void* p = dnssd::TXTRecordGetValuePtr(txt_len, txt, key, &length);
    if (p != nullptr) {
        v.text = static_cast<const char*>(p);
        v.length = length;
        v.present = true;
    }
    return v;
}

bool ParseDecimal(const TxtValue& v, unsigned long& out) {
    if (!v.present || v.length == 0) return false;
    const char* p = v.text;
    unsigned long value = 0;
    for (unsigned i = 0; i < v.length; ++i, ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 0xFFFFFFFFul) return false;
    }
    out = value;
    return true;
}

// The "id" and "process" pair every device type but media carries. Logs the
// first failure with LABEL and returns false.
bool ReadIdAndProcess(db_resolve* r, uint16_t txt_len, const unsigned char* txt, const char* label, db_id64_t& id,
                      uint16_t& process) {
    aud_env_t* env = r->browse->env;
    const TxtValue idv = GetValue(txt_len, txt, "id");
    if (!idv.present || idv.length != 16) {
        aud_log(env, AUD_LOG_ERROR, "%s: Resolve Error: txt record 'id' field missing or empty for %s \"%s\"\n",
                "db_browse_resolved", label, r->name);
        return false;
    }
    if (!db_id64_from_hex16(&id, idv.text, idv.length)) {
        aud_log(env, AUD_LOG_ERROR, "%s: Resolve Error: txt record 'id' field has insufficient data for %s \"%s\"\n",
                "db_browse_resolved", label, r->name);
        return false;
    }
    const TxtValue pv = GetValue(txt_len, txt, "process");
    if (!pv.present || pv.length == 0) {
        aud_log(env, AUD_LOG_ERROR, "%s: Resolve Error: txt record 'process' field missing or empty for %s \"%s\"\n",
                "db_browse_resolved", label, r->name);
        return false;
    }
    process = static_cast<uint16_t>(db_leading_number(pv.text, pv.length));
    return true;
}

void SetPendingError(db_browse_t* b, aud_error_t code) { b->pending_error = code; }

// ---- resolved and lost handlers ---------------------------------------------

void MediaDeviceResolved(db_resolve* r, const char* host, uint16_t, uint16_t txt_len, const unsigned char* txt) {
    db_browse_t* b = r->browse;
    aud_log(b->env, AUD_LOG_DEBUG, "%s: Resolved media device \"%s\"\n", "db_browse_media_device_resolved", r->name);
    db_device_t values{};
    discovery_internal::ParseMediaTxt(txt, txt_len, &values);
    const aud_error_t result =
        TreeUpdate(b, r->network, DB_FLAG_MEDIA_DEVICE, r->name, host, [&](db_device_t& d) { d.media = values.media; });
    if (result != AUD_SUCCESS) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Error adding media device \"%s\" to tree\n",
                "db_browse_media_device_resolved", r->name);
        SetPendingError(b, result);
    }
}

void MediaDeviceLost(db_browse_t* b, unsigned network, const char* name) {
    TreeRemoveFlag(b, network, DB_FLAG_MEDIA_DEVICE, name, [](db_device_t& d) { d.media = {}; });
}

void ConmonDeviceResolved(db_resolve* r, const char* host, uint16_t, uint16_t txt_len, const unsigned char* txt) {
    db_browse_t* b = r->browse;
    constexpr const char* kOp = "db_browse_conmon_device_resolved";
    const TxtValue id = GetValue(txt_len, txt, "id");
    if (!id.present || id.length != 16) {
        aud_log(b->env, AUD_LOG_ERROR,
                "%s: Resolve Error: txt record 'id' field missing or empty for conmon device \"%s\"\n", kOp, r->name);
        return DropResolve(r);
    }
    db_device_t values{};
    if (!db_id64_from_hex16(&values.conmon.device_id, id.text, id.length)) {
        aud_log(b->env, AUD_LOG_ERROR,
                "%s: Resolve Error: txt record 'id' field has insufficient data for conmon device \"%s\"\n", kOp,
                r->name);
        return DropResolve(r);
    }
    // Present and not empty is all the rule asks; the number is what its
    // leading digits say.
    const TxtValue process = GetValue(txt_len, txt, "process");
    if (!process.present || process.length == 0) {
        aud_log(b->env, AUD_LOG_ERROR,
                "%s: Resolve Error: txt record 'process' field missing or empty for conmon device \"%s\"\n", kOp,
                r->name);
        return DropResolve(r);
    }
    values.conmon.process_id = static_cast<uint16_t>(db_leading_number(process.text, process.length));
    const TxtValue vid = GetValue(txt_len, txt, "vid");
    if (vid.present) {
        if (vid.length != 16) {
            aud_log(b->env, AUD_LOG_ERROR,
                    "%s: Resolve Error: txt record 'vid' field missing or empty for conmon device \"%s\"\n", kOp,
                    r->name);
            return DropResolve(r);
        }
        if (!db_id64_from_hex16(&values.conmon.vendor_id, vid.text, vid.length)) {
            aud_log(b->env, AUD_LOG_ERROR,
                    "%s: Resolve Error: txt record 'vid' field has insufficient data for conmon device \"%s\"\n", kOp,
                    r->name);
            return DropResolve(r);
        }
    }
    const TxtValue vba = GetValue(txt_len, txt, "vba");
    if (vba.present) {
        uint32_t part[4];
        if (db_numbers_from_text(vba.text, vba.length, part, 4) != 4) {
            aud_log(b->env, AUD_LOG_ERROR,
                    "%s: Resolve Error: txt record 'vsb' field has invalid data for conmon device \"%s\"\n", kOp,
                    r->name);
            return DropResolve(r);
        }
        for (int i = 0; i < 4; ++i) values.conmon.vba[i] = static_cast<uint8_t>(part[i]);
    }
    const TxtValue mf = GetValue(txt_len, txt, "mf");
    if (mf.present) db_id64_from_text(&values.conmon.manufacturer, mf.text, mf.length);
    const TxtValue model = GetValue(txt_len, txt, "model");
    if (model.present) db_id64_from_text(&values.conmon.model, model.text, model.length);

    aud_log(b->env, AUD_LOG_DEBUG, "%s: Adding conmon device \"%s\" (target_name='%s')\n", kOp, r->name, host);
    const aud_error_t result = TreeUpdate(b, r->network, DB_FLAG_CONMON_DEVICE, r->name, host,
                                          [&](db_device_t& d) { d.conmon = values.conmon; });
    if (result != AUD_SUCCESS) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Error adding conmon device \"%s\" to tree\n", kOp, r->name);
        SetPendingError(b, result);
    }
}

void ConmonDeviceLost(db_browse_t* b, unsigned network, const char* name) {
    aud_log(b->env, AUD_LOG_DEBUG, "%s: Removing conmon device \"%s\" from network %u\n",
            "db_browse_conmon_device_lost", name, network);
    TreeRemoveFlag(b, network, DB_FLAG_CONMON_DEVICE, name, [](db_device_t& d) { d.conmon = {}; });
}

// Safe and upgrade mode: a mode number, then "id" and "process".
template <uint32_t Flag>
void ModeResolved(db_resolve* r, const char* host, uint16_t, uint16_t txt_len, const unsigned char* txt) {
    db_browse_t* b = r->browse;
    const bool safe = Flag == DB_FLAG_SAFE_MODE;
    const char* label = safe ? "safe mode device" : "upgrade mode device";
    unsigned long mode = 0;
    if (!ParseDecimal(GetValue(txt_len, txt, safe ? "safe" : "upgr"), mode)) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Resolve Error: txt record '%s' field missing or empty for %s \"%s\"\n",
                "db_browse_resolved", safe ? "safe" : "upgr", label, r->name);
        return DropResolve(r);
    }
    db_id64_t id{};
    uint16_t process = 0;
    if (!ReadIdAndProcess(r, txt_len, txt, label, id, process)) return DropResolve(r);
    const aud_error_t result = TreeUpdate(b, r->network, Flag, r->name, host, [&](db_device_t& d) {
        auto& part = safe ? d.safe_mode : d.upgrade_mode;
        part.device_id = id;
        part.process_id = process;
        part.mode = static_cast<uint16_t>(mode);
    });
    if (result != AUD_SUCCESS) SetPendingError(b, result);
}

template <uint32_t Flag>
void ModeLost(db_browse_t* b, unsigned network, const char* name) {
    TreeRemoveFlag(b, network, Flag, name, [](db_device_t& d) {
        if (Flag == DB_FLAG_SAFE_MODE)
            d.safe_mode = {};
        else
            d.upgrade_mode = {};
    });
}

void ViaResolved(db_resolve* r, const char* host, uint16_t port, uint16_t txt_len, const unsigned char* txt) {
    db_browse_t* b = r->browse;
    db_id64_t id{};
    uint16_t process = 0;
    if (!ReadIdAndProcess(r, txt_len, txt, "via device", id, process)) return DropResolve(r);
    db_version_t min{};
    db_version_t current{};
    const TxtValue vmin = GetValue(txt_len, txt, "vers_min");
    const TxtValue vcur = GetValue(txt_len, txt, "vers_curr");
    if (vmin.present) db_version_from_text(&min, vmin.text, vmin.length);
    if (vcur.present) db_version_from_text(&current, vcur.text, vcur.length);
    const aud_error_t result = TreeUpdate(b, r->network, DB_FLAG_VIA_DEVICE, r->name, host, [&](db_device_t& d) {
        d.via.port = static_cast<uint16_t>((port >> 8) | (port << 8));
        d.via.device_id = id;
        d.via.process_id = process;
        d.via.min_version = min;
        d.via.current_version = current;
    });
    if (result != AUD_SUCCESS) SetPendingError(b, result);
}

void ViaLost(db_browse_t* b, unsigned network, const char* name) {
    TreeRemoveFlag(b, network, DB_FLAG_VIA_DEVICE, name, [](db_device_t& d) { d.via = {}; });
}

// Media channels: "channel@device"; the channel becomes a node under its device.
void ChannelResolved(db_resolve* r, const char* host, uint16_t, uint16_t txt_len, const unsigned char* txt) {
    db_browse_t* b = r->browse;
    const char* at = std::strchr(r->name, '@');
    if (at == nullptr) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Browse error:... no '@' in name \"%s\"\n",
                "db_browse_media_channel_resolved", r->name);
        return DropResolve(r);
    }
    unsigned long id = 0;
    unsigned long rate = 0;
    const TxtValue enc = GetValue(txt_len, txt, "enc");
    if (!ParseDecimal(GetValue(txt_len, txt, "id"), id) || !ParseDecimal(GetValue(txt_len, txt, "rate"), rate) ||
        !enc.present || enc.length == 0) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Resolve Error: txt record incomplete for media channel \"%s\"\n",
                "db_browse_media_channel_resolved", r->name);
        return DropResolve(r);
    }
    db_device_t* d = nullptr;
    bool created = false;
    const aud_error_t result = FindOrInsert(b, at + 1, &d, &created);
    if (result != AUD_SUCCESS) return SetPendingError(b, result);
    if (created) {
        std::snprintf(d->host, sizeof d->host, "%s", host);
        NotifyNode(b, DB_NODE_DEVICE, d, DB_NODE_ADDED);
    }
    for (unsigned i = 0; i < d->num_channels; ++i) {
        if (d->channels[i].id == id) return;
    }
    if (d->num_channels == d->max_channels) {
        const unsigned capacity = std::max(2u, d->max_channels * 2);
        auto* grown = new (std::nothrow) db_channel_t[capacity]{};
        if (grown == nullptr) return SetPendingError(b, AUD_ERR_NOMEMORY);
        std::copy(d->channels, d->channels + d->num_channels, grown);
        delete[] d->channels;
        d->channels = grown;
        d->max_channels = capacity;
    }
    db_channel_t& c = d->channels[d->num_channels++];
    c = db_channel_t{d, static_cast<uint16_t>(id), {}, 0};
    std::snprintf(c.name, sizeof c.name, "%.*s", static_cast<int>(at - r->name), r->name);
    FlagSlot(b, d, r->network) |= DB_FLAG_MEDIA_CHANNELS;
    RecomputeFlags(d);
    b->tree_changed = true;
    NotifyNode(b, DB_NODE_CHANNEL, &c, DB_NODE_ADDED);
}

void ChannelLost(db_browse_t* b, unsigned network, const char* name) {
    const char* at = std::strchr(name, '@');
    if (at == nullptr) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Browse error:... no '@' in name \"%s\"\n", "db_browse_media_channel_lost",
                name);
        return;
    }
    size_t position = 0;
    db_device_t* d = FindExact(b->tree, at + 1, &position);
    if (d == nullptr) return;
    const std::string channel(name, static_cast<size_t>(at - name));
    for (unsigned i = 0; i < d->num_channels; ++i) {
        if (channel != d->channels[i].name) continue;
        db_channel_t gone = d->channels[i];
        std::copy(d->channels + i + 1, d->channels + d->num_channels, d->channels + i);
        --d->num_channels;
        b->tree_changed = true;
        NotifyNode(b, DB_NODE_CHANNEL, &gone, DB_NODE_REMOVED);
        break;
    }
    if (d->num_channels == 0) {
        TreeRemoveFlag(b, network, DB_FLAG_MEDIA_CHANNELS, d->name, [](db_device_t&) {});
    }
}

constexpr TypeInfo kTypes[DB_NUM_TYPES] = {
    {"media device", "_netaudio-arc._udp.", MediaDeviceResolved, MediaDeviceLost, 32},
    {"media channel", "_netaudio-chan._udp.", ChannelResolved, ChannelLost, 64},
    {"conmon device", "_netaudio-cmc._udp.", ConmonDeviceResolved, ConmonDeviceLost, 32},
    {"safe mode", "_dante-safe._udp.", ModeResolved<DB_FLAG_SAFE_MODE>, ModeLost<DB_FLAG_SAFE_MODE>, 32},
    {"upgrade mode", "_dante-upgr._udp.", ModeResolved<DB_FLAG_UPGRADE_MODE>, ModeLost<DB_FLAG_UPGRADE_MODE>, 32},
    {"via device", "_netaudio-via._tcp.", ViaResolved, ViaLost, 32},
    {"aes67 device", nullptr, nullptr, nullptr, 0},
};

bool HasDnsType(const db_browse_t* b, unsigned t) {
    return (b->types & (1u << t)) != 0 && kTypes[t].service != nullptr;
}

// "Velk._sub._netaudio-arc._udp.local"
std::string SubtypeQueryName(const char* label, const char* service) {
    return std::string(label) + "._sub." + service + "local";
}

// The full name NAME.TYPE.local in DNS wire form.
std::vector<uint8_t> WireName(const char* instance, const char* service) {
    std::vector<uint8_t> wire;
    auto label = [&](const char* text, size_t n) {
        n = std::min<size_t>(n, 63);
        wire.push_back(static_cast<uint8_t>(n));
        wire.insert(wire.end(), text, text + n);
    };
    label(instance, std::strlen(instance));
    std::string rest = std::string(service) + "local";
    size_t start = 0;
    while (start < rest.size()) {
        size_t dot = rest.find('.', start);
        if (dot == std::string::npos) dot = rest.size();
        if (dot > start) label(rest.data() + start, dot - start);
        start = dot + 1;
    }
    wire.push_back(0);
    return wire;
}

bool AlreadyQueued(const db_browse_t* b, unsigned network, unsigned type, const char* name) {
    for (const ResolveList* list : {&b->active, &b->pending}) {
        for (const db_resolve* r = list->head; r != nullptr; r = r->node.next) {
            if (r->network == network && r->type_index == type && std::strcmp(r->name, name) == 0) return true;
        }
    }
    return false;
}

bool Admitted(const FilterQuery& f, const char* name) {
    return std::find(f.admitted.begin(), f.admitted.end(), name) != f.admitted.end();
}

void StopFilter(FilterQuery& f) {
    if (f.ref != nullptr) dnssd::DNSServiceRefDeallocate(f.ref);
    f.ref = nullptr;
    f.socket = -1;
    f.admitted.clear();
}

aud_error_t StartResolve(db_resolve* r) {
    db_browse_t* b = r->browse;
    if (r->resolving) {
        aud_log(b->env, AUD_LOG_ERROR, "Error resolving %s: already resolving\n", r->name);
        return AUD_ERR_INVALIDSTATE;
    }
    const TypeInfo& type = kTypes[r->type_index];
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType e = dnssd::DNSServiceResolve(&ref, 0, NetworkInterface(b, r->network), r->name,
                                                           type.service, "local", db_dnssd_resolve, r);
    if (e != dnssd::kDNSServiceErr_NoError || ref == nullptr) {
        aud_log(b->env, AUD_LOG_ERROR, "Error resolving %s: %d\n", r->name, e);
        r->ref = nullptr;
        return AUD_ERR_DNSSDFAIL;
    }
    r->ref = ref;
    r->socket = dnssd::DNSServiceRefSockFD(ref);
    b->sockets_changed = true;
    r->deadline = aud_utime_add(b->now, b->config.resolve_timeout);
    r->resolving = 1;
    aud_log(b->env, AUD_LOG_DEBUG, "%s: resolve '%s' initiated using socket %d\n", "db_resolve_resolve", r->name,
            r->socket);
    return AUD_SUCCESS;
}

void FilterReply(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error, const char*,
                 uint16_t rrtype, uint16_t, uint16_t rdlen, const void* rdata, uint32_t, void* context) {
    auto* f = static_cast<FilterQuery*>(context);
    db_browse_t* b = f->browse;
    if (error != dnssd::kDNSServiceErr_NoError) {
        aud_log(b->env, AUD_LOG_WARNING, "%s: subtype query for %s failed: %d\n", "db_dnssd_filter",
                kTypes[f->type].service, error);
        SetPendingError(b, AUD_ERR_DNSSDFAIL);
        return;
    }
    std::string name;
    if (rrtype != dnssd::kDNSServiceType_PTR || !dnssd::FirstWireLabel(static_cast<const uint8_t*>(rdata), rdlen, name))
        return;
    if ((flags & dnssd::kDNSServiceFlagsAdd) == 0) {
        f->admitted.erase(std::remove(f->admitted.begin(), f->admitted.end(), name), f->admitted.end());
        return;
    }
    if (!Admitted(*f, name.c_str())) f->admitted.push_back(name);
    // Advertisements that arrived before their subtype record now pass.
    for (auto it = b->held.begin(); it != b->held.end();) {
        if (it->type == f->type && it->name == name) {
            discovery_internal::QueueResolve(b, it->network, it->type, it->name.c_str());
            it = b->held.erase(it);
        } else {
            ++it;
        }
    }
}

aud_error_t StartBrowse(db_browse_t* b, unsigned t) {
    const TypeInfo& type = kTypes[t];
    char browse_type[kBrowseTypeRoom];
    if (b->subtype[0] != '\0')
        std::snprintf(browse_type, sizeof browse_type, "%s,%s", type.service, b->subtype);
    else
        std::snprintf(browse_type, sizeof browse_type, "%s", type.service);
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType e = dnssd::DNSServiceBrowse(&ref, 0, 0, browse_type, "local", db_dnssd_browse, b);
    if (e == dnssd::kDNSServiceErr_Unsupported && b->subtype[0] != '\0') {
        // Refused filter: plain type, with the subtype's PTR records as the filter.
        const std::string query = SubtypeQueryName(b->subtype, type.service);
        aud_log(b->env, AUD_LOG_NOTICE, "%s: browse %s refused (dnssd err=%d), filtering %s by %s\n",
                "db_browse_start_config", browse_type, e, type.service, query.c_str());
        FilterQuery& f = b->filters[t];
        f.browse = b;
        f.type = t;
        e = dnssd::DNSServiceQueryRecord(&f.ref, 0, 0, query.c_str(), dnssd::kDNSServiceType_PTR,
                                         dnssd::kDNSServiceClass_IN, FilterReply, &f);
        if (e == dnssd::kDNSServiceErr_NoError && f.ref != nullptr) {
            f.socket = dnssd::DNSServiceRefSockFD(f.ref);
            ref = nullptr;
            e = dnssd::DNSServiceBrowse(&ref, 0, 0, type.service, "local", db_dnssd_browse, b);
        }
    }
    if (e != dnssd::kDNSServiceErr_NoError || ref == nullptr) {
        db_browse_stop(b);
        aud_log(b->env, AUD_LOG_ERROR, "Error starting %s (%s) browse (dnssd err=%d)\n", type.label, browse_type, e);
        return AUD_ERR_DNSSDFAIL;
    }
    b->refs[t] = ref;
    b->sockets[t] = dnssd::DNSServiceRefSockFD(ref);
    aud_log(b->env, AUD_LOG_DEBUG, "%s: Started browsing for type %s (%s) using socket %d\n", "db_browse_start_config",
            type.label, browse_type, b->sockets[t]);
    return AUD_SUCCESS;
}

// A pass that ends early still tells the user to rebuild its socket set: the
// pass may have closed sockets the set names, and a select() on a closed
// socket fails every time after.
aud_error_t EndPassWithError(db_browse_t* b, aud_error_t code) {
    if (b->sockets_cb != nullptr) b->sockets_cb(b);
    return code;
}

}  // namespace

namespace discovery_internal {

db_resolve* QueueResolve(db_browse_t* b, unsigned network, unsigned type_index, const char* name) {
    if (type_index >= DB_NUM_TYPES || !HasDnsType(b, type_index)) return nullptr;
    // Avahi reports every instance once per address family: one resolve is enough.
    if (AlreadyQueued(b, network, type_index, name)) return nullptr;
    db_resolve* r = b->free_list.head;
    if (r != nullptr) {
        ListRemove(r);
    } else {
        r = new (std::nothrow) db_resolve{};
        if (r == nullptr) {
            SetPendingError(b, AUD_ERR_NOMEMORY);
            return nullptr;
        }
    }
    r->browse = b;
    r->resolving = 0;
    r->network = network;
    r->type_index = type_index;
    std::snprintf(r->name, sizeof r->name, "%s", name);
    r->ref = nullptr;
    r->socket = -1;
    ListAppend(b->pending, r);
    return r;
}

}  // namespace discovery_internal

extern "C" {

void db_dnssd_browse(DNSServiceRef, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                     const char* name, const char* type, const char* domain, void* context) {
    auto* b = static_cast<db_browse_t*>(context);
    constexpr const char* kOp = "db_dnssd_browse";
    if (name == nullptr) name = "";
    if (type == nullptr) type = "";
    if (domain == nullptr) domain = "";
    if (error != dnssd::kDNSServiceErr_NoError) {
        aud_log(b->env, AUD_LOG_WARNING, "%s: browse %s.%s.%s failed: %d\n", kOp, name, type, domain, error);
        SetPendingError(b, AUD_ERR_DNSSDFAIL);
        return;
    }
    const unsigned networks = std::min<unsigned>(b->config.num_networks, DB_MAX_NETWORKS);
    unsigned network = DB_MAX_NETWORKS + 1;
    for (unsigned n = 0; n < networks; ++n) {
        if ((static_cast<uint32_t>(b->config.network_mask) & (1u << n)) == 0) continue;
        if (b->config.interface_index[n] == 0) {
            aud_log(b->env, AUD_LOG_WARNING,
                    "%s: No interface index filter defined for network %u, setting interface index to %d\n", kOp, n,
                    static_cast<int>(interface_index));
            b->config.interface_index[n] = interface_index;
            network = n;
            break;
        }
        if (b->config.interface_index[n] == interface_index) {
            network = n;
            break;
        }
        if (b->config.include_loopback && b->loopback_index != 0 && interface_index == b->loopback_index) {
            network = b->config.num_networks;
            break;
        }
    }
    if (network == DB_MAX_NETWORKS + 1) {
        aud_log(b->env, AUD_LOG_DEBUG, "%s: Ignoring advertisement %s.%s.%s flags=0x%08x on invalid interface index %d",
                kOp, name, type, domain, flags, static_cast<int>(interface_index));
        return;
    }
    aud_log(b->env, AUD_LOG_DEBUG, "%s: name=\"%s\" type=\"%s\" domain=\"%s\" flags=0x%08x intf=%u (net=%u)\n", kOp,
            name, type, domain, flags, interface_index, network);

    unsigned t = 0;
    while (t < DB_NUM_TYPES && !(HasDnsType(b, t) && SameDnsName(kTypes[t].service, type))) ++t;
    if (t == DB_NUM_TYPES) {
        aud_log(b->env, AUD_LOG_DEBUG, "%s: unknown service type %s\n", kOp, type);
        return;
    }
    const size_t length = std::strlen(name);
    if (length == 0 || length >= kTypes[t].name_limit) {
        aud_log(b->env, AUD_LOG_DEBUG, "%s: Ignoring invalid name \"%s\" for service type %s\n", kOp, name, type);
        return;
    }
    FilterQuery& filter = b->filters[t];
    if (flags & dnssd::kDNSServiceFlagsAdd) {
        if (filter.ref != nullptr && !Admitted(filter, name)) {
            const bool held = std::any_of(b->held.begin(), b->held.end(), [&](const HeldAdvertisement& h) {
                return h.network == network && h.type == t && h.name == name;
            });
            if (!held) b->held.push_back(HeldAdvertisement{network, t, name});
            return;
        }
        discovery_internal::QueueResolve(b, network, t, name);
        return;
    }
    b->held.erase(std::remove_if(b->held.begin(), b->held.end(),
                                 [&](const HeldAdvertisement& h) {
                                     return h.network == network && h.type == t && h.name == name;
                                 }),
                  b->held.end());
    kTypes[t].lost(b, network, name);
    // Running and queued resolves of the instance go with it.
    for (ResolveList* list : {&b->active, &b->pending}) {
        for (db_resolve* r = list->head; r != nullptr;) {
            db_resolve* next = r->node.next;
            if (r->network == network && r->type_index == t && std::strcmp(r->name, name) == 0) DropResolve(r);
            r = next;
        }
    }
}

void db_dnssd_resolve(DNSServiceRef, DNSServiceFlags, uint32_t interface_index, DNSServiceErrorType error,
                      const char* fullname, const char* host_target, uint16_t port, uint16_t txt_len,
                      const unsigned char* txt, void* context) {
    auto* r = static_cast<db_resolve*>(context);
    db_browse_t* b = r->browse;
    constexpr const char* kOp = "db_dnssd_resolve";
    if (error != dnssd::kDNSServiceErr_NoError) {
        aud_log(b->env, AUD_LOG_ERROR, "%s: Error resolving '%s' using socket %d (dns error=%d)\n", kOp, r->name,
                r->socket, error);
        SetPendingError(b, AUD_ERR_DNSSDFAIL);
        DropResolve(r);
        return;
    }
    if (r->network < b->config.num_networks) {
        const uint32_t expected = NetworkInterface(b, r->network);
        if (interface_index != expected) {
            aud_log(b->env, AUD_LOG_WARNING, "%s: ignoring resolve for %s on interface %u (not %u)", kOp,
                    fullname != nullptr ? fullname : "", interface_index, expected);
            return;
        }
    } else if (interface_index != b->loopback_index) {
        return;
    }
    char host[32] = "";
    if (host_target != nullptr) {
        const size_t n = std::min<size_t>(std::strcspn(host_target, "."), sizeof host - 1);
        std::memcpy(host, host_target, n);
        host[n] = '\0';
    }
    const uint16_t host_port = static_cast<uint16_t>((port >> 8) | (port << 8));
    aud_log(b->env, AUD_LOG_DEBUG, "%s: Resolved '%s' on network %u using socket %d (hosttarget=%s port=%d)\n", kOp,
            r->name, r->network, r->socket, host_target != nullptr ? host_target : "", host_port);
    kTypes[r->type_index].resolved(r, host, port, txt_len, txt);
    DropResolve(r);
}

aud_error_t db_browse_new(aud_env_t* env, unsigned types, db_browse_t** out) {
    aud_log(env, AUD_LOG_DEBUG, "%s: creating new browse (types=0x%08x)\n", "db_browse_new", types);
    if (out == nullptr) return AUD_ERR_INVALIDPARAMETER;
    unsigned count = 0;
    for (unsigned t = 0; t < DB_NUM_TYPES; ++t) count += (types >> t) & 1u;
    if (count == 0) return AUD_ERR_INVALIDPARAMETER;
    auto* b = new (std::nothrow) db_browse();
    if (b == nullptr) return AUD_ERR_NOMEMORY;
    b->env = env;
    b->types = types & DB_TYPE_ALL;
    b->num_types = count;
    b->tree.types = b->types;
    db_browse_config_init(&b->config);
    aud_interface_t loopback{};
    const aud_error_t found = aud_interface_find_loopback(env, &loopback);
    if (found == AUD_SUCCESS) {
        b->loopback_index = loopback.interface_index;
        aud_log(env, AUD_LOG_DEBUG, "%s: Found localhost interface with index %d\n", "db_browse_new",
                static_cast<int>(b->loopback_index));
    } else {
        aud_log(env, AUD_LOG_WARNING, "%s: Error getting localhost interface index: %d\n", "db_browse_new", found);
    }
    *out = b;
    return AUD_SUCCESS;
}

void db_browse_delete(db_browse_t* b) {
    if (b == nullptr) return;
    db_browse_stop(b);
    delete b;
}

aud_error_t db_browse_set_max_sockets(db_browse_t* b, unsigned total) {
    if (b == nullptr || total <= b->num_types) return AUD_ERR_INVALIDPARAMETER;
    const unsigned limit = total - b->num_types;
    if (b->started && limit != b->max_resolves) return AUD_ERR_INVALIDSTATE;
    b->max_resolves = limit;
    return AUD_SUCCESS;
}

aud_error_t db_browse_set_subtype_filter(db_browse_t* b, const db_id64_t* filter) {
    if (b == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (filter == nullptr)
        b->subtype[0] = '\0';
    else
        db_id64_subtype_label(filter, b->subtype, sizeof b->subtype);
    return AUD_SUCCESS;
}

void db_browse_set_context(db_browse_t* b, void* context) { b->context = context; }
void* db_browse_get_context(const db_browse_t* b) { return b->context; }
void db_browse_set_node_callback(db_browse_t* b, db_browse_node_fn fn) { b->node_cb = fn; }
void db_browse_set_tree_callback(db_browse_t* b, db_browse_fn fn) { b->tree_cb = fn; }
void db_browse_set_sockets_callback(db_browse_t* b, db_browse_fn fn) { b->sockets_cb = fn; }

void db_browse_config_init(db_browse_config_t* config) {
    if (config == nullptr) return;
    *config = db_browse_config_t{};
    config->num_networks = 1;
    config->network_mask = static_cast<int32_t>(0xFFFFFFFFu);
    config->include_loopback = 1;
    config->resolve_timeout = aud_utime_t{30, 0};
}

aud_error_t db_browse_start_config(db_browse_t* b, const db_browse_config_t* config) {
    if (b == nullptr || config == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (b->started) return AUD_ERR_INVALIDSTATE;
    TreeClear(b->tree);
    b->config = *config;
    b->config.num_networks = std::min<uint32_t>(b->config.num_networks, DB_MAX_NETWORKS);
    std::string list;
    for (unsigned n = 0; n < b->config.num_networks; ++n) {
        if (n > 0) list += ",";
        list += std::to_string(static_cast<int>(b->config.interface_index[n]));
    }
    if (list.size() > 127) list.resize(127);
    aud_log(b->env, AUD_LOG_DEBUG, "%s: starting browse on %d interfaces: %s\n", "db_browse_start_config",
            static_cast<int>(b->config.num_networks), list.c_str());
    for (unsigned t = 0; t < DB_NUM_TYPES; ++t) {
        if (!HasDnsType(b, t)) continue;
        const aud_error_t result = StartBrowse(b, t);
        if (result != AUD_SUCCESS) return result;
    }
    b->started = true;
    return AUD_SUCCESS;
}

aud_error_t db_browse_get_sockets(const db_browse_t* b, aud_socket_set_t* set) {
    if (b == nullptr || set == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (!b->started) return AUD_ERR_INVALIDSTATE;
    for (unsigned t = 0; t < DB_NUM_TYPES; ++t) {
        if (b->sockets[t] >= 0) aud_socket_set_add(set, b->sockets[t]);
        if (b->filters[t].socket >= 0) aud_socket_set_add(set, b->filters[t].socket);
    }
    for (const db_resolve* r = b->active.head; r != nullptr; r = r->node.next) {
        if (r->socket >= 0) aud_socket_set_add(set, r->socket);
    }
    return AUD_SUCCESS;
}

aud_error_t db_browse_process(db_browse_t* b, aud_socket_set_t* readable, aud_utime_t* next_deadline) {
    if (b == nullptr || readable == nullptr) return AUD_ERR_INVALIDPARAMETER;
    constexpr const char* kOp = "db_browse_process";
    aud_utime_get(&b->now);
    b->pending_error = AUD_SUCCESS;
    b->sockets_changed = false;
    b->tree_changed = false;

    for (db_resolve* r = b->active.head; r != nullptr;) {
        db_resolve* next = r->node.next;
        const int socket = r->socket;
        if (socket >= 0 && aud_socket_set_contains(readable, socket)) {
            aud_log(b->env, AUD_LOG_DEBUG, "%s: processing resolve %p (type=%d name=%s sdref=%p s=%u)\n", kOp,
                    static_cast<void*>(r), static_cast<int>(r->type_index), r->name, static_cast<void*>(r->ref),
                    static_cast<unsigned>(socket));
            const int32_t result = dt_dns_sd_process_result(socket, r->ref);
            aud_log(b->env, AUD_LOG_DEBUG, "%s: processed resolve %p with err %d\n", kOp, static_cast<void*>(r),
                    result);
            aud_socket_set_remove(readable, socket);
            if (result != 0) return EndPassWithError(b, AUD_ERR_DNSSDFAIL);
            if (b->pending_error != AUD_SUCCESS) return EndPassWithError(b, b->pending_error);
        }
        r = next;
    }

    for (db_resolve* r = b->active.head; r != nullptr;) {
        db_resolve* next = r->node.next;
        if (aud_utime_compare(&r->deadline, &b->now) < 0) {
            const TypeInfo& type = kTypes[r->type_index];
            char fullname[dnssd::kDNSServiceMaxDomainName] = "";
            dnssd::DNSServiceConstructFullName(fullname, r->name, type.service, "local");
            aud_log(b->env, AUD_LOG_DEBUG, "%s: Resolve %s/%s (%s) timed out, removing and reconfirming\n", kOp,
                    type.label, r->name, fullname);
            const uint32_t interface_index = NetworkInterface(b, r->network);
            // The advertisement is the type's PTR record whose data is the
            // instance's full name: that record is the one to reconfirm.
            const std::string type_name = std::string(type.service) + "local";
            const std::vector<uint8_t> data = WireName(r->name, type.service);
            DropResolve(r);
            dnssd::DNSServiceReconfirmRecord(0, interface_index, type_name.c_str(), dnssd::kDNSServiceType_PTR,
                                             dnssd::kDNSServiceClass_IN, static_cast<uint16_t>(data.size()),
                                             data.data());
        }
        r = next;
    }

    for (unsigned t = 0; t < DB_NUM_TYPES; ++t) {
        for (const bool filter : {false, true}) {
            const int socket = filter ? b->filters[t].socket : b->sockets[t];
            DNSServiceRef ref = filter ? b->filters[t].ref : b->refs[t];
            if (socket < 0 || !aud_socket_set_contains(readable, socket)) continue;
            aud_log(b->env, AUD_LOG_DEBUG, "%s: processing %s socket %d\n", kOp, kTypes[t].label, socket);
            const int32_t result = dt_dns_sd_process_result(socket, ref);
            aud_socket_set_remove(readable, socket);
            if (result != 0) return EndPassWithError(b, AUD_ERR_DNSSDFAIL);
            if (b->pending_error != AUD_SUCCESS) return EndPassWithError(b, b->pending_error);
        }
    }

    while (b->active.count < b->max_resolves && b->pending.count > 0) {
        db_resolve* r = b->pending.head;
        if (StartResolve(r) != AUD_SUCCESS) {
            DropResolve(r);
            break;
        }
        ListRemove(r);
        ListAppend(b->active, r);
    }

    ReleaseFree(b);
    if (b->tree_changed && b->tree_cb != nullptr) b->tree_cb(b);
    if (b->sockets_changed && b->sockets_cb != nullptr) b->sockets_cb(b);
    if (next_deadline != nullptr)
        *next_deadline = b->active.head != nullptr ? b->active.head->deadline : aud_utime_t{0, 0};
    return AUD_SUCCESS;
}

aud_error_t db_browse_stop(db_browse_t* b) {
    if (b == nullptr) return AUD_ERR_INVALIDPARAMETER;
    for (unsigned t = 0; t < DB_NUM_TYPES; ++t) {
        if (!HasDnsType(b, t)) continue;
        aud_log(b->env, AUD_LOG_DEBUG, "%s: Stopping browsing for type %s using socket %d\n", "db_browse_stop",
                kTypes[t].label, b->sockets[t]);
        if (b->refs[t] != nullptr) dnssd::DNSServiceRefDeallocate(b->refs[t]);
        b->refs[t] = nullptr;
        b->sockets[t] = -1;
        StopFilter(b->filters[t]);
    }
    b->held.clear();
    while (b->active.head != nullptr) DropResolve(b->active.head);
    while (b->pending.head != nullptr) DropResolve(b->pending.head);
    ReleaseFree(b);
    TreeClear(b->tree);
    b->started = false;
    return AUD_SUCCESS;
}

unsigned db_browse_get_num_networks(const db_browse_t* b) { return b != nullptr ? b->config.num_networks : 0; }
unsigned db_browse_num_devices(const db_browse_t* b) { return static_cast<unsigned>(b->tree.nodes.size()); }
const db_device_t* db_browse_device_at(const db_browse_t* b, unsigned index) {
    return index < b->tree.nodes.size() ? b->tree.nodes[index] : nullptr;
}
const char* db_browse_get_subtype_label(const db_browse_t* b) { return b->subtype; }
unsigned db_browse_get_max_resolves(const db_browse_t* b) { return b->max_resolves; }
unsigned db_browse_num_active_resolves(const db_browse_t* b) { return b->active.count; }
unsigned db_browse_num_pending_resolves(const db_browse_t* b) { return b->pending.count; }

const char* db_device_get_name(const db_device_t* device) { return device != nullptr ? device->name : ""; }
uint16_t db_channel_get_id(const db_channel_t* channel) { return channel != nullptr ? channel->id : 0; }

}  // extern "C"
