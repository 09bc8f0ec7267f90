// The built-in units behind the virtual driver, as the engine finds them
// through the driver link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "remote/nimbra_remote.h"
#include "sim/builtin_set.h"
#include "sim/virtual_midi_setup.h"

namespace {

TEST(VirtualDriverSetup, BuiltinAdaptersCarryTheThunderboltInterface) {
    std::vector<uint16_t> types;
    for (const sim::BuiltinAdapter& adapter : sim::BuiltinDriverSet()) {
        types.push_back(adapter.typeWord);
        EXPECT_EQ(adapter.unit.card.type, sim::kCardThunderbolt);
        EXPECT_EQ(adapter.unit.card.serial, sim::kNoSerial);
    }
    EXPECT_EQ(types, (std::vector<uint16_t>{0x3114, 0x3114, 0x2614}));
}

TEST(VirtualDriverSetup, EngineReachesTheBuiltinUnitsThroughTheDriverLink) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    const sim::ScopedBuiltinUnits units(sim::BuiltinTransport::Driver);
    ASSERT_EQ(units.Units().size(), 3u);
    units.Units()[0]->ClearReceived();

    CNimbraRemote remote;
    remote.SetDeviceName("Quil");
    ASSERT_EQ(remote.Open(), kStatusOk);
    uint16_t type = 0, count = 0;
    remote.GetLinkType(&type);
    remote.GetNumberOfConnections(&count);
    EXPECT_EQ(type, kLinkTypeDriver);
    EXPECT_EQ(count, 3);

    const struct {
        uint16_t index;
        const char* description;
        uint8_t pid;
    } cases[] = {{0, "Quil connected via Thunderbolt", 0x31},
                 {1, "Quil connected via Thunderbolt", 0x31},
                 {2, "Nimbra 16 connected via Thunderbolt", 0x26}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        char text[300] = {};
        uint8_t pid = 0;
        ASSERT_EQ(remote.GetConnectionDescription(c.index, text, sizeof text, &pid), kStatusOk);
        EXPECT_STREQ(text, c.description);
        EXPECT_EQ(pid, c.pid);
        uint8_t card = 0;
        remote.GetXSlotCardType(&card);
        EXPECT_EQ(card, sim::kCardThunderbolt);
    }
    // The identity requests reached the unit itself.
    EXPECT_FALSE(units.Units()[0]->Received().empty());
    remote.Close();
}

TEST(VirtualDriverSetup, PlainSimulationStaysOnMidiPorts) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    const sim::ScopedBuiltinUnits units(true);
    CNimbraRemote remote;
    remote.SetDeviceName("Quil");
    ASSERT_EQ(remote.Open(), kStatusOk);
    uint16_t type = 0;
    remote.GetLinkType(&type);
    EXPECT_EQ(type, kLinkTypeMidi);
    remote.Close();
}

}  // namespace
