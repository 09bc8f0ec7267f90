#include "discovery/dante_scan.h"

#include <algorithm>
#include <cstring>

#include "discovery/dnssd.h"
#include "platform/clock.h"

namespace discovery {

dr_address_t ChooseAddress(const dr_address_t* addresses, unsigned count) {
    if (count == 0) return dr_address_t{};
    return addresses[0].ip != 0 || count < 2 ? addresses[0] : addresses[1];
}

namespace {

void NoDeviceChange(dr_device_t*, unsigned) {}

}  // namespace

void DeviceLookups::Start(dr_devices_t* devices, const char* name, uint32_t nowMs, void* context) {
    if (name == nullptr) return;
    const bool known = std::any_of(m_lookups.begin(), m_lookups.end(),
                                   [&](const Lookup& l) { return (l.device != nullptr || l.found) && l.name == name; });
    if (known) return;
    dr_device_t* device = nullptr;
    if (dr_device_open_remote(devices, name, &device) != AUD_SUCCESS) return;
    dr_device_set_context(device, context);
    dr_device_set_changed_callback(device, NoDeviceChange);
    m_lookups.push_back(Lookup{name, device, nowMs, false, {}});
}

void DeviceLookups::Update(uint32_t nowMs) {
    for (Lookup& l : m_lookups) {
        if (l.device == nullptr) continue;
        if (dr_device_get_state(l.device) == DR_DEVICE_STATE_RESOLVED) {
            dr_address_t addresses[2] = {};
            unsigned count = 2;
            if (dr_device_get_addresses(l.device, &count, addresses) == AUD_SUCCESS) {
                l.address = ChooseAddress(addresses, std::min(count, 2u));
                l.found = l.address.ip != 0;
            }
        } else if (!dr_device_resolve_stopped(l.device) && nowMs - l.startMs < m_limitMs) {
            continue;
        }
        dr_device_close(l.device);
        l.device = nullptr;
    }
}

bool DeviceLookups::Pending() const {
    return std::any_of(m_lookups.begin(), m_lookups.end(), [](const Lookup& l) { return l.device != nullptr; });
}

std::vector<FoundDevice> DeviceLookups::Found() const {
    std::vector<FoundDevice> found;
    for (const Lookup& l : m_lookups) {
        if (l.found) found.push_back(FoundDevice{l.name, l.address.ip, l.address.port});
    }
    return found;
}

void DeviceLookups::Clear() {
    for (Lookup& l : m_lookups) {
        if (l.device != nullptr) dr_device_close(l.device);
    }
    m_lookups.clear();
}

int ProcessBrowseAndLookups(db_browse_t* browse, const aud_socket_set_t& browseSockets, dr_devices_t* devices,
                            const aud_socket_set_t& deviceSockets, int32_t waitUs, aud_error_t* error) {
    aud_socket_set_t ready = browseSockets;
    for (int i = 0; i < deviceSockets.count; ++i) aud_socket_set_add(&ready, deviceSockets.sockets[i]);
    const int n = aud_socket_set_select(&ready, waitUs, error);
    if (n > 0) {
        // Each takes only its own sockets out of the set; a failed browse
        // pass has had its socket set rebuilt and browsing goes on.
        db_browse_process(browse, &ready, nullptr);
        dr_devices_process(devices, &ready);
    }
    return n;
}

bool StillResolving(const db_browse_t* browse, const DeviceLookups& lookups) {
    const bool browsing = db_browse_num_active_resolves(browse) + db_browse_num_pending_resolves(browse) > 0;
    return (browsing || lookups.Pending()) && dnssd::DaemonRunning();
}

namespace {

struct Scan {
    db_browse_t* browse = nullptr;
    dr_devices_t* devices = nullptr;
    aud_socket_set_t browseSockets{};
    aud_socket_set_t deviceSockets{};
    DeviceLookups* lookups = nullptr;
};

void RebuildBrowseSockets(db_browse_t* browse) {
    auto* scan = static_cast<Scan*>(db_browse_get_context(browse));
    aud_socket_set_init(&scan->browseSockets);
    db_browse_get_sockets(browse, &scan->browseSockets);
}

void RebuildDeviceSockets(dr_devices_t* devices) {
    auto* scan = static_cast<Scan*>(dr_devices_get_context(devices));
    aud_socket_set_init(&scan->deviceSockets);
    dr_devices_get_sockets(devices, &scan->deviceSockets);
}

void NoTreeChange(db_browse_t*) {}

void NodeChanged(db_browse_t* browse, const db_node_event_t* event, int change) {
    if (event->kind != DB_NODE_DEVICE || change != DB_NODE_ADDED) return;
    auto* scan = static_cast<Scan*>(db_browse_get_context(browse));
    scan->lookups->Start(scan->devices, db_device_get_name(static_cast<const db_device_t*>(event->node)),
                         platform::CurrentClock().TickMs(), scan);
}

}  // namespace

aud_error_t ScanDanteDevices(const ScanOptions& options, std::vector<FoundDevice>& found) {
    aud_env_t* env = nullptr;
    aud_error_t result = aud_env_acquire(&env);
    if (result != AUD_SUCCESS) return result;
    DeviceLookups lookups(options.resolveLimitMs);
    Scan scan;
    scan.lookups = &lookups;
    aud_socket_set_init(&scan.browseSockets);
    aud_socket_set_init(&scan.deviceSockets);

    result = db_browse_new(env, DB_TYPE_MEDIA_DEVICE | DB_TYPE_CONMON_DEVICE, &scan.browse);
    if (result == AUD_SUCCESS) result = db_browse_set_max_sockets(scan.browse, 18);
    if (result == AUD_SUCCESS) result = dr_devices_new(env, &scan.devices);
    if (result == AUD_SUCCESS) {
        dr_devices_set_context(scan.devices, &scan);
        dr_devices_set_sockets_callback(scan.devices, RebuildDeviceSockets);
        dr_devices_get_sockets(scan.devices, &scan.deviceSockets);
        db_id64_t filter{};
        std::memcpy(filter.data, kMakerSubtype, sizeof filter.data);
        db_browse_set_subtype_filter(scan.browse, &filter);
        db_browse_set_node_callback(scan.browse, NodeChanged);
        db_browse_set_tree_callback(scan.browse, NoTreeChange);
        db_browse_set_sockets_callback(scan.browse, RebuildBrowseSockets);
        db_browse_set_context(scan.browse, &scan);
        db_browse_config_t config;
        db_browse_config_init(&config);
        result = db_browse_start_config(scan.browse, &config);
    }
    if (result == AUD_SUCCESS) {
        db_browse_get_sockets(scan.browse, &scan.browseSockets);
        platform::Clock& clock = platform::CurrentClock();
        const ScanWindow window(clock.TickMs(), options.browseMs, options.resolveLimitMs);
        for (;;) {
            const uint32_t now = clock.TickMs();
            lookups.Update(now);
            if (window.Done(now, StillResolving(scan.browse, lookups))) break;
            aud_error_t error = AUD_SUCCESS;
            const int n = ProcessBrowseAndLookups(scan.browse, scan.browseSockets, scan.devices, scan.deviceSockets,
                                                  1000, &error);
            if (n < 0 && error != AUD_ERR_INTERRUPTED) {
                result = error;
                break;
            }
        }
        found = lookups.Found();
        if (result == AUD_SUCCESS && !dnssd::DaemonRunning()) result = AUD_ERR_NOTRUNNING;
    }
    lookups.Clear();
    if (scan.devices != nullptr) dr_devices_delete(scan.devices);
    db_browse_delete(scan.browse);
    aud_env_release(env);
    return result;
}

}  // namespace discovery
