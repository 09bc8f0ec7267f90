// Firmware images: names, release dates, the embedded images and their
// expansion into a private temporary folder, with every failure box.
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

TEST(FirmwareName, PrefixesGiveDeviceAndVersion) {
    struct Case {
        const char* name;
        uint8_t device;
        uint16_t version;
    };
    const Case cases[] = {
        {"QUIL0803C.BIN", 0x31, 803},
        {"QUIL0803C", 0x31, 803},
        {"quil0900a", 0x31, 900},
        {"qUiL0900A.bin", 0x31, 900},
        {"VXDNT0102NC.BIN", 21, 102},
        {"vxdnt0205", 21, 205},
        {"VXUSB10V00.BIN", 50, 1000},
        {"VXUSB10V05", 50, 1005},
        {"vxusb09v12", 50, 912},
        {"VXMA0301", 19, 301},
        {"VXHD0110", 24, 110},
        {"VXFW0200", 25, 200},
        {"QUIL 0803", 0x31, 803},
        {"QUIL+0803", 0x31, 803},
        {"QUIL", 0x31, 0},
        {"QUILX", 0x31, 0},
        {"VXUS", 50, 0},
        {"VXUSB1", 50, 100},
    };
    for (const Case& c : cases) {
        const auto parsed = DecodeFirmwareName(c.name);
        ASSERT_TRUE(parsed) << c.name;
        EXPECT_EQ(parsed->deviceId, c.device) << c.name;
        EXPECT_EQ(parsed->version, c.version) << c.name;
    }
}

TEST(FirmwareName, UnknownPrefixOrUnusableVersionShowsTheBoxAndGivesNone) {
    RecordingUi ui;
    platform::ScopedUi scoped(ui);
    for (const char* name : {"", "QUI", "VXDX0102", "BOOT0803C", "NIMBRA", "QUIL-5", "QUIL99999", "VXUSB-1V00",
                             "VXUSB10V-5", "VXUSB656V00"}) {
        uint8_t device = 7;
        uint16_t version = 7;
        EXPECT_FALSE(ParseFirmwareName(name, device, version)) << name;
        EXPECT_EQ(device, kDeviceNone);
        EXPECT_EQ(version, kVersionNone);
    }
    ASSERT_EQ(ui.boxes.size(), 10u);
    EXPECT_EQ(ui.boxes[0].text, "Unable to determine DeviceID from File Name");
    EXPECT_EQ(ui.boxes[0].caption, "Quil Firmware Update");
    EXPECT_EQ(ui.boxes[0].icon, platform::BoxIcon::None);

    uint8_t device = 0;
    uint16_t version = 0;
    EXPECT_TRUE(ParseFirmwareName("quil0900a", device, version));
    EXPECT_EQ(ui.boxes.size(), 10u);
}

TEST(FirmwareName, PathGivesFileNameWithoutFolderOrExtension) {
    EXPECT_EQ(FirmwareNameFromPath("/home/me/fw/QUIL0803C.BIN"), "QUIL0803C");
    EXPECT_EQ(FirmwareNameFromPath("C:\\fw\\VXUSB10V05.BIN"), "VXUSB10V05");
    EXPECT_EQ(FirmwareNameFromPath("my files/quil0900a.v2.bin"), "quil0900a.v2");
    EXPECT_EQ(FirmwareNameFromPath("QUIL0803C"), "QUIL0803C");
    EXPECT_EQ(FirmwareNameFromPath("/a.b/QUIL0803C"), "QUIL0803C");
}

TEST(ReleaseDate, TablesHoldTheirDatesAndLengths) {
    EXPECT_EQ(ReleaseDateTable(0x31).size(), 20u);
    EXPECT_EQ(ReleaseDateTable(50).size(), 20u);
    EXPECT_EQ(ReleaseDateTable(21).size(), 11u);
    EXPECT_TRUE(ReleaseDateTable(19).empty());
    EXPECT_TRUE(ReleaseDateTable(24).empty());

    EXPECT_EQ(ReleaseDateTable(0x31)[8], (CalendarDate{2018, 11, 27}));
    EXPECT_EQ(ReleaseDateTable(0x31)[6], (CalendarDate{2014, 12, 9}));
    EXPECT_EQ(ReleaseDateTable(0x31)[19], (CalendarDate{2017, 1, 1}));
    EXPECT_EQ(ReleaseDateTable(50)[5], (CalendarDate{2011, 7, 10}));
    EXPECT_EQ(ReleaseDateTable(50)[10], (CalendarDate{2012, 9, 24}));
    EXPECT_EQ(ReleaseDateTable(50)[11], (CalendarDate{2015, 1, 1}));
    EXPECT_EQ(ReleaseDateTable(21)[0], (CalendarDate{2017, 2, 7}));
    EXPECT_EQ(ReleaseDateTable(21)[1], (CalendarDate{2017, 2, 14}));

    EXPECT_EQ(FormatReleaseDate({2018, 11, 27}), "Nov 27, 2018");
    EXPECT_EQ(FormatReleaseDate({2012, 1, 1}), "Jan 01, 2012");
}

