#include "app/quil_update_app.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/log.h"
#include "platform/midi.h"
#include "platform/midi_virtual.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "sim/virtual_midi_setup.h"
#include "ui/headless_ui.h"

namespace fs = std::filesystem;

namespace {

using platform::BoxButtons;
using platform::BoxIcon;
using platform::ScriptedSystemInfo;

const std::string kStamp = "2026-03-07 09:05:02 ";
const std::string kExitEntry =
    kStamp + "Exiting\n*****************************************************************************\n";

// One start-up with a scripted system, a headless view, a virtual clock and
// the log in a temporary directory.
class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quil_startup_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_logPath = m_dir / "QuilUpdate.log";
        SetLogFilePath(m_logPath.string());
        m_clock.SetLocalTime({2026, 3, 7, 9, 5, 2});
        m_app.SetMainWindowRunner([this](CQuilUpdateApp& app) {
            ++m_mainWindowRuns;
            m_seenCommandLine = app.GetCommandLine();
            LogMessage("main window\n");
            return 1;
        });
    }
    void TearDown() override {
        SetLogFilePath("QuilUpdate.log");
        fs::remove_all(m_dir);
    }

    std::string Log() const {
        // Text mode, as the log is written (CR LF on Windows).
        std::ifstream in(m_logPath);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // The log after the build banner, which it checks and cuts off.
    std::string LogAfterBanner(std::string log) const {
        static const std::regex banner(
            "2026-03-07 09:05:02 QuilUpdate Built: [A-Z][a-z]{2} [ 0-3][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n");
        std::smatch match;
        EXPECT_TRUE(std::regex_search(log, match, banner, std::regex_constants::match_continuous)) << log;
        return match.empty() ? log : log.substr(static_cast<size_t>(match.length(0)));
    }

    void ExpectOneBox(const std::string& text, const std::string& caption, BoxIcon icon) {
        ASSERT_EQ(m_ui.Boxes().size(), 1u);
        const platform::MessageBoxRequest& box = m_ui.Boxes()[0];
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, caption);
        EXPECT_EQ(box.icon, icon);
        EXPECT_EQ(box.buttons, BoxButtons::Ok);
        EXPECT_FALSE(box.owned);
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    ScriptedSystemInfo m_system;
    platform::ScopedSystem m_scopedSystem{m_system};
    ui::HeadlessUi m_ui;
    platform::ScopedUi m_scopedUi{m_ui};
    CQuilUpdateApp m_app;
    int m_mainWindowRuns = 0;
    std::string m_seenCommandLine;
    fs::path m_dir;
    fs::path m_logPath;
};

TEST_F(StartupTest, OnMainsRunsTheMainWindowThenWritesTheExitEntry) {
    m_system.SetAcLineStatus(platform::kAcLineOnline);
    m_app.SetCommandLine("GETSN PROM=1");
    EXPECT_FALSE(m_app.InitInstance());
    EXPECT_EQ(m_mainWindowRuns, 1);
    EXPECT_EQ(m_seenCommandLine, "GETSN PROM=1");
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(LogAfterBanner(Log()), kStamp + "main window\n" + kExitEntry);

    // The log was closed after the exit entry: the next entry opens it anew.
    fs::remove(m_logPath);
    LogMessage("after\n");
    EXPECT_EQ(Log(), kStamp + "after\n");
}

TEST_F(StartupTest, UnknownAcLineProceedsLikeMains) {
    m_system.SetAcLineStatus(platform::kAcLineUnknown);
    EXPECT_FALSE(m_app.InitInstance());
    EXPECT_EQ(m_mainWindowRuns, 1);
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(LogAfterBanner(Log()), kStamp + "main window\n" + kExitEntry);
}

TEST_F(StartupTest, OnBatteryTerminatesWithoutMainWindow) {
    m_system.SetAcLineStatus(platform::kAcLineOffline);
    EXPECT_FALSE(m_app.InitInstance());
    EXPECT_EQ(m_mainWindowRuns, 0);
    ExpectOneBox("This computer must be connected to AC power to update firmware.", "On Battery Power", BoxIcon::Error);
    // Ends with its termination entry: no exit entry.
    EXPECT_EQ(LogAfterBanner(Log()), kStamp + "Terminating: On Battery Power\n");
}

