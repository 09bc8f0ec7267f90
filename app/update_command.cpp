// The Update command: load the chosen image, have the user confirm it, and
// run the programming sequence its DeviceID names.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "app/batch_update.h"
#include "app/firmware_image.h"
#include "app/programming_sequences.h"
#include "app/quil_update_dlg.h"
#include "links/vxusb.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
#include "resources/dialog_templates.h"

namespace {

constexpr const char* kCaption = "Quil Firmware Update";
constexpr const char* kFailureCaption = "EEPROM Programming Failure";
constexpr unsigned kServiceTimer = 1;
constexpr uint32_t kServiceTimerMs = 16;

void Box(const std::string& text, const std::string& caption, platform::BoxIcon icon) {
    platform::ShowOkBox(text, caption, icon, true);
}

// The card's download moves the window's progress bar, in bytes.
class DfuBar final : public DfuProgressBar {
public:
    explicit DfuBar(ProgrammingDisplay& display) : m_display(display) {}
    void SetRange(uint32_t low, uint32_t high) override {
        m_display.SetProgressRange(static_cast<int>(low), static_cast<int>(high));
    }
    void SetPos(uint32_t pos) override { m_display.SetProgressPos(static_cast<int>(pos)); }

private:
    ProgrammingDisplay& m_display;
};

// What each DeviceID names, for the refusals.
const char* DeviceName(uint8_t deviceId) {
    switch (deviceId) {
    case kDeviceQuil: return "Quil";
    case kDeviceVxDante: return "VX-DANTE card";
    case kDeviceVxUsb: return "VX-USB card";
    case kDeviceVxMadi: return "VX-MADI card";
    case kDeviceVxHd: return "VX-HD card";
    case kDeviceVxFw: return "VX-FW card";
    default: return "device this program does not know";
    }
}

bool Programmable(uint8_t deviceId) {
    return deviceId == kDeviceQuil || deviceId == kDeviceVxDante || deviceId == kDeviceVxUsb;
}

void Refuse(const std::string& text) {
    LogMessage("%s\n", text.c_str());
    Box(text, kCaption, platform::BoxIcon::Warning);
}

// The window's status line and bar, and the report's progress.
class ReportedDisplay final : public ProgrammingDisplay {
public:
    ReportedDisplay(ProgrammingDisplay& window, ProgrammingDisplay& report) : m_window(window), m_report(report) {}
    void SetStatusLine(const std::string& text) override {
        m_window.SetStatusLine(text);
        m_report.SetStatusLine(text);
    }
    void SetProgressRange(int low, int high) override {
        m_window.SetProgressRange(low, high);
        m_report.SetProgressRange(low, high);
    }
    void SetProgressPos(int pos) override {
        m_window.SetProgressPos(pos);
        m_report.SetProgressPos(pos);
    }
    void ReportProgress(const platform::ProgressDetail& detail) override {
        m_window.ReportProgress(detail);
        m_report.ReportProgress(detail);
    }

private:
    ProgrammingDisplay& m_window;
    ProgrammingDisplay& m_report;
};

}  // namespace

// The image's DeviceID decides where its bytes go, so it must name the
// device of the selected entry (the card of a card entry or under XSLOT,
// else the Quil), and one this program can write. Checked on the image's
// name before anything is sent.
bool CQuilUpdateDlg::ImageFitsSelectedEntry() {
    uint16_t version = kVersionNone;
    if (!ParseFirmwareName(FirmwareNameFromPath(m_firmwareName), m_imageDeviceId, version)) return false;
    char text[600];
    if (m_imageDeviceId != m_model) {
        std::snprintf(text, sizeof text,
                      "The firmware image '%s' is for the %s, not for the selected %s.\n\nNothing was programmed.",
                      m_firmwareName.c_str(), DeviceName(m_imageDeviceId), m_unitDescription.c_str());
        Refuse(text);
        return false;
    }
    if (!Programmable(m_imageDeviceId)) {
        std::snprintf(text, sizeof text,
                      "The firmware image '%s' is for a %s (DeviceID %u), which this program cannot update.\n\n"
                      "Nothing was programmed.",
                      m_firmwareName.c_str(), DeviceName(m_imageDeviceId), static_cast<unsigned>(m_imageDeviceId));
        Refuse(text);
        return false;
    }
    if (m_imageDeviceId == kDeviceVxUsb && !m_pRemote->HasUsbCard()) {
        Refuse(
            "No VX-USB card can be reached through the USB audio driver, so the VX-USB firmware cannot be "
            "programmed.\n\nNothing was programmed.");
        return false;
    }
    return true;
}

