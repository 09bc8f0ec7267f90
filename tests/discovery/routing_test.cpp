#include <gtest/gtest.h>

#include "discovery/dr_devices.h"
#include "platform/net.h"
#include "platform/udp_socket.h"
#include "tests/discovery/fake_dns_sd_fixture.h"
#include "tests/tools/tool_runner.h"

namespace {

constexpr const char* kArc = "_netaudio-arc._udp.";
const uint8_t kAddress[4] = {10, 200, 0, 2};

class Routing : public FakeDnsSd {
protected:
    void SetUp() override {
        FakeDnsSd::SetUp();
        ASSERT_EQ(dr_devices_new(env, &devices), AUD_SUCCESS);
    }
    void TearDown() override {
        if (device != nullptr) dr_device_close(device);
        EXPECT_EQ(dr_devices_delete(devices), AUD_SUCCESS);
        EXPECT_EQ(openRefs(), 0);
        FakeDnsSd::TearDown();
    }

    void Open(const char* name) {
        ASSERT_EQ(dr_device_open_remote(devices, name, &device), AUD_SUCCESS);
        dr_device_set_context(device, this);
        dr_device_set_changed_callback(device, [](dr_device_t* d, unsigned flags) {
            static_cast<Routing*>(dr_device_get_context(d))->changes.push_back(flags);
        });
    }

    void Pump(int passes = 6) {
        for (int i = 0; i < passes; ++i) {
            aud_socket_set_t set;
            aud_socket_set_init(&set);
            dr_devices_get_sockets(devices, &set);
            aud_error_t error = AUD_SUCCESS;
            if (aud_socket_set_select(&set, 0, &error) <= 0) break;
            dr_devices_process(devices, &set);
        }
    }

    dr_address_t Address() {
        dr_address_t a[2] = {};
        unsigned n = 2;
        EXPECT_EQ(dr_device_get_addresses(device, &n, a), AUD_SUCCESS);
        EXPECT_EQ(n, 1u);
        return a[0];
    }