TEST_F(StartupTest, UnsupportedSystemTerminatesBeforeThePowerCheck) {
    m_system.SetOs(ScriptedSystemInfo::Os::Unsupported);
    EXPECT_FALSE(m_app.InitInstance());
    EXPECT_EQ(m_mainWindowRuns, 0);
    EXPECT_EQ(m_system.PowerQueries(), 0);
    ExpectOneBox("Quil Firmware Update does not support this operating system.", "", BoxIcon::Warning);
    EXPECT_EQ(LogAfterBanner(Log()), kStamp + "Terminating: Unsupported Operating System.\n");
}

TEST_F(StartupTest, FailedVersionQueryShowsABoxAndLogsNothingMore) {
    m_system.SetOs(ScriptedSystemInfo::Os::QueryFails);
    EXPECT_FALSE(m_app.InitInstance());
    EXPECT_EQ(m_mainWindowRuns, 0);
    EXPECT_EQ(m_system.PowerQueries(), 0);
    ExpectOneBox("GetVersionEx Failed!", "", BoxIcon::Warning);
    EXPECT_EQ(LogAfterBanner(Log()), "");
}

TEST_F(StartupTest, FailedPowerQueryIsLoggedAndStartupGoesOn) {
    m_system.SetPowerQueryFails(0x1f);
    EXPECT_FALSE(m_app.InitInstance());
    EXPECT_EQ(m_mainWindowRuns, 1);
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(LogAfterBanner(Log()),
              kStamp + "GetSystemPowerStatus FAILED! [0000001f]\n" + kStamp + "main window\n" + kExitEntry);
}

TEST_F(StartupTest, ConsecutiveRunsAppendToTheSameLog) {
    EXPECT_FALSE(m_app.InitInstance());
    const std::string firstRun = Log();
    m_system.SetAcLineStatus(platform::kAcLineOffline);
    CQuilUpdateApp second;
    EXPECT_FALSE(second.InitInstance());

    const std::string all = Log();
    ASSERT_EQ(all.rfind(firstRun, 0), 0u);
    EXPECT_EQ(LogAfterBanner(firstRun), kStamp + "main window\n" + kExitEntry);
    EXPECT_EQ(LogAfterBanner(all.substr(firstRun.size())), kStamp + "Terminating: On Battery Power\n");
}

TEST_F(StartupTest, PlaceholderMainWindowListsTheBuiltInUnits) {
    std::unique_ptr<sim::VirtualMidiSetup> units = sim::MakeBuiltinMidiSystem();
    platform::ScopedMidiSystem midi(units->System());
    CQuilUpdateApp app;  // no main window installed
    app.SetDemoMode(true);
    EXPECT_FALSE(app.InitInstance());

    const std::string log = LogAfterBanner(Log());
    const std::string expected[] = {
        "Demo mode: built-in virtual units\n",        "Found Quil. Number Of Connections: 4\n",
        "Found Quil connected via Quil USB MIDI 1\n", "Found VX-DANTE in Quil connected via Quil USB MIDI 1\n",
        "Found Quil connected via Quil MIDI 2\n",     "Found VX-HD in Quil connected via Quil MIDI 2\n",
    };
    size_t at = 0;
    for (const std::string& line : expected) {
        const size_t found = log.find(kStamp + line, at);
        ASSERT_NE(found, std::string::npos) << line << " missing or out of order in:\n" << log;
        at = found;
    }
    // The Nimbra 16 on the third port is not a Quil and is not listed.
    EXPECT_EQ(log.find("MIDI 3\n"), std::string::npos);
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_TRUE(log.ends_with(kExitEntry));
}

TEST_F(StartupTest, MainWindowSaysWhenNoQuilIsFound) {
    platform::VirtualMidiSystem noPorts;
    platform::ScopedMidiSystem midi(noPorts);
    // Nor a Dante network: the computer's own DNS-SD library is not part of
    // this test.
    platform::ScopedLibraryRedirect noDnsSd("libdns_sd.so.1", "/nonexistent/libdns_sd.so.1");
    CQuilUpdateApp app;
    EXPECT_FALSE(app.InitInstance());
    const std::string log = LogAfterBanner(Log());
    EXPECT_NE(log.find(kStamp + "Unable to locate a Quil!\n"), std::string::npos) << log;
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Unable to locate a Quil!");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "Quil Firmware Update");
    EXPECT_TRUE(log.ends_with(kExitEntry));
}

}  // namespace