BatchEntry CQuilUpdateDlg::TargetEntry() const {
    BatchEntry entry;
    entry.entry = m_window->ListSelection(resources::IDC_UNIT_LIST);
    entry.description = m_unitDescription;
    entry.device = m_model;
    entry.card = m_bXSlotTarget;
    entry.connection = m_connection;
    uint16_t linkType = 0;
    m_pRemote->GetLinkType(&linkType);
    entry.link = BatchLinkName(linkType);
    entry.serial = m_shownSerial;
    entry.before = m_currentVersion;
    entry.image = static_cast<uint16_t>(m_newMajor * 100 + m_newMinor);
    entry.imageName = m_firmwareName;
    entry.imageIsFile = m_bFileChosen;
    entry.imageBytes = m_image.Size();
    entry.plan = BatchPlan::Update;
    entry.selected = true;
    return entry;
}

void CQuilUpdateDlg::OnUpdate() {
    if (m_report == nullptr) return RunUpdate();
    // The result names the first box the update showed: a refusal before
    // the confirmation, or the sequence's failure after it.
    FirstBoxRecorder boxes(platform::CurrentUi());
    m_boxes = &boxes;
    {
        platform::ScopedUi recording(boxes);
        RunUpdate();
    }
    m_boxes = nullptr;
    BatchEntry entry = TargetEntry();
    switch (m_lastUpdate) {
    case UpdateOutcome::Succeeded: entry.result = BatchResult::Updated; break;
    case UpdateOutcome::Cancelled:
        entry.result = BatchResult::NotReached;
        entry.reason = "the confirmation was declined";
        break;
    default:
        entry.result = BatchResult::Failed;
        entry.reason = boxes.FirstText().empty() ? "nothing was programmed" : boxes.FirstText();
        break;
    }
    m_report->Finished(entry);
}

