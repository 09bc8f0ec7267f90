// The Dante link on the fake DNS-SD library, with virtual units served over
// UDP on loopback addresses. Each test uses its own ports, so that the tests
// can run side by side.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "links/dante_if.h"
#include "platform/ui.h"
#include "sim/udp_units.h"
#include "sim/virtual_quil.h"
#include "tests/discovery/fake_dns_sd_fixture.h"
#include "ui/headless_ui.h"

namespace {

constexpr const char* kArc = "_netaudio-arc._udp.";

// Wine binds a UDP socket bound to a loopback address other than 127.0.0.1
// to every address, and its datagrams leave from 127.0.0.1: there a stranger
// on loopback cannot be told from a device at 127.0.0.1. The devices that
// exchange datagrams with the link are therefore at 127.0.0.1.
#ifdef _WIN32
constexpr bool kLoopbackSendersDistinct = false;
#else
constexpr bool kLoopbackSendersDistinct = true;
#endif
constexpr int kInterface = 7;

uint32_t Ip(const char* text) {
    uint32_t address = 0;
    platform::ParseIpv4(text, address);
    return address;
}

// A request for register 0x41 alone, as the MIDI-port link's probe asks.
const std::vector<uint8_t> kProbe = {0xF0, 0x00, 0x01, 0x54, 0x6A, 0x04, 0x00, 0xF7};

class DanteLink : public FakeDnsSd {
protected:
    void SetUp() override {
        FakeDnsSd::SetUp();
        m_clock.SetSpinReadsPerMs(1);
    }

    // Ports of their own for each test, from `base` up.
    void UsePorts(uint16_t base) {
        options.ports = DantePorts{base, static_cast<uint16_t>(base + 1), static_cast<uint16_t>(base + 2)};
        serverPorts = sim::UdpUnitPorts{base, static_cast<uint16_t>(base + 1), static_cast<uint16_t>(base + 2)};
        options.browseMs = 100;
    }

