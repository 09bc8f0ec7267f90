// Identity getters, serial-number writes and raw register access.
#include <gtest/gtest.h>

#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

using RemoteIdentityTest = EngineTest;

void Preset(CNimbraRemote& remote, uint16_t reg, Bytes values) {
    remote.StoreRegisterData(values.data(), reg, uint32_t(values.size()));
}

TEST_F(RemoteIdentityTest, VersionRevisionAndCard) {
    Preset(*remote, 10, {0xC7, 0x2B});
    uint8_t major = 0, minor = 0, revision = 0;
    remote->GetFirmwareMajor(&major);
    remote->GetFirmwareMinor(&minor);
    remote->GetHardwareRevision(&revision);
    EXPECT_EQ(major, 7);
    EXPECT_EQ(minor, 47);
    EXPECT_EQ(revision, 2);

    Preset(*remote, 16, {23, 3, 2, 0, 9});
    uint8_t card = 0;
    remote->GetXSlotCardType(&card);
    EXPECT_EQ(card, kCardVxMadi);
    uint8_t cardRevision = 0;
    remote->GetXSlotHardwareRevision(&cardRevision);
    EXPECT_EQ(cardRevision, 2);

    // The card's minor version only for a Quil or PID 0x60.
    uint8_t cardMajor = 0, cardMinor = 0xEE;
    remote->GetXSlotFirmwareVersion(&cardMajor, &cardMinor);
    EXPECT_EQ(cardMajor, 3);
    EXPECT_EQ(cardMinor, 0xEE);
    Preset(*remote, 1, {kPidQuil});
    remote->GetXSlotFirmwareVersion(&cardMajor, &cardMinor);
    EXPECT_EQ(cardMinor, 9);
    EXPECT_EQ(remote->GetXSlotFirmwareVersion(&cardMajor, nullptr), kStatusOk);
}

TEST_F(RemoteIdentityTest, PidOfTheNimbraNVariant) {
    Preset(*remote, 1, {kPidNimbra8});
    Preset(*remote, 6, {0x60});
    uint8_t pid = 0;
    remote->GetPID(&pid);
    EXPECT_EQ(pid, kPidNimbraN);
    Preset(*remote, 1, {kPidTonelink});
    remote->GetPID(&pid);
    EXPECT_EQ(pid, kPidTonelink);
    EXPECT_FALSE(remote->IsQuil());
}

TEST_F(RemoteIdentityTest, FirmwareDates) {
    struct Case {
        uint8_t major, minor;
        uint16_t word;
    };
    const Case table[] = {{0, 0, 0xC101}, {1, 5, 0xC201}, {2, 0, 0xC20F}, {3, 0, 0xC21B}, {4, 0, 0xC403},
                          {5, 9, 0xCB0E}, {6, 0, 0xE31A}, {6, 1, 0xE409}, {6, 2, 0xEC09}};
    for (const Case& c : table) {
        Preset(*remote, 10, {uint8_t(c.major | ((c.minor & 3) << 6)), uint8_t(c.minor >> 2)});
        uint16_t word = 0;
        EXPECT_EQ(remote->GetFirmwareDate(&word), kStatusOk);
        EXPECT_EQ(word, c.word) << int(c.major) << "." << int(c.minor);
    }

    // 6.3 and later: no date known, the value is left alone.
    Preset(*remote, 10, {uint8_t(6 | (3 << 6)), 0});
    uint16_t word = 0x1234;
    EXPECT_EQ(remote->GetFirmwareDate(&word), kStatusFailed);
    EXPECT_EQ(word, 0x1234);

    Preset(*remote, 7, {0x0C, 0x61, 0, 7, 0});
    EXPECT_EQ(remote->GetFirmwareDate(&word), kStatusOk);
    EXPECT_EQ(word, 0x610C);
}

