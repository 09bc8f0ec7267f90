// Opening links, selecting a connection and identifying the unit on it.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

using RemoteOpenTest = EngineTest;

TEST_F(RemoteOpenTest, TriesLinkKindsInOrderAndKeepsTheFirstThatOpens) {
    links.kinds = {kLinkTypeMidi, kLinkTypeDante};
    remote->SetDeviceName("Quil");
    ASSERT_EQ(remote->Open(), kStatusOk);
    EXPECT_EQ(links.requested, (std::vector<uint16_t>{kLinkTypeDriver, kLinkTypeMidi}));
    uint16_t type = 0;
    remote->GetLinkType(&type);
    EXPECT_EQ(type, kLinkTypeMidi);
    EXPECT_EQ(LinkLog().deviceName, "Quil");
    uint16_t count = 0;
    EXPECT_EQ(remote->GetNumberOfConnections(&count), kStatusOk);
    EXPECT_EQ(count, 2);

    // A second Open keeps the link it has.
    EXPECT_EQ(remote->Open(), kStatusOk);
    EXPECT_EQ(links.requested.size(), 2u);
}

TEST_F(RemoteOpenTest, DeletesALinkThatFailsToOpenAndTriesTheNextKind) {
    links.kinds = {kLinkTypeMidi, kLinkTypeDante};
    links.failingKinds = {kLinkTypeMidi};
    ASSERT_EQ(remote->Open(), kStatusOk);
    EXPECT_EQ(links.requested, (std::vector<uint16_t>{kLinkTypeDriver, kLinkTypeMidi, kLinkTypeDante}));
    EXPECT_TRUE(LinkLog().destroyed);  // the MIDI link
    uint16_t type = 0;
    remote->GetLinkType(&type);
    EXPECT_EQ(type, kLinkTypeDante);
}

TEST_F(RemoteOpenTest, MaskLimitsTheKindsAndNoLinkFailsEverything) {
    remote->SetLinkMask(kLinkMaskDante);
    EXPECT_EQ(remote->Open(), kStatusFailed);
    EXPECT_EQ(links.requested, (std::vector<uint16_t>{kLinkTypeDante}));
    uint16_t count = 0;
    EXPECT_EQ(remote->GetNumberOfConnections(&count), kStatusFailed);
    EXPECT_EQ(remote->SelectConnection(0), kStatusFailed);
    EXPECT_EQ(remote->Service(), kStatusFailed);
    char text[64] = "";
    EXPECT_EQ(remote->GetConnectionDescription(0, text, sizeof text, nullptr), kStatusFailed);
}

TEST_F(RemoteOpenTest, CloseDisablesHostReportsOnExtendedUnitsAndDeletesTheLink) {
    SelectQuil(0, 7);
    const size_t before = Sent();
    EXPECT_EQ(remote->Close(), kStatusOk);
    ASSERT_EQ(Sent(), before + 1);
    const WireMessage w = DecodeWire(LinkLog().writes.back());
    EXPECT_EQ(w.kind, WireMessage::Write);
    EXPECT_EQ(w.reg, 27u);
    EXPECT_EQ(w.value, 0);
    EXPECT_TRUE(LinkLog().destroyed);
    EXPECT_EQ(LinkLog().closes, 1);
    uint8_t offline = 0;
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 1);
}

TEST_F(RemoteOpenTest, ReopenedLinkSelectsAfresh) {
    SelectQuil(0, 5);
    ASSERT_EQ(remote->Close(), kStatusOk);
    ASSERT_EQ(remote->Open(), kStatusOk);
    const size_t before = Sent();
    EXPECT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_GT(Sent(), before);
    uint16_t onLink = kNoConnection;
    remote->GetSelectedConnection(&onLink);
    EXPECT_EQ(onLink, 0);
}

TEST_F(RemoteOpenTest, DestructionDisablesHostReportsAndDeletesTheLink) {
    SelectQuil(0, 7);
    const size_t before = Sent();
    remote.reset();
    ASSERT_EQ(Sent(), before + 1);
    const WireMessage w = DecodeWire(LinkLog().writes.back());
    EXPECT_EQ(w.reg, 27u);
    EXPECT_EQ(w.value, 0);
    EXPECT_EQ(LinkLog().closes, 1);
    EXPECT_TRUE(LinkLog().destroyed);
}

