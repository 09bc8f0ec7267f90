// The mixer controls against virtual units on virtual MIDI ports: each setter
// is checked by what the unit stored, each getter by what the unit reported.
// Units: a Quil with 16-bit addresses (firmware 7), a Quil without them
// (firmware 5), a Nimbra 16 with the extended mixer (firmware 17) and a
// Nimbra(n).
#include <gtest/gtest.h>

#include "platform/midi.h"
#include "sim/virtual_midi_setup.h"
#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

enum Unit : uint16_t { kQuil7, kQuil5, kNimbra16, kNimbraN };

sim::UnitDescription Described(uint8_t pid, uint8_t major, uint8_t subModel = 0, uint8_t card = sim::kCardNone) {
    sim::UnitDescription unit;
    unit.pid = pid;
    unit.subModel = subModel;
    unit.firmwareMajor = major;
    unit.serial = sim::PackSerial(pid, 18, 22, major);
    unit.card.type = card;
    return unit;
}

class MixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        units[kQuil7] = Add(Described(sim::kPidQuil, 7, 0, sim::kCardVxDante));
        units[kQuil5] = Add(Described(sim::kPidQuil, 5));
        units[kNimbra16] = Add(Described(sim::kPidNimbra16, 17));
        units[kNimbraN] = Add(Described(sim::kPidNimbra16, 9, sim::kPidNimbraN));
        remote.SetDeviceName("Quil");
        ASSERT_EQ(remote.Open(), kStatusOk);
    }
    void TearDown() override { remote.Close(); }
    sim::VirtualQuil* Add(const sim::UnitDescription& d) {
        return setup.AddPort("Quil MIDI " + std::to_string(setup.UnitCount() + 1), sim::PortTechnology::Hardware, d);
    }
    // Selects the unit and stops the periodic requests, so that no reply to
    // one sent before a write can bring an older value back afterwards.
    void Select(Unit u) {
        ASSERT_EQ(remote.SelectConnection(u), kStatusOk);
        remote.SetPollMode(kPollIdle);
        Flush();
    }
    // A reply to a request sent after the writes: the unit has taken them.
    void Flush() { ASSERT_EQ(remote.RequestRegisterStatusVerified(1, 1), kStatusOk); }
    void Reread(uint16_t first, uint16_t last) {
        ASSERT_EQ(remote.RequestRegisterStatusVerified(first, last), kStatusOk);
    }
    uint8_t At(Unit u, size_t r) { return units[u]->Register(r); }

    platform::VirtualClock clock{10000};
    platform::ScopedClock scopedClock{clock};
    RecordingUi ui;
    platform::ScopedUi scopedUi{ui};
    TempLog log;
    sim::VirtualMidiSetup setup;
    platform::ScopedMidiSystem scopedMidi{setup.System()};
    sim::VirtualQuil* units[4] = {};
    CNimbraRemote remote;
};

// --- Register 3: source select, by model ------------------------------------

TEST_F(MixerTest, SourceSelectWritesTheModelsCodeAndReadsItBack) {
    struct Case {
        Unit unit;
        uint8_t value;
        NimbraStatus status;
        uint8_t code;  // bits 2..0 at the unit
    };
    const Case cases[] = {
        {kQuil7, 3, kStatusOk, 7},         {kQuil7, 0, kStatusOk, 5},    {kQuil7, 4, kStatusOk, 0},
        {kQuil7, 5, kStatusOutOfRange, 0}, {kNimbraN, 7, kStatusOk, 7},  {kNimbraN, 3, kStatusOutOfRange, 7},
        {kNimbra16, 2, kStatusOk, 3},      {kNimbra16, 6, kStatusOk, 0}, {kNimbra16, 7, kStatusOutOfRange, 0},
    };
    for (const Case& c : cases) {
        Select(c.unit);
        EXPECT_EQ(remote.SetSourceSelect(c.value), c.status) << c.unit << " " << int(c.value);
        Flush();
        EXPECT_EQ(At(c.unit, 3) & 7, c.code) << c.unit << " " << int(c.value);
        if (c.status != kStatusOk) continue;
        Reread(3, 3);
        uint8_t back = 0xEE;
        EXPECT_EQ(remote.GetSourceSelect(&back), kStatusOk);
        EXPECT_EQ(back, c.value);
    }
}

