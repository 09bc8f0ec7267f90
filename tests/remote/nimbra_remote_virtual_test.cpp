// The engine against virtual units on virtual MIDI ports, through the real
// MIDI-port link: identification, a whole main-unit download driven as the
// window drives it, the unit's failures, serial numbers and reselection.
#include <gtest/gtest.h>
#include <time.h>

#include <set>
#include <string>

#include "platform/midi.h"
#include "sim/virtual_midi_setup.h"
#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

// An image the virtual unit takes for an FPGA bitstream.
Bytes BitstreamImage(size_t size) {
    Bytes image(size);
    uint32_t x = 0x12345678;
    for (uint8_t& b : image) {
        x = x * 1664525 + 1013904223;
        b = uint8_t(x >> 24);
    }
    for (size_t i = 0; i < 16; ++i) image[i] = 0xFF;
    const uint8_t sync[] = {0xAA, 0x99, 0x55, 0x66};
    std::copy(std::begin(sync), std::end(sync), image.begin() + 16);
    return image;
}

struct DownloadResult {
    bool ok = false;
    std::string stage;   // "packet" or "phase" when it failed
    uint8_t status = 0;  // status bits seen at the failure (0x20: time-out)
    size_t failedPacket = 0;
    std::set<uint8_t> phases;
};

// The host's part of a main-unit download: image length, bank, packets of 128
// bytes (the last one filled up with zeros), each acknowledged within 1000 ms
// through register 9, then the unit's phases until it reports 6.
DownloadResult Download(CNimbraRemote& remote, const Bytes& image, uint8_t bank) {
    platform::Clock& clock = platform::CurrentClock();
    DownloadResult result;
    remote.SetHostReportMode(0);
    remote.SetPollMode(kPollTransfer);
    remote.SelectXSlotFirmware(0);
    remote.SetFirmwareSize(uint32_t(image.size()));
    remote.SelectBank(bank);
    remote.WaitForResponse(1);

    const size_t packets = (image.size() + 127) / 128;
    for (size_t i = 0; i < packets; ++i) {
        uint8_t packet[128] = {};
        const size_t n = std::min<size_t>(128, image.size() - 128 * i);
        std::copy_n(image.begin() + long(128 * i), n, packet);
        if (remote.WriteFirmwarePacket(packet, 128) != kStatusOk) {
            result.stage = "packet";
            result.failedPacket = i;
            return result;
        }
        remote.WaitForResponse(1);
        const uint32_t start = clock.TickMs();
        for (;;) {
            if (clock.TickMs() - start > 1000) {
                result.status = kPgmStatusTimeout;
                break;
            }
            uint8_t s = 0;
            remote.GetProgramStatus(&s);
            s &= 0x3F;
            if (s & (kPgmStatusPgmErr | kPgmStatusTxErr)) {
                result.status = s;
                break;
            }
            if (s == 0) break;
            platform::CurrentUi().HandleOnePendingMessage();
        }
        if (result.status != 0) {
            result.stage = "packet";
            result.failedPacket = i;
            return result;
        }
    }

    remote.SetPollMode(kPollProgress);
    const uint32_t start = clock.TickMs();
    for (;;) {
        uint8_t phase = 0, progress = 0, third = 0;
        remote.GetProgramProgress(&phase, &progress, &third);
        if (phase != 0) result.phases.insert(phase);
        if (phase == 6) break;
        uint8_t status = 0;
        remote.GetRegister(REG_PGM_STATUS, &status);
        // The window itself waits without a limit; a test cannot.
        if ((status & kPgmStatusPgmErr) || clock.TickMs() - start > 60000) {
            result.stage = "phase";
            result.status = status;
            return result;
        }
        platform::CurrentUi().HandleOnePendingMessage();
    }
    result.ok = true;
    return result;
}

sim::UnitDescription QuilUnit(uint32_t serial) {
    sim::UnitDescription unit;
    unit.pid = sim::kPidQuil;
    unit.firmwareMajor = 7;
    unit.firmwareMinor = 2;
    unit.firmwareDate = sim::FirmwareDateWord(16, 1, 12);
    unit.boardRevision = 2;
    unit.serial = serial;
    unit.card.type = sim::kCardVxDante;
    unit.card.firmwareMajor = 1;
    unit.card.firmwareMinor = 1;
    unit.card.revision = 1;
    unit.card.serial = sim::PackSerial(sim::kCardVxDante, 18, 22, 2);
    unit.eraseMs = 300;
    unit.programMs = 300;
    unit.verifyMs = 300;
    unit.cardEraseMs = 300;
    return unit;
}

class RemoteVirtualUnitTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::UnitDescription sibling;
        sibling.pid = sim::kPidNimbra16;
        sibling.firmwareMajor = 17;
        sibling.firmwareMinor = 1;
        sibling.serial = sim::PackSerial(sim::kPidNimbra16, 17, 5, 7);
        quil = setup.AddPort("Quil MIDI 1", sim::PortTechnology::Hardware, QuilUnit(sim::PackSerial(0x31, 18, 22, 1)));
        setup.AddPort("Quil Virtual MIDI", sim::PortTechnology::Hardware, std::nullopt);
        nimbra = setup.AddPort("Quil MIDI 3", sim::PortTechnology::Hardware, sibling);
        quil->SetRecordTraffic(false);
        remote = std::make_unique<CNimbraRemote>();
        remote->SetDeviceName("Quil");
        ASSERT_EQ(remote->Open(), kStatusOk);
    }
    void TearDown() override {
        if (remote) remote->Close();
        remote.reset();
    }
    uint8_t Offline() {
        uint8_t offline = 0;
        remote->IsOffline(&offline);
        return offline;
    }

    platform::VirtualClock clock{10000};
    platform::ScopedClock scopedClock{clock};
    RecordingUi ui;
    platform::ScopedUi scopedUi{ui};
    TempLog log;
    sim::VirtualMidiSetup setup;
    platform::ScopedMidiSystem scopedMidi{setup.System()};
    sim::VirtualQuil* quil = nullptr;
    sim::VirtualQuil* nimbra = nullptr;
    std::unique_ptr<CNimbraRemote> remote;
};

TEST_F(RemoteVirtualUnitTest, IdentifiesEveryUnitOnItsPorts) {
    uint16_t count = 0;
    remote->GetNumberOfConnections(&count);
    ASSERT_EQ(count, 2);

    char text[260];
    uint8_t pid = 0;
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    ASSERT_EQ(remote->GetConnectionDescription(0, text, sizeof text, &pid), kStatusOk);
    EXPECT_STREQ(text, "Quil connected via Quil MIDI 1");
    uint8_t major = 0, minor = 0, revision = 0, card = 0;
    remote->GetFirmwareMajor(&major);
    remote->GetFirmwareMinor(&minor);
    remote->GetHardwareRevision(&revision);
    remote->GetXSlotCardType(&card);
    EXPECT_EQ(major, 7);
    EXPECT_EQ(minor, 2);
    EXPECT_EQ(revision, 2);
    EXPECT_EQ(card, kCardVxDante);
    uint16_t date = 0;
    remote->GetFirmwareDate(&date);
    EXPECT_EQ(date, sim::FirmwareDateWord(16, 1, 12));
    uint32_t serial = 0;
    remote->GetSerialNumber(&serial);
    EXPECT_EQ(serial, sim::PackSerial(0x31, 18, 22, 1));
    remote->GetXSlotSerialNumber(&serial);
    EXPECT_EQ(serial, sim::PackSerial(sim::kCardVxDante, 18, 22, 2));
    // The whole register file came over with the extended reads.
    for (uint16_t r = 0; r < 2048; ++r) {
        if ((r >= 128 && r < 256) || (r > 547 && r < 1024)) continue;
        uint8_t v = 0;
        remote->GetRegister(r, &v);
        ASSERT_EQ(v, quil->Register(r)) << r;
    }

    ASSERT_EQ(remote->GetConnectionDescription(1, text, sizeof text, &pid), kStatusOk);
    EXPECT_STREQ(text, "Nimbra 16 connected via Quil MIDI 3");
    EXPECT_EQ(pid, kPidNimbra16);
}