using RemoteSelectTest = EngineTest;

TEST_F(RemoteSelectTest, QuilWithExtendedAddressingReadsItsWholeRegisterFile) {
    Unit(0).SetQuil(7, 2, 2);
    Unit(0).regs[300] = 0x33;
    Unit(0).regs[1500] = 0x5A;
    Unit(0).regs[2047] = 0x77;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);

    const std::vector<WireMessage> t = Traffic(LinkLog());
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].kind, WireMessage::Request);
    EXPECT_EQ(t[0].reg, 1u);
    EXPECT_EQ(t[0].span, 23u);
    EXPECT_EQ(t[1].kind, WireMessage::Write);  // host reports off
    EXPECT_EQ(t[1].reg, 27u);
    EXPECT_EQ(t[2].reg, 0u);
    EXPECT_EQ(t[2].span, 127u);
    EXPECT_FALSE(t[2].extended);
    EXPECT_TRUE(t[3].extended);
    EXPECT_EQ(t[3].reg, 256u);
    EXPECT_EQ(t[3].span, 291u);
    EXPECT_TRUE(t[4].extended);
    EXPECT_EQ(t[4].reg, 1024u);
    EXPECT_EQ(t[4].span, 1023u);

    EXPECT_EQ(Reg(300), 0x33);
    EXPECT_EQ(Reg(1500), 0x5A);
    EXPECT_EQ(Reg(2047), 0x77);
    EXPECT_EQ(remote->PollMode(), kPollIdle);
    uint8_t offline = 1;
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 0);
    EXPECT_TRUE(remote->IsQuil());
}

TEST_F(RemoteSelectTest, OlderQuilAndSiblingsReadLess) {
    Unit(0).SetQuil(5);
    Unit(1).regs[1] = kPidNimbra16;
    Unit(1).SetFirmware(17, 1, 1);
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    std::vector<WireMessage> t = Traffic(LinkLog());
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[2].reg, 0u);
    EXPECT_EQ(t[2].span, 127u);
    EXPECT_EQ(remote->PollMode(), kPollMonitor);

    const size_t before = Sent();
    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);
    t = Traffic(LinkLog(), before);
    ASSERT_EQ(t.size(), 1u);  // the identity read only
    EXPECT_EQ(t[0].reg, 1u);
    EXPECT_EQ(t[0].span, 23u);
}

TEST_F(RemoteSelectTest, SelectingTheSelectedConnectionSendsNothing) {
    SelectQuil(1);
    const size_t sent = Sent();
    const size_t selects = LinkLog().selects.size();
    EXPECT_EQ(remote->SelectConnection(1), kStatusOk);
    EXPECT_EQ(Sent(), sent);
    EXPECT_EQ(LinkLog().selects.size(), selects);
}

TEST_F(RemoteSelectTest, IdentityReplyAtAnotherRegisterIsAskedSixTimesThenFails) {
    Unit(0).SetQuil(7);
    Unit(0).firstOffset = 1;
    OpenRemote();
    EXPECT_EQ(remote->SelectConnection(0), kStatusFailed);
    const std::vector<WireMessage> t = Traffic(LinkLog());
    ASSERT_EQ(t.size(), 6u);
    for (const WireMessage& w : t) {
        EXPECT_EQ(w.kind, WireMessage::Request);
        EXPECT_EQ(w.reg, 1u);
        EXPECT_EQ(w.span, 23u);
    }
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: RETRY! Last 0002 First 0001\n"), 6u);
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: Last 0002 != First 0001\n"), 1u);
    EXPECT_EQ(log.Count("CNimbraRemote::SelectConnection: RequestRegisterStatus REG_ASTAT_PID/REMO_VX_SN_SERNUMHI "
                        "FAILED!\n"),
              1u);
    uint8_t offline = 0;
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 1);

    // Nothing was selected: asking again selects again.
    Unit(0).firstOffset = 0;
    const size_t before = Sent();
    EXPECT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_GT(Sent(), before);
}

