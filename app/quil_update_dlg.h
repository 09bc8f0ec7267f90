// CQuilUpdateDlg: the main window's logic. It finds every Quil the remote
// can reach, lists each unit and its option card, shows the selected entry's
// identity and firmware beside the image it would install, and runs the
// Update command. The window itself is built by the current view from
// template 102; this class only handles its messages.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/firmware_buffer.h"
#include "app/firmware_image.h"
#include "platform/dialog.h"

class CNimbraRemote;
class BatchView;
class FirstBoxRecorder;
struct BatchEntry;
struct UnitListEntry;

// The views of the main window.
enum ViewState { ViewReady = 0, ViewProgramming = 1, ViewDone = 2 };

// How the last Update command ended.
enum class UpdateOutcome { NotRun, Succeeded, Failed, Cancelled, Abandoned };

class CQuilUpdateDlg final : public platform::DialogHandler {
public:
    // `commandLine`: the text after the program name, with its keywords.
    explicit CQuilUpdateDlg(std::string commandLine);
    ~CQuilUpdateDlg() override;
    CQuilUpdateDlg(const CQuilUpdateDlg&) = delete;
    CQuilUpdateDlg& operator=(const CQuilUpdateDlg&) = delete;

    // Starts on list entry `entry` instead of the first (the program's
    // --unit option). A start-up choice, not a reselection: a file named
    // with FILE= stays chosen, and SN= is written into that entry's unit or
    // card.
    void SetInitialEntry(std::optional<int> entry) { m_initialEntry = entry; }
    // Nobody is there to answer (--update --yes): a FILE= image that cannot
    // be opened ends the program instead of falling back to the built-in
    // image.
    void SetUnattended(bool unattended) { m_unattended = unattended; }
    // A script reads the run (--json): every unit found, the update's start,
    // progress and result go to `report` as well, as a run over every unit
    // tells them.
    void SetReport(BatchView* report) { m_report = report; }

    // Runs the window modally on the current view; returns the dialog's
    // result (kIdOk, kIdCancel, or -1 when the view has no windows).
    int DoModal();

    // True when the dialog ended through one of its failure messages
    // ("Unable to locate a Quil!", "No Quil Found!", ...).
    bool EndedThroughFailure() const { return m_endedThroughFailure; }
    UpdateOutcome LastUpdate() const { return m_lastUpdate; }
    // True when a request to stop (a signal) held back during the update
    // ended the dialog once the update was over.
    bool StoppedByRequest() const { return m_stoppedByRequest; }
    ViewState CurrentView() const { return m_viewState; }

    // platform::DialogHandler
    void OnInitDialog(platform::DialogWindow& window) override;
    void OnCommand(int id) override;
    void OnSelectionChange(int id) override;
    void OnDropFiles(const std::vector<std::string>& paths) override;
    void OnTimer(unsigned timerId) override;
    void OnSystemCommand(unsigned commandId) override;
    platform::ControlColours OnControlColour(int id) override;

    // The window's own operations.
    bool UpdateSelectedConnection(int entry);
    void SetViewState(ViewState state);
    void OnSelChangeModel();
    void SelectNewFirmware(const std::string& path);
    void OnUpdate();

private:
    bool InitDialog();
    void EndDialog(int result);
    void EndThroughFailure();
    void ShowValue(int id, const std::string& text);
    bool ChooseEmbeddedImage();
    bool CheckSerialNumber(uint32_t& serial);
    bool PresetSerialWrite();
    bool WriteEnteredSerial(uint32_t serial);
    bool WriteSerialAndWait(uint32_t serial, uint32_t limitMs, const char* source);
    // While an update or a serial-number write runs, the list is disabled
    // and nothing may end the dialog.
    void SetBusy(bool busy);
    bool ImageFitsSelectedEntry();
    bool LoadImage(const std::string& path);
    bool ProgramLoadedImage();
    void RunUpdate();
    void ReportUnits(const std::vector<UnitListEntry>& entries, int selected);
    // The entry the Update command writes, as the report names it.
    BatchEntry TargetEntry() const;

    std::string m_commandLine;
    std::optional<int> m_initialEntry;
    bool m_unattended = false;
    BatchView* m_report = nullptr;
    FirstBoxRecorder* m_boxes = nullptr;  // while a reported update runs
    bool m_stoppedByRequest = false;
    platform::DialogWindow* m_window = nullptr;
    bool m_ended = false;
    bool m_endedThroughFailure = false;
    bool m_busy = false;  // an update or a serial-number write is running
    UpdateOutcome m_lastUpdate = UpdateOutcome::NotRun;
    ViewState m_viewState = ViewReady;

    std::unique_ptr<CNimbraRemote> m_pRemote;
    uint16_t m_connection = 0;
    std::array<uint32_t, 16> m_unitMap{};
    bool m_bAskSerial = false;
    bool m_bFileChosen = false;
    uint8_t m_bank = 1;
    uint32_t m_presetSerial = 0;
    bool m_bXSlotTarget = false;
    bool m_bForceXSlot = false;
    uint8_t m_model = 0;
    uint8_t m_imageDeviceId = kDeviceNone;
    uint16_t m_newMajor = 0;
    uint8_t m_newMinor = 0;
    uint16_t m_newVersion = 0;  // major * 100 + minor; kVersionNone when unknown
    std::optional<CalendarDate> m_pNewDate;
    std::vector<std::string> m_resourceNames;
    std::string m_firmwareName;
    FirmwareBuffer m_image;
    std::string m_unitDescription;
    uint32_t m_shownSerial = 0;
    uint16_t m_currentVersion = 0;  // major * 100 + minor; kVersionNone when not present
};