TEST_F(MixerTest, SourceIsLockedWhileTheCardSetsTheClock) {
    units[kQuil7]->PresetRegister(19, 0x01);
    Select(kQuil7);
    EXPECT_EQ(remote.SetSourceSelect(3), kStatusFailed);
    EXPECT_EQ(remote.SetSourceOption(1), kStatusFailed);
    EXPECT_EQ(remote.SetSampleRate(1), kStatusFailed);
    Flush();
    EXPECT_EQ(At(kQuil7, 3), 0);
}

TEST_F(MixerTest, RateStatusIsClearForTheInternalSource) {
    Select(kQuil7);
    remote.SetRegister(3, 0x85);
    uint8_t status = 9;
    remote.GetRateStatus(&status);
    EXPECT_EQ(status, 0);
    remote.SetRegister(3, 0x84);
    remote.GetRateStatus(&status);
    EXPECT_EQ(status, 1);
}

// --- Register 2: selectors ----------------------------------------------------

TEST_F(MixerTest, QuilSelectorGoesToTheUnitAndReachesTheImageByItsReport) {
    uint8_t value = 0;
    EXPECT_EQ(remote.GetSelector(0, &value), kStatusFailed);  // offline
    Select(kQuil7);
    const uint8_t codes[] = {7, 6, 5, 4, 0, 10, 9, 8};
    for (uint8_t input = 0; input < 8; ++input) {
        remote.SetSelector(0, input);
        Flush();
        EXPECT_EQ(At(kQuil7, 2), codes[input]);
        uint8_t image = 0xEE;
        remote.GetRegister(2, &image);
        EXPECT_EQ(image, 0) << "stored before the unit reported it";
        Reread(2, 2);
        EXPECT_EQ(remote.GetSelector(0, &value), kStatusOk);
        EXPECT_EQ(value, input);
        units[kQuil7]->PresetRegister(2, 0);
        Reread(2, 2);
    }
    remote.SetSelector(1, 5);
    Flush();
    EXPECT_EQ(At(kQuil7, 2), 0x50);
}

TEST_F(MixerTest, SiblingSelectorsAreEightFlags) {
    Select(kNimbra16);
    remote.SetSelector(3, 1);
    Flush();
    EXPECT_EQ(At(kNimbra16, 2), 0x08);
    remote.SetSelector(9, 1);
    Flush();
    EXPECT_EQ(At(kNimbra16, 2), 0xFF);
}

// --- Register 4, 5 and 19 bits ---------------------------------------------------

TEST_F(MixerTest, ModesAndBitsOfRegister4) {
    Select(kQuil7);
    const uint8_t modeA[] = {2, 1, 0, 3};
    const uint8_t modeB[] = {8, 4, 0, 12};
    for (uint8_t v = 0; v < 4; ++v) {
        remote.SetRegister(4, 0);
        remote.SetModeA(v);
        remote.SetModeB(v);
        Flush();
        EXPECT_EQ(At(kQuil7, 4), modeA[v] | modeB[v]);
        uint8_t a = 9, b = 9;
        remote.GetModeA(&a);
        remote.GetModeB(&b);
        EXPECT_EQ(a, v);
        EXPECT_EQ(b, v);
    }
    EXPECT_EQ(remote.SetModeA(4), kStatusOutOfRange);
    remote.SetRegister(4, 0);
    remote.SetReg4Bit5(1);
    remote.SetReg4Bit7(1);  // stored inverted
    Flush();
    EXPECT_EQ(At(kQuil7, 4), 0x20);
    uint8_t on = 0;
    remote.GetReg4Bit7(&on);
    EXPECT_EQ(on, 1);
}