    void Card(const char* name, const char* address, const char* subtype = "Velk") {
        const std::string host = std::string(name) + ".local.";
        Service(name, kArc, subtype, kInterface, host.c_str(), 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
        const uint32_t ip = Ip(address);
        addAddress(host.c_str(), kInterface, reinterpret_cast<const uint8_t*>(&ip), 4);
    }

    std::string Name(CDanteIF& link, uint16_t index) {
        char buffer[255] = {};
        EXPECT_EQ(link.SelectConnection(index), kStatusOk);
        EXPECT_EQ(link.GetConnectionName(index, buffer, sizeof buffer), kStatusOk);
        return buffer;
    }

    std::vector<uint8_t> ReadOne(CDanteIF& link) {
        uint8_t buffer[4096];
        int received = 0;
        for (int i = 0; i < 200 && received == 0; ++i) {
            if (link.Read(buffer, 4095, &received) != kStatusOk) break;
        }
        return std::vector<uint8_t>(buffer, buffer + received);
    }

    DanteOptions options;
    sim::UdpUnitPorts serverPorts;
};

TEST_F(DanteLink, CardsInAdvertisementOrderAndNotTheOneWithoutTheSubtype) {
    UsePorts(35610);
    Card("quil-b", "127.0.0.3");
    Card("other", "127.0.0.9", "");
    Card("quil-a", "127.0.0.2");
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    EXPECT_TRUE(link.IsOpen());
    uint16_t devices = 0;
    link.GetNumberOfConnections(&devices);
    ASSERT_EQ(devices, 2);
    uint16_t selected = 0;
    EXPECT_EQ(link.GetSelectedConnection(&selected), kStatusOk);
    EXPECT_EQ(selected, kNoConnection);
    EXPECT_EQ(Name(link, 0), "Dante (127.0.0.3)");
    EXPECT_EQ(Name(link, 1), "Dante (127.0.0.2)");
    // The name is that of the selected connection, whatever the index.
    char buffer[255] = {};
    link.GetConnectionName(0, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Dante (127.0.0.2)");
}

TEST_F(DanteLink, ADeviceThatCannotBeResolvedIsSkipped) {
    UsePorts(35620);
    options.resolveLimitMs = 50;
    Card("broken", "127.0.0.5");
    setResolveMode("broken", 2);
    Card("quil-a", "127.0.0.2");
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t devices = 0;
    link.GetNumberOfConnections(&devices);
    ASSERT_EQ(devices, 1);
    EXPECT_EQ(link.DeviceAddress(0), Ip("127.0.0.2"));
}

TEST_F(DanteLink, DevicesThatNeverResolveBesideTheUnitDoNotHideIt) {
    UsePorts(35625);
    options.resolveLimitMs = 400;
    // Advertised first, with no address record and no ARCP service.
    Service("ghost", kArc, "Velk", kInterface, "ghost.local.", 4440, {"arcp_vers=2.7.0", "router_vers=4.0.2"});
    Service("conmon", "_netaudio-cmc._udp.", "Velk", kInterface, "conmon.local.", 8800,
            {"id=001dc1fffe123456", "process=1"});
    Card("quil-a", "127.0.0.2");
    CDanteIF link(options);
    const uint32_t start = m_clock.Peek();
    ASSERT_EQ(link.Open(), kStatusOk);
    EXPECT_LE(m_clock.Peek() - start, options.browseMs + options.resolveLimitMs + 10);
    uint16_t devices = 0;
    link.GetNumberOfConnections(&devices);
    ASSERT_EQ(devices, 1);
    EXPECT_EQ(link.DeviceAddress(0), Ip("127.0.0.2"));
}

// Nothing found, or a browse the DNS-SD library refuses: Open fails and
// leaves nothing of the library's open.
TEST_F(DanteLink, NothingFoundFailsAndLeavesTheLinkClosed) {
    UsePorts(35630);
    // How long Open browsed before it failed.
    const auto openFails = [this] {
        CDanteIF link(options);
        const uint32_t start = m_clock.Peek();
        EXPECT_EQ(link.Open(), kStatusFailed);
        EXPECT_FALSE(link.IsOpen());
        EXPECT_EQ(openRefs(), 0);
        return m_clock.Peek() - start;
    };
    Card("other", "127.0.0.9", "");
    EXPECT_GE(openFails(), options.browseMs);
    Card("quil-a", "127.0.0.2");
    failNext("DNSServiceBrowse", -65537);
    EXPECT_EQ(openFails(), 0u);
}

// The table holds sixteen devices; the ones found after it is full are left.
TEST_F(DanteLink, SixteenDevicesAtMost) {
    UsePorts(35635);
    for (int i = 0; i < kDanteMaxDevices + 2; ++i) {
        const std::string name = "quil-" + std::to_string(i);
        Card(name.c_str(), ("127.0.1." + std::to_string(i + 1)).c_str());
    }
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t devices = 0;
    link.GetNumberOfConnections(&devices);
    EXPECT_EQ(devices, kDanteMaxDevices);
    EXPECT_NE(link.DeviceAddress(kDanteMaxDevices - 1), 0u);
    EXPECT_EQ(link.DeviceAddress(kDanteMaxDevices), 0u);
}

TEST_F(DanteLink, SelectBeyondTheCountFailsAndKeepsTheSelection) {
    UsePorts(35640);
    Card("quil-a", "127.0.0.2");
    CDanteIF link(options);
    uint16_t selected = 0;
    EXPECT_EQ(link.GetSelectedConnection(&selected), kStatusFailed);  // closed
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    EXPECT_EQ(link.SelectConnection(1), kStatusFailed);
    EXPECT_EQ(link.GetSelectedConnection(&selected), kStatusOk);
    EXPECT_EQ(selected, 0);
    link.Close();
    EXPECT_EQ(link.GetSelectedConnection(&selected), kStatusFailed);
}

TEST_F(DanteLink, XSlotTargetSwitchesBetweenUnitAndCardPort) {
    UsePorts(35650);
    Card("quil-a", "127.0.0.1");
    sim::VirtualQuil quil(sim::UnitDescription{});
    sim::UdpUnitServer server(serverPorts);
    std::string error;
    ASSERT_TRUE(server.Add(Ip("127.0.0.1"), quil, error)) << error;
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);

    const struct {
        uint8_t target;
        platform::Endpoint endpoint;
    } cases[] = {{1, platform::Endpoint::OptionCard}, {0, platform::Endpoint::Unit}};
    for (const auto& c : cases) {
        EXPECT_EQ(link.SetXSlotTarget(c.target), kStatusOk);
        EXPECT_EQ(link.XSlotTarget(), c.target);
        ASSERT_EQ(link.Write(kProbe.data(), static_cast<int>(kProbe.size())), kStatusOk);
        server.Service(1000);
        ASSERT_FALSE(quil.Received().empty());
        EXPECT_EQ(quil.Received().back().endpoint, c.endpoint);
        EXPECT_EQ(quil.Received().back().raw, kProbe);
        // The unit's reply comes back on the reply port, one message.
        const std::vector<uint8_t> reply = ReadOne(link);
        ASSERT_EQ(reply.size(), 10u);
        EXPECT_EQ(reply[0], 0xF0);
        EXPECT_EQ(reply[4] & 0x78, 0x70);
    }
    // The flag outlives Close and Open.
    link.SetXSlotTarget(1);
    link.Close();
    EXPECT_EQ(link.XSlotTarget(), 1);
}

// Anyone may send to the reply port: only whole messages from the selected
// device reach the remote, each datagram on its own, and only the device's
// empty datagram closes the link.
TEST_F(DanteLink, OnlyWholeMessagesFromTheSelectedDeviceAreDelivered) {
    UsePorts(35660);
    Card("quil-a", "127.0.0.1");
    Card("quil-b", "127.0.0.3");
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);  // 127.0.0.1
    platform::UdpSocket device, other;
    ASSERT_TRUE(device.Create(false) && device.Bind(Ip("127.0.0.1"), 0));
    ASSERT_TRUE(other.Create(false) && other.Bind(Ip("127.0.0.3"), 0));
    const std::vector<uint8_t> reply = {0xF0, 0x00, 0x01, 0x54, 0x70, 0x04, 0x01, 0x00, 0x00, 0xF7};
    std::vector<uint8_t> noise(3000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 131 + 7);
    noise.front() = 0xF0;
    const struct {
        const char* name;
        bool fromDevice;
        std::vector<uint8_t> datagram;
        bool delivered;
    } cases[] = {
        {"the device's message", true, {0xF0, 0x01, 0xF7}, true},
        {"another device's message", false, {0xF0, 0x01, 0xF7}, false},
        {"a message left open", true, {0xF0, 0x00, 0x01, 0x54, 0x70}, false},
        {"3000 bytes of noise", true, noise, false},
        {"a message inside a message", true, {0xF0, 0x00, 0xF0, 0x01, 0xF7}, false},
        {"an end without a start", true, {0x01, 0xF7}, false},
        {"a start without an end", true, {0xF0, 0x01, 0x02}, false},
        {"an empty message", true, {0xF0, 0xF7}, true},
        {"a status byte first inside", true, {0xF0, 0x90, 0x01, 0xF7}, false},
        {"a status byte last inside", true, {0xF0, 0x01, 0x80, 0xF7}, false},
        {"another device's empty datagram", false, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.fromDevice && !kLoopbackSendersDistinct) continue;
        platform::UdpSocket& from = c.fromDevice ? device : other;
        ASSERT_TRUE(from.SendTo(Ip("127.0.0.1"), options.ports.reply, c.datagram.data(), c.datagram.size()));
        ASSERT_TRUE(device.SendTo(Ip("127.0.0.1"), options.ports.reply, reply.data(), reply.size()));
        if (c.delivered) {
            EXPECT_EQ(ReadOne(link), c.datagram);
        }
        EXPECT_EQ(ReadOne(link), reply);
        EXPECT_TRUE(link.IsOpen());
    }

