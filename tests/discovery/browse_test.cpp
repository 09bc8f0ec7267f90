#include <gtest/gtest.h>

#include <cstring>

#include "discovery/db_browse.h"
#include "discovery/db_internal.h"
#include "tests/discovery/fake_dns_sd_fixture.h"

namespace {

constexpr const char* kArc = "_netaudio-arc._udp.";
constexpr const char* kCmc = "_netaudio-cmc._udp.";

struct Event {
    int kind;
    std::string name;
    int change;
};

class Browse : public FakeDnsSd {
protected:
    void TearDown() override {
        db_browse_delete(browse);
        EXPECT_EQ(openRefs(), 0);
        FakeDnsSd::TearDown();
    }

    void Start(unsigned types = DB_TYPE_MEDIA_DEVICE | DB_TYPE_CONMON_DEVICE, bool filter = true) {
        ASSERT_EQ(db_browse_new(env, types, &browse), AUD_SUCCESS);
        db_browse_set_context(browse, this);
        if (filter) {
            const db_id64_t velk{{'V', 'e', 'l', 'k', 0, 0, 0, 0}};
            db_browse_set_subtype_filter(browse, &velk);
        }
        db_browse_set_node_callback(browse, [](db_browse_t* b, const db_node_event_t* e, int change) {
            auto* self = static_cast<Browse*>(db_browse_get_context(b));
            const char* name = e->kind == DB_NODE_DEVICE ? static_cast<db_device_t*>(e->node)->name : "";
            self->events.push_back({e->kind, name, change});
        });
        db_browse_set_sockets_callback(
            browse, [](db_browse_t* b) { ++static_cast<Browse*>(db_browse_get_context(b))->socketChanges; });
        db_browse_config_t config;
        db_browse_config_init(&config);
        ASSERT_EQ(db_browse_start_config(browse, &config), AUD_SUCCESS);
    }

    // Passes until nothing is readable; returns the first error.
    aud_error_t Pump(int passes = 20) {
        for (int i = 0; i < passes; ++i) {
            aud_socket_set_t set;
            aud_socket_set_init(&set);
            db_browse_get_sockets(browse, &set);
            aud_error_t error = AUD_SUCCESS;
            const int ready = aud_socket_set_select(&set, 0, &error);
            const aud_error_t result = db_browse_process(browse, &set, nullptr);
            if (result != AUD_SUCCESS) return result;
            if (ready == 0 && db_browse_num_pending_resolves(browse) == 0) break;
        }
        return AUD_SUCCESS;
    }

    void Device(const char* name, uint32_t ifindex = 7, const char* subtype = "Velk") {
        Service(name, kArc, subtype, ifindex, (std::string(name) + ".local.").c_str(), 4440,
                {"arcp_vers=2.7.0", "router_vers=4.0.2", "mf=Quil", "model=_0a0b"});
    }