TEST_F(MixerTest, BitsOfRegisters5And19) {
    uint8_t on = 0;
    EXPECT_EQ(remote.GetReg5Bit0(&on), kStatusOk);
    EXPECT_EQ(on, 1);  // offline
    Select(kQuil7);
    remote.GetReg5Bit0(&on);
    EXPECT_EQ(on, 0);
    remote.GetReg5Bit3(&on);
    EXPECT_EQ(on, 1);  // a VX-DANTE card
    remote.SetReg5Bit2(1);
    remote.SetReg19Bit5(1);
    Flush();
    EXPECT_EQ(At(kQuil7, 5), 0x04);
    EXPECT_EQ(At(kQuil7, 19), 0x20);
}

// --- Plain getters, rate fields, meters -----------------------------------------

TEST_F(MixerTest, PlainGettersReadWhatTheUnitReported) {
    sim::VirtualQuil& unit = *units[kQuil7];
    const std::pair<size_t, uint8_t> presets[] = {{7, 0xC5},
                                                  {8, 0x12},
                                                  {20, 0xFF},
                                                  {21, 4},
                                                  {22, 0x02},
                                                  {23, 0x01},
                                                  {24, 151},
                                                  {42, 0x08},
                                                  {124, 0x80},
                                                  {125, 0x84},
                                                  // rate fields 0..4: 1, 5, 6, 0, 3
                                                  {126, 0xA9},
                                                  {127, 0x31}};
    for (auto [r, v] : presets) unit.PresetRegister(r, v);
    Select(kQuil7);
    uint8_t b = 0;
    uint16_t w = 0;
    EXPECT_EQ((remote.GetOptionBits(&b), b), 0x05);
    EXPECT_EQ((remote.GetOptionWord(&w), w), 0x12C5);
    EXPECT_EQ((remote.GetIndex20(&b), b), 0);
    EXPECT_EQ((remote.GetIndex21(&b), b), 5);
    EXPECT_EQ((remote.GetIndex22(&w), w), 0x0103);
    EXPECT_EQ((remote.GetValue24(&b), b), 0);
    EXPECT_EQ(remote.Reg42Bit3(), 1);
    EXPECT_EQ(remote.Reg124Bit7(), 1);
    EXPECT_EQ(remote.Reg125Bit2(), 1);
    EXPECT_EQ((remote.GetReg125Bit7(&b), b), 1);
    const uint32_t rates[] = {48000, 192000, 0, 44100, 96000, 0};
    for (uint8_t field = 0; field < 6; ++field) {
        uint32_t rate = 1;
        EXPECT_EQ(remote.GetRateField(field, &rate), kStatusOk);
        EXPECT_EQ(rate, rates[field]) << int(field);
    }
}

TEST_F(MixerTest, RateFieldsAndReg125Bit7NeedSixteenBitAddresses) {
    units[kQuil5]->PresetRegister(125, 0);
    Select(kQuil5);
    uint32_t rate = 0;
    uint8_t on = 0;
    EXPECT_EQ(remote.GetRateField(0, &rate), kStatusFailed);
    EXPECT_EQ((remote.GetReg125Bit7(&on), on), 1);
}

TEST_F(MixerTest, MetersAreScaledAndFullScaleIsMarked) {
    sim::VirtualQuil& unit = *units[kQuil7];
    unit.PresetRegister(128 + 2 * 3, 0x21);  // bank 1, meter 3: 0x8321
    unit.PresetRegister(129 + 2 * 3, 0x83);
    unit.PresetRegister(192, 0x00);  // bank 0, meter 0: 0x4000
    unit.PresetRegister(193, 0x40);
    Select(kQuil7);
    Reread(128, 255);
    uint32_t value = 0;
    uint8_t flag = 0;
    EXPECT_EQ(remote.GetMeter(1, 3, &value, &flag), kStatusOk);
    EXPECT_EQ(value, uint32_t{0x0321} << 5);
    EXPECT_EQ(flag, 1);
    remote.GetMeter(0, 0, &value, &flag);
    EXPECT_EQ(value, 0x7FFFFu);
    EXPECT_EQ(remote.GetMeter(0, 32, &value, &flag), kStatusOutOfRange);
}