    // A buffer too small for any message takes the datagram and finds none.
    ASSERT_TRUE(device.SendTo(Ip("127.0.0.1"), options.ports.reply, reply.data(), reply.size()));
    uint8_t one = 0;
    for (int i = 0; i < 50; ++i) {
        int got = -1;
        ASSERT_EQ(link.Read(&one, 1, &got), kStatusOk);
        EXPECT_EQ(got, 0);
    }
    EXPECT_EQ(ReadOne(link), std::vector<uint8_t>{});
    // A read into no room takes nothing; a length below zero sends nothing.
    ASSERT_TRUE(device.SendTo(Ip("127.0.0.1"), options.ports.reply, reply.data(), reply.size()));
    int none = -1;
    EXPECT_EQ(link.Read(&one, 0, &none), kStatusOk);
    EXPECT_EQ(none, 0);
    EXPECT_EQ(ReadOne(link), reply);
    EXPECT_EQ(link.Write(kProbe.data(), -1), kStatusFailed);
    // No name is written into no buffer; an empty message is sent as such.
    EXPECT_EQ(link.GetConnectionName(0, nullptr, 255), kStatusOk);
    EXPECT_EQ(link.Write(kProbe.data(), 0), kStatusOk);

    ASSERT_TRUE(device.SendTo(Ip("127.0.0.1"), options.ports.reply, reply.data(), 0));
    uint8_t buffer[16];
    int received = -1;
    NimbraStatus status = kStatusOk;
    for (int i = 0; i < 200 && status == kStatusOk; ++i) status = link.Read(buffer, sizeof buffer, &received);
    EXPECT_EQ(status, kStatusFailed);
    EXPECT_EQ(received, 0);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Write(kProbe.data(), static_cast<int>(kProbe.size())), kStatusFailed);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusFailed);
}

