// The Dante link: converters that carry a VX-DANTE card on a Dante network,
// found by DNS-SD (one second of browsing narrowed to the maker's subtype)
// and reached over UDP, one SysEx message per datagram. Messages go to the
// card's address on port 5645 for the converter or 5647 for the card itself;
// replies arrive on local port 5646. Only whole messages from the selected
// device's address are taken; any other datagram there is dropped.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "discovery/aud.h"
#include "discovery/dante_scan.h"
#include "discovery/db_browse.h"
#include "discovery/dr_devices.h"
#include "links/nimbra_interface.h"
#include "platform/udp_socket.h"

namespace dnssd {
class Library;
}

struct DantePorts {
    uint16_t unit = 5645;   // messages for the converter
    uint16_t reply = 5646;  // local port of the replies, bound on every address
    uint16_t card = 5647;   // messages for the option card itself
};

struct DanteOptions {
    DantePorts ports;
    // How long Open browses.
    uint32_t browseMs = 1000;
    // How long one device may take to resolve; a device that never resolves
    // would otherwise hold Open for good. It is then left out. Devices
    // resolve side by side, each by its own deadline, so Open takes at most
    // the browse window plus this limit.
    uint32_t resolveLimitMs = 3000;
};

inline constexpr uint16_t kDanteMaxDevices = 16;

// The address a device is reached at, from what the look-up returned (room
// for two): the first when it is not 0, else the second when there is one.
uint32_t ChooseDanteAddress(const dr_address_t* addresses, unsigned count);
inline constexpr int kDanteNameSize = 255;

class CDanteIF final : public CNimbraInterface {
public:
    explicit CDanteIF(const DanteOptions& options = {});
    ~CDanteIF() override;
    CDanteIF(const CDanteIF&) = delete;
    CDanteIF& operator=(const CDanteIF&) = delete;

    NimbraStatus Open() override;
    NimbraStatus Close() override;
    void SetDeviceName(const char* /*name*/) override {}
    bool IsOpen() override;
    NimbraStatus GetNumberOfConnections(uint16_t* count) override;
    NimbraStatus SelectConnection(uint16_t index) override;
    NimbraStatus GetSelectedConnection(uint16_t* index) override;
    NimbraStatus GetConnectionName(uint16_t index, char* buffer, int size) override;
    NimbraStatus SetXSlotTarget(uint8_t on) override;
    NimbraStatus Write(const uint8_t* data, int length) override;
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override;
    platform::WaitResult WaitForInput(uint32_t timeoutMs) override;

    // The XSlot target flag: 1 while writes go to the card's own endpoint.
    uint8_t XSlotTarget() const { return m_xslotTarget; }
    // Address of device `index` in network order (0 beyond the count).
    uint32_t DeviceAddress(uint16_t index) const;

private:
    static void NodeChanged(db_browse_t* browse, const db_node_event_t* event, int change);
    static void RebuildBrowseSockets(db_browse_t* browse);
    static void RebuildRoutingSockets(dr_devices_t* devices);
    bool SetUpDiscovery();
    void ProcessBrowse();
    void AddDevice(const char* name);
    void StoreDevices();

    DanteOptions m_options;
    std::unique_ptr<dnssd::Library> m_library;
    aud_env_t* m_env = nullptr;
    db_browse_t* m_browse = nullptr;
    aud_socket_set_t m_browseSockets{};
    dr_devices_t* m_devices = nullptr;
    discovery::DeviceLookups m_lookups;  // the devices being resolved
    aud_socket_set_t m_routingSockets{};
    uint16_t m_deviceCount = 0;
    uint16_t m_selected = kNoConnection;
    std::array<std::array<char, kDanteNameSize>, kDanteMaxDevices> m_names{};
    std::array<uint32_t, kDanteMaxDevices> m_addresses{};
    uint32_t m_selectedAddress = 0;
    platform::UdpSocket m_receive;
    platform::UdpSocket m_send;
    uint8_t m_xslotTarget = 0;
};
