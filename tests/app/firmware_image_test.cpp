// Firmware images: the embedded images' expansion into a private temporary
// folder, with every failure box (names, dates and the embedded set are in
// firmware_name_test.cpp).
#include "app/firmware_image.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/szdd.h"
#include "platform/log.h"
#include "platform/temp_dir.h"
#include "platform/ui.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RecordingUi final : public platform::UserInterface {
public:
    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override {
        boxes.push_back(box);
        return platform::BoxAnswer::Ok;
    }
    bool HandleOnePendingMessage() override { return false; }
    std::vector<platform::MessageBoxRequest> boxes;
};

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        files.push_back(entry.path().lexically_relative(dir).string());
    }
    return files;
}

class ExpandResource : public testing::Test {
protected:
    void SetUp() override {
        int error = 0;
        m_parent = platform::TempDir::Create("expand-test-", error);
        ASSERT_TRUE(m_parent);
        SetLogFilePath(m_parent->File("QuilUpdate.log"));
        m_log = m_parent->File("QuilUpdate.log");
        m_work = m_parent->File("tmp");
        ASSERT_EQ(::mkdir(m_work.c_str(), 0700), 0);
    }
    void TearDown() override { SetLogFilePath("QuilUpdate.log"); }

    std::string Log() const {
        CloseLogFile();
        const Bytes bytes = ReadFile(m_log);
        return std::string(bytes.begin(), bytes.end());
    }

    RecordingUi m_ui;
    platform::ScopedUi m_scoped{m_ui};
    std::unique_ptr<platform::TempDir> m_parent;
    std::string m_log;
    std::string m_work;
};

TEST_F(ExpandResource, ExpandsIntoAPrivateFolderThatGoesAway) {
    std::span<const uint8_t> bytes;
    ASSERT_TRUE(LoadFirmwareResource("VXDNT0102NC.BIN", bytes));
    Bytes expected;
    ASSERT_EQ(szdd::ExpandBuffer(bytes, expected).status, szdd::Status::Ok);

    auto expanded = ExpandFirmwareResource(bytes, "VXDNT0102NC.BIN", m_work);
    ASSERT_TRUE(expanded);
    EXPECT_TRUE(m_ui.boxes.empty());
    // One private folder, holding the expanded image only: the compressed
    // copy is gone.
    const auto files = FilesUnder(m_work);
    ASSERT_EQ(files.size(), 2u) << files.size();
    const std::filesystem::path path(expanded->Path());
    EXPECT_EQ(path.filename(), "VXDNT0102NC.BIN");
    EXPECT_EQ(path.parent_path().parent_path(), std::filesystem::path(m_work));
    struct stat st {};
    ASSERT_EQ(::stat(path.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadFile(expanded->Path()), expected);

    // Two expansions never share a folder.
    auto second = ExpandFirmwareResource(bytes, "VXDNT0102NC.BIN", m_work);
    ASSERT_TRUE(second);
    EXPECT_NE(second->Path(), expanded->Path());

    expanded.reset();
    second.reset();
    EXPECT_TRUE(FilesUnder(m_work).empty());
}

// The expanded image is 5 MB in a shared temporary folder: a signal that
// ends the program takes it and its folder along.
TEST_F(ExpandResource, AnInterruptRemovesTheExpandedImage) {
    std::span<const uint8_t> bytes;
    ASSERT_TRUE(LoadFirmwareResource("QUIL0803C.BIN", bytes));
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t child = ::fork();
        if (child == 0) {
            const auto expanded = ExpandFirmwareResource(bytes, "QUIL0803C.BIN", m_work);
            if (!expanded || !std::filesystem::exists(expanded->Path())) ::_exit(3);
            ::raise(signal);
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_TRUE(FilesUnder(m_work).empty()) << signal;
    }
}

TEST_F(ExpandResource, PlainResourceIsCopiedUnchanged) {
    const Bytes plain = {0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66, 1, 2, 3};
    auto expanded = ExpandFirmwareResource(plain, "QUIL0900A.BIN", m_work);
    ASSERT_TRUE(expanded);
    EXPECT_EQ(ReadFile(expanded->Path()), plain);
}

TEST_F(ExpandResource, CorruptContainerFailsWithBoxLogAndNoFilesLeft) {
    std::span<const uint8_t> bytes;
    ASSERT_TRUE(LoadFirmwareResource("VXUSB10V00.BIN", bytes));
    Bytes cut(bytes.begin(), bytes.end() - 1);
    Bytes badMode(bytes.begin(), bytes.end());
    badMode[8] = 'B';
    struct Case {
        Bytes container;
        const char* caption;
    };
    const Case cases[] = {{cut, "File Copy Failure! [-3]"}, {badMode, "File Copy Failure! [-8]"}};
    for (const Case& c : cases) {
        m_ui.boxes.clear();
        EXPECT_FALSE(ExpandFirmwareResource(c.container, "VXUSB10V00.BIN", m_work));
        ASSERT_EQ(m_ui.boxes.size(), 1u);
        const std::string& text = m_ui.boxes[0].text;
        EXPECT_EQ(text.rfind("Unable to expand file '" + m_work + "/quil-update-", 0), 0u) << text;
        EXPECT_TRUE(text.ends_with("/VXUSB10V00.BI_'!")) << text;
        EXPECT_EQ(m_ui.boxes[0].caption, c.caption);
        EXPECT_EQ(m_ui.boxes[0].icon, platform::BoxIcon::Warning);
        EXPECT_TRUE(FilesUnder(m_work).empty()) << "temporary files left behind";
    }
    const std::string log = Log();
    EXPECT_NE(log.find("ExpandFirmwareResource: Unable to expand file"), std::string::npos) << log;
    EXPECT_NE(log.find(szdd::StatusText(szdd::Status::BadMode)), std::string::npos) << log;
}

TEST_F(ExpandResource, UncreatableFilesFailWithTheSystemCode) {
    std::span<const uint8_t> bytes;
    ASSERT_TRUE(LoadFirmwareResource("VXUSB10V00.BIN", bytes));
    EXPECT_FALSE(ExpandFirmwareResource(bytes, "VXUSB10V00.BIN", m_work + "/missing"));
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].text, "Unable to create compressed file '" + m_work + "/missing/VXUSB10V00.BI_'!");
    EXPECT_EQ(m_ui.boxes[0].caption, "Create File Failure! [00000002]");
    EXPECT_EQ(m_ui.boxes[0].icon, platform::BoxIcon::Warning);

    // A name that would leave the private folder is refused.
    EXPECT_FALSE(ExpandFirmwareResource(bytes, "../VXUSB10V00.BIN", m_work));
    ASSERT_EQ(m_ui.boxes.size(), 2u);
    EXPECT_EQ(m_ui.boxes[1].caption, "Create File Failure! [00000016]");
    EXPECT_TRUE(FilesUnder(m_work).empty());
}