TEST_F(RemoteSelectTest, FailedSelectionForgetsThePreviousUnit) {
    // Connection 0 is a Quil; the unit on connection 1 answers at the wrong
    // register. After the failed select the link is on connection 1, so the
    // engine must neither report the Quil's identity for it nor take a later
    // select of connection 0 as already done.
    Unit(0).SetQuil(5);
    Unit(1).SetQuil(5);
    Unit(1).firstOffset = 1;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    ASSERT_EQ(remote->SelectConnection(1), kStatusFailed);
    uint8_t pid = 0xEE;
    remote->GetPID(&pid);
    EXPECT_EQ(pid, 0);
    uint8_t offline = 0;
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 1);

    const size_t before = Sent();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_GT(Sent(), before);
    uint16_t onLink = kNoConnection;
    remote->GetSelectedConnection(&onLink);
    EXPECT_EQ(onLink, 0);
    EXPECT_TRUE(remote->IsQuil());
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 0);
}

TEST_F(RemoteSelectTest, VxFwCardAlsoReadsRegister32) {
    Unit(0).regs[1] = kPidNimbra16;
    Unit(0).regs[16] = kCardVxFw;
    Unit(0).regs[32] = 0x5C;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    const std::vector<WireMessage> t = Traffic(LinkLog());
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[1].kind, WireMessage::Request);
    EXPECT_EQ(t[1].reg, 32u);
    EXPECT_EQ(t[1].span, 0u);
    EXPECT_EQ(Reg(32), 0x5C);
}

TEST_F(RemoteSelectTest, LinkRefusingTheConnectionIsLogged) {
    OpenRemote();
    Link().failSelect = true;
    EXPECT_EQ(remote->SelectConnection(1), kStatusFailed);
    EXPECT_EQ(log.Count("CNimbraRemote::SelectConnection: m_pMidiIF->SelectConnection FAILED!\n"), 1u);
    EXPECT_EQ(Sent(), 0u);
}

TEST_F(RemoteSelectTest, SilentUnitIsNotTakenForTheOneAnsweredBefore) {
    // A reply to an earlier identity read must not pass for the answer of a
    // unit that says nothing.
    Unit(0).regs[1] = kPidNimbra16;
    Unit(1).silent = true;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_EQ(remote->SelectConnection(1), kStatusFailed);
    EXPECT_GE(log.Count("CNimbraRemote::WaitForResponse TIMEOUT"), 1u);
}

TEST_F(RemoteSelectTest, WaitHandlesOneWindowMessagePerPassAndTimesOutAfter500Ms) {
    SelectQuil(0, 5);
    Unit(0).silent = true;
    // The unit keeps talking, but never answers a status request.
    const Bytes command{0xF0, 0x00, 0x01, 0x54, 0x0F, 0x39, 0x46, 0xF7};
    ui.onMessage = [&] { Link().Inject(command); };
    const int handledBefore = ui.handled;
    const uint32_t start = clock.Peek();
    EXPECT_EQ(remote->RequestRegisterStatusVerified(0, 9), kStatusFailed);
    EXPECT_GE(clock.Peek() - start, 6u * 500u);
    EXPECT_GT(ui.handled, handledBefore + 6 * 50);
    EXPECT_EQ(log.Count("CNimbraRemote::WaitForResponse TIMEOUT 501\n"), 6u);
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: WaitForResponse FAILED!\n"), 6u);
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: RETRY! Last ffff First 0000\n"), 6u);
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: Last ffff != First 0000\n"), 1u);
    uint8_t offline = 1;
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 0);
}

TEST_F(RemoteSelectTest, UnitFallingSilentDuringAVerifiedRequestIsDroppedAndTheRequestEnds) {
    SelectQuil(0, 5);
    Unit(0).silent = true;
    EXPECT_EQ(remote->RequestRegisterStatusVerified(0, 9), kStatusFailed);
    EXPECT_EQ(log.Count("CNimbraRemote::WaitForResponse TIMEOUT"), 2u);
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: RequestRegisterStatus FAILED! 0000 0009\n"), 1u);
    uint8_t offline = 0;
    remote->IsOffline(&offline);
    EXPECT_EQ(offline, 1);
}

