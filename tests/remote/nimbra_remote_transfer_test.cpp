// Firmware-transfer commands against a scripted unit: what each operation
// sends and the state it leaves behind.
#include <gtest/gtest.h>

#include "tests/remote/nimbra_remote_fakes.h"

namespace enginetest {
namespace {

const Bytes kCommand3{0xF0, 0x00, 0x01, 0x54, 0x1E, 0x31, 0x2E, 0xF7};
const Bytes kCommand4{0xF0, 0x00, 0x01, 0x54, 0x25, 0x6E, 0x22, 0xF7};
const Bytes kCommand6{0xF0, 0x00, 0x01, 0x54, 0x34, 0x66, 0x4A, 0xF7};
const Bytes kCommand12{0xF0, 0x00, 0x01, 0x54, 0x61, 0x4D, 0x38, 0xF7};

// CRC-8, polynomial 0x1D, start 0xFF, data bits least significant first.
uint8_t ReferenceCrc(const uint8_t* data, size_t n) {
    uint8_t crc = 0xFF;
    for (size_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool in = (data[i] >> bit) & 1;
            const bool top = (crc & 0x80) != 0;
            crc = uint8_t(crc << 1);
            if (in != top) crc ^= 0x1D;
        }
    }
    return crc;
}

// The data bytes a firmware packet message carries.
Bytes PacketData(const Bytes& message, size_t n) {
    std::vector<bool> bits;
    for (size_t i = 4; i + 1 < message.size(); ++i)
        for (int b = 6; b >= 0; --b) bits.push_back((message[i] >> b) & 1);
    Bytes out;
    for (size_t k = 0; k < n; ++k) {
        uint8_t v = 0;
        for (size_t b = 0; b < 8; ++b) v = uint8_t((v << 1) | (bits[4 + 8 * k + b] ? 1 : 0));
        out.push_back(v);
    }
    return out;
}

Bytes Ramp(size_t n, uint8_t seed) {
    Bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = uint8_t(seed + 7 * i);
    return data;
}

using RemoteTransferTest = EngineTest;

TEST_F(RemoteTransferTest, PacketTrafficToAQuil) {
    const uint8_t text[] = "123456789";
    ASSERT_EQ(ReferenceCrc(text, 9), 0xE9);

    SelectQuil(0, 7);
    const Bytes data = Ramp(128, 3);
    const size_t from = Sent();
    ASSERT_EQ(remote->WriteFirmwarePacket(data.data(), 128), kStatusOk);
    const auto& w = LinkLog().writes;
    ASSERT_EQ(w.size(), from + 4);
    EXPECT_EQ(w[from], kCommand12);
    EXPECT_EQ(w[from + 1], kCommand4);
    const WireMessage crc = DecodeWire(w[from + 2]);
    EXPECT_EQ(crc.kind, WireMessage::Write);
    EXPECT_FALSE(crc.extended);
    EXPECT_EQ(crc.reg, 52u);
    EXPECT_EQ(crc.value, ReferenceCrc(data.data(), 128));
    ASSERT_EQ(w[from + 3].size(), 152u);
    EXPECT_EQ(w[from + 3][4], 0x78 | (data[0] >> 5));
    EXPECT_EQ(PacketData(w[from + 3], 128), data);

    EXPECT_EQ(remote->PollMode(), kPollTransfer);
    EXPECT_EQ(Reg(REG_PGM_STATUS), kPgmStatusPip);
}

TEST_F(RemoteTransferTest, SiblingGetsNoCrcAndShortPacketsArePadded) {
    Unit(0).regs[1] = kPidNimbra16;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    const Bytes data{0xAA, 0x99, 0x55};
    const size_t from = Sent();
    ASSERT_EQ(remote->WriteFirmwarePacket(data.data(), 3), kStatusOk);
    const auto& w = LinkLog().writes;
    ASSERT_EQ(w.size(), from + 3);
    EXPECT_EQ(w[from], kCommand12);
    EXPECT_EQ(w[from + 1], kCommand4);
    ASSERT_EQ(w[from + 2].size(), 10u);
    EXPECT_EQ(w[from + 2][8], 0x00);
    EXPECT_EQ(PacketData(w[from + 2], 3), data);
}

TEST_F(RemoteTransferTest, PacketLengthOutsideOneToOneTwentyEightIsRefused) {
    SelectQuil(0, 7);
    const Bytes data(200, 1);
    const size_t from = Sent();
    EXPECT_EQ(remote->WriteFirmwarePacket(data.data(), 0), kStatusOutOfRange);
    EXPECT_EQ(remote->WriteFirmwarePacket(data.data(), 129), kStatusOutOfRange);
    EXPECT_EQ(remote->WriteFirmwarePacket(nullptr, 16), kStatusOutOfRange);
    EXPECT_EQ(Sent(), from);
}

TEST_F(RemoteTransferTest, UnitReportsThePacketStatusByItself) {
    SelectQuil(0, 7);
    Unit(0).reportStatusAfterPacket = true;
    const Bytes data = Ramp(128, 9);
    remote->WriteFirmwarePacket(data.data(), 128);
    uint8_t status = 0xFF;
    ASSERT_EQ(remote->GetProgramStatus(&status), kStatusOk);
    EXPECT_EQ(status, 0);

    Unit(0).reportedStatus = kPgmStatusTxErr;
    remote->WriteFirmwarePacket(data.data(), 128);
    EXPECT_EQ(Reg(REG_PGM_STATUS), kPgmStatusPip);
    remote->GetProgramStatus(&status);
    EXPECT_EQ(status, kPgmStatusTxErr);
}

TEST_F(RemoteTransferTest, BankSelection) {
    SelectQuil(0, 7);
    size_t from = Sent();
    EXPECT_EQ(remote->SelectBank(2), kStatusOk);
    EXPECT_EQ(Sent(), from);
    EXPECT_EQ(remote->SelectBank(0), kStatusOk);
    ASSERT_EQ(Sent(), from + 1);
    EXPECT_EQ(LinkLog().writes.back(), kCommand6);
    EXPECT_EQ(remote->SelectBank(1), kStatusOk);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).command, 7);

    Link().failWrite = true;
    EXPECT_EQ(remote->SelectBank(1), kStatusOk);  // reports 0 even when nothing went out
    Link().failWrite = false;

    const Bytes bank2{0x80};
    remote->StoreRegisterData(bank2.data(), REG_PGM_STATUS, 1);
    from = Sent();
    EXPECT_EQ(remote->SelectAlternateBank(), kStatusOk);
    EXPECT_EQ(LinkLog().writes.back(), kCommand6);
    EXPECT_EQ(log.Count("CNimbraRemote::SelectAlternateBank: Active Bank is 2, Selecting Bank 1\n"), 1u);

    const Bytes bank1{0x00};
    remote->StoreRegisterData(bank1.data(), REG_PGM_STATUS, 1);
    EXPECT_EQ(remote->SelectAlternateBank(), kStatusOk);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).command, 7);
    EXPECT_EQ(log.Count("CNimbraRemote::SelectAlternateBank: Active Bank is 1, Selecting Bank 2\n"), 1u);
}

