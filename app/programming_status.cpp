#include <cstdio>

#include "app/programming_sequences.h"
#include "app/programming_wait.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"

namespace {

constexpr uint8_t kStatusMask = 0x3F;
constexpr uint32_t kSiblingPassSleepMs = 5;

struct StatusName {
    uint8_t bit;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {kPgmStatusPip, "\nPIP"},       {kPgmStatusPgmErr, "\nPGMERR"},   {kPgmStatusTxErr, "\nTXERR"},
    {kPgmStatusPakRdy, "\nPAKRDY"}, {kPgmStatusTimeout, "\nTIMEOUT"},
};

}  // namespace

void EndWaitPass(CNimbraRemote& remote, uint32_t repliesBefore, uint32_t timeoutMs) {
    const bool handled = platform::CurrentUi().HandleOnePendingMessage();
    if (!remote.IsQuil()) platform::CurrentClock().SleepMs(kSiblingPassSleepMs);
    if (!handled && remote.ReplyCount() == repliesBefore) remote.WaitForInput(timeoutMs);
}

uint32_t UntilPast(uint32_t elapsedMs, uint32_t limitMs) { return elapsedMs > limitMs ? 0 : limitMs - elapsedMs + 1; }

void ShowProgrammingBox(const std::string& text) {
    platform::ShowOkBox(text, "Quil Firmware Update", platform::BoxIcon::None, true);
}

void LogAndShowProgrammingBox(const std::string& text) {
    LogMessage("%s", text.c_str());
    ShowProgrammingBox(text);
}

CompletionResult WaitForCompletion(CNimbraRemote& remote, uint32_t limitMs) {
    if (remote.WaitForResponse(1) != kStatusOk) {
        LogMessage("CQuilUpdateDlg::WaitForCompletion: WaitForResponse FAILED!\n");
        return {false, kPgmStatusTimeout};
    }
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed > limitMs) return {false, kPgmStatusTimeout};
        const uint32_t replies = remote.ReplyCount();
        uint8_t status = 0;
        remote.GetProgramStatus(&status);
        status &= kStatusMask;
        if ((status & (kPgmStatusPgmErr | kPgmStatusTxErr)) != 0) return {false, status};
        if (status == 0) return {true, 0};
        EndWaitPass(remote, replies, UntilPast(elapsed, limitMs));
    }
}

void AppendStatusNames(std::string& text, uint8_t status) {
    for (const StatusName& s : kStatusNames) {
        if ((status & s.bit) != 0) text += s.name;
    }
}

std::string FormatDownloadTime(uint32_t elapsedMs) {
    char line[64];
    std::snprintf(line, sizeof line, "Download took: %02d:%02d:%02d.%03d\n", static_cast<int>(elapsedMs / 3600000),
                  static_cast<int>((elapsedMs / 60000) % 60), static_cast<int>((elapsedMs / 1000) % 60),
                  static_cast<int>(elapsedMs % 1000));
    return line;
}
