// The discovery the Dante link runs: browse the media-device and
// conmon-device types narrowed to the maker's subtype, open every new device
// by name and wait (bounded) for its address.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "discovery/aud.h"

namespace discovery {

struct FoundDevice {
    std::string name;
    uint32_t ip = 0;  // network order
    uint16_t port = 0;
};

struct ScanOptions {
    uint32_t browseMs = 1000;
    // The wait for a device to reach RESOLVED; a device that fails its
    // resolve would otherwise hold the scan forever.
    uint32_t resolveLimitMs = 3000;
};

// The maker's subtype filter: "Velk" and four zero bytes.
constexpr uint8_t kMakerSubtype[8] = {'V', 'e', 'l', 'k', 0, 0, 0, 0};

// Needs the DNS-SD library loaded (dnssd::Library). Devices whose address
// could not be had are left out. Returns the first error that stopped the
// scan (start failures, select failures), SUCCESS otherwise.
aud_error_t ScanDanteDevices(const ScanOptions& options, std::vector<FoundDevice>& found);

}  // namespace discovery