// --- Channel tables of the sibling models ---------------------------------------------

TEST_F(MixerTest, ChannelLevelWithTheOffFlagChangesOnlyTheTable) {
    Select(kNimbra16);
    remote.SetChannelLevel(1, 5, 0x40);  // register 130 + 20
    Flush();
    EXPECT_EQ(At(kNimbra16, 150), 0x40);
    remote.SetChannelOff(1, 5, 1);
    Flush();
    EXPECT_EQ(At(kNimbra16, 150), 0xFF);
    remote.SetChannelLevel(1, 5, 0xFF);  // kept as 0xFE, not sent
    Flush();
    EXPECT_EQ(At(kNimbra16, 150), 0xFF);
    remote.SetChannelOff(1, 5, 0);
    Flush();
    EXPECT_EQ(At(kNimbra16, 150), 0xFE);

    remote.SetChannelTrim(3, 2, 0x15);  // level 256 + 2 + 64, trim one up
    Flush();
    EXPECT_EQ(At(kNimbra16, 323), 0x15);
    EXPECT_EQ(remote.SetChannelLevel(3, 4, 1), kStatusOutOfRange);
    EXPECT_EQ(remote.SetChannelLevel(18, 0, 1), kStatusOutOfRange);
}

TEST_F(MixerTest, ChannelTablesFillFromTheUnitsReplies) {
    sim::VirtualQuil& unit = *units[kNimbra16];
    unit.PresetRegister(64 + 9, 0xA8);        // table entry 9: high nibble, bit 3
    unit.PresetRegister(128 + 8, 0xFF);       // group 2, column 0: off
    unit.PresetRegister(128 + 9, 0xC7);       // its trim
    unit.PresetRegister(256 + 32 + 6, 0x33);  // group 1, column 5
    Select(kNimbra16);
    Reread(64, 255);
    Reread(256, 383);
    uint8_t v = 0;
    EXPECT_EQ((remote.GetTableA(17, &v), v), 0x0A);
    EXPECT_EQ((remote.GetTableB(17, &v), v), 1);
    EXPECT_EQ((remote.GetChannelOff(0, 2, &v), v), 1);
    EXPECT_EQ((remote.GetChannelTrim(0, 2, &v), v), 0x07);
    EXPECT_EQ((remote.GetChannelLevel(5, 1, &v), v), 0x33);
    EXPECT_EQ((remote.IsExtendedMixer(&v), v), 1);
}

// --- The 16-bit-address maps of the Quil -------------------------------------------

