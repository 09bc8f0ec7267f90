// A main window run on the headless view: virtual units on virtual MIDI
// ports, a scripted system, the virtual clock and the log in a private
// folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/quil_update_dlg.h"
#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "platform/midi.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "resources/dialog_templates.h"
#include "sim/virtual_midi_setup.h"
#include "ui/headless_ui.h"

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quil_window_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_clock.SetLocalTime({2026, 12, 8, 12, 0, 0});
        Reset();
    }
    void TearDown() override {
        m_dialog.reset();
        m_scopedMidi.reset();
        m_scopedUi.reset();
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove_all(m_dir);
    }

    // A fresh run: no units, a new view, a new log.
    void Reset() {
        m_dialog.reset();
        m_scopedMidi.reset();
        m_setup = std::make_unique<sim::VirtualMidiSetup>();
        m_scopedUi.reset();
        m_ui = std::make_unique<ui::HeadlessUi>();
        m_scopedUi = std::make_unique<platform::ScopedUi>(*m_ui);
        m_system.SetOs(platform::ScriptedSystemInfo::Os::Supported);
        m_initialEntry.reset();
        m_unattended = false;
        m_interruptions = platform::VirtualInterruptions();
        ++m_runs;
        m_logPath = m_dir / ("QuilUpdate" + std::to_string(m_runs) + ".log");
        SetLogFilePath(m_logPath.string());
    }

    ui::HeadlessUi& ui() { return *m_ui; }

    void UseBuiltinSet() {
        for (const sim::BuiltinPort& port : sim::BuiltinSet()) m_setup->AddPort(port.name, port.technology, port.unit);
    }
    sim::VirtualQuil* AddUnit(const std::string& port, const sim::UnitDescription& unit) {
        return m_setup->AddPort(port, sim::PortTechnology::Hardware, unit);
    }
    static sim::UnitDescription QuilWithCard(uint8_t cardType) {
        sim::UnitDescription u;
        u.pid = sim::kPidQuil;
        u.firmwareMajor = 7;
        u.firmwareMinor = 2;
        u.firmwareDate = sim::FirmwareDateWord(16, 1, 12);
        u.boardRevision = 2;
        u.serial = sim::PackSerial(sim::kPidQuil, 18, 22, 1);
        u.eraseMs = u.programMs = u.verifyMs = 500;
        u.card.type = cardType;
        if (cardType != sim::kCardNone) {
            u.card.firmwareMajor = 1;
            u.card.firmwareMinor = 1;
            u.card.revision = 1;
            u.card.serial = sim::PackSerial(cardType, 18, 22, 2);
        }
        return u;
    }

    // Runs the window with `commandLine`; box answers are queued first.
    int Run(const std::string& commandLine, const std::vector<platform::BoxAnswer>& answers = {}) {
        for (platform::BoxAnswer answer : answers) m_ui->QueueAnswer(answer);
        m_scopedMidi = std::make_unique<platform::ScopedMidiSystem>(m_setup->System());
        m_dialog = std::make_unique<CQuilUpdateDlg>(commandLine);
        m_dialog->SetInitialEntry(m_initialEntry);
        m_dialog->SetUnattended(m_unattended);
        const int result = m_dialog->DoModal();
        return result;
    }

    const ui::HeadlessWindow& MainWindow() const {
        const ui::HeadlessWindow* window = m_ui->LastWindow(resources::kMainDialogId);
        if (window == nullptr) throw std::runtime_error("the main window never opened");
        return *window;
    }

    // The embedded image `name` as the Update command expands it.
    static std::vector<uint8_t> ExpandedEmbeddedImage(const char* name) {
        std::span<const uint8_t> container;
        if (!LoadFirmwareResource(name, container)) return {};
        const auto expanded = ExpandFirmwareResource(container, name);
        if (!expanded) return {};
        std::ifstream in(expanded->Path(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static std::vector<std::string> ListTexts(const ui::HeadlessWindow& w) {
        std::vector<std::string> texts;
        for (int i = 0; i < w.ListCount(resources::IDC_UNIT_LIST); ++i)
            texts.push_back(w.ListText(resources::IDC_UNIT_LIST, i));
        return texts;
    }

    std::string Log() const {
        // Text mode, as the log is written (CR LF on Windows).
        std::ifstream in(m_logPath);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // Each entry appears in the log after the one before it.
    void ExpectLogInOrder(const std::vector<std::string>& entries) const {
        const std::string log = Log();
        size_t from = 0;
        for (const std::string& entry : entries) {
            const size_t at = log.find(entry, from);
            ASSERT_NE(at, std::string::npos) << "missing or out of order: " << entry << "\nlog:\n" << log;
            from = at + entry.size();
        }
    }

    void ExpectBox(const std::string& text, const std::string& caption, platform::BoxIcon icon) const {
        for (const platform::MessageBoxRequest& box : m_ui->Boxes()) {
            if (box.text != text) continue;
            EXPECT_EQ(box.caption, caption);
            EXPECT_EQ(box.icon, icon);
            return;
        }
        ADD_FAILURE() << "no box \"" << text << "\"";
    }

    std::string WriteFile(const std::string& relative, const std::vector<uint8_t>& bytes) const {
        const std::filesystem::path path = m_dir / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    static void SetModificationDate(const std::string& path, int year, int month, int day) {
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = 12;
        local.tm_isdst = -1;
        const std::time_t when = std::mktime(&local);
        utimbuf times{when, when};
        ASSERT_EQ(::utime(path.c_str(), &times), 0);
    }

    std::filesystem::path m_dir;
    std::filesystem::path m_logPath;
    int m_runs = 0;
    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    platform::ScriptedSystemInfo m_system;
    platform::ScopedSystem m_scopedSystem{m_system};
    std::unique_ptr<sim::VirtualMidiSetup> m_setup;
    std::unique_ptr<platform::ScopedMidiSystem> m_scopedMidi;
    std::unique_ptr<ui::HeadlessUi> m_ui;
    std::unique_ptr<platform::ScopedUi> m_scopedUi;
    std::unique_ptr<CQuilUpdateDlg> m_dialog;
    std::optional<int> m_initialEntry;
    bool m_unattended = false;
    // Stop requests are played by the test, never real signals.
    platform::VirtualInterruptions m_interruptions;
    platform::ScopedInterruptions m_scopedInterruptions{m_interruptions};
    // Units are found on virtual ports only: the computer's own DNS-SD
    // library (the Dante link's) is never loaded.
    platform::ScopedLibraryRedirect m_noDnsSd{"libdns_sd.so.1", "/nonexistent/libdns_sd.so.1"};
};
