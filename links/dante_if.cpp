#include "links/dante_if.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "discovery/dante_scan.h"
#include "discovery/dnssd.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace {

// The browse covers the media-device and the conmon-device types.
constexpr unsigned kBrowseTypes = DB_TYPE_MEDIA_DEVICE | DB_TYPE_CONMON_DEVICE;
constexpr unsigned kBrowseMaxSockets = 18;
constexpr int32_t kBrowseWaitUs = 1000;
// Datagrams one Read may drop before it returns with nothing.
constexpr int kMaxDroppedPerRead = 64;
constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;

void NoTreeChange(db_browse_t*) {}

// The name the loader reports as missing, for the box's caption.
std::string MissingEntryPoint(const std::string& error) {
    const std::string marker = "missing entry point ";
    const size_t at = error.rfind(marker);
    return at == std::string::npos ? std::string() : error.substr(at + marker.size());
}

// One SysEx message from its F0 to its F7, with only data bytes between.
bool IsWholeMessage(const uint8_t* data, long length) {
    if (length < 2 || data[0] != kSysExStart || data[length - 1] != kSysExEnd) return false;
    return std::all_of(data + 1, data + length - 1, [](uint8_t byte) { return byte < 0x80; });
}

}  // namespace

uint32_t ChooseDanteAddress(const dr_address_t* addresses, unsigned count) {
    return discovery::ChooseAddress(addresses, count).ip;
}

CDanteIF::CDanteIF(const DanteOptions& options) : m_options(options), m_lookups(options.resolveLimitMs) {}

CDanteIF::~CDanteIF() { Close(); }

void CDanteIF::RebuildBrowseSockets(db_browse_t* browse) {
    auto* self = static_cast<CDanteIF*>(db_browse_get_context(browse));
    aud_socket_set_init(&self->m_browseSockets);
    db_browse_get_sockets(browse, &self->m_browseSockets);
}

void CDanteIF::RebuildRoutingSockets(dr_devices_t* devices) {
    auto* self = static_cast<CDanteIF*>(dr_devices_get_context(devices));
    aud_socket_set_init(&self->m_routingSockets);
    dr_devices_get_sockets(devices, &self->m_routingSockets);
}

void CDanteIF::NodeChanged(db_browse_t* browse, const db_node_event_t* event, int change) {
    if (event->kind != DB_NODE_DEVICE || change != DB_NODE_ADDED) return;
    auto* self = static_cast<CDanteIF*>(db_browse_get_context(browse));
    self->AddDevice(db_device_get_name(static_cast<const db_device_t*>(event->node)));
}

// Starts looking up the device's address; the look-ups run side by side
// with the browse (StoreDevices takes what they found).
void CDanteIF::AddDevice(const char* name) {
    m_lookups.Start(m_devices, name, platform::CurrentClock().TickMs(), this);
}

// The devices that resolved, in the order they were found; a device found
// when the table is full is not stored.
void CDanteIF::StoreDevices() {
    for (const discovery::FoundDevice& device : m_lookups.Found()) {
        if (m_deviceCount >= kDanteMaxDevices) break;
        std::snprintf(m_names[m_deviceCount].data(), kDanteNameSize, "%s", device.name.c_str());
        m_addresses[m_deviceCount] = device.ip;
        ++m_deviceCount;
    }
}

bool CDanteIF::SetUpDiscovery() {
    if (aud_env_acquire(&m_env) != AUD_SUCCESS) return false;
    if (db_browse_new(m_env, kBrowseTypes, &m_browse) != AUD_SUCCESS) return false;
    if (db_browse_set_max_sockets(m_browse, kBrowseMaxSockets) != AUD_SUCCESS) return false;
    if (dr_devices_new(m_env, &m_devices) != AUD_SUCCESS) return false;
    dr_devices_set_context(m_devices, this);
    dr_devices_set_sockets_callback(m_devices, RebuildRoutingSockets);
    dr_devices_get_sockets(m_devices, &m_routingSockets);
    db_id64_t filter{};
    std::memcpy(filter.data, discovery::kMakerSubtype, sizeof filter.data);
    if (db_browse_set_subtype_filter(m_browse, &filter) != AUD_SUCCESS) return false;
    db_browse_set_node_callback(m_browse, NodeChanged);
    db_browse_set_tree_callback(m_browse, NoTreeChange);
    db_browse_set_sockets_callback(m_browse, RebuildBrowseSockets);
    db_browse_set_context(m_browse, this);
    db_browse_config_t config;
    db_browse_config_init(&config);
    if (db_browse_start_config(m_browse, &config) != AUD_SUCCESS) return false;
    db_browse_get_sockets(m_browse, &m_browseSockets);
    return true;
}

// One processing step of the browse and the look-ups: a failed wait or pass
// ends the step, not the window.
void CDanteIF::ProcessBrowse() {
    aud_error_t error = AUD_SUCCESS;
    discovery::ProcessBrowseAndLookups(m_browse, m_browseSockets, m_devices, m_routingSockets, kBrowseWaitUs, &error);
}