void CQuilUpdateDlg::RunUpdate() {
    LogMessage("OnUpdate\n");
    if (!ImageFitsSelectedEntry()) {
        m_lastUpdate = UpdateOutcome::Abandoned;
        return;
    }
    SetViewState(ViewProgramming);
    SetBusy(true);
    m_pRemote->SetHostReportMode(0);
    m_pRemote->SetPollMode(kPollTransfer);

    const auto abandon = [this](UpdateOutcome outcome) {
        m_image = FirmwareBuffer();
        m_lastUpdate = outcome;
        SetBusy(false);
        SetViewState(ViewReady);
    };

    // The expanded copy of an embedded image lives in a private folder that
    // goes away with this object, once the image is in memory.
    std::unique_ptr<ExpandedFirmwareFile> expanded;
    std::string path;
    if (m_bFileChosen) {
        path = m_firmwareName;
    } else {
        std::span<const uint8_t> container;
        if (!LoadFirmwareResource(m_firmwareName, container)) return abandon(UpdateOutcome::Abandoned);
        expanded = ExpandFirmwareResource(container, m_firmwareName);
        if (!expanded) return abandon(UpdateOutcome::Abandoned);
        path = expanded->Path();
    }

    uint16_t version = kVersionNone;
    if (!ParseFirmwareName(FirmwareNameFromPath(path), m_imageDeviceId, version))
        return abandon(UpdateOutcome::Abandoned);
    m_newMajor = static_cast<uint16_t>(version / 100);
    m_newMinor = static_cast<uint8_t>(version % 100);

    if (!LoadImage(path)) return abandon(UpdateOutcome::Abandoned);
    expanded.reset();

    // The remote keeps being serviced while the confirmation box is open.
    m_window->SetTimer(kServiceTimer, kServiceTimerMs);
    char question[400];
    std::snprintf(question, sizeof question, "About to program the %s with Firmware Version %d.%d\n",
                  m_unitDescription.c_str(), m_newMajor, m_newMinor);
    LogMessage("%s", question);
    platform::MessageBoxRequest confirm;
    confirm.text = question;
    confirm.caption = m_bFileChosen ? m_firmwareName : "Firmware Update Confirmation";
    confirm.icon = platform::BoxIcon::Warning;
    confirm.buttons = platform::BoxButtons::OkCancel;
    confirm.owned = true;
    confirm.defaultButton = 1;  // Cancel
    const platform::BoxAnswer answer = platform::CurrentUi().ShowMessageBox(confirm);
    m_window->KillTimer(kServiceTimer);
    if (answer != platform::BoxAnswer::Ok) return abandon(UpdateOutcome::Cancelled);
    if (m_boxes != nullptr) m_boxes->Restart();

    platform::CurrentUi().SetWaitCursor(true);
    const bool ok = ProgramLoadedImage();
    platform::CurrentUi().SetWaitCursor(false);

    m_image = FirmwareBuffer();
    m_lastUpdate = ok ? UpdateOutcome::Succeeded : UpdateOutcome::Failed;
    SetBusy(false);
    SetViewState(ok ? ViewDone : ViewReady);

    // A request to stop that was held back while the unit was written ends
    // the program now, in order.
    const platform::StopRequest stop = platform::CurrentInterruptions().Pending();
    if (stop != platform::StopRequest::None) {
        LogMessage("Stopping on %s now that the update has %s\n", platform::StopRequestName(stop),
                   ok ? "succeeded" : "failed");
        m_stoppedByRequest = true;
        EndDialog(ok ? platform::kIdOk : platform::kIdCancel);
    }
}

bool CQuilUpdateDlg::LoadImage(const std::string& path) { return LoadFirmwareFile(path, m_image); }

bool CQuilUpdateDlg::ProgramLoadedImage() {
    WindowProgrammingDisplay display(*m_window, resources::IDC_STATUS_LINE, resources::IDC_PROGRESS);
    if (m_report == nullptr)
        return ProgramFirmwareImage(*m_pRemote, m_image, m_imageDeviceId, m_bXSlotTarget, m_bank, display);
    const BatchEntry entry = TargetEntry();
    m_report->SequenceStarted(entry);
    // The report names the step before the sequence does, as the run over
    // every unit does.
    ProgrammingDisplay& report = m_report->Display(entry);
    report.SetStatusLine("Programming...");
    ReportedDisplay both(display, report);
    return ProgramFirmwareImage(*m_pRemote, m_image, m_imageDeviceId, m_bXSlotTarget, m_bank, both);
}

bool ProgramFirmwareImage(CNimbraRemote& remote, const FirmwareBuffer& image, uint8_t deviceId, bool xslotTarget,
                          uint8_t bank, ProgrammingDisplay& display) {
    switch (deviceId) {
    case kDeviceVxUsb: {
        // The callers refuse the image when there is no updater.
        CVXUSB* card = remote.UsbCard();
        DfuBar bar(display);
        if (card != nullptr && card->DownloadFirmware(image.Size(), image.Image().data(), bar)) return true;
        Box("VX-USB Firmware Update Failed!", kFailureCaption, platform::BoxIcon::Warning);
        LogMessage("VX-USB Firmware Update Failed!\n");
        return false;
    }
    case kDeviceVxDante:
        if (ProgramXSlotEEPROM(remote, image, xslotTarget, display)) return true;
        Box("VX-DANTE Firmware Update Failed!", kFailureCaption, platform::BoxIcon::Warning);
        LogMessage("VX-DANTE Firmware Update Failed!\n");
        return false;
    default:
        if (ProgramEEPROM(remote, image, bank, display)) return true;
        remote.AbortProgramming();
        Box("Updating the Firmware on the Quil FAILED!", kFailureCaption, platform::BoxIcon::Warning);
        LogMessage("Updating the Firmware on the Quil FAILED!\n");
        return false;
    }
}
