// The VX-DANTE card's update, driven step by step from the host: erase the
// card's store, send every packet, read every packet back and compare it
// with the image, then mark the programming complete.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "app/programming_sequences.h"
#include "app/programming_wait.h"
#include "platform/clock.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"

namespace {

constexpr uint32_t kPacketLimitMs = 1000;
constexpr uint32_t kEraseLimitMs = 12000;
constexpr uint32_t kVerifyLimitMs = 1000;
// The erase bar moves one step a tenth of a second and is full after four.
constexpr int kEraseBarSteps = 40;
constexpr uint32_t kEraseBarStepMs = 100;
constexpr uint8_t kStatusMask = 0x3F;

// Reports a step's percentage to the display when it changes.
class StepReport {
public:
    StepReport(ProgrammingDisplay& display, const char* phase) : m_display(display), m_phase(phase) {}
    void Update(int percent) {
        if (percent == m_last) return;
        m_last = percent;
        m_display.ReportProgress(PhaseDetail(m_phase, percent));
    }

private:
    ProgrammingDisplay& m_display;
    const char* m_phase;
    int m_last = -1;
};

int Percent(uint32_t done, uint32_t total) { return total == 0 ? 100 : static_cast<int>(uint64_t{done} * 100 / total); }

// Selects the unit's own firmware store again when the sequence ends, however
// it ends: a store left on the card would take the next main-unit update. A
// card that the engine no longer knows (the unit was dropped meanwhile, its
// register image is empty) is not routed through the link by the engine, so
// the link is told directly.
class UnitStoreAtExit {
public:
    explicit UnitStoreAtExit(CNimbraRemote& remote) : m_remote(remote) {
        uint8_t card = 0;
        m_remote.GetXSlotCardType(&card);
        m_danteCard = card == kCardVxDante;
    }
    ~UnitStoreAtExit() {
        uint8_t card = 0;
        m_remote.GetXSlotCardType(&card);
        if (m_danteCard && card != kCardVxDante && m_remote.Link() != nullptr) m_remote.Link()->SetXSlotTarget(0);
        m_remote.SelectXSlotFirmware(0);
    }
    UnitStoreAtExit(const UnitStoreAtExit&) = delete;
    UnitStoreAtExit& operator=(const UnitStoreAtExit&) = delete;

private:
    CNimbraRemote& m_remote;
    bool m_danteCard = false;
};

bool FailWithStatus(const char* head, uint8_t status) {
    std::string text = head;
    AppendStatusNames(text, status);
    LogAndShowProgrammingBox(text);
    return false;
}

bool Fail(const char* text) {
    ShowProgrammingBox(text);
    return false;
}

// The erase of the card's store: the unit reports register 9 when it ends.
bool EraseCard(CNimbraRemote& remote, ProgrammingDisplay& display) {
    constexpr const char* kFailed = "Wait for Erase EEPROM Failed!\n";
    LogMessage("Start Erase");
    remote.EraseEEPROM();
    if (remote.WaitForResponse(1) != kStatusOk) {
        LogMessage("CQuilUpdateDlg::WaitForCompletion: WaitForResponse FAILED!\n");
        return FailWithStatus(kFailed, kPgmStatusTimeout);
    }
    platform::Clock& clock = platform::CurrentClock();
    StepReport report(display, "Erasing");
    const uint32_t start = clock.TickMs();
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        const int bar = static_cast<int>(std::min<uint32_t>(elapsed / kEraseBarStepMs, kEraseBarSteps));
        display.SetProgressPos(bar);
        report.Update(Percent(static_cast<uint32_t>(bar), kEraseBarSteps));
        if (elapsed > kEraseLimitMs) return FailWithStatus(kFailed, kPgmStatusTimeout);
        const uint32_t replies = remote.ReplyCount();
        uint8_t status = 0;
        remote.GetProgramStatus(&status);
        status &= kStatusMask;
        if ((status & (kPgmStatusPgmErr | kPgmStatusTxErr)) != 0) return FailWithStatus(kFailed, status);
        if (status == 0) return true;
        // The bar moves on every step.
        EndWaitPass(remote, replies,
                    std::min(UntilPast(elapsed, kEraseLimitMs), kEraseBarStepMs - elapsed % kEraseBarStepMs));
    }
}

bool WritePackets(CNimbraRemote& remote, const FirmwareBuffer& image, ProgrammingDisplay& display) {
    const uint32_t packets = image.PacketCount();
    StepReport report(display, "Programming");
    for (uint32_t i = 0; i < packets; ++i) {
        display.SetProgressPos(static_cast<int>(i));
        report.Update(Percent(i, packets));
        platform::CurrentUi().HandleOnePendingMessage();
        if (remote.WriteFirmwarePacket(image.Packet(i), kFirmwarePacketSize) != kStatusOk)
            return Fail("WriteFirmwarePacket Failed!");
        const CompletionResult done = WaitForCompletion(remote, kPacketLimitMs);
        if (!done.ok) return FailWithStatus("Wait for Write Firmware Packet Failed!\n", done.status);
    }
    report.Update(100);
    return true;
}