// A flood of strangers' datagrams costs the caller a bounded wait per read:
// 64 are dropped at most, then the read returns; the device's reply behind
// them still arrives.
TEST_F(DanteLink, AFloodOfStrayDatagramsIsDrainedInBoundedReads) {
    UsePorts(35700);
    Card("quil-a", "127.0.0.1");
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    platform::UdpSocket device, other;
    ASSERT_TRUE(device.Create(false) && device.Bind(Ip("127.0.0.1"), 0));
    ASSERT_TRUE(other.Create(false) && other.Bind(Ip("127.0.0.9"), 0));
    const uint8_t stray[] = {0xF0, 0x00, 0x01, 0x54, 0x70};
    const std::vector<uint8_t> reply = {0xF0, 0x02, 0xF7};
    for (const auto& [strays, reads] : {std::pair{127, 2}, std::pair{128, 3}}) {
        SCOPED_TRACE(strays);
        for (int i = 0; i < strays; ++i) {
            ASSERT_TRUE(other.SendTo(Ip("127.0.0.1"), options.ports.reply, stray, sizeof stray));
        }
        ASSERT_TRUE(device.SendTo(Ip("127.0.0.1"), options.ports.reply, reply.data(), reply.size()));
        uint8_t buffer[64];
        int received = 0;
        int taken = 0;
        while (received == 0 && taken < 50) {
            std::fill(std::begin(buffer), std::end(buffer), uint8_t{0xEE});
            ASSERT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusOk);
            ++taken;
            // A read clears the caller's buffer, whatever it brings.
            EXPECT_EQ(std::count(std::begin(buffer) + received, std::end(buffer), 0), 64 - received);
        }
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + received), reply);
        EXPECT_EQ(taken, reads);
    }
}

TEST_F(DanteLink, SecondOpenAfterCloseBrowsesAgain) {
    UsePorts(35670);
    Card("quil-a", "127.0.0.2");
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    const int browses = count("DNSServiceBrowse");
    EXPECT_GT(browses, 0);
    link.Close();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(openRefs(), 0);
    ASSERT_EQ(link.Open(), kStatusOk);
    EXPECT_GT(count("DNSServiceBrowse"), browses);
    EXPECT_EQ(Name(link, 0), "Dante (127.0.0.2)");
}

