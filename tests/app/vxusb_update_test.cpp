// Two Quils with VX-USB cards on MIDI ports, their cards behind our fake USB
// audio driver library: each card is listed for its own unit and updated
// through its own USB device, and the sample rate goes through the card.
#include "app/unit_list.h"
#include "remote/nimbra_remote.h"
#include "sim/virtual_midi_setup.h"
#include "tests/links/vxusb_fixture.h"

namespace vxusbtest {
namespace {

sim::UnitDescription QuilWithUsbCard(unsigned unitNumber) {
    sim::UnitDescription u;
    u.pid = sim::kPidQuil;
    u.firmwareMajor = 8;
    u.firmwareMinor = 2;
    u.boardRevision = 3;
    u.serial = sim::PackSerial(sim::kPidQuil, 20, 3, unitNumber);
    u.card.type = sim::kCardVxUsb;
    u.card.firmwareMajor = 9;
    u.card.firmwareMinor = 5;
    u.card.revision = 1;
    u.card.serial = sim::PackSerial(sim::kCardVxUsb, 20, 3, unitNumber + 1);
    return u;
}

class NullBar final : public DfuProgressBar {
public:
    void SetRange(uint32_t, uint32_t) override {}
    void SetPos(uint32_t) override {}
};

class TwoUsbCardsTest : public VxUsbTest {
protected:
    void SetUp() override {
        VxUsbTest::SetUp();
        m_setup.AddPort("Quil USB MIDI 1", sim::PortTechnology::Hardware, QuilWithUsbCard(1));
        m_setup.AddPort("Quil USB MIDI 2", sim::PortTechnology::Hardware, QuilWithUsbCard(3));
        m_scopedMidi = std::make_unique<platform::ScopedMidiSystem>(m_setup.System());
        m_fake = Install(0);
        sim::PresentUsbCards(*m_fake, {&m_setup.Unit(0), &m_setup.Unit(1)});
        m_remote.SetDeviceName("Quil");
        ASSERT_EQ(m_remote.Open(), kStatusOk);
    }
    void TearDown() override {
        m_remote.Close();
        m_scopedMidi.reset();
        // Unloaded before its folder goes: Windows keeps a loaded DLL's file.
        m_fake.reset();
        VxUsbTest::TearDown();
    }

    sim::VirtualMidiSetup m_setup;
    std::unique_ptr<platform::ScopedMidiSystem> m_scopedMidi;
    std::unique_ptr<sim::FakeUsbAudio> m_fake;
    CNimbraRemote m_remote;
};

TEST_F(TwoUsbCardsTest, EachCardIsListedForItsOwnUnit) {
    const std::vector<UnitListEntry> entries = ListUnits(m_remote);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[1].text, "VX-USB in Quil connected via Quil USB MIDI 1");
    EXPECT_EQ(entries[1].unitMap, kUnitMapOptionCard | 0u);
    EXPECT_EQ(entries[3].text, "VX-USB in Quil connected via Quil USB MIDI 2");
    EXPECT_EQ(entries[3].unitMap, kUnitMapOptionCard | 1u);
    ExpectLogInOrder({"Found VX-USB [Velk] [VX-USB] [3220030002]", "Found VX-USB [Velk] [VX-USB] [3220030004]"});
}

TEST_F(TwoUsbCardsTest, EachCardIsUpdatedThroughItsOwnDevice) {
    const std::vector<uint8_t> image(3000, 0x5A);
    NullBar bar;
    ASSERT_EQ(m_remote.SelectConnection(0), kStatusOk);
    EXPECT_EQ(m_remote.UsbCardConnection(), 0u);
    ASSERT_EQ(m_remote.SelectConnection(1), kStatusOk);
    ASSERT_EQ(m_remote.UsbCardConnection(), 1u);
    ASSERT_TRUE(m_remote.UsbCard()->DownloadFirmware(static_cast<uint32_t>(image.size()), image.data(), bar));
    EXPECT_EQ(m_fake->Image(1), image);
    EXPECT_EQ(m_fake->Downloads(0), 0u);

    const std::vector<uint8_t> other(1000, 0xA5);
    ASSERT_EQ(m_remote.SelectConnection(0), kStatusOk);
    ASSERT_EQ(m_remote.UsbCardConnection(), 0u);
    ASSERT_TRUE(m_remote.UsbCard()->DownloadFirmware(static_cast<uint32_t>(other.size()), other.data(), bar));
    EXPECT_EQ(m_fake->Image(0), other);
    EXPECT_EQ(m_fake->Image(1), image);
}

TEST_F(TwoUsbCardsTest, SampleRateThroughTheSelectedCard) {
    ASSERT_EQ(m_remote.SelectConnection(1), kStatusOk);
    EXPECT_EQ(m_remote.SetSampleRate(3), kStatusOk);
    EXPECT_EQ(m_fake->SampleRate(1), 96000u);
    EXPECT_EQ(m_fake->SampleRate(0), 44100u);
    uint8_t index = 0xFF;
    EXPECT_EQ(m_remote.GetSampleRate(&index), kStatusOk);
    EXPECT_EQ(index, 3);
    EXPECT_EQ(m_remote.SetSampleRate(6), kStatusOutOfRange);

    m_fake->SetFault(kFakeTusbDeviceInUse);
    EXPECT_EQ(m_remote.SetSampleRate(1), kStatusFailed);
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Cannot change Sample Rate with Active Devices!");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "VX-USB");
    EXPECT_EQ(m_fake->SampleRate(1), 96000u);
}

TEST_F(TwoUsbCardsTest, WithoutTheLibraryNoCardIsListed) {
    // Unloaded and gone: a later load finds nothing.
    m_remote.Close();
    m_fake.reset();
    std::filesystem::remove_all(m_programFiles);
    ASSERT_EQ(m_remote.Open(), kStatusOk);
    const std::vector<UnitListEntry> entries = ListUnits(m_remote);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(m_remote.HasUsbCard());
    EXPECT_EQ(m_remote.SetSampleRate(0), kStatusFailed);
}

}  // namespace
}  // namespace vxusbtest