TEST_F(MixerTest, MatrixLevelsAreClampedAndCoded) {
    Select(kQuil7);
    struct Case {
        uint8_t column;
        int32_t level;
        uint8_t code;
        int32_t back;
    };
    const Case cases[] = {{0, -965, 216, -960}, {1, 200, 0, 120}, {2, -7, 25, -5}, {3, 0, 24, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(remote.SetMatrixLevel(0, c.column, c.level), kStatusOk);
        Flush();
        EXPECT_EQ(At(kQuil7, 1024 + c.column), c.code) << c.level;
        int32_t back = 1;
        EXPECT_EQ(remote.GetMatrixLevel(0, c.column, &back), kStatusOk);
        EXPECT_EQ(back, c.back);
    }
    remote.SetMatrixLevel(31, 31, -100);
    Flush();
    EXPECT_EQ(At(kQuil7, 2047), 44);
    EXPECT_EQ(remote.SetMatrixLevel(32, 0, 0), kStatusFailed);
}

TEST_F(MixerTest, OutputLevelsRoutesAndMasks) {
    Select(kQuil7);
    remote.SetOutputLevel(3, 50);  // clamped to 0 dB
    remote.SetRouteBitA(2, 13, 1);
    remote.SetRouteBitB(31, 31, 1);
    remote.SetMaskBit(30, 1);
    Flush();
    EXPECT_EQ(At(kQuil7, 515), 24);
    EXPECT_EQ(At(kQuil7, 256 + 8 + 1), 0x20);
    EXPECT_EQ(At(kQuil7, 384 + 124 + 3), 0x80);
    EXPECT_EQ(At(kQuil7, 547), 0x40);
    int32_t level = 1;
    units[kQuil7]->PresetRegister(516, 23);
    Reread(512, 547);
    EXPECT_EQ((remote.GetOutputLevel(4, &level), level), 0);
    uint8_t on = 0;
    EXPECT_EQ((remote.GetRouteBitA(2, 13, &on), on), 1);
    EXPECT_EQ((remote.GetMaskBit(30, &on), on), 1);
    EXPECT_EQ(remote.GetMaskBit(32, &on), kStatusFailed);
}

TEST_F(MixerTest, WithoutSixteenBitAddressesTheMapsRefuse) {
    Select(kQuil5);
    int32_t level = 0;
    uint8_t on = 0;
    EXPECT_EQ(remote.SetMatrixLevel(0, 0, 0), kStatusFailed);
    EXPECT_EQ(remote.GetMatrixLevel(0, 0, &level), kStatusFailed);
    EXPECT_EQ(remote.SetOutputLevel(0, 0), kStatusFailed);
    EXPECT_EQ(remote.SetRouteBitA(0, 0, 1), kStatusFailed);
    EXPECT_EQ(remote.GetRouteBitB(0, 0, &on), kStatusFailed);
    EXPECT_EQ(remote.SetMaskBit(0, 1), kStatusFailed);
    Flush();
    EXPECT_EQ(At(kQuil5, 256), 0);
}

// --- General --------------------------------------------------------------------------

// A write goes where it is addressed or nowhere: with 16-bit addresses in
// that form from register 224 on, without them in the short form for the
// registers it can name, refused with 2 and nothing sent for the rest.
TEST_F(MixerTest, RegisterWritesArriveWhereTheyAreAddressedOrAreRefused) {
    struct Case {
        Unit unit;
        uint16_t reg;
        NimbraStatus status;
        bool extended;  // the form of the write the unit received
    };
    const Case cases[] = {
        {kQuil7, 100, kStatusOk, false},
        {kQuil7, 230, kStatusOk, true},
        {kQuil7, 600, kStatusOk, true},
        {kQuil5, 255, kStatusOk, true},
        {kNimbraN, 486, kStatusOk, true},
        {kNimbraN, 600, kStatusOk, true},
        {kNimbra16, 223, kStatusOk, false},
        {kNimbra16, 300, kStatusOk, false},
        {kNimbra16, 479, kStatusOk, false},
        {kNimbra16, 224, kStatusOutOfRange, false},
        {kNimbra16, 255, kStatusOutOfRange, false},
        {kNimbra16, 480, kStatusOutOfRange, false},
        {kNimbra16, 511, kStatusOutOfRange, false},
        {kNimbra16, 512, kStatusOutOfRange, false},
        {kNimbra16, 600, kStatusOutOfRange, false},
        {kNimbra16, 2048, kStatusOutOfRange, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.unit << " register " << c.reg);
        Select(c.unit);
        units[c.unit]->ClearReceived();
        uint8_t before = 0;
        remote.GetRegister(c.reg, &before);
        EXPECT_EQ(remote.SetRegister(c.reg, static_cast<uint8_t>(before + 1)), c.status);
        uint8_t image = 0;
        remote.GetRegister(c.reg, &image);
        std::vector<const sim::ReceivedMessage*> writes;
        for (const sim::ReceivedMessage& m : units[c.unit]->Received()) {
            if (m.kind == sim::MessageKind::RegisterWrite) writes.push_back(&m);
        }
        if (c.status != kStatusOk) {
            EXPECT_TRUE(writes.empty());
            EXPECT_EQ(image, before);
            continue;
        }
        Flush();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0]->extended, c.extended);
        EXPECT_EQ(writes[0]->address, c.reg);
        EXPECT_EQ(At(c.unit, c.reg), before + 1);
        EXPECT_EQ(image, before + 1);
    }
}