TEST(ReleaseDate, UnitWordDecodes) {
    // The fixed words of firmware that predates the date registers.
    EXPECT_EQ(DecodeFirmwareDateWord(0xC101), (CalendarDate{2012, 1, 1}));
    EXPECT_EQ(DecodeFirmwareDateWord(0xC20F), (CalendarDate{2012, 2, 15}));
    EXPECT_EQ(DecodeFirmwareDateWord(0xCB0E), (CalendarDate{2012, 11, 14}));
    EXPECT_EQ(DecodeFirmwareDateWord(0xE409), (CalendarDate{2014, 4, 9}));
    EXPECT_EQ(DecodeFirmwareDateWord(0xEC09), (CalendarDate{2014, 12, 9}));
    // Year bits 6..4 sit in bits 7..5: 2000 + 0x72 = 2114... and 2018 = 0x12.
    EXPECT_EQ(DecodeFirmwareDateWord(0x2B3B), (CalendarDate{2018, 11, 27}));
    EXPECT_EQ(DecodeFirmwareDateWord(0x2CFF), (CalendarDate{2114, 12, 31}));

    EXPECT_FALSE(DecodeFirmwareDateWord(0xC001));  // month 0
    EXPECT_FALSE(DecodeFirmwareDateWord(0xCD01));  // month 13
    EXPECT_FALSE(DecodeFirmwareDateWord(0xC100));  // day 0
    EXPECT_FALSE(DecodeFirmwareDateWord(0xC21E));  // Feb 30
    EXPECT_FALSE(DecodeFirmwareDateWord(0xFFFF));  // blank registers
    EXPECT_EQ(DecodeFirmwareDateWord(0x421D), (CalendarDate{2004, 2, 29}));
}

TEST(ReleaseDate, UnitWordFirstForTheQuilThenTheTables) {
    int reads = 0;
    uint16_t unitWord = 0x2B3B;
    bool readOk = true;
    const FirmwareDateReader reader = [&](uint16_t& word) {
        ++reads;
        word = unitWord;
        return readOk;
    };
    EXPECT_EQ(FirmwareReleaseDate(9, 0x31, true, reader), (CalendarDate{2018, 11, 27}));
    EXPECT_EQ(reads, 1);
    // A bad word gives no date; it does not fall back to the table.
    unitWord = 0xFFFF;
    EXPECT_FALSE(FirmwareReleaseDate(8, 0x31, true, reader));
    // A failed read, or no read allowed, uses the table.
    readOk = false;
    EXPECT_EQ(FirmwareReleaseDate(8, 0x31, true, reader), (CalendarDate{2018, 11, 27}));
    EXPECT_EQ(FirmwareReleaseDate(8, 0x31, false, reader), (CalendarDate{2018, 11, 27}));
    EXPECT_EQ(reads, 3);
    // Cards never read the unit.
    readOk = true;
    EXPECT_EQ(FirmwareReleaseDate(1, 21, true, reader), (CalendarDate{2017, 2, 14}));
    EXPECT_EQ(reads, 3);

    EXPECT_EQ(FirmwareReleaseDate(10, 21, false), (CalendarDate{2017, 1, 1}));
    EXPECT_FALSE(FirmwareReleaseDate(11, 21, false));
    EXPECT_EQ(FirmwareReleaseDate(19, 50, false), (CalendarDate{2015, 1, 1}));
    EXPECT_FALSE(FirmwareReleaseDate(20, 50, false));
    EXPECT_FALSE(FirmwareReleaseDate(63, 0x31, false));
    EXPECT_FALSE(FirmwareReleaseDate(255, 0x31, false));
    EXPECT_FALSE(FirmwareReleaseDate(1, 19, false));
    EXPECT_FALSE(FirmwareReleaseDate(1, 24, true, reader));
}

TEST(EmbeddedImages, ThreeImagesInOrderExpandingToTheirSizes) {
    const std::vector<std::string> names = EmbeddedFirmwareNames();
    ASSERT_EQ(names, (std::vector<std::string>{"QUIL0803C.BIN", "VXDNT0102NC.BIN", "VXUSB10V00.BIN"}));
    const size_t sizes[] = {5346254, 340884, 49408};
    const uint8_t devices[] = {0x31, 21, 50};
    const uint16_t versions[] = {803, 102, 1000};
    RecordingUi ui;
    platform::ScopedUi scoped(ui);
    for (size_t i = 0; i < names.size(); ++i) {
        std::span<const uint8_t> bytes;
        ASSERT_TRUE(LoadFirmwareResource(names[i], bytes));
        Bytes image;
        const szdd::ExpandResult r = szdd::ExpandBuffer(bytes, image);
        ASSERT_EQ(r.status, szdd::Status::Ok) << names[i];
        EXPECT_EQ(image.size(), sizes[i]) << names[i];
        // Compressed, and not trivially.
        EXPECT_LT(bytes.size(), image.size() * 3 / 4) << names[i];
        EXPECT_GT(bytes.size(), image.size() / 8) << names[i];
        const auto parsed = DecodeFirmwareName(names[i]);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->deviceId, devices[i]);
        EXPECT_EQ(parsed->version, versions[i]);
        if (devices[i] != 50) {
            const Bytes head(image.begin(), image.begin() + 20);
            const Bytes expected{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
            EXPECT_EQ(head, expected) << names[i] << " is not a bitstream";
        }
    }
    std::span<const uint8_t> bytes;
    EXPECT_TRUE(LoadFirmwareResource("vxusb10v00.bin", bytes));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(EmbeddedImages, MissingResourceShowsItsName) {
    RecordingUi ui;
    platform::ScopedUi scoped(ui);
    std::span<const uint8_t> bytes;
    EXPECT_FALSE(LoadFirmwareResource("QUIL0900A.BIN", bytes));
    EXPECT_TRUE(bytes.empty());
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Cannot Find Resource");
    EXPECT_EQ(ui.boxes[0].caption, "QUIL0900A.BIN");
    EXPECT_EQ(ui.boxes[0].icon, platform::BoxIcon::Warning);
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
