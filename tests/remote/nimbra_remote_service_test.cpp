// The service pass: draining, the silence rule, dropping and reselecting a
// unit, the periodic requests of every poll mode, and storing replies.
#include <gtest/gtest.h>

#include <utility>

#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

using Range = std::pair<uint32_t, uint32_t>;

std::vector<Range> RequestsIn(const FakeLink::Log& log, size_t from) {
    std::vector<Range> out;
    for (const WireMessage& w : Traffic(log, from))
        if (w.kind == WireMessage::Request) out.emplace_back(w.reg, w.reg + w.span);
    return out;
}

class RemoteServiceTest : public EngineTest {
protected:
    uint8_t Offline() {
        uint8_t offline = 0;
        remote->IsOffline(&offline);
        return offline;
    }
};

TEST_F(RemoteServiceTest, SilenceOverOneSecondDropsTheUnitAndTheNextPassSelectsItAgain) {
    SelectQuil(1, 5);
    clock.SetSpinReadsPerMs(0);
    Unit(1).silent = true;
    ASSERT_EQ(Reg(1), kPidQuil);

    clock.Advance(1000);
    EXPECT_EQ(remote->Service(), kStatusOk);
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(LinkLog().closes, 0);

    clock.Advance(1);
    EXPECT_EQ(remote->Service(), kStatusOk);
    EXPECT_EQ(Offline(), 1);
    EXPECT_EQ(LinkLog().closes, 1);
    EXPECT_EQ(Reg(1), 0);
    EXPECT_EQ(Reg(10), 0);

    Unit(1).silent = false;
    const int opens = LinkLog().opens;
    EXPECT_EQ(remote->Service(), kStatusOk);
    EXPECT_EQ(LinkLog().opens, opens + 1);
    EXPECT_EQ(LinkLog().selects.back(), 1);
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(Reg(1), kPidQuil);
}

TEST_F(RemoteServiceTest, FailedReselectIsRetriedOnTheSameConnection) {
    SelectQuil(1, 5);
    Unit(0).SetQuil(5);  // another unit that would answer on connection 0
    Unit(1).silent = true;
    clock.Advance(1001);
    remote->Service();
    ASSERT_EQ(Offline(), 1);

    const size_t selectsBefore = LinkLog().selects.size();
    for (int pass = 0; pass < 6; ++pass) {
        remote->Service();
        clock.Advance(400);
    }
    EXPECT_EQ(Offline(), 1);
    const std::vector<uint16_t> selects(LinkLog().selects.begin() + long(selectsBefore), LinkLog().selects.end());
    ASSERT_FALSE(selects.empty());
    for (uint16_t s : selects) EXPECT_EQ(s, 1) << "switched to another unit";

    Unit(1).silent = false;
    for (int pass = 0; pass < 4 && Offline() != 0; ++pass) {
        remote->Service();
        clock.Advance(400);
    }
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(LinkLog().selects.back(), 1);
}

TEST_F(RemoteServiceTest, TransferModeNeitherWaitsNorDrops) {
    SelectQuil(0, 5);
    remote->SetPollMode(kPollTransfer);
    const int reads = LinkLog().reads;
    const uint32_t start = clock.Peek();
    EXPECT_EQ(remote->WaitForResponse(5), kStatusOk);
    EXPECT_EQ(LinkLog().reads, reads);
    EXPECT_LE(clock.Peek() - start, 1u);

    const size_t sent = Sent();
    clock.Advance(5000);
    EXPECT_EQ(remote->Service(), kStatusOk);
    EXPECT_EQ(Offline(), 0);
    EXPECT_EQ(Sent(), sent);
    EXPECT_EQ(LinkLog().closes, 0);
}

TEST_F(RemoteServiceTest, ReadBackModeDoesNotWaitButASilentUnitIsDropped) {
    SelectQuil(0, 5);
    remote->SetPollMode(kPollReadBack);
    const int reads = LinkLog().reads;
    EXPECT_EQ(remote->WaitForResponse(1), kStatusOk);
    EXPECT_EQ(LinkLog().reads, reads);
    Unit(0).silent = true;
    clock.Advance(1001);
    remote->Service();
    EXPECT_EQ(Offline(), 1);
}

TEST_F(RemoteServiceTest, ReadErrorAndFailedRequestDropTheUnit) {
    SelectQuil(0, 5);
    Link().failRead = true;
    EXPECT_EQ(remote->Service(), kStatusOk);
    EXPECT_EQ(Offline(), 1);
    EXPECT_EQ(Reg(1), 0);
    EXPECT_EQ(LinkLog().closes, 1);

    Link().failRead = false;
    remote->Service();  // reselects
    ASSERT_EQ(Offline(), 0);
    Link().failWrite = true;
    clock.Advance(101);
    remote->Service();
    EXPECT_EQ(Offline(), 1);
}