// Waits for the read-back packet: PAKRDY alone is the only good answer; a
// status of 0 means it is not in yet.
uint8_t WaitForVerifyPacket(CNimbraRemote& remote) {
    if (remote.WaitForResponse(1) != kStatusOk) {
        LogMessage("CQuilUpdateDlg::WaitForCompletion: WaitForResponse FAILED!\n");
        return kPgmStatusTimeout;
    }
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed > kVerifyLimitMs) return kPgmStatusTimeout;
        const uint32_t replies = remote.ReplyCount();
        uint8_t status = 0;
        remote.GetProgramStatus(&status);
        status &= kStatusMask;
        if ((status & (kPgmStatusPgmErr | kPgmStatusTxErr | kPgmStatusPakRdy)) != 0) return status;
        EndWaitPass(remote, replies, UntilPast(elapsed, kVerifyLimitMs));
    }
}

bool VerifyPackets(CNimbraRemote& remote, const FirmwareBuffer& image, ProgrammingDisplay& display) {
    const uint32_t packets = image.PacketCount();
    StepReport report(display, "Verifying");
    std::array<uint8_t, kFirmwarePacketSize> readBack{};
    for (uint32_t i = 0; i < packets; ++i) {
        display.SetProgressPos(static_cast<int>(i));
        report.Update(Percent(i, packets));
        platform::CurrentUi().HandleOnePendingMessage();
        if (remote.RequestVerifyPacket() != kStatusOk) return Fail("RequestVerifyPacket Failed!");
        const uint8_t status = WaitForVerifyPacket(remote);
        if (status != kPgmStatusPakRdy) return FailWithStatus("Wait for Verify Packet Failed!\n", status);
        readBack.fill(0);
        if (remote.ReadVerifyPacket(readBack.data(), kFirmwarePacketSize) != kStatusOk)
            return Fail("ReadVerifyPacket Failed!");
        // The zero fill after the image's end is compared too.
        if (!std::equal(readBack.begin(), readBack.end(), image.Packet(i))) return Fail("Firmware Verify Failed!");
    }
    report.Update(100);
    return true;
}

}  // namespace

bool ProgramXSlotEEPROM(CNimbraRemote& remote, const FirmwareBuffer& image, bool xslotTarget,
                        ProgrammingDisplay& display) {
    UnitStoreAtExit unitStore(remote);
    const uint32_t packets = image.PacketCount();
    LogMessage("ProgramXSlotEEPROM");

    display.SetStatusLine("Erasing XSlot Firmware...");
    LogMessage("Erasing XSlot Firmware");
    display.SetProgressRange(0, kEraseBarSteps);
    display.SetProgressPos(0);

    const uint8_t target = xslotTarget ? 1 : 0;
    LogMessage("SelectXSlotFirmware %d", target);
    if (remote.SelectXSlotFirmware(target) != kStatusOk) {
        LogAndShowProgrammingBox("ProgramEEPROM: SelectXSlotFirmware Failed!\n");
        return false;
    }
    if (remote.WaitForResponse(4) != kStatusOk) {
        LogMessage("ProgramEEPROM: WaitForResponse Failed!");
        return Fail("ProgramEEPROM: WaitForResponse Failed!\n");
    }

    // From the erase until the completion, a stop request waits for the end
    // of the sequence: the card would be left erased or half written.
    platform::FlashWriteGuard writing("the VX-DANTE card");
    if (!EraseCard(remote, display)) return false;
    LogMessage("Erase Complete");

    display.SetStatusLine("Programming XSlot Firmware...");
    display.SetProgressRange(0, static_cast<int>(packets));
    LogMessage("Programming %d Packets", static_cast<int>(packets));
    if (!WritePackets(remote, image, display)) return false;

    display.SetStatusLine("Verifying XSlot Firmware...");
    display.SetProgressRange(0, static_cast<int>(packets));
    LogMessage("Verifying %d Packets", static_cast<int>(packets));
    if (!VerifyPackets(remote, image, display)) return false;

    LogMessage("Verify Complete");
    // The active-bank flag makes the completion command the first form.
    uint8_t status = 0;
    remote.GetRegister(REG_PGM_STATUS, &status);
    remote.SetRegister(REG_PGM_STATUS, static_cast<uint8_t>(status | kPgmStatusActiveBank));
    if (remote.SetProgrammingComplete() != kStatusOk) {
        LogAndShowProgrammingBox("SetProgrammingComplete Failed!");
        return false;
    }
    LogMessage("EEPROM Programming Success");
    return true;
}