TEST_F(RemoteVirtualUnitTest, DownloadLeavesTheImageByteForByteInTheChosenBank) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    const Bytes image = BitstreamImage(300000);
    const DownloadResult result = Download(*remote, image, 1);
    ASSERT_TRUE(result.ok) << result.stage << " status " << int(result.status) << " packet " << result.failedPacket;
    EXPECT_EQ(result.phases, (std::set<uint8_t>{2, 3, 4, 5, 6}));
    EXPECT_EQ(quil->SelectedBank(), 2);
    const auto bank = quil->Bank(2);
    ASSERT_EQ(bank.size(), image.size());
    EXPECT_TRUE(std::equal(bank.begin(), bank.end(), image.begin()));
    EXPECT_TRUE(quil->Bank(1).empty());
    EXPECT_EQ(Offline(), 0);
}

TEST_F(RemoteVirtualUnitTest, ProgrammingErrorAtAPacketReachesTheCaller) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    quil->FailPacket(5, sim::kStatusPgmErr);
    const DownloadResult result = Download(*remote, BitstreamImage(4096), 0);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.stage, "packet");
    EXPECT_EQ(result.failedPacket, 5u);
    EXPECT_TRUE(result.status & kPgmStatusPgmErr);
    EXPECT_EQ(remote->AbortProgramming(), kStatusOk);
    EXPECT_EQ(remote->PollMode(), kPollIdentity);
}

TEST_F(RemoteVirtualUnitTest, TransmissionErrorAtTheFirstPacketReachesTheCaller) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    quil->FailPacket(0, sim::kStatusTxErr);
    const DownloadResult result = Download(*remote, BitstreamImage(1000), 0);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failedPacket, 0u);
    EXPECT_TRUE(result.status & kPgmStatusTxErr);
}

TEST_F(RemoteVirtualUnitTest, SilentUnitTimesThePacketOutWithoutBeingDropped) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    const Bytes image = BitstreamImage(2000);
    quil->FallSilent(5000);
    const uint32_t start = clock.Peek();
    const DownloadResult result = Download(*remote, image, 0);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failedPacket, 0u);
    EXPECT_EQ(result.status, kPgmStatusTimeout);
    EXPECT_GE(clock.Peek() - start, 1000u);
    EXPECT_EQ(Offline(), 0);  // no silence rule while transferring
}

TEST_F(RemoteVirtualUnitTest, ImageThatIsNoBitstreamFailsVerification) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    Bytes image = BitstreamImage(3000);
    image[16] = 0x00;
    const DownloadResult result = Download(*remote, image, 0);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.stage, "phase");
    EXPECT_TRUE(result.status & kPgmStatusPgmErr);
}

TEST_F(RemoteVirtualUnitTest, BlankSerialNumberIsWrittenAndStored) {
    sim::VirtualMidiSetup blankSetup;
    sim::VirtualQuil* blank =
        blankSetup.AddPort("Quil MIDI 9", sim::PortTechnology::Hardware, QuilUnit(sim::kNoSerial));
    remote->Close();
    remote.reset();
    platform::ScopedMidiSystem scoped(blankSetup.System());
    CNimbraRemote engine;
    engine.SetDeviceName("Quil");
    ASSERT_EQ(engine.Open(), kStatusOk);
    ASSERT_EQ(engine.SelectConnection(0), kStatusOk);
    uint32_t serial = 0;
    engine.GetSerialNumber(&serial);
    ASSERT_EQ(serial, kNoSerialNumber);

    const uint32_t wanted = 0x31CB0FFF;
    ASSERT_EQ(engine.WriteSerialNumber(wanted), kStatusOk);
    uint8_t status = kPgmStatusPip;
    const uint32_t start = clock.Peek();
    while ((status & 0x3F) != 0 && clock.Peek() - start < 2000) engine.GetProgramStatus(&status);
    EXPECT_EQ(status & 0x3F, 0);
    EXPECT_EQ(blank->StoredSerial(), wanted);
    engine.Close();
}

TEST_F(RemoteVirtualUnitTest, UnitBackFromSilenceIsSelectedAgain) {
    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);  // the Nimbra 16
    remote->SetPollMode(kPollIdentity);
    nimbra->FallSilent(2500);
    const uint32_t start = clock.Peek();
    bool dropped = false;
    while (clock.Peek() - start < 8000) {
        remote->Service();
        dropped = dropped || Offline() == 1;
        if (dropped && Offline() == 0) break;
        clock.Advance(10);
    }
    EXPECT_TRUE(dropped);
    EXPECT_EQ(Offline(), 0);
    uint16_t selected = 0;
    remote->GetSelectedConnection(&selected);
    EXPECT_EQ(selected, 1);
    uint8_t pid = 0;
    remote->GetPID(&pid);
    EXPECT_EQ(pid, kPidNimbra16);
}

