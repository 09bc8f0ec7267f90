#include "platform/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    // Text mode, as the log is written (CR LF on Windows).
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The log redirected into a fresh temporary directory, stamped from a
// virtual clock.
class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quil_log_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_path = m_dir / "QuilUpdate.log";
        SetLogFilePath(m_path.string());
        m_clock.SetLocalTime({2026, 3, 7, 9, 5, 2});
    }
    void TearDown() override {
        SetLogFilePath("QuilUpdate.log");
        fs::remove_all(m_dir);
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    fs::path m_dir;
    fs::path m_path;
};

TEST_F(LogFileTest, EntryIsStampedWithLocalTimeAndAddsNoLineEnd) {
    LogMessage("Found %s\n", "Quil");
    m_clock.SetLocalTime({2026, 12, 31, 23, 59, 59});
    LogMessage("Step %d: ", 2);  // no line end: the next entry follows on the same line
    LogMessage("Done [%08lx]\n", 0x1FUL);
    EXPECT_EQ(ReadFile(m_path),
              "2026-03-07 09:05:02 Found Quil\n"
              "2026-12-31 23:59:59 Step 2: 2026-12-31 23:59:59 Done [0000001f]\n");
}

TEST_F(LogFileTest, EntriesAreOnDiskBeforeTheFileIsClosed) {
    LogMessage("CNimbraRemote::ProgramEEPROM: packet %u\n", 17u);
    // Read through a second handle while the log is still open: a crash now
    // must not lose the entry.
    EXPECT_EQ(ReadFile(m_path), "2026-03-07 09:05:02 CNimbraRemote::ProgramEEPROM: packet 17\n");
}

TEST_F(LogFileTest, EachOpenAppendsToWhatIsThere) {
    std::ofstream(m_path) << "earlier run\n";
    LogMessage("one\n");
    CloseLogFile();
    LogMessage("two\n");
    CloseLogFile();
    EXPECT_EQ(ReadFile(m_path), "earlier run\n2026-03-07 09:05:02 one\n2026-03-07 09:05:02 two\n");
}

TEST_F(LogFileTest, UnopenableFileDropsEntriesAndEachCallRetries) {
    const fs::path folder = m_dir / "later";
    SetLogFilePath((folder / "QuilUpdate.log").string());
    LogMessage("dropped\n");  // the folder does not exist yet
    EXPECT_FALSE(fs::exists(folder));

    fs::create_directory(folder);
    LogMessage("kept\n");
    CloseLogFile();
    EXPECT_EQ(ReadFile(folder / "QuilUpdate.log"), "2026-03-07 09:05:02 kept\n");
}

TEST_F(LogFileTest, AFileThatTakesNoEntriesIsReportedOnceAndStillTried) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no device that refuses writes as /dev/full does";
#endif
    static int reports = 0;
    static int reason = 0;
    SetLogWriteFailureHandler([](const char* path, int error) {
        ++reports;
        reason = error;
        EXPECT_STREQ(path, "/dev/full");
    });
    SetLogFilePath("/dev/full");
    for (int i = 0; i < 3; ++i) LogMessage("lost %d\n", i);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(reason, ENOSPC);
    SetLogWriteFailureHandler(nullptr);
}

TEST_F(LogFileTest, OverlongMessageIsCutToTheBuffer) {
    const std::string longText(3000, 'x');
    LogMessage("%s", longText.c_str());
    LogMessage("next\n");
    CloseLogFile();
    const std::string content = ReadFile(m_path);
    const std::string stamp = "2026-03-07 09:05:02 ";
    ASSERT_EQ(content.size(), stamp.size() + 1023 + stamp.size() + 5);
    EXPECT_EQ(content.substr(stamp.size(), 1023), std::string(1023, 'x'));
    EXPECT_EQ(content.substr(stamp.size() + 1023), stamp + "next\n");
}

// Floods are counted, not written: an entry, or a block of entries, that has
// come twice in a row is held back while it repeats exactly, and one entry
// reports how much was left out. Entries that differ only in their numbers
// still count as the block, but are written; no distinct text is lost.
TEST_F(LogFileTest, RepeatsAreCountedAndReportedInOneEntry) {
    const std::string waited = "CNimbraMIDI::WaitForDone Timeout! Elapsed 501 Timeout 500\n";
    const std::string waitedLonger = "CNimbraMIDI::WaitForDone Timeout! Elapsed 502 Timeout 500\n";
    const std::string opened = "CNimbraMIDI::Open: Input WaitForDone Timeout!\n";
    const struct {
        const char* name;
        std::vector<std::string> entries;
        std::vector<std::string> written;
    } cases[] = {
        {"one entry, then the log closes",
         {"A\n", "A\n", "A\n", "A\n", "A\n"},
         {"A\n", "A\n", "A (repeated 3 more times)\n"}},
        {"one entry, then another", {"A", "A", "A", "B\n"}, {"A", "A", "A (repeated 1 more time)\n", "B\n"}},
        {"a list that differs in its numbers",
         {"Port 1\n", "Port 2\n", "Port 3\n", "Port 4\n"},
         {"Port 1\n", "Port 2\n", "Port 3\n", "Port 4\n"}},
        {"a cycle with a pair repeated inside it",
         {"S\n", waited, opened, waited, opened, "E\n", "S\n", waited, opened, waited, opened, "E\n", "S\n", waited,
          opened, waited, opened, "E\n"},
         {"S\n", waited, opened, waited, opened, "E\n", "S\n", waited, opened, waited, opened, "E\n",
          "(the block of 6 entries above repeated: 6 more entries left out)\n"}},
        {"a cycle whose numbers vary",
         {waited, opened, "V\n", waited, opened, "V\n", waitedLonger, opened, "V\n", waited, opened, "V\n", "End\n"},
         {waited, opened, "V\n", waited, opened, "V\n", waitedLonger,
          "(the block of 3 entries above repeated: 2 more entries left out)\n", waited,
          "(the block of 3 entries above repeated: 2 more entries left out)\n", "End\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(m_path);
        for (const std::string& entry : c.entries) LogMessage("%s", entry.c_str());
        CloseLogFile();
        std::string expected;
        for (const std::string& entry : c.written) expected += "2026-03-07 09:05:02 " + entry;
        EXPECT_EQ(ReadFile(m_path), expected);
    }
}

// A status call failing on every pass leaves two entries and a count.
TEST_F(LogFileTest, AFloodStaysSmall) {
    for (int i = 0; i < 300000; ++i) LogMessage("Device not responding\t\t= 0x%08lX", 0xE0001005UL);
    CloseLogFile();
    EXPECT_EQ(ReadFile(m_path),
              "2026-03-07 09:05:02 Device not responding\t\t= 0xE0001005"
              "2026-03-07 09:05:02 Device not responding\t\t= 0xE0001005"
              "2026-03-07 09:05:02 Device not responding\t\t= 0xE0001005 (repeated 299998 more times)\n");
}

}  // namespace