TEST_F(DanteLink, AReplyPortAlreadyTakenFailsOpen) {
    UsePorts(35680);
    Card("quil-a", "127.0.0.2");
    platform::UdpSocket taken;
    ASSERT_TRUE(taken.Create(false));
    ASSERT_TRUE(taken.Bind(platform::kAnyAddress, options.ports.reply));
    CDanteIF link(options);
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(DanteLink, MissingLibraryFailsSilentlyAndAMissingEntryPointIsShown) {
    UsePorts(35690);
    ui::HeadlessUi ui;
    platform::ScopedUi scopedUi(ui);
    {
        platform::ScopedLibraryRedirect none(dnssd::PlatformLibraryName(), "/nonexistent/libdns_sd.so.1");
        CDanteIF link(options);
        EXPECT_EQ(link.Open(), kStatusFailed);
        EXPECT_TRUE(ui.Boxes().empty());
    }
    // The entry points are taken in a fixed order and the box names the first
    // one missing: every one for a library that is no DNS-SD library at all,
    // and of the two a stub lacks, the one taken first.
    const struct {
        const char* library;
        const char* caption;
    } cases[] = {{QUIL_FAKE_TUSBAUDIO_INCOMPLETE, "DNSServiceBrowse"},
                 {QUIL_FAKE_DNS_SD_INCOMPLETE, "DNSServiceConstructFullName"}};
    for (const auto& c : cases) {
        platform::ScopedLibraryRedirect other(dnssd::PlatformLibraryName(), c.library);
        const size_t before = ui.Boxes().size();
        CDanteIF link(options);
        EXPECT_EQ(link.Open(), kStatusFailed);
        ASSERT_EQ(ui.Boxes().size(), before + 1) << c.library;
        EXPECT_EQ(ui.Boxes().back().text, "GetProcAddress failed");
        EXPECT_EQ(ui.Boxes().back().caption, c.caption);
        EXPECT_EQ(ui.Boxes().back().buttons, platform::BoxButtons::Ok);
        EXPECT_FALSE(ui.Boxes().back().owned);  // no window exists yet
    }
}

// The wait blocks on the reply socket: it runs out at its time-out while
// nothing comes (on the real clock without taking processor time) and ends
// at once when a datagram is there.
TEST_F(DanteLink, WaitForInputWakesOnADatagramAndSleepsOtherwise) {
    UsePorts(35710);
    Card("quil-a", "127.0.0.1");
    CDanteIF link(options);
    ASSERT_EQ(link.Open(), kStatusOk);
    link.SelectConnection(0);
    m_clock.SetSpinReadsPerMs(0);
    const uint32_t start = m_clock.Peek();
    EXPECT_EQ(link.WaitForInput(20), platform::WaitResult::TimedOut);
    EXPECT_EQ(m_clock.Peek() - start, 20u);

    platform::UdpSocket device;
    ASSERT_TRUE(device.Create(false) && device.Bind(Ip("127.0.0.1"), 0));
    const uint8_t message[] = {0xF0, 0x01, 0xF7};
    ASSERT_TRUE(device.SendTo(Ip("127.0.0.1"), options.ports.reply, message, sizeof message));
    EXPECT_EQ(link.WaitForInput(1000), platform::WaitResult::Ready);
    EXPECT_EQ(m_clock.Peek() - start, 20u);
    EXPECT_EQ(ReadOne(link), std::vector<uint8_t>(message, message + 3));

    platform::SystemClock realClock;
    platform::ScopedClock real(realClock);
    timespec cpu0{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const uint32_t wall0 = realClock.TickMs();
    EXPECT_EQ(link.WaitForInput(200), platform::WaitResult::TimedOut);
    timespec cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpuMs = double(cpu1.tv_sec - cpu0.tv_sec) * 1e3 + double(cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    const uint32_t wallMs = realClock.TickMs() - wall0;
    EXPECT_GE(wallMs, 200u);
    EXPECT_LT(cpuMs, 0.05 * wallMs) << cpuMs << " ms of processor time in " << wallMs << " ms";

    link.Close();
    EXPECT_EQ(link.WaitForInput(10), platform::WaitResult::Failed);
}

TEST(DanteAddress, SecondAddressOnlyWhenTheFirstIsZero) {
    const struct {
        uint32_t first, second;
        unsigned count;
        uint32_t expected;
    } cases[] = {{5, 6, 2, 5}, {0, 6, 2, 6}, {0, 6, 1, 0}, {0, 0, 2, 0}, {5, 0, 0, 0}};
    for (const auto& c : cases) {
        const dr_address_t a[2] = {{c.first, 1}, {c.second, 1}};
        EXPECT_EQ(ChooseDanteAddress(a, c.count), c.expected) << c.first << ' ' << c.second << ' ' << c.count;
    }
}

TEST(DanteConstants, PortsWindowAndTableSize) {
    const DanteOptions options;
    EXPECT_EQ(options.ports.unit, 5645);
    EXPECT_EQ(options.ports.reply, 5646);
    EXPECT_EQ(options.ports.card, 5647);
    EXPECT_EQ(options.browseMs, 1000u);
    EXPECT_EQ(kDanteMaxDevices, 16);
}

}  // namespace