    db_browse_t* browse = nullptr;
    std::vector<Event> events;
    int socketChanges = 0;
};

TEST_F(Browse, MasksAndSocketLimits) {
    db_browse_t* b = nullptr;
    EXPECT_EQ(db_browse_new(env, 0, &b), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(db_browse_new(env, 0x80, &b), AUD_ERR_INVALIDPARAMETER);
    Start();
    aud_socket_set_t set;
    aud_socket_set_init(&set);
    ASSERT_EQ(db_browse_get_sockets(browse, &set), AUD_SUCCESS);
    EXPECT_EQ(set.count, 2);
    EXPECT_EQ(db_browse_set_max_sockets(browse, 2), AUD_ERR_INVALIDPARAMETER);
    EXPECT_EQ(db_browse_set_max_sockets(browse, 18), AUD_SUCCESS);  // unchanged while started
    EXPECT_EQ(db_browse_set_max_sockets(browse, 10), AUD_ERR_INVALIDSTATE);
    db_browse_stop(browse);
    EXPECT_EQ(db_browse_set_max_sockets(browse, 18), AUD_SUCCESS);
    EXPECT_EQ(db_browse_get_max_resolves(browse), 16u);
    EXPECT_EQ(db_browse_set_max_sockets(browse, 5), AUD_SUCCESS);
    EXPECT_EQ(db_browse_get_max_resolves(browse), 3u);
}

TEST_F(Browse, SubtypeLabels) {
    const struct {
        db_id64_t id;
        const char* label;
    } cases[] = {
        {{{'V', 'e', 'l', 'k', 0, 0, 0, 0}}, "Velk"}, {{{0, 0, 0, 0, 0, 0, 0, 0}}, "_00"},
        {{{'_', 'a', 0, 0, 0, 0, 0, 0}}, "_5f61"},    {{{'a', '.', 'b', 0, 0, 0, 0, 0}}, "_612e62"},
        {{{'a', 0, 'b', 0, 0, 0, 0, 0}}, "_610062"},  {{{'A', 'z', '-', '_', '9', '1', '2', '3'}}, "Az-_9123"},
    };
    for (const auto& c : cases) {
        char label[18];
        db_id64_subtype_label(&c.id, label, sizeof label);
        EXPECT_STREQ(label, c.label);
    }
}

TEST_F(Browse, FilteredBrowseTypesAndOneAddedThenOneModifiedForTwoTypes) {
    Start();
    EXPECT_STREQ(lastName("DNSServiceBrowse"), "_netaudio-cmc._udp.,Velk");
    EXPECT_EQ(count("DNSServiceBrowse"), 2);
    Device("quil-1");
    Service("quil-1", kCmc, "Velk", 7, "quil-1.local.", 8800, {"id=001dc1fffe123456", "process=1"});
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].change, DB_NODE_ADDED);
    EXPECT_EQ(events[1].change, DB_NODE_MODIFIED);
    const db_device_t* d = db_browse_device_at(browse, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->flags, unsigned(DB_FLAG_MEDIA_DEVICE | DB_FLAG_CONMON_DEVICE));
    EXPECT_STREQ(d->host, "quil-1");
    EXPECT_EQ(d->media.arcp_version.minor, 7);
    EXPECT_EQ(std::memcmp(d->media.manufacturer.data, "Quil\0\0\0", 8), 0);
    EXPECT_EQ(d->media.model.data[1], 0x0b);
    EXPECT_EQ(d->conmon.device_id.data[7], 0x56);
    EXPECT_EQ(d->conmon.vendor_id.data[0], 0);  // no "vid": zero
    EXPECT_GE(socketChanges, 1);
}

TEST_F(Browse, NetworkBindingAndLoopback) {
    Start();
    Device("first", 7);
    Device("elsewhere", 9);
    if (loopback != 0) Device("local", loopback);
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    EXPECT_TRUE(Logged("No interface index filter defined for network 0, setting interface index to 7"));
    EXPECT_TRUE(Logged(
        "Ignoring advertisement elsewhere._netaudio-arc._udp..local. flags=0x00000002 on invalid interface index 9"));
    std::vector<std::string> names;
    for (unsigned i = 0; i < db_browse_num_devices(browse); ++i) names.push_back(db_browse_device_at(browse, i)->name);
    if (loopback != 0) {
        EXPECT_EQ(names, (std::vector<std::string>{"first", "local"}));
        EXPECT_EQ(db_browse_device_at(browse, 1)->loopback_flags, unsigned(DB_FLAG_MEDIA_DEVICE));
    }
}

TEST_F(Browse, NameLimitAndRemoval) {
    Start();
    const std::string ok(31, 'a');
    const std::string tooLong(32, 'b');
    Device(ok.c_str());
    Device(tooLong.c_str());
    Service(ok.c_str(), kCmc, "Velk", 7, "h.local.", 8800, {"id=001dc1fffe123456", "process=1"});
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    EXPECT_TRUE(Logged("Ignoring invalid name \"" + tooLong + "\""));
    ASSERT_EQ(db_browse_num_devices(browse), 1u);
    events.clear();
    removeService(ok.c_str(), kCmc);
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].change, DB_NODE_MODIFIED);
    removeService(ok.c_str(), kArc);
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].change, DB_NODE_REMOVED);
    EXPECT_EQ(db_browse_num_devices(browse), 0u);
}

