// Publishes served units through the local DNS-SD daemon the way a Dante
// device with a VX-DANTE card shows itself: a _netaudio-arc._udp service per
// unit on a host name of its own that resolves to the unit's address, and the
// maker's "Velk" subtype as a raw PTR record (the daemon's compatibility
// layer refuses subtype labels that do not begin with "_").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quilsim {

struct Advertised {
    std::string name;      // instance and host label, e.g. "quil-3118220001"
    uint32_t address = 0;  // network order
};

class Advertiser {
public:
    virtual ~Advertiser() = default;
};

// False where the program offers no publishing (Windows, whose DNS-SD service
// it does not publish through): --advertise is a usage error there. A Linux
// build without Avahi's client library offers it and says why it fails.
bool AdvertisingOffered();

// Null, with the reason in `error`, when the daemon cannot be reached or this
// build has no DNS-SD publishing.
std::unique_ptr<Advertiser> Advertise(const std::vector<Advertised>& units, std::string& error);

}  // namespace quilsim
