// The engine after a drop (finding the lost unit again by who it is), and the
// thresholds, intervals and model paths that nothing else pins down.
#include <gtest/gtest.h>

#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

class RemoteDropTest : public EngineTest {
protected:
    uint8_t Offline() {
        uint8_t offline = 0;
        remote->IsOffline(&offline);
        return offline;
    }
    uint32_t Serial() {
        uint32_t serial = 0;
        remote->GetSerialNumber(&serial);
        return serial;
    }
    // A Quil with serial number 31 18 22 unit `unit`.
    void SetSerialQuil(size_t index, uint8_t unit) {
        Unit(index).SetQuil(7);
        Unit(index).regs[12] = 22;  // week
        Unit(index).regs[13] = 18;  // year
        Unit(index).regs[14] = unit;
        Unit(index).regs[15] = 0;
    }
    void DropSelectedUnit(size_t index) {
        Unit(index).silent = true;
        clock.Advance(1001);
        remote->Service();
        ASSERT_EQ(Offline(), 1);
    }
};

TEST_F(RemoteDropTest, TheLostUnitIsFoundByWhoItIsAfterTheLinkRenumbers) {
    SetSerialQuil(0, 1);
    SetSerialQuil(1, 2);
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);
    const uint32_t lost = Serial();
    DropSelectedUnit(1);

    // The link reopens with the two units numbered the other way round.
    std::swap(Unit(0), Unit(1));
    Unit(0).silent = false;
    EXPECT_EQ(remote->Service(), kStatusOk);
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(Serial(), lost);
    EXPECT_EQ(LinkLog().selects.back(), 0);
}

TEST_F(RemoteDropTest, WhileTheLostUnitIsMissingNothingIsSelected) {
    SetSerialQuil(0, 1);
    SetSerialQuil(1, 2);
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);
    const uint32_t lost = Serial();
    DropSelectedUnit(1);

    // Connection 1 now leads to the other unit; the lost one stays silent.
    std::swap(Unit(0), Unit(1));
    remote->Service();
    EXPECT_EQ(Offline(), 1);
    EXPECT_EQ(Serial(), kNoSerialNumber);
    uint8_t pid = 0xFF;
    remote->GetPID(&pid);
    EXPECT_EQ(pid, 0);

    // Once it answers again it is taken back, wherever it is.
    Unit(0).silent = false;
    for (int pass = 0; pass < 3 && Offline() != 0; ++pass) {
        remote->Service();
        clock.Advance(400);
    }
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(Serial(), lost);
}

TEST_F(RemoteDropTest, SelectingTheSameConnectionAfterADropSelectsForReal) {
    SelectQuil(1, 7);
    DropSelectedUnit(1);
    Unit(1).silent = false;
    const size_t sent = Sent();
    EXPECT_EQ(remote->SelectConnection(1), kStatusOk);
    EXPECT_GT(Sent(), sent);
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(Reg(1), kPidQuil);
}

TEST_F(RemoteDropTest, ReadVerifyPacketOfNoBytesIsOutOfRange) {
    SelectQuil(0, 7);
    std::array<uint8_t, 128> buffer{};
    EXPECT_EQ(remote->ReadVerifyPacket(buffer.data(), 0), kStatusOutOfRange);
    EXPECT_EQ(remote->ReadVerifyPacket(buffer.data(), 1), kStatusOk);
}

TEST_F(RemoteDropTest, ExtendedAddressingFromQuilFirmware6) {
    for (const auto& [major, messages] : {std::pair<uint8_t, size_t>{5, 3}, {6, 5}}) {
        links.log = {};
        remote = std::make_unique<CNimbraRemote>(links);
        SelectQuil(0, major);
        EXPECT_EQ(Traffic(LinkLog()).size(), messages) << int(major);
        EXPECT_EQ(remote->PollMode(), major >= 6 ? kPollIdle : kPollMonitor) << int(major);
    }
}

TEST_F(RemoteDropTest, ExtendedMixerAboveSiblingFirmware16) {
    for (const auto& [major, range] : {std::pair<uint8_t, uint32_t>{16, 128}, {17, 256}}) {
        links.log = {};
        remote = std::make_unique<CNimbraRemote>(links);
        Unit(0).regs[1] = kPidNimbra16;
        Unit(0).SetFirmware(major, 0, 1);
        OpenRemote();
        ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
        const size_t from = Sent();
        clock.Advance(101);
        for (int pass = 0; pass < 7; ++pass) remote->Service();
        const std::vector<WireMessage> t = Traffic(LinkLog(), from);
        ASSERT_EQ(t.size(), 7u);
        EXPECT_EQ(t[6].reg, range) << int(major);  // cycle step 6
    }
}