TEST_F(RemoteIdentityTest, SerialNumbers) {
    Preset(*remote, 1, {kPidQuil});
    Preset(*remote, 12, {48, 44, 0xFF, 0x0F});
    uint32_t serial = 0;
    EXPECT_EQ(remote->GetSerialNumber(&serial), kStatusOk);
    EXPECT_EQ(serial, 0x31CB0FFFu);

    Preset(*remote, 12, {0xFF});
    EXPECT_EQ(remote->GetSerialNumber(&serial), kStatusOk);
    EXPECT_EQ(serial, kNoSerialNumber);
    Preset(*remote, 12, {0});
    EXPECT_EQ(remote->GetSerialNumber(&serial), kStatusOk);
    EXPECT_EQ(serial, kNoSerialNumber);

    Preset(*remote, 16, {kCardVxMadiB});
    Preset(*remote, 28, {22, 18, 2, 0});
    EXPECT_EQ(remote->GetXSlotSerialNumber(&serial), kStatusOk);
    EXPECT_EQ(serial, 0x13256002u);  // owner 19: the card type as reported
    Preset(*remote, 28, {0});
    EXPECT_EQ(remote->GetXSlotSerialNumber(&serial), kStatusFailed);
    EXPECT_EQ(serial, kNoSerialNumber);
}

class RemoteSerialWriteTest : public EngineTest {
protected:
    void SetUp() override {
        Unit(0).SetQuil(7);
        for (int r = 12; r <= 15; ++r) Unit(0).regs[r] = 0xFF;
        for (int r = 28; r <= 31; ++r) Unit(0).regs[r] = 0xFF;
        OpenRemote();
        ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    }
    const platform::MessageBoxRequest* LastBox() const { return ui.boxes.empty() ? nullptr : &ui.boxes.back(); }
    // After a card serial write, identity polling is back on the main unit.
    void ExpectMainUnitPolled() {
        remote->SetPollMode(kPollIdentity);
        clock.Advance(60);
        const size_t after = Sent();
        remote->Service();
        ASSERT_GT(Sent(), after);
        const WireMessage w = DecodeWire(LinkLog().writes.back());
        EXPECT_EQ(w.kind, WireMessage::Request);
        EXPECT_EQ(w.reg, 0u);
    }
};

TEST_F(RemoteSerialWriteTest, WritesReadsBackAndStores) {
    const size_t from = Sent();
    ASSERT_EQ(remote->WriteSerialNumber(0x31CB0FFF), kStatusOk);
    const std::vector<WireMessage> t = Traffic(LinkLog(), from);
    std::vector<WireMessage> writes;
    for (const WireMessage& w : t)
        if (w.kind == WireMessage::Write) writes.push_back(w);
    ASSERT_EQ(writes.size(), 4u);
    const uint8_t expected[][2] = {{12, 48}, {13, 44}, {14, 0xFF}, {15, 0x0F}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(writes[i].extended);
        EXPECT_EQ(writes[i].reg, expected[i][0]);
        EXPECT_EQ(writes[i].value, expected[i][1]);
    }
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[t.size() - 2].command, 12);
    EXPECT_EQ(t.back().command, 10);

    uint32_t serial = 0;
    remote->GetSerialNumber(&serial);
    EXPECT_EQ(serial, 0x31CB0FFFu);
    EXPECT_EQ(remote->PollMode(), kPollTransfer);
    EXPECT_EQ(Reg(REG_PGM_STATUS), kPgmStatusPip);
    EXPECT_EQ(log.Count("Writing Serial Number...\n"), 1u);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(RemoteSerialWriteTest, OwnerOtherThanThePidIsRefusedBeforeAnyWrite) {
    const size_t from = Sent();
    EXPECT_EQ(remote->WriteSerialNumber(0x26CB0FFF), kStatusFailed);
    EXPECT_EQ(Sent(), from);
    ASSERT_NE(LastBox(), nullptr);
    EXPECT_EQ(LastBox()->text, "WriteSerialNumber: SerialNumber Model does not match PID!");
    EXPECT_EQ(LastBox()->caption, "CNimbraRemote");
    EXPECT_EQ(LastBox()->icon, platform::BoxIcon::Warning);
    EXPECT_FALSE(LastBox()->owned);
    EXPECT_EQ(log.Count("Writing Serial Number"), 0u);
}

TEST_F(RemoteSerialWriteTest, NumberThatNeverReadsBackTimesOut) {
    Unit(0).ignoreSerialWrites = true;
    EXPECT_EQ(remote->WriteSerialNumber(0x31CB0FFF), kStatusFailed);
    EXPECT_EQ(log.Count("WriteSerialNumber: Timeout! (MAX_SN_RETIRES)\n"), 1u);
    ASSERT_NE(LastBox(), nullptr);
    EXPECT_EQ(LastBox()->text, "WriteSerialNumber Timeout!");
    for (const WireMessage& w : Traffic(LinkLog())) EXPECT_NE(w.command, 10);
}

