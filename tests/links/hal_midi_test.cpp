// The driver link against the virtual kernel driver: which device object and
// adapters it takes, how it selects, and the records it sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "links/hal_midi.h"
#include "platform/clock.h"
#include "platform/driver_virtual.h"

namespace {

using platform::VirtualDriverSystem;

// Remembers every message and answers each with a fixed reply.
class EchoUnit final : public platform::VirtualDevice {
public:
    void ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint) override {
        messages.emplace_back(data, data + length);
        if (!reply.empty()) pending.push_back(reply);
    }
    void TakeReplies(std::vector<std::vector<uint8_t>>& replies) override {
        for (auto& r : pending) replies.push_back(std::move(r));
        pending.clear();
    }
    std::vector<std::vector<uint8_t>> messages, pending;
    std::vector<uint8_t> reply;
};

// Keeps the input bytes of every request on their way to the virtual driver.
class RecordingDriver final : public platform::DriverSystem {
public:
    explicit RecordingDriver(platform::DriverSystem& inner) : m_inner(inner) {}
    std::unique_ptr<platform::DriverDevice> Open(const std::string& name) override {
        auto device = m_inner.Open(name);
        if (!device) return nullptr;
        return std::make_unique<Device>(std::move(device), inputs);
    }
    std::vector<std::vector<uint8_t>> inputs;

private:
    struct Device final : platform::DriverDevice {
        Device(std::unique_ptr<platform::DriverDevice> d, std::vector<std::vector<uint8_t>>& log)
            : inner(std::move(d)), inputs(log) {}
        bool Request(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out) override {
            inputs.emplace_back(in.begin(), in.end());
            return inner->Request(code, in, out);
        }
        platform::WaitResult WaitForInput(uint32_t adapter, uint32_t timeoutMs) override {
            return inner->WaitForInput(adapter, timeoutMs);
        }
        std::unique_ptr<platform::DriverDevice> inner;
        std::vector<std::vector<uint8_t>>& inputs;
    };
    platform::DriverSystem& m_inner;
};

using Requests = std::vector<std::pair<uint32_t, uint32_t>>;

class HalMidiTest : public ::testing::Test {
protected:
    HalMidiTest() { driver.LogRequests(true); }

