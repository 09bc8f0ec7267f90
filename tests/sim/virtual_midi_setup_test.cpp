// Virtual Quil units on virtual MIDI ports: the built-in set as the ports
// show it, and a unit whose link is made to fail.
#include "sim/virtual_midi_setup.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "links/nimbra_midi.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

class VirtualMidiSetupTest : public ::testing::Test {
protected:
    VirtualMidiSetupTest() : m_scopedClock(m_clock) {
        char pattern[] = "/tmp/virtual_midi_setup_test.XXXXXX";
        m_dir = mkdtemp(pattern);
        SetLogFilePath(m_dir + "/QuilUpdate.log");
    }
    ~VirtualMidiSetupTest() override {
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove_all(m_dir);
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock;
    std::string m_dir;
};

TEST_F(VirtualMidiSetupTest, BuiltInSetPortsAndUnits) {
    auto setup = sim::MakeBuiltinMidiSystem();
    platform::VirtualMidiSystem& midi = setup->System();
    ASSERT_EQ(midi.OutputCount(), 6u);
    ASSERT_EQ(midi.InputCount(), 6u);
    const char* names[] = {"Quil USB MIDI 1",   "Quil MIDI 2",         "Quil MIDI 3",
                           "Quil Virtual MIDI", "Quil Software Synth", "Quil USB MIDI 4"};
    for (uint32_t id = 0; id < 6; ++id) {
        platform::MidiPortCaps out;
        platform::MidiPortCaps in;
        ASSERT_EQ(midi.OutputCaps(id, out), platform::kMidiNoError);
        ASSERT_EQ(midi.InputCaps(id, in), platform::kMidiNoError);
        EXPECT_STREQ(out.name.data(), names[id]);
        EXPECT_STREQ(in.name.data(), names[id]);
        EXPECT_EQ(out.technology, id == 4 ? platform::kMidiTechSoftwareSynth : platform::kMidiTechHardwarePort);
    }
    ASSERT_EQ(setup->UnitCount(), 4u);
    EXPECT_EQ(setup->Unit(3).Description().card.type, sim::kCardVxUsb);
    EXPECT_EQ(setup->UnitPorts(3).output, 5u);
    EXPECT_EQ(setup->Unit(0).Description().serial, sim::PackSerial(sim::kPidQuil, 18, 22, 1));
    EXPECT_EQ(setup->Unit(2).Description().pid, sim::kPidNimbra16);
    EXPECT_EQ(setup->UnitPorts(1).output, 1u);
    EXPECT_EQ(setup->UnitPorts(1).input, 1u);
}

TEST_F(VirtualMidiSetupTest, UnitWithAFailedLinkPullsItsCable) {
    auto setup = sim::MakeBuiltinMidiSystem();
    platform::ScopedMidiSystem scoped(setup->System());
    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(1), kStatusOk);
    const uint8_t request[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    ASSERT_EQ(link.Write(request, 8), kStatusOk);

    setup->Unit(1).SetLinkFailed(true);
    EXPECT_EQ(link.Write(request, 8), kStatusFailed);
    uint8_t buffer[4096];
    int received = 0;
    // The answer to the first request had arrived before the cable went.
    ASSERT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
    EXPECT_EQ(received, 10);
    ASSERT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
    EXPECT_EQ(received, 0);

    setup->Unit(1).SetLinkFailed(false);
    EXPECT_EQ(link.Write(request, 8), kStatusOk);
    ASSERT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
    EXPECT_EQ(received, 10);
}

}  // namespace