TEST_F(ExpandResource, DestinationThatCannotBeMadeFailsAtItsOwnStep) {
    // A name that already ends in '_' is its own compressed name: the
    // destination would be the source, which is open for the expansion.
    std::span<const uint8_t> bytes;
    ASSERT_TRUE(LoadFirmwareResource("VXUSB10V00.BIN", bytes));
    EXPECT_FALSE(ExpandFirmwareResource(bytes, "VXUSB10V00.BI_", m_work));
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    const std::string& text = m_ui.boxes[0].text;
    EXPECT_EQ(text.rfind("Unable to open destination file '" + m_work + "/quil-update-", 0), 0u) << text;
    EXPECT_TRUE(text.ends_with("/VXUSB10V00.BI_'!")) << text;
    EXPECT_EQ(m_ui.boxes[0].caption, "File Open Failure! [-2]");
    EXPECT_EQ(m_ui.boxes[0].icon, platform::BoxIcon::Warning);
    EXPECT_TRUE(FilesUnder(m_work).empty()) << "temporary files left behind";
}

// Caps the size of files this process may write, so that writes fail with
// EFBIG instead of ending the process; the old limit returns with the object.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit capped = m_old;
        capped.rlim_cur = bytes;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &capped) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool Ok() const { return m_ok; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};

TEST_F(ExpandResource, WriteFailuresNameTheirStepAndLeaveNoFiles) {
    std::span<const uint8_t> mainImage;
    std::span<const uint8_t> danteImage;
    ASSERT_TRUE(LoadFirmwareResource("QUIL0803C.BIN", mainImage));
    ASSERT_TRUE(LoadFirmwareResource("VXDNT0102NC.BIN", danteImage));
    // The Dante container fits under the cap, its expanded image does not;
    // the main unit's container does not fit at all.
    const rlim_t cap = 200 * 1024;
    ASSERT_LT(danteImage.size(), cap);
    ASSERT_GT(mainImage.size(), cap);
    {
        FileSizeLimit limit(cap);
        ASSERT_TRUE(limit.Ok());
        EXPECT_FALSE(ExpandFirmwareResource(mainImage, "QUIL0803C.BIN", m_work));
        EXPECT_FALSE(ExpandFirmwareResource(danteImage, "VXDNT0102NC.BIN", m_work));
    }
    ASSERT_EQ(m_ui.boxes.size(), 2u);
    EXPECT_EQ(m_ui.boxes[0].text.rfind("Unable to write compressed file '" + m_work + "/quil-update-", 0), 0u)
        << m_ui.boxes[0].text;
    EXPECT_TRUE(m_ui.boxes[0].text.ends_with("/QUIL0803C.BI_'!")) << m_ui.boxes[0].text;
    EXPECT_EQ(m_ui.boxes[0].caption, "Write File Failure! [0000001b]");  // EFBIG
    EXPECT_EQ(m_ui.boxes[1].text.rfind("Unable to expand file '" + m_work + "/quil-update-", 0), 0u)
        << m_ui.boxes[1].text;
    EXPECT_EQ(m_ui.boxes[1].caption, "File Copy Failure! [-4]");
    for (const auto& box : m_ui.boxes) EXPECT_EQ(box.icon, platform::BoxIcon::Warning);
    EXPECT_TRUE(FilesUnder(m_work).empty()) << "temporary files left behind";
}

}  // namespace
