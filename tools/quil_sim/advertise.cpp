#include "tools/quil_sim/advertise.h"

#ifdef QUIL_SIM_AVAHI
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/defs.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#endif

namespace quilsim {

bool AdvertisingOffered() {
#ifdef QUIL_SIM_ADVERTISE_OFFERED
    return true;
#else
    return false;
#endif
}

#ifdef QUIL_SIM_AVAHI

namespace {

constexpr char kServiceType[] = "_netaudio-arc._udp";
constexpr char kSubtypeName[] = "Velk._sub._netaudio-arc._udp.local";
constexpr uint16_t kArcPort = 4440;
constexpr uint32_t kTtl = 120;

// A name in DNS wire form: length-prefixed labels and the closing zero.
std::vector<uint8_t> WireName(const std::vector<std::string>& labels) {
    std::vector<uint8_t> wire;
    for (const std::string& label : labels) {
        wire.push_back(static_cast<uint8_t>(label.size()));
        wire.insert(wire.end(), label.begin(), label.end());
    }
    wire.push_back(0);
    return wire;
}

void ClientChanged(AvahiClient*, AvahiClientState, void*) {}
void GroupChanged(AvahiEntryGroup*, AvahiEntryGroupState, void*) {}

class AvahiAdvertiser final : public Advertiser {
public:
    ~AvahiAdvertiser() override {
        if (m_poll != nullptr) avahi_threaded_poll_stop(m_poll);
        if (m_client != nullptr) avahi_client_free(m_client);  // frees the group too
        if (m_poll != nullptr) avahi_threaded_poll_free(m_poll);
    }

    bool Start(const std::vector<Advertised>& units, std::string& error) {
        m_poll = avahi_threaded_poll_new();
        if (m_poll == nullptr) return Failed("cannot make an event loop", error);
        int code = 0;
        m_client =
            avahi_client_new(avahi_threaded_poll_get(m_poll), AvahiClientFlags(0), ClientChanged, nullptr, &code);
        if (m_client == nullptr || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING) {
            return Failed(std::string("the DNS-SD daemon is not running: ") + avahi_strerror(code), error);
        }
        AvahiEntryGroup* group = avahi_entry_group_new(m_client, GroupChanged, nullptr);
        if (group == nullptr) return Failed(avahi_strerror(avahi_client_errno(m_client)), error);
        for (const Advertised& unit : units) {
            const std::string host = unit.name + ".local";
            AvahiAddress address{};
            address.proto = AVAHI_PROTO_INET;
            address.data.ipv4.address = unit.address;
            const std::vector<uint8_t> instance = WireName({unit.name, "_netaudio-arc", "_udp", "local"});
            // No reverse record: the address may be the host's own, whose
            // reverse name the daemon already publishes.
            int result = avahi_entry_group_add_address(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                       AVAHI_PUBLISH_NO_REVERSE, host.c_str(), &address);
            if (result >= 0) {
                result = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0),
                                                       unit.name.c_str(), kServiceType, nullptr, host.c_str(), kArcPort,
                                                       "arcp_vers=2.7.0", "router_vers=4.0.2", nullptr);
            }
            if (result >= 0) {
                result = avahi_entry_group_add_record(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0),
                                                      kSubtypeName, AVAHI_DNS_CLASS_IN, AVAHI_DNS_TYPE_PTR, kTtl,
                                                      instance.data(), instance.size());
            }
            if (result < 0) return Failed(unit.name + ": " + avahi_strerror(result), error);
        }
        if (avahi_entry_group_commit(group) < 0 || avahi_threaded_poll_start(m_poll) < 0) {
            return Failed(avahi_strerror(avahi_client_errno(m_client)), error);
        }
        return true;
    }

private:
    static bool Failed(const std::string& text, std::string& error) {
        error = text;
        return false;
    }

    AvahiThreadedPoll* m_poll = nullptr;
    AvahiClient* m_client = nullptr;
};

}  // namespace

std::unique_ptr<Advertiser> Advertise(const std::vector<Advertised>& units, std::string& error) {
    auto advertiser = std::make_unique<AvahiAdvertiser>();
    if (!advertiser->Start(units, error)) return nullptr;
    return advertiser;
}

#else

std::unique_ptr<Advertiser> Advertise(const std::vector<Advertised>&, std::string& error) {
    error = "this build cannot publish through DNS-SD (no Avahi client library)";
    return nullptr;
}

#endif

}  // namespace quilsim