TEST_F(RemoteServiceTest, QuilMonitoringAsksEvery100MsOrAtOnceAfterAReply) {
    SelectQuil(0, 5);
    clock.SetSpinReadsPerMs(0);
    remote->SetPollMode(kPollMonitor);
    Unit(0).silent = true;
    clock.Advance(101);
    size_t from = Sent();
    remote->Service();
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{0, 125}}));

    from = Sent();
    remote->Service();
    clock.Advance(100);
    remote->Service();
    EXPECT_EQ(Sent(), from);
    clock.Advance(1);
    remote->Service();
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{0, 125}}));

    from = Sent();
    Link().Inject(BuildReply(0, Bytes(126, 0x31), false));
    remote->Service();
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{0, 125}}));
}

TEST_F(RemoteServiceTest, IdentityProgressAndIdleModes) {
    SelectQuil(0, 5);
    clock.SetSpinReadsPerMs(0);

    remote->SetPollMode(kPollIdentity);
    clock.Advance(51);
    size_t from = Sent();
    remote->Service();
    remote->Service();  // parses the reply, but 50 ms have not passed
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{0, 125}}));

    remote->SetPollMode(kPollProgress);
    clock.Advance(100);
    from = Sent();
    remote->Service();
    EXPECT_TRUE(RequestsIn(LinkLog(), from).empty());
    clock.Advance(1);
    remote->Service();
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{56, 58}}));

    // Idle: only with a VX-USB card, every three seconds.
    remote->SetPollMode(kPollIdle);
    Link().Inject(BuildReply(0, Bytes(1, 0x31), false));
    clock.Advance(3001);
    from = Sent();
    remote->Service();
    EXPECT_TRUE(RequestsIn(LinkLog(), from).empty());
    remote->StoreRegisterData(Bytes{kCardVxUsb}.data(), REMO_VX_TYPE, 1);
    Link().Inject(BuildReply(0, Bytes(1, 0x31), false));
    remote->Service();
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{1, 31}}));
}

TEST_F(RemoteServiceTest, SiblingIdentityModeAsksTheShortIdentity) {
    Unit(0).regs[1] = kPidNimbra16;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    remote->SetPollMode(kPollIdentity);
    clock.Advance(51);
    const size_t from = Sent();
    remote->Service();
    EXPECT_EQ(RequestsIn(LinkLog(), from), (std::vector<Range>{{1, 24}}));
}

// Runs passes of monitoring on a sibling unit that answers everything, so
// that each pass asks the next step of the cycle.
std::vector<Range> RunCycle(CNimbraRemote& remote, const FakeLink::Log& log, int passes,
                            platform::VirtualClock& clock) {
    clock.Advance(101);
    const size_t from = log.writes.size();
    for (int i = 0; i < passes; ++i) remote.Service();
    return RequestsIn(log, from);
}

std::vector<Range> ExpectedCycle(bool extendedMixer) {
    std::vector<Range> out;
    for (uint32_t step = 0; step < 40; ++step) {
        if (step % 2 == 1)
            out.emplace_back(64, 127);
        else if (step % 8 == 0)
            out.emplace_back(1, 24);
        else if (step == 2 || step == 12 || step == 22 || step == 34)
            out.emplace_back(128, 191);
        else if (step == 4 || step == 14 || step == 26 || step == 36)
            out.emplace_back(192, 255);
        else if (step == 6 || step == 18 || step == 28 || step == 38)
            out.push_back(extendedMixer ? Range{256, 319} : Range{128, 191});
        else
            out.push_back(extendedMixer ? Range{320, 383} : Range{192, 255});
    }
    out.emplace_back(32, 32);
    out.emplace_back(1, 24);  // and round again
    return out;
}

TEST_F(RemoteServiceTest, SiblingRegisterCycle) {
    Unit(0).regs[1] = kPidNimbra8;
    Unit(0).SetFirmware(5, 0, 1);
    Unit(1).regs[1] = kPidTonelink;
    Unit(1).SetFirmware(17, 0, 1);  // extended mixer
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_EQ(RunCycle(*remote, LinkLog(), 42, clock), ExpectedCycle(false));

    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);
    const std::vector<Range> cycle = RunCycle(*remote, LinkLog(), 42, clock);
    // The step counter runs on from where the first unit left it (step 1).
    std::vector<Range> full = ExpectedCycle(true);
    full.pop_back();  // steps 0..39 and the register-32 request
    ASSERT_EQ(cycle.size(), 42u);
    for (size_t k = 0; k < cycle.size(); ++k) EXPECT_EQ(cycle[k], full[(k + 1) % full.size()]) << k;
}