TEST_F(Browse, ConmonTxtRules) {
    // "process" need only be present and not empty; "vba" needs its four
    // numbers, and what follows them is not looked at.
    const struct {
        std::vector<std::string> txt;
        const char* message;  // null: added
        uint16_t process;
    } cases[] = {
        {{"id=001dc1fffe12345", "process=1"}, "'id' field missing or empty", 0},
        {{"id=001dc1fffe1234567", "process=1"}, "'id' field missing or empty", 0},
        {{"id=001dc1fffe12345g", "process=1"}, "'id' field has insufficient data", 0},
        {{"id=001dc1fffe123456"}, "'process' field missing or empty", 0},
        {{"id=001dc1fffe123456", "process="}, "'process' field missing or empty", 0},
        {{"id=001dc1fffe123456", "process=1", "vid=12"}, "'vid' field missing or empty", 0},
        {{"id=001dc1fffe123456", "process=1", "vid=001dc1fffe12345x"}, "'vid' field has insufficient data", 0},
        {{"id=001dc1fffe123456", "process=1", "vba=1.2.3"}, "'vsb' field has invalid data", 0},
        {{"id=001dc1fffe123456", "process=abc"}, nullptr, 0},
        {{"id=001dc1fffe123456", "process=70000x", "vba=1.2.3.4x"}, nullptr, 70000 & 0xFFFF},
    };
    Start(DB_TYPE_CONMON_DEVICE, false);
    unsigned added = 0;
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "dev" + std::to_string(n++);
        Service(name.c_str(), kCmc, "", 7, "h.local.", 8800, c.txt);
        lines.clear();
        ASSERT_EQ(Pump(), AUD_SUCCESS);
        if (c.message != nullptr) {
            EXPECT_TRUE(Logged(c.message)) << c.message;
            continue;
        }
        ASSERT_EQ(db_browse_num_devices(browse), ++added) << name;
        const db_device_t* d = db_browse_device_at(browse, added - 1);
        EXPECT_STREQ(d->name, name.c_str());
        EXPECT_EQ(d->conmon.process_id, c.process) << name;
    }
    EXPECT_EQ(db_browse_device_at(browse, added - 1)->conmon.vba[3], 4);
}

TEST_F(Browse, MediaTxtOf33StringsCountsAsEmptyAndVersionPartsMissingAreZero) {
    std::vector<std::string> txt(32, "x=1");
    txt.insert(txt.begin(), "arcp_vers=2.7.0");
    Start(DB_TYPE_MEDIA_DEVICE, false);
    Service("many", kArc, "", 7, "h.local.", 4440, txt);
    Service("short", kArc, "", 7, "h.local.", 4440, {"arcp_vers=2.7", "router_vers=4"});
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    ASSERT_EQ(db_browse_num_devices(browse), 2u);
    EXPECT_EQ(db_browse_device_at(browse, 0)->media.arcp_version.minor, 0);
    const db_device_t* d = db_browse_device_at(browse, 1);
    EXPECT_EQ(d->media.arcp_version.minor, 7);
    EXPECT_EQ(d->media.arcp_version.patch, 0);
    EXPECT_EQ(d->media.router_version.major, 4);
    EXPECT_EQ(d->media.router_version.minor, 0);
}

TEST_F(Browse, HostTargetKeepsTheFirstLabelCutTo31) {
    Start(DB_TYPE_MEDIA_DEVICE, false);
    Service("a", kArc, "", 7, "quil-a.local.", 4440, {});
    Service("b", kArc, "", 7, std::string(40, 'h').c_str(), 4440, {});
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    EXPECT_STREQ(db_browse_device_at(browse, 0)->host, "quil-a");
    EXPECT_STREQ(db_browse_device_at(browse, 1)->host, std::string(31, 'h').c_str());
}