TEST_F(RemoteSerialWriteTest, SilentUnitFailsTheWait) {
    Unit(0).silent = true;
    EXPECT_EQ(remote->WriteSerialNumber(0x31CB0FFF), kStatusFailed);
    EXPECT_EQ(log.Count("WriteSerialNumber: WaitForResponse Failed!\n"), 1u);
    ASSERT_NE(LastBox(), nullptr);
    EXPECT_EQ(LastBox()->text, "WriteSerialNumber WaitForResponse Failed!");
}

TEST_F(RemoteSerialWriteTest, CardSerialGoesThroughTheCardTarget) {
    Unit(0).regs[16] = kCardVxMadiB;
    ASSERT_EQ(remote->RequestRegisterStatusVerified(16, 16), kStatusOk);
    const uint32_t serial = 0x13256002;  // card 19, year 18, week 22, unit 2
    const size_t from = Sent();
    ASSERT_EQ(remote->WriteXSlotSerialNumber(serial), kStatusOk);
    EXPECT_EQ(LinkLog().xslotTargets, (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(log.Count("WriteXSlotSerialNumber: 1318220002\n"), 1u);
    EXPECT_GE(log.Count("WriteXSlotSerialNumber: GetXSlotSerialNumber 1318220002\n"), 1u);

    bool polledCardSerial = false;
    std::vector<uint32_t> written;
    for (const WireMessage& w : Traffic(LinkLog(), from)) {
        if (w.kind == WireMessage::Request && w.reg == 28 && w.span == 3) polledCardSerial = true;
        if (w.kind == WireMessage::Write) written.push_back(w.reg);
    }
    EXPECT_TRUE(polledCardSerial);
    EXPECT_EQ(written, (std::vector<uint32_t>{28, 29, 30, 31}));
    EXPECT_EQ(Traffic(LinkLog()).back().command, 10);
    uint32_t readBack = 0;
    EXPECT_EQ(remote->GetXSlotSerialNumber(&readBack), kStatusOk);
    EXPECT_EQ(readBack, serial);

    // Back in identity polling, the main unit is asked again.
    remote->SetPollMode(kPollIdentity);
    clock.Advance(60);
    const size_t after = Sent();
    remote->Service();
    ASSERT_GT(Sent(), after);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).reg, 0u);
}

TEST_F(RemoteSerialWriteTest, CardSerialMustCarryTheReportedCardType) {
    Unit(0).regs[16] = kCardVxMadiB;
    ASSERT_EQ(remote->RequestRegisterStatusVerified(16, 16), kStatusOk);
    const size_t from = Sent();
    EXPECT_EQ(remote->WriteXSlotSerialNumber(0x17256002), kStatusFailed);  // owner 23
    EXPECT_EQ(Sent(), from);
    EXPECT_TRUE(LinkLog().xslotTargets.empty());
    ASSERT_NE(LastBox(), nullptr);
    EXPECT_EQ(LastBox()->text, "WriteXSlotSerialNumber: SerialNumber Model does not match PID!");
    ExpectMainUnitPolled();
}

