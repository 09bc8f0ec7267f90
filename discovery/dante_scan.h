// The discovery the Dante link runs: browse the media-device and
// conmon-device types narrowed to the maker's subtype, and look up the
// address of every device found by name, all look-ups running side by side
// with the browse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/aud.h"
#include "discovery/db_browse.h"
#include "discovery/dr_devices.h"

namespace discovery {

struct FoundDevice {
    std::string name;
    uint32_t ip = 0;  // network order
    uint16_t port = 0;
};

struct ScanOptions {
    uint32_t browseMs = 1000;
    // How long one device's address look-up may take; a device that never
    // resolves would otherwise hold the scan forever.
    uint32_t resolveLimitMs = 3000;
};

// The maker's subtype filter: "Velk" and four zero bytes.
constexpr uint8_t kMakerSubtype[8] = {'V', 'e', 'l', 'k', 0, 0, 0, 0};

// The address a device is reached at, from what the look-up returned: the
// first when it is not 0, else the second when there is one.
dr_address_t ChooseAddress(const dr_address_t* addresses, unsigned count);

// The address look-ups of the devices a browse reports, side by side: each
// device opened by name resolves on its own, by its own deadline, so that a
// device that never resolves delays no other.
class DeviceLookups {
public:
    explicit DeviceLookups(uint32_t limitMs) : m_limitMs(limitMs) {}
    ~DeviceLookups() { Clear(); }
    DeviceLookups(const DeviceLookups&) = delete;
    DeviceLookups& operator=(const DeviceLookups&) = delete;

    // Opens NAME on DEVICES, with CONTEXT as the device's, due at nowMs plus
    // the limit. A name already found, or still being looked up, is not
    // opened again.
    void Start(dr_devices_t* devices, const char* name, uint32_t nowMs, void* context = nullptr);
    // Takes the address of every device that has resolved, and gives up on
    // those whose look-up failed or whose deadline has passed.
    void Update(uint32_t nowMs);
    bool Pending() const;
    // The devices resolved, in the order their look-ups started.
    std::vector<FoundDevice> Found() const;
    // Closes the devices still open (before their routing-devices object
    // goes) and forgets every look-up.
    void Clear();

private:
    struct Lookup {
        std::string name;
        dr_device_t* device = nullptr;  // null once finished
        uint32_t startMs = 0;
        bool found = false;
        dr_address_t address{};
    };
    uint32_t m_limitMs;
    std::vector<Lookup> m_lookups;
};

// The scan's time line: the browse window, then at most one look-up limit
// for devices still resolving. Done once the window has passed and nothing
// is pending (a look-up waiting for a DNS-SD daemon that has gone counts as
// nothing), or at the latest at the window plus the limit.
class ScanWindow {
public:
    ScanWindow(uint32_t startMs, uint32_t browseMs, uint32_t limitMs)
        : m_start(startMs), m_browseMs(browseMs), m_limitMs(limitMs) {}
    bool Done(uint32_t nowMs, bool pending) const {
        const uint32_t elapsed = nowMs - m_start;
        return elapsed >= m_browseMs && (!pending || elapsed - m_browseMs >= m_limitMs);
    }

private:
    uint32_t m_start;
    uint32_t m_browseMs;
    uint32_t m_limitMs;
};

// One processing step of a browse and its look-ups: waits at most waitUs
// for any of their sockets, then lets each process what is readable.
// Returns what the wait returned (-1 with *error set when it failed).
int ProcessBrowseAndLookups(db_browse_t* browse, const aud_socket_set_t& browseSockets, dr_devices_t* devices,
                            const aud_socket_set_t& deviceSockets, int32_t waitUs, aud_error_t* error);

// True while the browse has resolves running or queued (devices it has seen
// but not yet reported) or LOOKUPS has look-ups running, and the DNS-SD
// daemon is there to answer them.
bool StillResolving(const db_browse_t* browse, const DeviceLookups& lookups);

// Needs the DNS-SD library loaded (dnssd::Library). Devices whose address
// could not be had are left out. Returns the first error that stopped the
// scan (start failures, select failures), NOTRUNNING when the DNS-SD daemon
// was gone at the end (the list may then be short), SUCCESS otherwise.
aud_error_t ScanDanteDevices(const ScanOptions& options, std::vector<FoundDevice>& found);

}  // namespace discovery
