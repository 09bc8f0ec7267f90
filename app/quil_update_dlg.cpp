#include "app/quil_update_dlg.h"

#include <cstdio>

#include "app/batch_update.h"
#include "app/command_line.h"
#include "app/manufacture_date.h"
#include "app/serial_number.h"
#include "app/unit_list.h"
#include "platform/clock.h"
#include "platform/file_time.h"
#include "platform/log.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
#include "resources/dialog_templates.h"

using namespace resources;

namespace {

constexpr const char* kCaption = "Quil Firmware Update";
constexpr unsigned kServiceTimer = 1;
constexpr uint32_t kBlueText = 0x0000FF;
constexpr uint32_t kNormalText = 0x000000;
constexpr const char* kDoNotInterruptText = "Do NOT interrupt this process or power off this computer or the Quil!";
// Text 1013 after a close attempt during an update: why nothing happens.
constexpr const char* kCannotCloseText = "The window cannot close until the update has finished.";

std::string Format(const char* format, int a, int b) {
    char text[32];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// The About box: the icon, two lines of text and OK.
class AboutBox final : public platform::DialogHandler {
public:
    void OnInitDialog(platform::DialogWindow& window) override { m_window = &window; }
    void OnCommand(int id) override {
        if (id == platform::kIdOk || id == platform::kIdCancel) m_window->EndDialog(id);
    }

private:
    platform::DialogWindow* m_window = nullptr;
};

}  // namespace

CQuilUpdateDlg::CQuilUpdateDlg(std::string commandLine) : m_commandLine(std::move(commandLine)) {}

CQuilUpdateDlg::~CQuilUpdateDlg() {
    if (m_pRemote) m_pRemote->Close();
}

int CQuilUpdateDlg::DoModal() { return platform::CurrentUi().RunModalDialog(MainDialogTemplate(), *this); }

void CQuilUpdateDlg::EndDialog(int result) {
    m_ended = true;
    if (m_window != nullptr) m_window->EndDialog(result);
}

void CQuilUpdateDlg::EndThroughFailure() {
    m_endedThroughFailure = true;
    EndDialog(platform::kIdCancel);
}

void CQuilUpdateDlg::OnInitDialog(platform::DialogWindow& window) {
    m_window = &window;
    InitDialog();
}

bool CQuilUpdateDlg::InitDialog() {
    // Fresh state for this window.
    m_pNewDate.reset();
    m_bAskSerial = false;
    m_unitMap.fill(0);
    m_bFileChosen = false;
    m_bank = 1;
    m_firmwareName.clear();
    m_presetSerial = 0;
    m_bXSlotTarget = false;
    m_bForceXSlot = false;
    m_newMajor = 0;
    m_newMinor = 0;
    m_newVersion = 0;

    const platform::OsVersionInfo os = platform::CurrentSystem().QueryOsVersion();
    if (!os.queryOk) {
        LogMessage("GetVersionEx FAILED!\n");
        platform::ShowOkBox("GetVersionEx FAILED!", kCaption, platform::BoxIcon::Warning, true);
        EndThroughFailure();
        return false;
    }
    if (!os.supported) {
        LogMessage("VER_PLATFORM_WIN32_WINDOWS FAILED!");
        platform::ShowOkBox("This program does not support Windows 95/98/ME", kCaption, platform::BoxIcon::Error, true);
        EndThroughFailure();
        return false;
    }
    LogMessage("VER_PLATFORM_WIN32_NT %lu.%lu Build %lu %s", os.majorVersion, os.minorVersion, os.buildNumber,
               os.description.c_str());

    const CommandLineKeywords keywords = ParseCommandLineKeywords(m_commandLine);
    if (keywords.serialText) {
        const std::optional<uint32_t> serial = ParseSerialNumberText(*keywords.serialText);
        if (!serial) {
            platform::ShowOkBox("Invalid Serial Number!", kCaption, platform::BoxIcon::Warning, true);
            EndThroughFailure();
            return false;
        }
        m_presetSerial = *serial;
    }
    if (keywords.askSerial) m_bAskSerial = true;
    if (keywords.bank) m_bank = *keywords.bank;
    if (keywords.forceXSlot) m_bXSlotTarget = m_bForceXSlot = true;
    if (keywords.filePath) SelectNewFirmware(*keywords.filePath);
    if (m_ended) return false;  // an unattended run's file could not be opened
    // A date set by a FILE= image is not kept (its text stays on screen).
    m_pNewDate.reset();

    m_window->AddSystemMenuCommand(IDM_ABOUTBOX, kAboutMenuText);

    platform::UserInterface& ui = platform::CurrentUi();
    ui.SetWaitCursor(true);
    m_pRemote = LocateQuil();
    ui.SetWaitCursor(false);
    if (!m_pRemote) {
        EndThroughFailure();
        return false;
    }

    const std::vector<UnitListEntry> entries = ListUnits(*m_pRemote);
    if (entries.empty()) {
        EndThroughFailure();
        return false;
    }
    const int entry = m_initialEntry.value_or(0);
    if (m_report != nullptr) ReportUnits(entries, entry);
    m_window->ListClear(IDC_UNIT_LIST);
    for (size_t k = 0; k < entries.size() && k < m_unitMap.size(); ++k) {
        m_window->ListAdd(IDC_UNIT_LIST, entries[k].text, static_cast<uint32_t>(k));
        m_unitMap[k] = entries[k].unitMap;
    }

    // The first entry, or the one the program was started on (--unit).
    if (entry < 0 || entry >= m_window->ListCount(IDC_UNIT_LIST)) {
        char text[96];
        std::snprintf(text, sizeof text, "There is no entry %d in the unit list.", entry);
        LogMessage("%s\n", text);
        platform::ShowOkBox(text, kCaption, platform::BoxIcon::Warning, true);
        EndThroughFailure();
        return false;
    }
    m_window->ListSelect(IDC_UNIT_LIST, entry);
    if (!UpdateSelectedConnection(entry)) {
        LogMessage("UpdateSelectedConnection Failed!\n");
        EndThroughFailure();
        return false;
    }
    if (m_ended) return false;  // a serial number given with SN= was written

    for (int id = IDC_INFO_1; id <= IDC_CONGRATULATIONS; ++id) m_window->SetFont(id, platform::FontRole::Bold);
    SetViewState(ViewReady);
    // The waits poll the millisecond clock and sleep 1 ms between passes.
    platform::RaiseTimerResolution();
    return true;
}

void CQuilUpdateDlg::ReportUnits(const std::vector<UnitListEntry>& entries, int selected) {
    // The built-in image for each entry; the FILE= image goes to the
    // selected one alone, as its Update command would write it.
    for (size_t k = 0; k < entries.size() && k < m_unitMap.size(); ++k) {
        BatchEntry found = ReadBatchEntry(*m_pRemote, entries[k], static_cast<int>(k), BatchImages{});
        found.selected = static_cast<int>(k) == selected;
        if (found.selected && m_bFileChosen) {
            found.imageName = m_firmwareName;
            found.imageIsFile = true;
            found.image = m_newVersion;
        }
        m_report->UnitFound(found);
    }
}

void CQuilUpdateDlg::ShowValue(int id, const std::string& text) {
    // Hidden and shown again, so that the transparent control repaints over
    // the background.
    m_window->Show(id, false);
    m_window->SetText(id, text);
    m_window->SetFont(id, platform::FontRole::Bold);
    m_window->Show(id, true);
}

bool CQuilUpdateDlg::UpdateSelectedConnection(int entry) {
    const uint32_t map = m_unitMap[static_cast<size_t>(entry) % m_unitMap.size()];
    if (!m_bForceXSlot) m_bXSlotTarget = (map & kUnitMapOptionCard) != 0;
    m_connection = static_cast<uint16_t>(map & 0xFFFF);
    m_pRemote->SelectConnection(m_connection);

    char text[260] = {};
    if (m_bXSlotTarget) {
        m_pRemote->GetConnectionDescription(m_connection, text, sizeof text, &m_model);
        m_pRemote->GetXSlotCardType(&m_model);
        char description[300];
        std::snprintf(description, sizeof description, "%s in %s", OptionCardName(m_model), text);
        m_unitDescription = description;
    } else {
        m_pRemote->GetConnectionDescription(m_connection, text, 256, &m_model);
        m_unitDescription = text;
    }
    const int selected = m_window->ListSelection(IDC_UNIT_LIST);
    if (selected >= 0) m_window->ListSetText(IDC_UNIT_LIST, selected, m_unitDescription);

    // Identity polling; a Quil with firmware 6 or later is left in a mode
    // that sends nothing without a VX-USB card.
    m_pRemote->SetPollMode(kPollIdentity);
    uint8_t major = 0;
    uint8_t minor = 0;
    uint16_t linkType = 0;
    m_pRemote->GetFirmwareMajor(&major);
    m_pRemote->GetFirmwareMinor(&minor);
    m_pRemote->GetLinkType(&linkType);

    if (m_presetSerial != 0) return PresetSerialWrite();

    uint32_t serial = 0;
    if (!CheckSerialNumber(serial)) return false;
    m_shownSerial = serial;
    const std::string serialText = FormatSerialNumber(serial);
    ShowValue(IDC_SERIAL, serialText);
    LogMessage("SN: %s\n", serialText.c_str());

    std::string manufactured;
    if (serial != 0) {
        const SerialFields fields = UnpackSerialNumber(serial);
        if (const auto date = ManufactureDate(fields.year, fields.week)) manufactured = FormatReleaseDate(*date);
    }
    ShowValue(IDC_MANUFACTURE_DATE, manufactured);

    uint8_t revision = 0;
    if (m_bXSlotTarget) {
        m_pRemote->GetXSlotHardwareRevision(&revision);
    } else {
        m_pRemote->GetHardwareRevision(&revision);
    }
    ShowValue(IDC_PCB_REVISION, revision > 0 ? std::string(1, static_cast<char>(revision + 64)) : "NC");

    if (m_bXSlotTarget) m_pRemote->GetXSlotFirmwareVersion(&major, &minor);
    const bool notPresent = major == 63 || (major == 0 && minor == 0);
    m_currentVersion = BatchVersionNumber(major, minor);
    const std::string version = notPresent ? "Not Present" : Format("%d.%d", major, minor);
    ShowValue(IDC_CURRENT_VERSION, version);
    LogMessage("FWRev: %s\n", version.c_str());

    std::string currentDate;
    if (!notPresent) {
        CNimbraRemote& remote = *m_pRemote;
        const auto date = FirmwareReleaseDate(
            major, m_model, true, [&remote](uint16_t& word) { return remote.GetFirmwareDate(&word) == kStatusOk; });
        if (date) currentDate = FormatReleaseDate(*date);
    }
    ShowValue(IDC_CURRENT_DATE, currentDate);

    if (!m_bFileChosen) ChooseEmbeddedImage();
    if (m_newVersion == kVersionNone) {
        LogMessage("Unable to determine New Firmware Version!\n");
        platform::ShowOkBox("Unable to determine New Firmware Version!", kCaption, platform::BoxIcon::Warning, true);
        EndThroughFailure();
        return false;
    }
    m_newMajor = static_cast<uint16_t>(m_newVersion / 100);
    m_newMinor = static_cast<uint8_t>(m_newVersion % 100);
    const std::string newVersion = Format("%d.%d", m_newMajor, m_newMinor);
    ShowValue(IDC_NEW_VERSION, newVersion);
    LogMessage("New FWRev: %s\n", newVersion.c_str());
    if (!m_bFileChosen) {
        m_pNewDate.reset();
        std::string newDate = "Unknown";
        if (m_newMajor <= 19) {
            m_pNewDate = FirmwareReleaseDate(m_newMajor, m_imageDeviceId, false);
            newDate = m_pNewDate ? FormatReleaseDate(*m_pNewDate) : "";
        }
        ShowValue(IDC_NEW_DATE, newDate);
    }

    if (m_bXSlotTarget) {
        m_window->Show(IDC_BANK, false);
        m_window->Show(IDC_BANK_LABEL, false);
    } else {
        m_window->Show(IDC_BANK_LABEL, true);
        ShowValue(IDC_BANK, Format("%d", m_bank + 1, 0));
    }
    return true;
}

bool CQuilUpdateDlg::ChooseEmbeddedImage() {
    m_resourceNames = EmbeddedFirmwareNames();
    m_newVersion = kVersionNone;
    m_imageDeviceId = kDeviceNone;
    m_firmwareName.clear();
    const std::optional<EmbeddedFirmwareChoice> choice = ChooseEmbeddedFirmware(m_model);
    if (!choice) return false;
    m_imageDeviceId = choice->decoded.deviceId;
    m_newVersion = choice->decoded.version;
    m_firmwareName = choice->name;
    return true;
}

void CQuilUpdateDlg::SelectNewFirmware(const std::string& path) {
    const std::string previousName = m_firmwareName;
    const uint8_t previousDevice = m_imageDeviceId;
    const uint16_t previousVersion = m_newVersion;

    m_bFileChosen = true;
    // The whole path: cut to a fixed length it could name another file.
    m_firmwareName = path;
    if (!ParseFirmwareName(FirmwareNameFromPath(m_firmwareName), m_imageDeviceId, m_newVersion)) return;
    LogMessage("SelectNewFirmware %s\n", m_firmwareName.c_str());

    std::FILE* file = std::fopen(m_firmwareName.c_str(), "rb");
    const std::optional<platform::LocalTime> written =
        file != nullptr ? platform::FileLastWriteTime(m_firmwareName) : std::nullopt;
    if (file != nullptr) std::fclose(file);
    if (file == nullptr || !written) {
        char text[400];
        // Nobody is there to notice a fall-back: the file named, or nothing.
        std::snprintf(text, sizeof text, "Unable to open file '%s' specified on the command line!\n\n%s\n",
                      m_firmwareName.c_str(),
                      m_unattended ? "Nothing was programmed." : "Reverting to default firmware.");
        LogMessage("%s", text);
        platform::ShowOkBox(text, kCaption, platform::BoxIcon::None, true);
        if (m_unattended) {
            EndThroughFailure();
            return;
        }
        m_bFileChosen = false;
        // The embedded image chosen for the entry stays the one to program.
        m_firmwareName = previousName;
        m_imageDeviceId = previousDevice;
        m_newVersion = previousVersion;
        return;
    }

    m_newMajor = static_cast<uint16_t>(m_newVersion / 100);
    m_newMinor = static_cast<uint8_t>(m_newVersion % 100);
    ShowValue(IDC_NEW_VERSION, Format("%d.%d", m_newMajor, m_newMinor));
    m_pNewDate = CalendarDate{written->year, written->month, written->day};
    ShowValue(IDC_NEW_DATE, FormatReleaseDate(*m_pNewDate));
}

void CQuilUpdateDlg::SetViewState(ViewState state) {
    m_viewState = state;
    const bool ready = state == ViewReady;
    const bool programming = state == ViewProgramming;
    const bool done = state == ViewDone;
    for (int id : {IDC_INFO_1, IDC_INFO_2, IDC_INFO_3}) m_window->Show(id, ready);
    for (int id : {IDC_DO_NOT_INTERRUPT, IDC_STATUS_LINE, IDC_PROGRESS}) m_window->Show(id, programming);
    m_window->Show(IDC_CONGRATULATIONS, done);
    m_window->Show(IDC_CANCEL, ready);
    m_window->Show(IDC_UPDATE, ready);
    m_window->Show(IDC_CLOSE, done);
}

void CQuilUpdateDlg::SetBusy(bool busy) {
    m_busy = busy;
    // The list would switch the connection in the middle of a transfer, and
    // the menu's About box would hold the transfer's waits up while open.
    m_window->Enable(IDC_UNIT_LIST, !busy);
    m_window->EnableSystemMenu(!busy);
    if (busy) m_window->SetText(IDC_DO_NOT_INTERRUPT, kDoNotInterruptText);
}

void CQuilUpdateDlg::OnCommand(int id) {
    switch (id) {
    case IDC_UPDATE:
        if (!m_busy && m_viewState == ViewReady) OnUpdate();
        return;
    case IDC_CLOSE:
    case IDC_CANCEL:
        // Enter, Escape and the window's close button land here too; none of
        // them may end the program while a transfer or a serial-number write
        // is running.
        if (m_busy) {
            LogMessage("Ignoring close while the unit is being written\n");
            m_window->SetText(IDC_DO_NOT_INTERRUPT, kCannotCloseText);
            return;
        }
        EndDialog(id);
        return;
    default: return;
    }
}

void CQuilUpdateDlg::OnSelectionChange(int id) {
    if (id != IDC_UNIT_LIST) return;
    if (m_busy) return;
    OnSelChangeModel();
}

void CQuilUpdateDlg::OnSelChangeModel() {
    const int selected = m_window->ListSelection(IDC_UNIT_LIST);
    if (selected < 0) return;
    const uint32_t entry = m_window->ListItemData(IDC_UNIT_LIST, selected);
    LogMessage("OnSelChangeModel\n");
    m_bFileChosen = false;
    UpdateSelectedConnection(static_cast<int>(entry));
}

void CQuilUpdateDlg::OnDropFiles(const std::vector<std::string>& paths) {
    if (paths.empty() || m_busy) return;
    const std::string& path = paths.front();
    LogMessage("OnDropFiles: %s\n", path.c_str());
    SelectNewFirmware(path);
}

void CQuilUpdateDlg::OnTimer(unsigned timerId) {
    if (timerId == kServiceTimer && m_pRemote) m_pRemote->Service();
}

void CQuilUpdateDlg::OnSystemCommand(unsigned commandId) {
    // Its modal loop would keep the update's waits from running.
    if (m_busy || commandId < 16 || commandId > 31) return;
    AboutBox about;
    platform::CurrentUi().RunModalDialog(AboutDialogTemplate(), about);
}

platform::ControlColours CQuilUpdateDlg::OnControlColour(int id) {
    platform::ControlColours colours;
    if (id >= IDC_INFO_1 && id <= IDC_CONGRATULATIONS) {
        colours.custom = true;
        colours.textRgb = kBlueText;
        colours.transparent = true;
        return colours;
    }
    switch (id) {
    case -1:  // the labels
    case IDC_SERIAL:
    case IDC_PCB_REVISION:
    case IDC_CURRENT_VERSION:
    case IDC_CURRENT_DATE:
    case IDC_NEW_VERSION:
    case IDC_NEW_DATE:
    case IDC_BANK:
    case IDC_BANK_LABEL:
    case IDC_MANUFACTURE_DATE:
        colours.custom = true;
        colours.textRgb = kNormalText;
        colours.transparent = true;
        return colours;
    default: return colours;
    }
}
