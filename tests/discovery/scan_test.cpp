// The Dante scan on the fake DNS-SD library and the virtual clock: address
// look-ups run beside the browse, each by its own deadline.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/dante_scan.h"
#include "tests/discovery/fake_dns_sd_fixture.h"

namespace {

constexpr const char* kArc = "_netaudio-arc._udp.";
constexpr const char* kCmc = "_netaudio-cmc._udp.";
const uint8_t kGoodAddress[4] = {10, 200, 0, 2};
const uint8_t kBadAddress[4] = {10, 200, 0, 9};

class Scan : public FakeDnsSd {
protected:
    void SetUp() override {
        FakeDnsSd::SetUp();
        m_clock.SetSpinReadsPerMs(1);  // each look at the clock is a millisecond
    }
};

TEST_F(Scan, ADeviceThatDoesNotResolveDelaysNoOther) {
    enum Bad { kNoAddressRecord, kConmonOnly, kTxtWithoutRouterVersion };
    const struct {
        Bad bad;
        bool waitsForItsDeadline;
    } cases[] = {{kNoAddressRecord, true}, {kConmonOnly, true}, {kTxtWithoutRouterVersion, false}};
    discovery::ScanOptions options;
    options.browseMs = 100;
    options.resolveLimitMs = 400;
    for (const auto& c : cases) {
        reset();
        // Advertised first: a look-up that held the scan would hide the good one.
        if (c.bad == kConmonOnly) {
            Service("bad", kCmc, "Velk", 7, "bad.local.", 8800, {"id=001dc1fffe123456", "process=1"});
            addAddress("bad.local.", 7, kBadAddress, 4);
        } else {
            Service("bad", kArc, "Velk", 7, "bad.local.", 4440,
                    c.bad == kNoAddressRecord ? std::vector<std::string>{"arcp_vers=2.7.0", "router_vers=4.0.2"}
                                              : std::vector<std::string>{"arcp_vers=2.7.0"});
            if (c.bad != kNoAddressRecord) addAddress("bad.local.", 7, kBadAddress, 4);
        }
        Service("good", kArc, "Velk", 7, "good.local.", 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
        addAddress("good.local.", 7, kGoodAddress, 4);

        const uint32_t start = m_clock.Peek();
        std::vector<discovery::FoundDevice> found;
        EXPECT_EQ(discovery::ScanDanteDevices(options, found), AUD_SUCCESS);
        const uint32_t elapsed = m_clock.Peek() - start;

        ASSERT_EQ(found.size(), 1u) << c.bad;
        EXPECT_EQ(found[0].name, "good");
        EXPECT_EQ(found[0].port, 4440);
        EXPECT_EQ(std::memcmp(&found[0].ip, kGoodAddress, 4), 0);
        // Never beyond the window plus one look-up limit; a look-up that
        // failed is not waited for.
        EXPECT_LE(elapsed, options.browseMs + options.resolveLimitMs + 10) << c.bad;
        if (c.waitsForItsDeadline) {
            EXPECT_GE(elapsed, options.resolveLimitMs) << c.bad;
        } else {
            EXPECT_LE(elapsed, options.browseMs + 10) << c.bad;
        }
        EXPECT_EQ(openRefs(), 0);
    }
}

TEST_F(Scan, LookupsOncePerNameEachUntilItsDeadlineAndClosedWhenCleared) {
    const std::vector<std::string> versions = {"arcp_vers=2.7.0", "router_vers=4.0.2"};
    const uint8_t zero[4] = {0, 0, 0, 0};
    Service("quil", kArc, "", 7, "quil.local.", 4440, versions);
    addAddress("quil.local.", 7, kGoodAddress, 4);
    Service("ghost", kArc, "", 7, "ghost.local.", 4440, versions);  // no address record
    Service("zero", kArc, "", 7, "zero.local.", 4440, versions);
    addAddress("zero.local.", 7, zero, 4);
    dr_devices_t* devices = nullptr;
    ASSERT_EQ(dr_devices_new(env, &devices), AUD_SUCCESS);
    discovery::DeviceLookups lookups(100);
    for (const char* name : {"ghost", "quil", "ghost", "zero"}) lookups.Start(devices, name, 1000);
    EXPECT_EQ(count("DNSServiceResolve"), 3);
    for (int i = 0; i < 6; ++i) {
        aud_socket_set_t set;
        aud_socket_set_init(&set);
        dr_devices_get_sockets(devices, &set);
        aud_error_t error = AUD_SUCCESS;
        if (aud_socket_set_select(&set, 0, &error) > 0) dr_devices_process(devices, &set);
    }
    lookups.Update(1099);
    EXPECT_TRUE(lookups.Pending());  // the ghost, until its deadline
    lookups.Update(1100);
    EXPECT_FALSE(lookups.Pending());
    const std::vector<discovery::FoundDevice> found = lookups.Found();
    ASSERT_EQ(found.size(), 1u);  // not the device at address 0
    EXPECT_EQ(found[0].name, "quil");
    // A device found is not looked up again; one that was given up is.
    lookups.Start(devices, "quil", 1100);
    lookups.Start(devices, "ghost", 1100);
    EXPECT_EQ(count("DNSServiceResolve"), 4);
    EXPECT_TRUE(lookups.Pending());
    lookups.Clear();
    EXPECT_EQ(dr_devices_delete(devices), AUD_SUCCESS);
    EXPECT_EQ(openRefs(), 0);
}

TEST(ScanWindow, EndsAfterTheWindowOnceNothingIsPendingOrAtTheLimit) {
    const discovery::ScanWindow window(0xFFFFFF00u, 1000, 3000);  // across the tick's wrap
    const struct {
        uint32_t elapsed;
        bool pending;
        bool done;
    } cases[] = {
        {999, false, false}, {1000, false, true}, {1000, true, false}, {3999, true, false}, {4000, true, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(window.Done(0xFFFFFF00u + c.elapsed, c.pending), c.done) << c.elapsed << ' ' << c.pending;
    }
}

}  // namespace
