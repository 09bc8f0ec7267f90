// The serial-number flow of the main window: the entry dialog, the check
// made whenever an entry is selected, and the write of a number given with
// SN= on the command line.
#include "app/serial_number_entry.h"

#include <string>

#include "app/programming_sequences.h"
#include "app/quil_update_dlg.h"
#include "app/serial_number.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
#include "resources/dialog_templates.h"

namespace {

constexpr const char* kCaption = "Quil Firmware Update";

void Warn(const char* text) { platform::ShowOkBox(text, kCaption, platform::BoxIcon::Warning, true); }

}  // namespace

int CGetSerialNumberDlg::DoModal() {
    const int result = platform::CurrentUi().RunModalDialog(resources::SerialNumberDialogTemplate(), *this);
    return result == platform::kIdOk ? platform::kIdOk : platform::kIdCancel;
}

void CGetSerialNumberDlg::OnInitDialog(platform::DialogWindow& window) {
    m_window = &window;
    if (m_serial != 0) m_window->SetText(resources::IDC_SERIAL_EDIT, FormatSerialNumber(m_serial));
    m_window->LimitText(resources::IDC_SERIAL_EDIT, static_cast<int>(kSerialTextLength));
}

void CGetSerialNumberDlg::OnCommand(int id) {
    if (id == platform::kIdOk) {
        OnOK();
    } else if (id == platform::kIdCancel) {
        m_window->EndDialog(platform::kIdCancel);
    }
}

// Typing past the tenth character submits the ten already there.
void CGetSerialNumberDlg::OnEditFull(int id) {
    if (id == resources::IDC_SERIAL_EDIT) OnOK();
}

void CGetSerialNumberDlg::OnOK() {
    const std::string text = m_window->Text(resources::IDC_SERIAL_EDIT);
    const std::optional<uint32_t> serial =
        text.size() == kSerialTextLength ? ParseSerialNumberText(text) : std::nullopt;
    if (!serial) {
        Warn("Invalid Serial Number!");
        return;
    }
    if (m_expectedModel && UnpackSerialNumber(*serial).model != *m_expectedModel) {
        Warn("Quil Serial Number does not match Device ID!");
        return;
    }
    m_serial = *serial;
    m_window->EndDialog(platform::kIdOk);
}

// Writes `serial` into the unit or its card and waits `limitMs` for the unit
// to take it. On failure the dialog has ended with the failure told.
bool CQuilUpdateDlg::WriteSerialAndWait(uint32_t serial, uint32_t limitMs, const char* source) {
    const NimbraStatus written =
        m_bXSlotTarget ? m_pRemote->WriteXSlotSerialNumber(serial) : m_pRemote->WriteSerialNumber(serial);
    if (written == kStatusFailed) {
        EndThroughFailure();  // the write has shown its own message
        return false;
    }
    const CompletionResult completion = WaitForCompletion(*m_pRemote, limitMs);
    if (completion.ok) return true;
    std::string text = std::string("Wait for WriteSerialNumber Failed!\n") + source + "\n";
    AppendStatusNames(text, completion.status);
    LogMessage("%s", text.c_str());
    platform::ShowOkBox(text, kCaption, platform::BoxIcon::None, true);
    EndThroughFailure();
    return false;
}

bool CQuilUpdateDlg::PresetSerialWrite() {
    if (!WriteSerialAndWait(m_presetSerial, 1000, "SN=")) return false;
    // The number is in the unit: the program ends without showing it.
    EndDialog(platform::kIdOk);
    return true;
}

bool CQuilUpdateDlg::CheckSerialNumber(uint32_t& serial) {
    serial = 0;
    if (m_bXSlotTarget) {
        m_pRemote->GetXSlotSerialNumber(&serial);
    } else {
        m_pRemote->GetSerialNumber(&serial);
    }
    if (IsBlankSerialNumber(serial)) {
        serial = 0;
        m_bAskSerial = true;
    }
    // A valid number is shown without asking unless GETSN (or an earlier
    // blank number) asks for it every time.
    bool prompt = !IsValidSerialNumber(serial) || m_bAskSerial;
    // Identity polling pauses while the entry dialog is open; a prompt that
    // follows a model mismatch leaves the poll mode as it is.
    const bool pausePolling = prompt;
    for (;;) {
        if (prompt) {
            if (pausePolling) m_pRemote->SetPollMode(kPollTransfer);
            CGetSerialNumberDlg entry(m_bAskSerial ? serial : 0, m_model);
            if (entry.DoModal() != platform::kIdOk) {
                LogMessage("Invalid Serial Number. User Pressed Cancel.\n");
                EndThroughFailure();
                return false;
            }
            m_pRemote->SetPollMode(kPollIdentity);
            serial = entry.Serial();
            if (!WriteEnteredSerial(serial)) return false;
        }
        if (UnpackSerialNumber(serial).model == m_model) return true;
        // The number in the unit names another model: ask for the right one.
        Warn("Quil Serial Number does not match Device ID!");
        prompt = true;
    }
}

bool CQuilUpdateDlg::WriteEnteredSerial(uint32_t serial) {
    SetViewState(ViewProgramming);
    m_window->SetText(resources::IDC_STATUS_LINE, "Writing Serial Number... Please wait...");
    SetBusy(true);
    const bool written = WriteSerialAndWait(serial, 3000, "User Dialog");
    SetBusy(false);
    if (!written) return false;
    m_window->SetText(resources::IDC_STATUS_LINE, "Writing Serial Number Complete...");
    SetViewState(ViewReady);
    return true;
}