TEST_F(Browse, SilentResolveTimesOutAndReconfirmsThePtrRecord) {
    Start(DB_TYPE_MEDIA_DEVICE, false);
    db_browse_stop(browse);
    ASSERT_EQ(db_browse_set_max_sockets(browse, 2), AUD_SUCCESS);  // one resolve at a time
    db_browse_config_t config;
    db_browse_config_init(&config);
    ASSERT_EQ(db_browse_start_config(browse, &config), AUD_SUCCESS);
    Service("mute", kArc, "", 7, "m.local.", 4440, {});
    Service("next", kArc, "", 7, "n.local.", 4440, {});
    setResolveMode("mute", 1);
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    EXPECT_EQ(db_browse_num_active_resolves(browse), 1u);
    EXPECT_EQ(db_browse_num_pending_resolves(browse), 1u);
    m_clock.Advance(30000);
    ASSERT_EQ(Pump(1), AUD_SUCCESS);
    EXPECT_EQ(db_browse_num_active_resolves(browse), 1u);  // not yet: the deadline is not passed
    m_clock.Advance(1);
    aud_socket_set_t none;
    aud_socket_set_init(&none);
    ASSERT_EQ(db_browse_process(browse, &none, nullptr), AUD_SUCCESS);
    EXPECT_TRUE(
        Logged("Resolve media device/mute (mute._netaudio-arc._udp.local.) timed out, removing and reconfirming"));
    EXPECT_EQ(db_browse_num_pending_resolves(browse), 0u);  // the next one started in the same pass
    EXPECT_STREQ(lastName("DNSServiceReconfirmRecord"), "_netaudio-arc._udp.local");
    uint16_t rrtype = 0;
    uint8_t data[256];
    uint16_t length = 0;
    ASSERT_EQ(lastReconfirm(&rrtype, data, &length), 1);
    EXPECT_EQ(rrtype, 12);
    const uint8_t expected[] = "\x04mute\x0d_netaudio-arc\x04_udp\x05local";
    EXPECT_EQ(std::vector<uint8_t>(data, data + length), std::vector<uint8_t>(expected, expected + sizeof expected));
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    EXPECT_EQ(db_browse_num_devices(browse), 1u);
}

TEST_F(Browse, AvahiRefusalFallsBackToThePlainTypeWithThePtrFilter) {
    setAvahi(1);
    Device("quil-1");
    Device("plain", 7, "");
    Start();
    EXPECT_STREQ(lastName("DNSServiceBrowse"), kCmc);
    EXPECT_STREQ(lastName("DNSServiceQueryRecord"), "Velk._sub._netaudio-cmc._udp.local");
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    ASSERT_EQ(db_browse_num_devices(browse), 1u);
    EXPECT_STREQ(db_browse_device_at(browse, 0)->name, "quil-1");
    EXPECT_EQ(events.size(), 1u);  // reported twice: one device, one event
}

TEST_F(Browse, FailedPassStillHasTheSocketSetRebuilt) {
    Start(DB_TYPE_MEDIA_DEVICE, false);
    Pump();
    const int before = socketChanges;
    Device("x", 7, "");
    failNext("DNSServiceProcessResult", -65537);
    EXPECT_EQ(Pump(), AUD_ERR_DNSSDFAIL);
    EXPECT_EQ(socketChanges, before + 1);
    ASSERT_EQ(Pump(), AUD_SUCCESS);
    EXPECT_EQ(db_browse_num_devices(browse), 1u);
}

TEST_F(Browse, StartFailureLeavesNothingOpen) {
    ASSERT_EQ(db_browse_new(env, DB_TYPE_MEDIA_DEVICE | DB_TYPE_CONMON_DEVICE, &browse), AUD_SUCCESS);
    db_browse_config_t config;
    db_browse_config_init(&config);
    // The media-device browse opens, the conmon one fails: the first is closed again.
    failNext("DNSServiceBrowse", 0);
    EXPECT_EQ(db_browse_start_config(browse, &config), AUD_SUCCESS);
    db_browse_stop(browse);
    failNext("DNSServiceBrowse", -65537);
    EXPECT_EQ(db_browse_start_config(browse, &config), AUD_ERR_DNSSDFAIL);
    EXPECT_TRUE(Logged("Error starting media device (_netaudio-arc._udp.) browse (dnssd err=-65537)"));
    EXPECT_EQ(openRefs(), 0);
}

}  // namespace