NimbraStatus CDanteIF::Open() {
    Close();
    m_deviceCount = 0;
    m_selected = kNoConnection;

    std::string error;
    m_library = dnssd::Library::Load(error);
    if (!m_library) {
        const std::string missing = MissingEntryPoint(error);
        if (!missing.empty()) platform::ShowOkBox("GetProcAddress failed", missing, platform::BoxIcon::None, false);
        return kStatusFailed;
    }
    aud_socket_set_init(&m_browseSockets);
    aud_socket_set_init(&m_routingSockets);
    if (!SetUpDiscovery()) {
        Close();
        return kStatusFailed;
    }
    platform::Clock& clock = platform::CurrentClock();
    const discovery::ScanWindow window(clock.TickMs(), m_options.browseMs, m_options.resolveLimitMs);
    for (;;) {
        const uint32_t now = clock.TickMs();
        m_lookups.Update(now);
        if (window.Done(now, discovery::StillResolving(m_browse, m_lookups))) break;
        ProcessBrowse();
    }
    StoreDevices();
    m_lookups.Clear();

    if (m_deviceCount == 0 || !m_send.Create(true) || !m_receive.Create(false) ||
        !m_receive.Bind(platform::kAnyAddress, m_options.ports.reply)) {
        Close();
        return kStatusFailed;
    }
    return kStatusOk;
}

NimbraStatus CDanteIF::Close() {
    aud_socket_set_init(&m_browseSockets);
    aud_socket_set_init(&m_routingSockets);
    m_send.Close();
    m_receive.Close();
    m_lookups.Clear();
    if (m_devices != nullptr) dr_devices_delete(m_devices);
    m_devices = nullptr;
    if (m_browse != nullptr) db_browse_delete(m_browse);
    m_browse = nullptr;
    if (m_env != nullptr) aud_env_release(m_env);
    m_env = nullptr;
    m_library.reset();
    return kStatusOk;
}

bool CDanteIF::IsOpen() { return m_send.IsOpen() && m_receive.IsOpen(); }

NimbraStatus CDanteIF::GetNumberOfConnections(uint16_t* count) {
    *count = m_deviceCount;
    return kStatusOk;
}

NimbraStatus CDanteIF::SelectConnection(uint16_t index) {
    if (index >= m_deviceCount) return kStatusFailed;
    m_selected = index;
    m_selectedAddress = m_addresses[index];
    return kStatusOk;
}

NimbraStatus CDanteIF::GetSelectedConnection(uint16_t* index) {
    if (!IsOpen()) return kStatusFailed;
    *index = m_selected;
    return kStatusOk;
}

// Names the selected connection whatever the index: callers select first.
NimbraStatus CDanteIF::GetConnectionName(uint16_t /*index*/, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return kStatusOk;
    std::snprintf(buffer, static_cast<size_t>(size), "Dante (%s)", platform::Ipv4Text(m_selectedAddress).c_str());
    return kStatusOk;
}

NimbraStatus CDanteIF::SetXSlotTarget(uint8_t on) {
    m_xslotTarget = on != 0 ? 1 : 0;
    return kStatusOk;
}

NimbraStatus CDanteIF::Write(const uint8_t* data, int length) {
    if (!m_send.IsOpen() || length < 0) return kStatusFailed;
    const uint16_t port = m_xslotTarget != 0 ? m_options.ports.card : m_options.ports.unit;
    return m_send.SendTo(m_selectedAddress, port, data, static_cast<size_t>(length)) ? kStatusOk : kStatusFailed;
}

// Only the selected device's replies reach the remote, and only whole
// messages: anyone may send to the reply port, and a message left open by
// one datagram would swallow the reply in the next. Datagrams that fail
// either test are dropped, a bounded number per call so that a flood cannot
// hold the caller here. Only datagrams already there are taken; the wait
// for one is WaitForInput.
NimbraStatus CDanteIF::Read(uint8_t* buffer, int size, int* received) {
    *received = 0;
    if (size <= 0) return kStatusOk;
    for (int dropped = 0; dropped < kMaxDroppedPerRead; ++dropped) {
        std::fill_n(buffer, size, uint8_t{0});
        uint32_t from = 0;
        const long n = m_receive.ReceiveWaiting(buffer, static_cast<size_t>(size), &from);
        if (n == platform::UdpSocket::kNothingWaiting) return kStatusOk;
        if (n < 0) {
            Close();
            return kStatusFailed;
        }
        if (m_selected == kNoConnection || from != m_selectedAddress) continue;
        // An empty datagram is how the device says the link is gone.
        if (n == 0) {
            Close();
            return kStatusFailed;
        }
        if (!IsWholeMessage(buffer, n)) continue;
        *received = static_cast<int>(n);
        return kStatusOk;
    }
    std::fill_n(buffer, size, uint8_t{0});
    return kStatusOk;
}

platform::WaitResult CDanteIF::WaitForInput(uint32_t timeoutMs) {
    if (!m_receive.IsOpen()) return platform::WaitResult::Failed;
    return m_receive.WaitReadable(timeoutMs);
}

uint32_t CDanteIF::DeviceAddress(uint16_t index) const { return index < m_deviceCount ? m_addresses[index] : 0; }