TEST_F(RemoteTransferTest, EraseVerifyCompleteAndAbort) {
    SelectQuil(0, 7);
    size_t from = Sent();
    EXPECT_EQ(remote->EraseEEPROM(), kStatusOk);
    ASSERT_EQ(Sent(), from + 2);
    EXPECT_EQ(LinkLog().writes[from], kCommand12);
    EXPECT_EQ(LinkLog().writes[from + 1], kCommand3);
    EXPECT_EQ(remote->PollMode(), kPollTransfer);
    EXPECT_EQ(Reg(REG_PGM_STATUS), kPgmStatusPip);

    const Bytes ready{0x89};
    remote->StoreRegisterData(ready.data(), REG_PGM_STATUS, 1);
    EXPECT_EQ(remote->RequestVerifyPacket(), kStatusOk);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).command, 5);
    EXPECT_EQ(remote->PollMode(), kPollReadBack);
    EXPECT_EQ(Reg(REG_PGM_STATUS), 0x81);
    Bytes verify(128, 0xEE);
    remote->ReadVerifyPacket(verify.data(), 128);
    EXPECT_EQ(verify, Bytes(128, 0));

    EXPECT_EQ(remote->SetProgrammingComplete(), kStatusOk);  // bit 7 set
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).command, 8);
    EXPECT_EQ(remote->PollMode(), kPollMonitor);
    remote->SetRegister(REG_PGM_STATUS, 0x00);
    remote->SetProgrammingComplete();
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).command, 9);

    EXPECT_EQ(remote->AbortProgramming(), kStatusOk);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).command, 11);
    EXPECT_EQ(remote->PollMode(), kPollIdentity);
    Link().failWrite = true;
    EXPECT_EQ(remote->AbortProgramming(), kStatusFailed);
}