    void SetAdapters(const std::vector<std::pair<uint32_t, uint16_t>>& adapters) {
        for (const auto& [number, type] : adapters)
            driver.SetAdapter(
                number, type, [] { return 0x2B07u; }, &unit);
    }
    Requests Log() const {
        Requests out;
        for (const auto& r : driver.Requests()) out.emplace_back(r.code, r.adapter);
        return out;
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    VirtualDriverSystem driver{0};
    platform::ScopedDriverSystem scopedDriver{driver};
    EchoUnit unit;
    CHalMIDI link;
};

TEST_F(HalMidiTest, NoDeviceObjectFailsAfterEightNames) {
    driver.SetDeviceNumber(-1);
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_FALSE(link.IsOpen());
    ASSERT_EQ(driver.OpenAttempts().size(), 8u);
    EXPECT_EQ(driver.OpenAttempts().front(), "\\\\.\\R9Mixer0");
    EXPECT_EQ(driver.OpenAttempts().back(), "\\\\.\\R9Mixer7");
}

TEST_F(HalMidiTest, OpensTheFirstDeviceNumberThatExists) {
    driver.SetDeviceNumber(3);
    SetAdapters({{0, 0x3114}});
    EXPECT_EQ(link.Open(), kStatusOk);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(driver.OpenAttempts(),
              (std::vector<std::string>{"\\\\.\\R9Mixer0", "\\\\.\\R9Mixer1", "\\\\.\\R9Mixer2", "\\\\.\\R9Mixer3"}));
}

TEST_F(HalMidiTest, OnlyTheFiveTypeWordsMakeAConnection) {
    const struct {
        uint16_t type;
        bool listed;
    } cases[] = {{0x0014, true},  {0x2614, true},  {0x2714, true},  {0x3114, true},  {0x6014, true},
                 {0x0015, false}, {0x3115, false}, {0x3014, false}, {0x8014, false}, {0x0000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        VirtualDriverSystem own{0};
        platform::ScopedDriverSystem scoped{own};
        own.SetAdapter(5, c.type, nullptr, nullptr);
        CHalMIDI l;
        EXPECT_EQ(l.Open(), c.listed ? kStatusOk : kStatusFailed);
        uint16_t count = 99;
        l.GetNumberOfConnections(&count);
        EXPECT_EQ(count, c.listed ? 1 : 0);
        // A link that found nothing holds no device.
        EXPECT_EQ(own.OpenDevices(), c.listed ? 1u : 0u);
        l.Close();
    }
}

TEST_F(HalMidiTest, ConnectionsFollowAdapterOrderUpToEight) {
    SetAdapters({{6, 0x3114}, {1, 0x2614}, {4, 0x0014}, {3, 0x3115}});
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(link.AdapterNumber(0), 1);
    EXPECT_EQ(link.AdapterNumber(1), 4);
    EXPECT_EQ(link.AdapterNumber(2), 6);
    link.Close();

    for (uint32_t a = 0; a < 8; ++a) driver.SetAdapter(a, 0x3114, nullptr, &unit);
    ASSERT_EQ(link.Open(), kStatusOk);
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(link.AdapterNumber(7), 7);
}

TEST_F(HalMidiTest, SelectingReleasesTheOldAdapterAndAttachesTheNew) {
    SetAdapters({{0, 0x3114}, {2, 0x3114}, {5, 0x3114}});
    ASSERT_EQ(link.Open(), kStatusOk);
    driver.ClearRequests();
    EXPECT_EQ(link.SelectConnection(0), kStatusOk);
    EXPECT_EQ(Log(), (Requests{{platform::kDriverAttachAdapter, 0}}));
    driver.ClearRequests();
    EXPECT_EQ(link.SelectConnection(2), kStatusOk);
    EXPECT_EQ(Log(), (Requests{{platform::kDriverReleaseAdapter, 0}, {platform::kDriverAttachAdapter, 5}}));
    EXPECT_FALSE(driver.IsAttached(0));
    EXPECT_TRUE(driver.IsAttached(5));
    driver.ClearRequests();
    EXPECT_EQ(link.SelectConnection(2), kStatusOk);
    EXPECT_TRUE(driver.Requests().empty());

    // Bit 15 is not part of the index.
    EXPECT_EQ(link.SelectConnection(0x8001), kStatusOk);
    uint16_t selected = 0;
    link.GetSelectedConnection(&selected);
    EXPECT_EQ(selected, 1);
    EXPECT_TRUE(driver.IsAttached(2));
}

// The list still holds the adapter numbers of an earlier Open that found
// more adapters; an index past this Open's count never reaches them.
TEST_F(HalMidiTest, AnIndexPastTheConnectionCountIsRefused) {
    SetAdapters({{0, 0x3114}, {2, 0x3114}, {5, 0x3114}, {7, 0x3114}});
    ASSERT_EQ(link.Open(), kStatusOk);
    link.Close();
    driver.RemoveAdapter(5);
    driver.RemoveAdapter(7);
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(1), kStatusOk);
    driver.ClearRequests();
    for (uint16_t index : {uint16_t{2}, uint16_t{3}, uint16_t{7}, uint16_t{0x7FFF}}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(link.SelectConnection(index), kStatusFailed);
        EXPECT_TRUE(driver.Requests().empty());
        uint16_t selected = 0;
        link.GetSelectedConnection(&selected);
        EXPECT_EQ(selected, 1);
    }
    EXPECT_FALSE(driver.IsAttached(5));
    EXPECT_FALSE(driver.IsAttached(7));
}

TEST_F(HalMidiTest, WriteAndReadNeedASelectedConnection) {
    SetAdapters({{0, 0x3114}});
    ASSERT_EQ(link.Open(), kStatusOk);
    driver.ClearRequests();
    const uint8_t message[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    EXPECT_EQ(link.Write(message, sizeof message), kStatusOk);
    uint8_t buffer[16];
    int received = 7;
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusOk);
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(driver.Requests().empty());
    EXPECT_TRUE(unit.messages.empty());
}

TEST_F(HalMidiTest, CloseReleasesEveryAdapterAndReopenGivesTheSameList) {
    SetAdapters({{1, 0x3114}, {3, 0x2614}});
    ASSERT_EQ(link.Open(), kStatusOk);
    link.SelectConnection(1);
    driver.ClearRequests();
    EXPECT_EQ(link.Close(), kStatusOk);
    EXPECT_EQ(Log(), (Requests{{platform::kDriverReleaseAdapter, 1}, {platform::kDriverReleaseAdapter, 3}}));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(driver.OpenDevices(), 0u);
    uint16_t selected = 0;
    link.GetSelectedConnection(&selected);
    EXPECT_EQ(selected, kNoConnection);

    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(link.AdapterNumber(1), 3);
}

TEST_F(HalMidiTest, RecordsCarryTheAdapterAndTheMessage) {
    RecordingDriver recording(driver);
    platform::ScopedDriverSystem scoped(recording);
    SetAdapters({{2, 0x3114}});
    ASSERT_EQ(link.Open(), kStatusOk);
    link.SelectConnection(0);
    recording.inputs.clear();

    const uint8_t message[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    ASSERT_EQ(link.Write(message, sizeof message), kStatusOk);
    uint32_t version = 0;
    ASSERT_EQ(link.ReadAdapterVersion(&version), kStatusOk);
    EXPECT_EQ(version, 0x2B07u);
    EXPECT_EQ(link.GetAdapterType(), 0x3114);

    ASSERT_EQ(recording.inputs.size(), 3u);
    const std::vector<uint8_t>& send = recording.inputs[0];
    ASSERT_EQ(send.size(), 2056u);
    EXPECT_EQ(std::vector<uint8_t>(send.begin(), send.begin() + 16),
              (std::vector<uint8_t>{2, 0, 0, 0, 8, 0, 0, 0, 0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7}));
    EXPECT_EQ(std::count(send.begin() + 16, send.end(), 0), 2040);
    EXPECT_EQ(recording.inputs[1],
              (std::vector<uint8_t>{2, 0, 0x30, 0, 0x33, 0, 0xF2, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(recording.inputs[2], (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(unit.messages, (std::vector<std::vector<uint8_t>>{{message, message + sizeof message}}));

    // A longer message than one record carries is not accepted.
    std::vector<uint8_t> huge(2049, 0x11);
    EXPECT_EQ(link.Write(huge.data(), static_cast<int>(huge.size())), kStatusFailed);
    link.Close();  // before the recording goes
}

TEST_F(HalMidiTest, ReadHandsOverWhatArrivedWithOneFetchAndNeverWaits) {
    SetAdapters({{0, 0x3114}});
    unit.reply = {0xF0, 0x00, 0x01, 0x54, 0x70, 0x24, 0x00, 0x31, 0xF7};
    ASSERT_EQ(link.Open(), kStatusOk);
    link.SelectConnection(0);

    uint8_t buffer[16] = {};
    int received = 0;
    const uint32_t before = clock.Peek();
    driver.ClearRequests();
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusOk);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(clock.Peek(), before);
    EXPECT_EQ(Log(), (Requests{{platform::kDriverFetchBytes, 0}}));

    const uint8_t message[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    link.Write(message, sizeof message);
    // Bytes beyond the caller's size are dropped, a size of 1 or none too.
    EXPECT_EQ(link.Read(buffer, 4, &received), kStatusOk);
    EXPECT_EQ(received, 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0xF0, 0x00, 0x01, 0x54}));
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusOk);
    EXPECT_EQ(received, 0);
    buffer[0] = 0;
    link.Write(message, sizeof message);
    EXPECT_EQ(link.Read(buffer, 1, &received), kStatusOk);
    EXPECT_EQ(received, 1);
    EXPECT_EQ(buffer[0], 0xF0);
    link.Write(message, sizeof message);
    buffer[0] = 0;
    EXPECT_EQ(link.Read(buffer, 0, &received), kStatusOk);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(buffer[0], 0);
    link.Write(message, sizeof message);
    EXPECT_EQ(link.Read(nullptr, sizeof buffer, &received), kStatusOk);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusOk);
    EXPECT_EQ(received, 0);

    driver.SetRequestFails(platform::kDriverFetchBytes, true);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusFailed);
}

TEST_F(HalMidiTest, ConnectionNameComesFromTheSelectedAdaptersType) {
    SetAdapters({{0, 0x3114}});
    ASSERT_EQ(link.Open(), kStatusOk);
    link.SelectConnection(0);
    char name[32];
    std::memset(name, '#', sizeof name);
    ASSERT_EQ(link.GetConnectionName(7, name, sizeof name), kStatusOk);
    EXPECT_STREQ(name, "Thunderbolt");
    // The text is cut to the size, without a terminator.
    std::memset(name, '#', sizeof name);
    link.GetConnectionName(0, name, 5);
    EXPECT_EQ(std::string(name, 6), "Thund#");

    driver.SetAdapter(0, 0x3115, nullptr, &unit);
    link.GetConnectionName(0, name, sizeof name);
    EXPECT_STREQ(name, "Unknown!");

    driver.SetRequestFails(platform::kDriverQueryAdapter, true);
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(link.GetConnectionName(0, name, sizeof name), kStatusFailed);
    EXPECT_EQ(name[0], '#');
    EXPECT_EQ(link.GetAdapterType(), 0);
}

}  // namespace
