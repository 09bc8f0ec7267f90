// The main unit's update: announce the image and the bank, send every packet
// with its acknowledgement, then watch the unit erase, program and verify
// the bank by itself.
#include <algorithm>
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

// Phases the unit reports in register 56 after the download.
constexpr uint8_t kPhaseEraseA = 2;
constexpr uint8_t kPhaseEraseB = 3;
constexpr uint8_t kPhaseProgram = 4;
constexpr uint8_t kPhaseVerify = 5;
constexpr uint8_t kPhaseComplete = 6;

constexpr const char* kWatchFailed = "Wait for Programming Complete Failed!\n";
constexpr const char* kUnitSilent = "ProgramEEPROM: The Quil Stopped Responding!\n";
constexpr const char* kOtherUnit = "ProgramEEPROM: A Different Unit Answered!\n";

// What the user sees and the log says on entering a phase; null for phases
// that change nothing.
struct PhaseText {
    const char* status;
    const char* log;
    const char* name;
};

const PhaseText* TextOfPhase(uint8_t phase) {
    static constexpr PhaseText kErasing{"Erasing...", "Erasing\n", "Erasing"};
    static constexpr PhaseText kProgramming{"Programming...", "Programming\n", "Programming"};
    static constexpr PhaseText kVerifying{"Verifying...", "Verifying\n", "Verifying"};
    switch (phase) {
    case kPhaseEraseA:
    case kPhaseEraseB: return &kErasing;
    case kPhaseProgram: return &kProgramming;
    case kPhaseVerify: return &kVerifying;
    default: return nullptr;
    }
}

// The unit being updated, as noted before the download.
struct UnitIdentity {
    uint32_t serial = kNoSerialNumber;
    uint8_t pid = 0;
};

UnitIdentity IdentityOf(CNimbraRemote& remote) {
    UnitIdentity id;
    remote.GetSerialNumber(&id.serial);
    remote.GetPID(&id.pid);
    return id;
}

bool Failed(const char* text) {
    LogAndShowProgrammingBox(text);
    return false;
}

// Follows the unit's phases until it reports 6. The register image may
// still hold the phases of an earlier update (nothing polled them while the
// packets went), so they count only once a reply has come in since the
// watch began. The engine may drop the unit and select it again meanwhile:
// a reselection reads the whole identity and leaves the engine in poll mode
// 0 or 2, so the watch checks that the same unit answers before it trusts
// its phase again and puts the engine back on the progress registers.
// Connection numbers are assigned afresh when the link finds its units
// again, so the same number may now lead to another unit, one that may well
// show phase 6 already.
bool WatchPhases(CNimbraRemote& remote, const UnitIdentity& unit, ProgrammingDisplay& display,
                 const PhaseWatchLimits& limits) {
    platform::Clock& clock = platform::CurrentClock();
    remote.SetPollMode(kPollProgress);
    display.SetProgressRange(0, 100);
    const uint32_t watchReplies = remote.ReplyCount();
    bool fresh = false;
    bool trusted = true;
    uint8_t lastPhase = 0;
    uint8_t lastPercent = 0;
    // Any change at all, phases without a text included, counts as progress.
    uint8_t seenPhase = 0;
    uint8_t seenPercent = 0;
    uint32_t lastChange = clock.TickMs();
    bool offlineBefore = false;
    uint32_t offlineSince = 0;
    for (;;) {
        const uint32_t replies = remote.ReplyCount();
        uint8_t phase = 0;
        uint8_t percent = 0;
        uint8_t third = 0;
        remote.GetProgramProgress(&phase, &percent, &third);
        uint8_t offline = 0;
        remote.IsOffline(&offline);
        const uint32_t now = clock.TickMs();

        if (offline != 0 || remote.PollMode() != kPollProgress) trusted = false;
        if (offline != 0) {
            if (!offlineBefore) {
                LogMessage("ProgramEEPROM: Quil Offline in Phase %d\n", lastPhase);
                offlineSince = now;
                offlineBefore = true;
            }
            if (now - offlineSince > limits.offlineMs) return Failed(kUnitSilent);
        } else {
            offlineBefore = false;
            if (!trusted) {
                const UnitIdentity answering = IdentityOf(remote);
                if (answering.serial != unit.serial || answering.pid != unit.pid) {
                    LogMessage("ProgramEEPROM: Serial %08lx PID %02x answered instead of %08lx PID %02x\n",
                               static_cast<unsigned long>(answering.serial), answering.pid,
                               static_cast<unsigned long>(unit.serial), unit.pid);
                    return Failed(kOtherUnit);
                }
                LogMessage("ProgramEEPROM: Quil Selected Again\n");
                remote.SetPollMode(kPollProgress);
                trusted = true;
                fresh = true;  // the identity read brought registers 56 to 58 along
            }
            uint8_t status = 0;
            remote.GetRegister(REG_PGM_STATUS, &status);
            if ((status & kPgmStatusPgmErr) != 0) {
                std::string text = kWatchFailed;
                AppendStatusNames(text, status & 0x3F);
                LogAndShowProgrammingBox(text);
                return false;
            }
            if (remote.ReplyCount() != watchReplies) fresh = true;
            if (fresh) {
                if (phase == kPhaseComplete) return true;
                if (phase != seenPhase || percent != seenPercent) {
                    seenPhase = phase;
                    seenPercent = percent;
                    lastChange = now;
                }
                if (const PhaseText* text = TextOfPhase(phase)) {
                    if (phase != lastPhase) {
                        display.SetStatusLine(text->status);
                        LogMessage("%s", text->log);
                    }
                    if (percent != lastPercent) display.SetProgressPos(percent);
                    if (phase != lastPhase || percent != lastPercent)
                        display.ReportProgress(PhaseDetail(text->name, percent));
                    lastPhase = phase;
                    lastPercent = percent;
                }
            }
        }

        if (now - lastChange > limits.stallMs) {
            LogMessage("ProgramEEPROM: No Progress for %lu ms in Phase %d at %d%%\n",
                       static_cast<unsigned long>(now - lastChange), seenPhase, seenPercent);
            std::string text = kWatchFailed;
            AppendStatusNames(text, kPgmStatusTimeout);
            LogAndShowProgrammingBox(text);
            return false;
        }
        uint32_t waitMs = UntilPast(now - lastChange, limits.stallMs);
        if (offline != 0) waitMs = std::min(waitMs, UntilPast(now - offlineSince, limits.offlineMs));
        EndWaitPass(remote, replies, waitMs);
    }
}

}  // namespace

