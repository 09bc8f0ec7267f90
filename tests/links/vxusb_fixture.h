// The VX-USB updater's tests: a private program-files folder with copies of
// our fake driver library placed where the updater looks, a private log, a
// headless view that records boxes, and a virtual clock.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "links/vxusb.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/program_files.h"
#include "platform/ui.h"
#include "sim/usb_cards.h"
#include "ui/headless_ui.h"

namespace vxusbtest {

// Sets the program-files variable for the lifetime of this object.
class ScopedProgramFiles {
public:
    explicit ScopedProgramFiles(const std::optional<std::string>& folder) {
        const char* old = std::getenv(platform::ProgramFilesVariable());
        if (old != nullptr) m_previous = old;
        if (folder)
            ::setenv(platform::ProgramFilesVariable(), folder->c_str(), 1);
        else
            ::unsetenv(platform::ProgramFilesVariable());
    }
    ~ScopedProgramFiles() {
        if (m_previous)
            ::setenv(platform::ProgramFilesVariable(), m_previous->c_str(), 1);
        else
            ::unsetenv(platform::ProgramFilesVariable());
    }

private:
    std::optional<std::string> m_previous;
};

class VxUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vxusb-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_programFiles = m_dir + "/pf";
        SetLogFilePath(m_dir + "/log.txt");
        m_env = std::make_unique<ScopedProgramFiles>(m_programFiles);
    }
    void TearDown() override {
        m_env.reset();
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove_all(m_dir);
    }

    // Copies `library` to the updater's path number `where` (0..2) and opens
    // its control side on that copy.
    std::unique_ptr<sim::FakeUsbAudio> Install(int where, const std::string& library = sim::FakeUsbLibraryPath()) {
        const std::string path = VxUsbLibraryPaths(m_programFiles)[static_cast<size_t>(where)];
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file(library, path, std::filesystem::copy_options::overwrite_existing);
        std::string error;
        auto fake = sim::FakeUsbAudio::Open(path, error);
        EXPECT_NE(fake, nullptr) << error;
        return fake;
    }

    std::string Log() {
        CloseLogFile();
        std::ifstream in(m_dir + "/log.txt");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Each of `lines` occurs in the log, in this order.
    void ExpectLogInOrder(std::initializer_list<std::string> lines) {
        const std::string log = Log();
        size_t at = 0;
        for (const std::string& line : lines) {
            const size_t found = log.find(line, at);
            ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\nlog:\n" << log;
            at = found + line.size();
        }
    }

    size_t Count(const std::string& text) {
        const std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    ui::HeadlessUi m_ui;
    platform::ScopedUi m_scopedUi{m_ui};
    std::string m_dir;
    std::string m_programFiles;
    std::unique_ptr<ScopedProgramFiles> m_env;
};

}  // namespace vxusbtest