// The engine's waits block on the link: a reply ends them the moment it is
// in, the unit's own report at the moment its work ends, and a unit that
// says nothing costs no processor time while the wait runs out.
TEST_F(RemoteVirtualUnitTest, WaitsEndWhenTheUnitAnswersAndCostNothingMeanwhile) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    clock.SetSpinReadsPerMs(0);
    setup.System().SetLinkModel(setup.UnitPorts(0).output, platform::VirtualMidiLinkModel{2, 0});
    uint32_t start = clock.Peek();
    ASSERT_EQ(remote->RequestRegisterStatusVerified(1, 24), kStatusOk);
    EXPECT_EQ(clock.Peek() - start, 4u);

    // The card's erase: the unit reports register 9 when it has finished.
    remote->SelectXSlotFirmware(1);
    remote->WaitForResponse(4);
    start = clock.Peek();
    remote->EraseEEPROM();
    const uint32_t sent = clock.Peek();
    uint8_t status = kPgmStatusPip;
    while (status != 0 && clock.Peek() - start < 1000) {
        const uint32_t replies = remote->ReplyCount();
        remote->GetProgramStatus(&status);
        if (status != 0 && remote->ReplyCount() == replies) remote->WaitForInput(1000);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(clock.Peek() - sent, 300u + 2u);

    // Silence on the real clock: the reply wait runs out without spinning.
    setup.System().SetLinkModel(setup.UnitPorts(0).output, platform::VirtualMidiLinkModel{});
    platform::SystemClock realClock;
    platform::ScopedClock real(realClock);
    remote->SetPollMode(kPollMonitor);
    quil->FallSilent(10000);
    timespec cpu0{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const uint32_t wall0 = realClock.TickMs();
    EXPECT_EQ(remote->WaitForResponse(1), kStatusFailed);
    timespec cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpuMs = double(cpu1.tv_sec - cpu0.tv_sec) * 1e3 + double(cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    const uint32_t wallMs = realClock.TickMs() - wall0;
    EXPECT_GT(wallMs, kReplyTimeoutMs);
    EXPECT_LT(cpuMs, 0.05 * wallMs) << cpuMs << " ms of processor time in " << wallMs << " ms";
}

// With nothing coming, a wait sleeps until the service pass has something
// to do: the next periodic request of the poll mode, the silence limit, or
// (transferring, when the unit reports by itself) the caller's time-out.
TEST_F(RemoteVirtualUnitTest, AWaitWithNothingComingSleepsUntilTheNextDutyOfTheServicePass) {
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    clock.SetSpinReadsPerMs(0);
    platform::NullUserInterface quiet;
    platform::ScopedUi scopedQuiet(quiet);
    const struct {
        uint8_t mode;
        uint32_t wakesAfterMs;
    } cases[] = {
        {kPollProgress, 101}, {kPollIdentity, 51}, {kPollIdle, kSilenceLimitMs + 1 - 200}, {kPollTransfer, 5000}};
    for (const auto& c : cases) {
        // Silence counts from the mode's start, the next request from the
        // last one.
        remote->SetPollMode(c.mode);
        clock.Advance(200);
        remote->Service();  // the periodic request, if the mode has one
        remote->Service();  // its reply
        const uint32_t start = clock.Peek();
        remote->WaitForInput(5000);
        EXPECT_EQ(clock.Peek() - start, c.wakesAfterMs) << int(c.mode);
    }
    // At the interval itself the request is not due yet: one more tick.
    remote->SetPollMode(kPollProgress);
    clock.Advance(200);
    remote->Service();
    remote->Service();
    clock.Advance(100);
    const uint32_t start = clock.Peek();
    remote->WaitForInput(5000);
    EXPECT_EQ(clock.Peek() - start, 1u);

    // A reply wait that runs out says so at the first tick past its limit.
    remote->SetPollMode(kPollMonitor);
    quil->FallSilent(2000);
    EXPECT_EQ(remote->WaitForResponse(1), kStatusFailed);
    EXPECT_NE(log.Text().find("CNimbraRemote::WaitForResponse TIMEOUT 501\n"), std::string::npos);
}

}  // namespace
}  // namespace enginetest