// The channel groups 24..31 of columns 0 and 1 lie at registers 224..255: a
// Nimbra 16 cannot be written there, and its tables keep their values.
TEST_F(MixerTest, ChannelsAtRegistersTheShortFormCannotNameAreRefused) {
    Select(kNimbra16);
    units[kNimbra16]->ClearReceived();
    uint8_t v = 0;
    for (uint8_t column : {uint8_t{0}, uint8_t{1}}) {
        for (uint8_t group : {uint8_t{24}, uint8_t{31}}) {
            EXPECT_EQ(remote.SetChannelLevel(column, group, 0x40), kStatusOutOfRange);
            EXPECT_EQ(remote.SetChannelTrim(column, group, 0x03), kStatusOutOfRange);
            EXPECT_EQ(remote.SetChannelOff(column, group, 1), kStatusOutOfRange);
            EXPECT_EQ((remote.GetChannelLevel(column, group, &v), v), 0);
            EXPECT_EQ((remote.GetChannelOff(column, group, &v), v), 0);
        }
    }
    EXPECT_TRUE(units[kNimbra16]->Received().empty());
    EXPECT_EQ(remote.SetChannelLevel(0, 23, 0x40), kStatusOk);  // register 220
    Flush();
    EXPECT_EQ(At(kNimbra16, 220), 0x40);
}

TEST_F(MixerTest, RegisterPastTheImageIsOutOfRange) {
    Select(kQuil7);
    uint8_t value = 0;
    EXPECT_EQ(remote.GetRegister(2048, &value), kStatusOutOfRange);
    EXPECT_EQ(remote.SetRegister(2048, 1), kStatusOutOfRange);
}

TEST_F(MixerTest, ReloadAsksTheMapsAboveRegister255OnlyWithSixteenBitAddresses) {
    for (Unit u : {kQuil5, kQuil7}) {
        Select(u);
        units[u]->ClearReceived();
        units[u]->PresetRegister(100, 0x5A);
        EXPECT_EQ(remote.ReloadRegisters(), kStatusOk);
        std::vector<std::pair<uint16_t, bool>> requests;
        bool reload = false;
        for (const sim::ReceivedMessage& m : units[u]->Received()) {
            if (m.kind == sim::MessageKind::Command && m.address == 1) reload = true;
            if (m.kind == sim::MessageKind::StatusRequest) requests.emplace_back(m.address, m.extended);
        }
        EXPECT_TRUE(reload);
        using Requests = std::vector<std::pair<uint16_t, bool>>;
        const Requests expected = u == kQuil7 ? Requests{{0, false}, {256, true}, {1024, true}} : Requests{{0, false}};
        EXPECT_EQ(requests, expected);
        uint8_t value = 0;
        EXPECT_EQ((remote.GetRegister(100, &value), value), 0x5A);
    }
}

int g_calls = 0;
uint32_t g_user = 0;
void OnChange(uint32_t user1, uint32_t user2) {
    ++g_calls;
    g_user = user1 * 1000 + user2;
}

TEST_F(MixerTest, ChangeCallbackFiresAfterAReplyTouchingAWatchedRegister) {
    Select(kQuil7);
    g_calls = 0;
    remote.SetChangeCallback(40, 1030, OnChange, 7, 9);
    Reread(41, 60);
    EXPECT_EQ(g_calls, 0);
    Reread(1024, 1031);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_user, 7009u);
    Reread(30, 50);
    EXPECT_EQ(g_calls, 2);
}

}  // namespace
}  // namespace enginetest