TEST_F(RemoteSerialWriteTest, CardSerialFailuresRestoreTheTarget) {
    Unit(0).regs[16] = kCardVxDante;
    ASSERT_EQ(remote->RequestRegisterStatusVerified(16, 16), kStatusOk);
    Unit(0).ignoreSerialWrites = true;
    EXPECT_EQ(remote->WriteXSlotSerialNumber(0x15256002), kStatusFailed);
    EXPECT_EQ(LinkLog().xslotTargets, (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(log.Count("WriteXSlotSerialNumber: Timeout! (MAX_SN_RETIRES)\n"), 1u);
    EXPECT_EQ(log.Count("WriteXSlotSerialNumber: GetXSlotSerialNumber ff63634095\n"), size_t(MAX_SN_RETIRES));
    EXPECT_EQ(LastBox()->text, "WriteXSlotSerialNumber Timeout!");
    ExpectMainUnitPolled();

    Unit(0).ignoreSerialWrites = false;
    Unit(0).silent = true;
    EXPECT_EQ(remote->WriteXSlotSerialNumber(0x15256002), kStatusFailed);
    EXPECT_EQ(LinkLog().xslotTargets, (std::vector<uint8_t>{1, 0, 1, 0}));
    EXPECT_EQ(LastBox()->text, "WriteXSlotSerialNumber WaitForResponse Failed!");
    EXPECT_EQ(log.Count("WriteXSlotSerialNumber: WaitForResponse Failed!\n"), 1u);
}

using RemoteRegisterTest = EngineTest;

TEST_F(RemoteRegisterTest, WriteFormsByUnitAndRegister) {
    SelectQuil(0, 7);
    remote->WriteRegister(5, 0x10);
    EXPECT_EQ(LinkLog().writes.back(), (Bytes{0xF0, 0x00, 0x01, 0x54, 0x00, 0x14, 0x20, 0xF7}));
    remote->WriteRegister(517, 0xAB);
    EXPECT_EQ(LinkLog().writes.back(), (Bytes{0xF0, 0x00, 0x01, 0x54, 0x07, 0x01, 0x01, 0x35, 0x30, 0xF7}));

    Unit(1).regs[1] = kPidNimbra16;
    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);
    remote->WriteRegister(300, 0x42);
    const WireMessage w = DecodeWire(LinkLog().writes.back());
    EXPECT_FALSE(w.extended);
    EXPECT_EQ(w.reg, 300u);
    EXPECT_EQ(w.value, 0x42);
}

TEST_F(RemoteRegisterTest, RawRegisterAccessIsBounded) {
    SelectQuil(0, 7);
    uint8_t value = 0x5A;
    EXPECT_EQ(remote->GetRegister(2048, &value), kStatusOutOfRange);
    EXPECT_EQ(value, 0x5A);
    const size_t from = Sent();
    EXPECT_EQ(remote->SetRegister(2048, 1), kStatusOutOfRange);
    EXPECT_EQ(Sent(), from);

    EXPECT_EQ(remote->SetRegister(2047, 0x66), kStatusOk);
    EXPECT_EQ(Reg(2047), 0x66);
    const WireMessage w = DecodeWire(LinkLog().writes.back());
    EXPECT_TRUE(w.extended);
    EXPECT_EQ(w.reg, 2047u);
    Link().failWrite = true;
    EXPECT_EQ(remote->SetRegister(40, 1), kStatusOk);
}

TEST_F(RemoteRegisterTest, HostReportModeByFirmware) {
    SelectQuil(0, 6);
    remote->SetHostReportMode(5);
    EXPECT_EQ(Reg(REG_HOST_REPORT), 1);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).value, 1);
    Unit(1).SetQuil(7);
    ASSERT_EQ(remote->SelectConnection(1), kStatusOk);
    remote->SetHostReportMode(5);
    EXPECT_EQ(Reg(REG_HOST_REPORT), 5);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).value, 5);
}

TEST_F(RemoteRegisterTest, DriverLinkPresetsIdentityFromTheAdapter) {
    links.kinds = {kLinkTypeDriver};
    links.lastDriver = nullptr;
    OpenRemote();
    ASSERT_NE(links.lastDriver, nullptr);
    links.lastDriver->adapterType = 0x4400;
    links.lastDriver->adapterVersion = 0x2B07;
    Unit(0).regs[1] = 0x44;
    Unit(0).maxReplyBytes = 1;  // the unit's answer covers register 1 only
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_EQ(links.lastDriver->typeQueries, 1);
    EXPECT_EQ(links.lastDriver->versionQueries, 2);
    EXPECT_EQ(Reg(10), 0x07);
    EXPECT_EQ(Reg(11), 0x2B);
    EXPECT_EQ(Reg(16), 20);
}

TEST_F(RemoteRegisterTest, UsbCardUpdaterIsHeldOnlyForAUsbCardOnMidiPorts) {
    FakeLinkFactory::usbDeletes = 0;
    Unit(0).SetQuil(5);
    Unit(0).regs[16] = kCardVxUsb;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    EXPECT_EQ(links.usbOpens, (std::vector<uint16_t>{0}));
    EXPECT_TRUE(remote->HasUsbCard());

    // Dropping the unit deletes it.
    Unit(0).silent = true;
    clock.Advance(1001);
    remote->Service();
    EXPECT_FALSE(remote->HasUsbCard());
    EXPECT_EQ(FakeLinkFactory::usbDeletes, 1);

    // One that cannot be opened is not kept.
    links.usbCardAvailable = false;
    Unit(1).SetQuil(5);
    Unit(1).regs[16] = kCardVxUsb;
    remote->SelectConnection(1);
    EXPECT_FALSE(remote->HasUsbCard());
}

}  // namespace
}  // namespace enginetest