TEST_F(RemoteSelectTest, SiblingWaitSleepsFiveMillisecondsPerPass) {
    Unit(0).regs[1] = kPidNimbra16;
    OpenRemote();
    const uint32_t start = clock.Peek();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_GE(clock.Peek() - start, 5u);
}

TEST_F(RemoteSelectTest, VerifiedRequestIsRefusedWhileAnotherWaits) {
    SelectQuil(0, 5);
    NimbraStatus nested = kStatusOk;
    ui.onMessage = [&] {
        nested = remote->RequestRegisterStatusVerified(1, 2);
        ui.onMessage = nullptr;
    };
    Unit(0).silent = true;  // keep the outer wait going
    remote->RequestRegisterStatusVerified(0, 3);
    EXPECT_EQ(nested, kStatusFailed);
}

TEST_F(RemoteSelectTest, FailedSendIsNotRetried) {
    SelectQuil(0, 5);
    Link().failWrite = true;
    const size_t before = Sent();
    EXPECT_EQ(remote->RequestRegisterStatusVerified(0x10, 0x20), kStatusFailed);
    EXPECT_EQ(Sent(), before + 1);
    EXPECT_EQ(log.Count("RequestRegisterStatusVerified: RequestRegisterStatus FAILED! 0010 0020\n"), 1u);
}

using RemoteDescriptionTest = EngineTest;

TEST_F(RemoteDescriptionTest, NamesModelsAndVariants) {
    Unit(0).regs[1] = kPidNimbra8;
    Unit(0).regs[6] = 0x60;
    OpenRemote();
    char text[260];
    uint8_t pid = 0;
    ASSERT_EQ(remote->GetConnectionDescription(0, text, sizeof text, &pid), kStatusOk);
    EXPECT_STREQ(text, "Nimbra(n) connected via Quil Port A");
    EXPECT_EQ(pid, kPidNimbraN);

    struct Case {
        uint8_t pid, major, reg7;
        const char* text;
    };
    const Case cases[] = {
        {kPidQuil, 18, 0x80, "Quil/1824 connected via Quil Port B"},
        {kPidQuil, 18, 0x40, "Quil/VT connected via Quil Port B"},
        {kPidQuil, 18, 0xC0, "Quil connected via Quil Port B"},
        {kPidQuil, 17, 0x00, "Quil connected via Quil Port B"},
        {kPidNimbra16, 5, 0, "Nimbra 16 connected via Quil Port B"},
        {kPidNimbra8, 5, 0, "Nimbra 8 connected via Quil Port B"},
        {kPidTonelink, 5, 0, "Harken Tonelink 4x4 connected via Quil Port B"},
        {0x44, 5, 0, "Unknown! connected via Quil Port B"},
    };
    for (const Case& c : cases) {
        Unit(1).regs[1] = c.pid;
        Unit(1).regs[7] = c.reg7;
        Unit(1).SetFirmware(c.major, 0, 1);
        remote->SelectConnection(0);  // so that connection 1 is read afresh
        ASSERT_EQ(remote->GetConnectionDescription(1, text, sizeof text, &pid), kStatusOk);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(pid, c.pid);
    }
}

TEST_F(RemoteDescriptionTest, TextIsBoundedByTheSizeGiven) {
    SelectQuil(0);
    char text[32];
    std::memset(text, 'X', sizeof text);
    ASSERT_EQ(remote->GetConnectionDescription(0, text, 12, nullptr), kStatusOk);
    EXPECT_STREQ(text, "Quil connec");
    for (size_t i = 12; i < sizeof text; ++i) EXPECT_EQ(text[i], 'X') << i;
    EXPECT_EQ(remote->GetConnectionDescription(0, text, 0, nullptr), kStatusOutOfRange);
    EXPECT_EQ(text[0], 'Q');
}

}  // namespace
}  // namespace enginetest