TEST_F(RemoteServiceTest, SiblingWithUsbCardUsesTheShortCycle) {
    Unit(0).regs[1] = kPidNimbra16;
    Unit(0).regs[16] = kCardVxUsb;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    const std::vector<Range> expected{{1, 24},   {64, 255}, {64, 255}, {64, 255}, {1, 24},
                                      {64, 255}, {1, 24},   {64, 255}, {1, 24}};
    EXPECT_EQ(RunCycle(*remote, LinkLog(), 9, clock), expected);
}

TEST_F(RemoteServiceTest, WaitCountsRepliesWhateverTheyHold) {
    SelectQuil(0, 5);
    Unit(0).silent = true;
    Link().Inject(BuildReply(40, Bytes{1}, false));
    Link().Inject(BuildReply(700, Bytes{2, 3}, true));
    EXPECT_EQ(remote->WaitForResponse(2), kStatusOk);
    EXPECT_EQ(Reg(40), 1);
    EXPECT_EQ(Reg(701), 3);
}

// ---------------------------------------------------------------------------

int g_callbacks = 0;
uint32_t g_user1 = 0;
uint32_t g_user2 = 0;
void CountChange(uint32_t user1, uint32_t user2) {
    ++g_callbacks;
    g_user1 = user1;
    g_user2 = user2;
}

using RemoteStoreTest = RemoteServiceTest;

TEST_F(RemoteStoreTest, ReplyReachingRegister2048StopsAt2047WithoutTheCallback) {
    g_callbacks = 0;
    remote->SetChangeCallback(2000, 5, CountChange, 7, 8);
    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i + 1);
    EXPECT_EQ(remote->StoreRegisterData(data.data(), 2000, uint32_t(data.size())), kStatusFailed);
    EXPECT_EQ(Reg(2000), 1);
    EXPECT_EQ(Reg(2047), 48);
    EXPECT_EQ(g_callbacks, 0);

    EXPECT_EQ(remote->StoreRegisterData(data.data(), 1990, 58), kStatusOk);
    EXPECT_EQ(g_callbacks, 1);
    EXPECT_EQ(g_user1, 7u);
    EXPECT_EQ(g_user2, 8u);
    EXPECT_EQ(remote->StoreRegisterData(data.data(), 6, 10), kStatusOk);
    EXPECT_EQ(g_callbacks, 1);
}

TEST_F(RemoteStoreTest, ReplyOverTheWireThatReaches2048) {
    SelectQuil(0, 7);
    Link().Inject(BuildReply(2040, Bytes(20, 0x42), true));
    remote->Service();
    EXPECT_EQ(Reg(2040), 0x42);
    EXPECT_EQ(Reg(2047), 0x42);
}

TEST_F(RemoteStoreTest, ReadBackFillsOnlyTheVerifyBuffer) {
    Bytes base(256, 0x11);
    remote->StoreRegisterData(base.data(), 128, 256);  // image 128..383 = 0x11
    remote->SetPollMode(kPollReadBack);

    Bytes packet(128);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = uint8_t(0x80 + i);
    EXPECT_EQ(remote->StoreRegisterData(packet.data(), 128, 128), kStatusOk);
    EXPECT_EQ(Reg(REG_PGM_STATUS) & kPgmStatusPakRdy, kPgmStatusPakRdy);
    Bytes verify(128);
    ASSERT_EQ(remote->ReadVerifyPacket(verify.data(), 128), kStatusOk);
    EXPECT_EQ(verify, packet);
    for (uint16_t r = 128; r < 256; ++r) ASSERT_EQ(Reg(r), 0x11) << r;
    EXPECT_EQ(remote->ReadVerifyPacket(verify.data(), 129), kStatusOutOfRange);
}

TEST_F(RemoteStoreTest, ReadBackNeverWritesPastTheVerifyBuffer) {
    Bytes base(512, 0x22);
    remote->StoreRegisterData(base.data(), 0, 512);
    remote->SetPollMode(kPollReadBack);
    Bytes big(1024, 0x99);
    EXPECT_EQ(remote->StoreRegisterData(big.data(), 128, 1024), kStatusOk);
    for (uint16_t r = 128; r < 512; ++r) ASSERT_EQ(Reg(r), 0x22) << r;
    Bytes verify(128);
    remote->ReadVerifyPacket(verify.data(), 128);
    EXPECT_EQ(verify, Bytes(128, 0x99));
}

TEST_F(RemoteStoreTest, ReadBackReadyOnlyAfterPacketBytes) {
    remote->SetPollMode(kPollReadBack);
    const Bytes status{0x00, 0x00, 0x00};
    EXPECT_EQ(remote->StoreRegisterData(status.data(), 7, 3), kStatusOk);
    EXPECT_EQ(Reg(REG_PGM_STATUS), 0);  // the register itself, no ready bit
    const Bytes one{0x5A};
    remote->StoreRegisterData(one.data(), 200, 1);
    EXPECT_EQ(Reg(REG_PGM_STATUS), kPgmStatusPakRdy);
}

}  // namespace
}  // namespace enginetest