bool SendFirmwarePackets(CNimbraRemote& remote, const FirmwareBuffer& image, ProgrammingDisplay& display) {
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t packets = image.PacketCount();
    display.SetStatusLine("Downloading...");
    LogMessage("Downloading\n");
    const uint32_t start = clock.TickMs();
    display.SetProgressRange(0, 100);
    int shown = 0;
    for (uint32_t i = 0; i < packets; ++i) {
        const int p = static_cast<int>(uint64_t{i} * 100 / packets);
        if (p != shown) {
            display.SetProgressPos(p);
            display.ReportProgress(TransferDetail(i, packets));
            shown = p;
        }
        platform::CurrentUi().HandleOnePendingMessage();
        if (remote.WriteFirmwarePacket(image.Packet(i), kFirmwarePacketSize) != kStatusOk) {
            ShowProgrammingBox("WriteFirmwarePacket Failed!");
            return false;
        }
        const CompletionResult done = WaitForCompletion(remote, kPacketLimitMs);
        if (!done.ok) {
            std::string text = "Wait for Write Firmware Packet Failed!\n";
            AppendStatusNames(text, done.status);
            LogAndShowProgrammingBox(text);
            return false;
        }
    }
    display.ReportProgress(TransferDetail(packets, packets));
    LogMessage("%s", FormatDownloadTime(clock.TickMs() - start).c_str());
    return true;
}

bool ProgramEEPROM(CNimbraRemote& remote, const FirmwareBuffer& image, uint8_t bank, ProgrammingDisplay& display,
                   const PhaseWatchLimits& limits) {
    LogMessage("ProgramEEPROM\n");
    const UnitIdentity unit = IdentityOf(remote);
    remote.SelectXSlotFirmware(0);
    remote.SetFirmwareSize(image.Size());
    LogMessage("SelectBank %d\n", bank);
    remote.SelectBank(bank);

    if (remote.WaitForResponse(1) != kStatusOk) return Failed("ProgramEEPROM: WaitForResponse Failed!\n");

    // From the first packet until the unit has verified its bank, a stop
    // request waits for the end of the sequence.
    platform::FlashWriteGuard writing("the unit");
    if (!SendFirmwarePackets(remote, image, display)) return false;
    if (!WatchPhases(remote, unit, display, limits)) return false;

    display.SetProgressRange(0, static_cast<int>(image.PacketCount()));
    LogMessage("Programming Complete\n");
    return true;
}