    dr_devices_t* devices = nullptr;
    dr_device_t* device = nullptr;
    std::vector<unsigned> changes;
};

TEST_F(Routing, ResolveThenAddressQueryGivesResolvedOnce) {
    Service("quil-1", kArc, "Velk", 7, "quil-1.local.", 4440, {"arcp_vers=4.1.5", "router_vers=4.0.2"});
    addAddress("quil-1.local.", 7, kAddress, 4);
    Open("quil-1");
    EXPECT_EQ(dr_device_get_state(device), DR_DEVICE_STATE_RESOLVING);
    EXPECT_EQ(Address().ip, 0u);
    Pump();
    EXPECT_EQ(dr_device_get_state(device), DR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(lastFlags("DNSServiceQueryRecord"), 0x500u);
    const dr_address_t a = Address();
    EXPECT_EQ(a.ip, platform::NetOrder32(0x0AC80002u));
    EXPECT_EQ(a.port, 4440);
    EXPECT_EQ(changes, std::vector<unsigned>{0x480});
    EXPECT_EQ(dr_device_get_arcp_version(device), 0x4105);
}

TEST_F(Routing, RefusedQueryFlagsAreAskedAgainWithout) {
    setAvahi(1);
    Service("quil-1", kArc, "Velk", 7, "quil-1.local.", 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    addAddress("quil-1.local", 7, kAddress, 4);
    Open("quil-1");
    Pump();
    EXPECT_EQ(dr_device_get_state(device), DR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(count("DNSServiceQueryRecord"), 2);
    EXPECT_EQ(lastFlags("DNSServiceQueryRecord"), 0u);
}

TEST_F(Routing, LoopbackAnswerNeedsNoQuery) {
    ASSERT_NE(loopback, 0u);
    Service("local", kArc, "", loopback, "host.local.", 4441, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    Open("local");
    Pump();
    EXPECT_EQ(dr_device_get_state(device), DR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(count("DNSServiceQueryRecord"), 0);
    EXPECT_EQ(Address().ip, platform::NetOrder32(0x7F000001u));
    EXPECT_EQ(Address().port, 4441);
}

TEST_F(Routing, TxtVersionRules) {
    // "%u.%u.%u" must give three numbers: what follows them is not looked at.
    const std::string tooLong = "arcp_vers=2.7." + std::string(60, '0');
    const struct {
        std::vector<std::string> txt;
        const char* message;  // null: resolved
        bool safe;
    } cases[] = {
        {{"arcp_vers=4.1", "router_vers=4.0.2"}, "error parsing txt record field 'arcp_vers'", false},
        {{"arcp_vers=4.1.5", "router_vers=0.1.1"}, "error parsing txt record field 'router_vers'", false},
        {{"arcp_vers=4.1.5", "router_vers=4.0"}, "error parsing txt record field 'router_vers'", false},
        {{"arcp_vers=x.1.5", "router_vers=4.0.2"}, "error parsing txt record field 'arcp_vers'", false},
        {{"router_vers=4.0.2"}, "missing or empty field 'arcp_vers'", false},
        {{tooLong, "router_vers=4.0.2"}, "missing or empty field 'arcp_vers'", false},
        {{"arcp_vers=2.7.0", "router_vers="}, "missing or empty field 'router_vers'", false},
        {{"safe=1"}, "marking as being in safe mode", true},
        {{"arcp_vers=2.7.0x", "router_vers=4.0.2-beta"}, nullptr, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "dev" + std::to_string(n++);
        Service(name.c_str(), kArc, "", 7, "h.local.", 4440, c.txt);
        addAddress("h.local.", 7, kAddress, 4);
        lines.clear();
        Open(name.c_str());
        Pump();
        if (c.message != nullptr) {
            EXPECT_TRUE(Logged(c.message)) << c.message;
        }
        // A field that is missing is not also reported as unparsable.
        if (c.message != nullptr && std::string(c.message).find("missing") != std::string::npos) {
            EXPECT_FALSE(Logged("error parsing")) << c.message;
        }
        const bool resolved = c.safe || c.message == nullptr;
        EXPECT_EQ(dr_device_get_state(device), resolved ? DR_DEVICE_STATE_RESOLVED : DR_DEVICE_STATE_RESOLVING) << n;
        // A look-up that failed has nothing left running: no one need wait for it.
        EXPECT_EQ(dr_device_resolve_stopped(device), resolved ? 0 : 1) << n;
        EXPECT_EQ(dr_device_is_safe_mode(device), c.safe ? 1 : 0);
        dr_device_close(device);
        device = nullptr;
    }
}

TEST_F(Routing, SixteenByteAddressIsInvalidData) {
    Service("six", kArc, "", 7, "six.local.", 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    const uint8_t v6[16] = {0xfe, 0x80};
    addAddress("six.local.", 7, v6, 16);
    Open("six");
    Pump();
    EXPECT_TRUE(Logged("invalid rdlen querying device six: 16"));
    EXPECT_TRUE(Logged("INVALIDDATA"));
    EXPECT_EQ(dr_device_get_state(device), DR_DEVICE_STATE_RESOLVING);
}

TEST_F(Routing, DeleteWithAnOpenDeviceIsRefused) {
    Service("x", kArc, "", 7, "x.local.", 4440, {});
    Open("x");
    EXPECT_EQ(dr_devices_delete(devices), AUD_ERR_INVALIDSTATE);
    EXPECT_EQ(dr_devices_delete(nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST_F(Routing, ArcpRequestOnTheSocketIsLoggedAndDropped) {
    const uint32_t here = platform::NetOrder32(0x7F000001u);
    const int s = dr_devices_get_arcp_socket(devices);
    // Bind by sending once to ourselves through a second socket's address.
    platform::UdpSocket peer;
    ASSERT_TRUE(peer.Create(false) && peer.Bind(here, 0));
    const int peerPort = platform::SocketLocalPort(peer.Descriptor());
    ASSERT_GT(peerPort, 0);
    uint8_t packet[10];
    const dr_arcp_header_t request{0x271D, 10, 0x1234, 0x0001, 0};
    dr_arcp_header_write(&request, packet);
    ASSERT_EQ(platform::SendToSocket(s, here, static_cast<uint16_t>(peerPort), packet, 10), 10);
    const int port = platform::SocketLocalPort(s);
    ASSERT_GT(port, 0);
    ASSERT_TRUE(peer.SendTo(here, static_cast<uint16_t>(port), packet, 10));
    peer.Close();
    Pump();
    EXPECT_TRUE(Logged("Unexpected request seqnum=0x1234 opcode=0x0001"));
    EXPECT_EQ(packet[0], 0x27);
    EXPECT_EQ(packet[1], 0x1D);
}

TEST_F(Routing, QuiltoolBrowseListsTheFilteredDevicesWithTheirNamesEscaped) {
    // A name from the network that would forge a line and clear the screen.
    const std::string hostile = "q\ndevice x address=1.2.3.4\x1b[2J";
    const uint8_t second[4] = {10, 200, 0, 3};
    Service("quil-1", kArc, "Velk", 7, "quil-1.local.", 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    Service(hostile.c_str(), kArc, "Velk", 7, "q.local.", 4441, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    Service("other", kArc, "", 7, "other.local.", 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    addAddress("quil-1.local.", 7, kAddress, 4);
    addAddress("q.local.", 7, second, 4);
    addAddress("other.local.", 7, kAddress, 4);
    // The tool loads its own handle of the same library: the script stays.
    platform::SystemClock real;
    platform::ScopedClock scoped(real);

    const Outcome text = RunTool(quiltool::RunBrowse, {"--seconds", "1"});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.Lines(), (std::vector<std::string>{"device quil-1 address=10.200.0.2 port=4440",
                                                      "device q\\ndevice x address=1.2.3.4\\x1b[2J address=10.200.0.3 "
                                                      "port=4441"}));
    const Outcome json = RunTool(quiltool::RunBrowse, {"--json"});
    EXPECT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(json.out,
              "[\n  {\"name\":\"quil-1\",\"address\":\"10.200.0.2\",\"port\":4440},\n"
              "  {\"name\":\"q\\ndevice x address=1.2.3.4\\u001b[2J\",\"address\":\"10.200.0.3\",\"port\":4441}\n]\n");
}

TEST_F(Routing, QuiltoolBrowseFindingNothingWithoutTheLibraryOrWithBadArguments) {
    platform::SystemClock real;
    platform::ScopedClock scoped(real);
    const Outcome text = RunTool(quiltool::RunBrowse, {});
    EXPECT_EQ(text.code, 1);
    EXPECT_EQ(text.err, "quiltool: browse: no Dante device found\n");
    const Outcome json = RunTool(quiltool::RunBrowse, {"--json"});
    EXPECT_EQ(json.code, 1);
    EXPECT_EQ(json.out, "[]\n");

    {
        platform::ScopedLibraryRedirect missing(dnssd::PlatformLibraryName(), "/nonexistent/libdns_sd.so.1");
        const Outcome o = RunTool(quiltool::RunBrowse, {});
        EXPECT_EQ(o.code, 1);
        EXPECT_NE(o.err.find(std::string("quiltool: the DNS-SD library ") + dnssd::PlatformLibraryName() +
                             " cannot be loaded"),
                  std::string::npos)
            << o.err;
    }
    for (const quiltool::Args& args : std::vector<quiltool::Args>{
             {"--seconds", "x"}, {"--seconds", "0"}, {"--seconds", "3601"}, {"--seconds"}, {"extra"}, {"--sec"}}) {
        const Outcome o = RunTool(quiltool::RunBrowse, args);
        EXPECT_EQ(o.code, 2) << args[0];
        EXPECT_EQ(o.err.rfind("quiltool: browse: ", 0), 0u) << o.err;
    }
}

}  // namespace
