// The discovery library's TXT-record parsing and DNS-SD reply handlers on
// arbitrary replies: browse, resolve and address-record answers with fuzzed
// names, flags, interfaces, ports and record data. The handlers' TXT lookups
// go through the project's fake DNS-SD library, loaded as the real one would
// be; our own back-end's record handling (TXT look-ups, full names, PTR
// labels) is driven directly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "discovery/db_internal.h"
#include "discovery/dnssd.h"
#include "discovery/dnssd_records.h"
#include "discovery/dr_internal.h"
#include "platform/dynamic_library.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    std::string Text() {
        const size_t n = std::min<size_t>(Byte() % 80, size);
        std::string s(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        return std::string(s.c_str());  // up to the first zero byte
    }
    std::basic_string<unsigned char> Bytes() {
        const size_t n = std::min<size_t>(Word() % 600, size);
        std::basic_string<unsigned char> s(data, n);
        data += n;
        size -= n;
        return s;
    }
};

struct World {
    platform::ScopedLibraryRedirect redirect{dnssd::PlatformLibraryName(), QUIL_FAKE_DNS_SD};
    std::unique_ptr<dnssd::Library> library;
    aud_env_t* env = nullptr;
    db_browse_t* browse = nullptr;
    dr_devices_t* devices = nullptr;
    World() {
        std::string error;
        library = dnssd::Library::Load(error);
        if (!library) __builtin_trap();
        aud_env_acquire(&env);
        db_browse_new(env, DB_TYPE_ALL, &browse);
        dr_devices_new(env, &devices);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    Reader in{data, size};
    const uint8_t which = in.Byte() % 5;
    const uint32_t ifindex = in.Byte() % 4;
    if (which == 0) {
        db_device_t device{};
        const auto txt = in.Bytes();
        discovery_internal::ParseMediaTxt(txt.data(), static_cast<uint16_t>(txt.size()), &device);
    } else if (which == 1) {
        const std::string name = in.Text();
        const std::string type = in.Text();
        db_dnssd_browse(nullptr, in.Byte(), ifindex, in.Byte() == 0 ? 0 : -65537, name.c_str(), type.c_str(), "local.",
                        world.browse);
    } else if (which == 2) {
        const std::string name = in.Text();
        const unsigned type = in.Byte() % DB_NUM_TYPES;
        db_resolve* record = discovery_internal::QueueResolve(world.browse, 0, type, name.c_str());
        if (record != nullptr) {
            const std::string host = in.Text();
            const uint16_t port = in.Word();
            const auto txt = in.Bytes();
            db_dnssd_resolve(nullptr, 0, 0, in.Byte() == 0 ? 0 : -65537, name.c_str(), host.c_str(), port,
                             static_cast<uint16_t>(txt.size()), txt.data(), record);
        }
    } else if (which == 3) {
        const std::string key = in.Text();
        const std::string service = in.Text();
        const auto txt = in.Bytes();
        const auto size = static_cast<uint16_t>(txt.size());
        uint8_t length = 0;
        const auto* value = static_cast<const uint8_t*>(dnssd::TxtValue(size, txt.data(), key.c_str(), &length));
        if (value != nullptr && (value < txt.data() || value + length > txt.data() + size)) __builtin_trap();
        if (value != nullptr && !dnssd::TxtContainsKey(size, txt.data(), key.c_str())) __builtin_trap();
        char full[dnssd::kDNSServiceMaxDomainName];
        if (dnssd::ConstructFullName(full, service.c_str(), key.c_str(), "local") == 0 &&
            std::strlen(full) >= sizeof full) {
            __builtin_trap();
        }
        std::string label;
        if (dnssd::FirstWireLabel(txt.data(), txt.size(), label) && label.size() + 1 > txt.size()) __builtin_trap();
    } else {
        dr_device_t* device = nullptr;
        if (dr_device_open_remote(world.devices, "fuzz", &device) == AUD_SUCCESS) {
            const std::string host = in.Text();
            const uint16_t port = in.Word();
            const auto txt = in.Bytes();
            void* slot = dr_device_address_slot(device);
            device_address_resolve_callback(nullptr, 0, ifindex, 0, "fuzz", host.c_str(), port,
                                            static_cast<uint16_t>(txt.size()), txt.data(), slot);
            const auto rdata = in.Bytes();
            device_address_query_callback(nullptr, 0, ifindex, in.Byte() == 0 ? 0 : -65537, host.c_str(), 1, 1,
                                          static_cast<uint16_t>(rdata.size()), rdata.data(), 0, slot);
            dr_address_t addresses[2];
            unsigned count = 2;
            dr_device_get_addresses(device, &count, addresses);
            if (count != 1) __builtin_trap();
            dr_device_close(device);
        }
    }
    // Resolves left pending by browse replies, and the tree, start afresh.
    db_browse_stop(world.browse);
    return 0;
}
