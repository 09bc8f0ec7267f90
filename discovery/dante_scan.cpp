#include "discovery/dante_scan.h"

#include <cstring>

#include "discovery/db_browse.h"
#include "discovery/dr_devices.h"
#include "platform/clock.h"

namespace discovery {

namespace {

struct Scan {
    const ScanOptions* options = nullptr;
    db_browse_t* browse = nullptr;
    dr_devices_t* devices = nullptr;
    aud_socket_set_t browseSockets{};
    aud_socket_set_t deviceSockets{};
    std::vector<FoundDevice>* found = nullptr;
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
void NoDeviceChange(dr_device_t*, unsigned) {}

// Opens the device and waits for its address, within the resolve limit.
void OpenAndResolve(Scan& scan, const char* name) {
    dr_device_t* device = nullptr;
    if (dr_device_open_remote(scan.devices, name, &device) != AUD_SUCCESS) return;
    dr_device_set_context(device, &scan);
    dr_device_set_changed_callback(device, NoDeviceChange);
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    while (dr_device_get_state(device) != DR_DEVICE_STATE_RESOLVED &&
           clock.TickMs() - start < scan.options->resolveLimitMs) {
        aud_socket_set_t ready = scan.deviceSockets;
        aud_error_t error = AUD_SUCCESS;
        const int n = aud_socket_set_select(&ready, 100000, &error);
        if (n < 0 && error != AUD_ERR_INTERRUPTED) break;
        if (n > 0 && dr_devices_process(scan.devices, &ready) != AUD_SUCCESS) break;
    }
    if (dr_device_get_state(device) == DR_DEVICE_STATE_RESOLVED) {
        dr_address_t addresses[2] = {};
        unsigned count = 2;
        dr_device_get_addresses(device, &count, addresses);
        const dr_address_t& a = addresses[0].ip != 0 || count < 2 ? addresses[0] : addresses[1];
        if (a.ip != 0) scan.found->push_back(FoundDevice{name, a.ip, a.port});
    }
    dr_device_close(device);
}

void NodeChanged(db_browse_t* browse, const db_node_event_t* event, int change) {
    if (event->kind != DB_NODE_DEVICE || change != DB_NODE_ADDED) return;
    auto* scan = static_cast<Scan*>(db_browse_get_context(browse));
    OpenAndResolve(*scan, db_device_get_name(static_cast<const db_device_t*>(event->node)));
}

}  // namespace

aud_error_t ScanDanteDevices(const ScanOptions& options, std::vector<FoundDevice>& found) {
    aud_env_t* env = nullptr;
    aud_error_t result = aud_env_acquire(&env);
    if (result != AUD_SUCCESS) return result;
    Scan scan;
    scan.options = &options;
    scan.found = &found;
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
        const uint32_t start = clock.TickMs();
        while (clock.TickMs() - start < options.browseMs) {
            aud_socket_set_t ready = scan.browseSockets;
            aud_error_t error = AUD_SUCCESS;
            const int n = aud_socket_set_select(&ready, 1000, &error);
            if (n < 0 && error != AUD_ERR_INTERRUPTED) {
                result = error;
                break;
            }
            // A failed pass has already had the socket set rebuilt; browsing
            // goes on with the sockets that are left.
            if (n > 0) db_browse_process(scan.browse, &ready, nullptr);
        }
    }
    if (scan.devices != nullptr) dr_devices_delete(scan.devices);
    db_browse_delete(scan.browse);
    aud_env_release(env);
    return result;
}

}  // namespace discovery