TEST_F(RemoteDropTest, SerialNumberWriteWaitsSixtyFourTimesForTheNumber) {
    SelectQuil(0, 7);
    Unit(0).ignoreSerialWrites = true;
    remote->SetPollMode(kPollIdentity);
    const size_t from = Sent();
    EXPECT_EQ(remote->WriteSerialNumber(0x31CB0FFF), kStatusFailed);
    size_t requests = 0;
    for (const WireMessage& w : Traffic(LinkLog(), from)) requests += w.kind == WireMessage::Request ? 1 : 0;
    EXPECT_EQ(requests, 64u * 4u);  // four replies per look
}

TEST_F(RemoteDropTest, IdlePollEveryThreeSecondsWithAUsbCard) {
    Unit(0).regs[16] = kCardVxUsb;
    SelectQuil(0, 7);
    ASSERT_EQ(remote->PollMode(), kPollIdle);
    clock.SetSpinReadsPerMs(0);
    remote->SetPollMode(kPollIdle);
    const auto keepTalking = [&](uint32_t ms) {
        Link().Inject(BuildReply(0, Bytes(1, 0x31), false));
        clock.Advance(ms);
        remote->Service();
    };
    // Wait for one idle request, then time the next.
    size_t from = Sent();
    for (int i = 0; i < 5 && Sent() == from; ++i) keepTalking(1000);
    ASSERT_GT(Sent(), from);
    from = Sent();
    for (int i = 0; i < 3; ++i) keepTalking(1000);
    EXPECT_EQ(Sent(), from);
    keepTalking(1);
    const std::vector<WireMessage> t = Traffic(LinkLog(), from);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].reg, 1u);
    EXPECT_EQ(t[0].span, 30u);
}

TEST_F(RemoteDropTest, PumpMessagesSpends250Ms) {
    SelectQuil(0, 7);
    const uint32_t start = clock.Peek();
    remote->PumpMessages();
    EXPECT_EQ(clock.Peek() - start, 250u);
}

TEST_F(RemoteDropTest, CardSerialWriteIsExemptFromTheSilenceRule) {
    SelectQuil(0, 7);
    Unit(0).regs[16] = kCardVxMadiB;
    ASSERT_EQ(remote->RequestRegisterStatusVerified(16, 16), kStatusOk);
    Unit(0).silent = true;
    int closesInside = -1;
    // A timer tick inside the write's wait, long after the last reply.
    ui.onMessage = [&] {
        ui.onMessage = nullptr;
        clock.Advance(1001);
        remote->Service();
        closesInside = LinkLog().closes;
    };
    remote->WriteXSlotSerialNumber(0x13256002);
    EXPECT_EQ(closesInside, 0);
    // Outside the write the same silence drops the unit.
    clock.Advance(1001);
    remote->Service();
    EXPECT_EQ(LinkLog().closes, 1);
}

TEST_F(RemoteDropTest, NimbraNTakesTheQuilsPaths) {
    Unit(0).regs[1] = kPidNimbra8;
    Unit(0).regs[6] = kPidNimbraN;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    std::vector<WireMessage> t = Traffic(LinkLog());
    ASSERT_EQ(t.size(), 2u);  // identity, then registers 0..127
    EXPECT_EQ(t[1].reg, 0u);
    EXPECT_EQ(t[1].span, 127u);

    size_t from = Sent();
    remote->WriteRegister(300, 0x12);
    t = Traffic(LinkLog(), from);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].extended);
    EXPECT_EQ(t[0].reg, 300u);

    from = Sent();
    remote->SetFirmwareSize(0x01020304);
    EXPECT_EQ(Traffic(LinkLog(), from).size(), 4u);  // image length, registers 48..51

    from = Sent();
    const std::array<uint8_t, 4> packet{1, 2, 3, 4};
    remote->WriteFirmwarePacket(packet.data(), packet.size());
    bool crcWritten = false;
    for (const WireMessage& w : Traffic(LinkLog(), from)) crcWritten |= w.kind == WireMessage::Write && w.reg == 52;
    EXPECT_TRUE(crcWritten);
}

}  // namespace
}  // namespace enginetest