TEST_F(RemoteTransferTest, ImageLengthAndFirmwareStore) {
    SelectQuil(0, 7);
    size_t from = Sent();
    EXPECT_EQ(remote->SetFirmwareSize(0x00519BCE), kStatusOk);
    std::vector<WireMessage> t = Traffic(LinkLog(), from);
    ASSERT_EQ(t.size(), 4u);
    const uint8_t bytes[] = {0xCE, 0x9B, 0x51, 0x00};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t[i].kind, WireMessage::Write);
        EXPECT_EQ(t[i].reg, 48u + i);
        EXPECT_EQ(t[i].value, bytes[i]);
    }

    remote->SetRegister(REG_OPTION_SELECT, 0x03);
    from = Sent();
    EXPECT_EQ(remote->SelectXSlotFirmware(1), kStatusOk);
    t = Traffic(LinkLog(), from);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].reg, 5u);
    EXPECT_EQ(t[0].value, 0x13);
    remote->SelectXSlotFirmware(0);
    EXPECT_EQ(DecodeWire(LinkLog().writes.back()).value, 0x03);

    // A VX-DANTE card is addressed through the link instead.
    const Bytes dante{kCardVxDante};
    remote->StoreRegisterData(dante.data(), REMO_VX_TYPE, 1);
    from = Sent();
    EXPECT_EQ(remote->SelectXSlotFirmware(1), kStatusOk);
    EXPECT_EQ(Sent(), from);
    EXPECT_EQ(LinkLog().xslotTargets, (std::vector<uint8_t>{1}));
}

TEST_F(RemoteTransferTest, SiblingGetsNoImageLength) {
    Unit(0).regs[1] = kPidNimbra16;
    OpenRemote();
    ASSERT_EQ(remote->SelectConnection(0), kStatusOk);
    const size_t from = Sent();
    EXPECT_EQ(remote->SetFirmwareSize(1000), kStatusOk);
    EXPECT_EQ(Sent(), from);
}

TEST_F(RemoteTransferTest, ProgressReadsPhaseProgressAndThird) {
    SelectQuil(0, 7);
    remote->SetPollMode(kPollProgress);
    Unit(0).regs[56] = 4;
    Unit(0).regs[57] = 9;
    Unit(0).regs[58] = 77;
    clock.Advance(101);
    uint8_t phase = 0, progress = 0, third = 0;
    remote->GetProgramProgress(&phase, &progress, &third);  // asks
    remote->GetProgramProgress(&phase, &progress, &third);  // reads the answer
    EXPECT_EQ(phase, 4);
    EXPECT_EQ(progress, 77);
    EXPECT_EQ(third, 9);
}

}  // namespace
}  // namespace enginetest
