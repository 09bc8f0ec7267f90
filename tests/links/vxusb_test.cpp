#include "tests/links/vxusb_fixture.h"

#include <array>
#include <vector>

namespace vxusbtest {
namespace {

class Bar final : public DfuProgressBar {
public:
    void SetRange(uint32_t low, uint32_t high) override { ranges.emplace_back(low, high); }
    void SetPos(uint32_t pos) override { positions.push_back(pos); }
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    std::vector<uint32_t> positions;
};

std::vector<uint8_t> Image(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    return image;
}

TEST_F(VxUsbTest, LibraryOnlyUnderTheThirdPath) {
    auto fake = Install(2);
    fake->Reset(1);
    fake->SetDeviceSerial(0, "3220030044");
    CVXUSB card;
    ASSERT_TRUE(card.Open(0));
    EXPECT_EQ(card.DeviceIndex(), 0u);
    const std::string so = platform::LibrarySuffix();
    ExpectLogInOrder(
        {"VX-USB: Unable to locate [" + m_programFiles + "/Velk/Quil USB Audio Driver/QuilUSBapi" + so + "]!\n",
         "VX-USB: Unable to locate [" + m_programFiles + "/Velk/VX-USB Audio Driver/vxusbaudapi" + so + "]!\n",
         "VX-USB: Opened [" + m_programFiles + "/Harken/Tonelink 4x4 Driver//harkenaudapi" + so + "]",
         "APIVERSION 00040002", "Driver 4.59.0", "Found VX-USB [Velk] [VX-USB] [3220030044]"});
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(VxUsbTest, WithoutTheVariableThePathsStartAtOpt) {
    if (std::string(platform::LibrarySuffix()) != ".so") GTEST_SKIP() << "Windows reads the folder from the registry";
    for (const std::optional<std::string>& value : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
        ScopedProgramFiles env(value);
        EXPECT_EQ(VxUsbLibraryPaths(platform::ProgramFilesFolder())[0],
                  "/opt/Velk/Quil USB Audio Driver/QuilUSBapi.so");
    }
}

// The driver-information record is six 32-bit words; words 3, 4 and 5 are the
// driver version. The record here is written word by word, as the driver
// fills it, so a layout that puts the version anywhere else shows in the log.
TEST_F(VxUsbTest, DriverVersionComesFromWordsThreeToFive) {
    auto fake = Install(0);
    const struct {
        std::array<uint32_t, 6> words;
        uint32_t status;
        const char* logged;
    } cases[] = {{{1, 2, 5, 12, 7, 0xEE}, 0, "Driver 5.12.7"},
                 {{0xEE, 0xEE, 0, 1, 2, 3}, 0, "Driver 0.1.2"},
                 {{1, 2, 5, 12, 7, 0xEE}, 0xE0001002, nullptr}};
    for (const auto& c : cases) {
        fake->Reset(1);
        fake->SetDriverInfo(c.words);
        if (c.status != 0) fake->SetFault(kFakeTusbNoDriverInfo, c.status);
        SetLogFilePath(m_dir + "/log.txt");
        std::filesystem::remove(m_dir + "/log.txt");
        CVXUSB card;
        ASSERT_TRUE(card.Open(0));
        if (c.logged != nullptr) {
            ExpectLogInOrder({"APIVERSION 00040002", c.logged, "Found VX-USB"});
        } else {
            EXPECT_EQ(Count("Driver "), 0u);
        }
    }
}

TEST_F(VxUsbTest, NoLibraryAnywhereFailsWithoutABox) {
    CVXUSB card;
    EXPECT_FALSE(card.Open(0));
    EXPECT_EQ(Count("VX-USB: Unable to locate ["), 3u);
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(VxUsbTest, MissingCustomIniShowsOneBoxAndOpenGoesOn) {
    auto fake = Install(0);
    fake->Reset(1);
    fake->SetFault(kFakeTusbCustomIniMissing);
    CVXUSB card;
    EXPECT_TRUE(card.Open(0));
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "Unable to locate \"custom.ini\" file!");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "VX-USB");
    ExpectLogInOrder({"CVXUSB::Open Failure! Unable to locate CUSTOM.INI file!", "Found VX-USB"});
}

TEST_F(VxUsbTest, IndexOneWithOneDevice) {
    auto fake = Install(0);
    fake->Reset(1);
    CVXUSB card;
    EXPECT_FALSE(card.Open(1));
    EXPECT_EQ(card.DeviceIndex(), kNoUsbDevice);
    EXPECT_EQ(Count("CVXUSB::Open Failure! No Devices Found!"), 1u);
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(VxUsbTest, DeviceThatCannotBeOpened) {
    auto fake = Install(0);
    fake->Reset(1);
    fake->SetFault(kFakeTusbOpenFails, 0xE0001002);
    CVXUSB card;
    EXPECT_FALSE(card.Open(0));
    EXPECT_EQ(Count("Found VX-USB"), 0u);
}

TEST_F(VxUsbTest, MissingEntryPointNamesItInTheBox) {
    Install(0, QUIL_FAKE_TUSBAUDIO_INCOMPLETE);
    CVXUSB card;
    EXPECT_FALSE(card.Open(0));
    ASSERT_EQ(m_ui.Boxes().size(), 1u);
    EXPECT_EQ(m_ui.Boxes()[0].text, "GetProcAddress failed");
    EXPECT_EQ(m_ui.Boxes()[0].caption, "TUSBAUDIO_StatusCodeStringW");
}

// How a download ends, by what the library reports.
struct DownloadCase {
    const char* name;
    size_t size;
    std::optional<std::pair<FakeTusbFault, uint32_t>> faults[2];
    bool result;
    std::vector<std::string> lines;  // in this order
    size_t statusLines;              // lines with "\t\t= 0x"
    bool stored;                     // the card took the image
};

TEST_F(VxUsbTest, DownloadOutcomes) {
    const DownloadCase cases[] = {
        {"clean", 10000, {}, true, {"ProgramEEPROM VX-USB 10000", "ProgramEEPROM VX-USB Success!"}, 0, true},
        {"three failing status passes",
         10000,
         {std::pair{kFakeTusbStatusFailures, 3u}, std::nullopt},
         true,
         {"TSTATUS_USB_TRANSFER_FAILED\t\t= 0xE0001020", "TSTATUS_USB_TRANSFER_FAILED\t\t= 0xE0001020",
          "TSTATUS_USB_TRANSFER_FAILED\t\t= 0xE0001020", "ProgramEEPROM VX-USB Success!"},
         3,
         true},
        {"state 6, EndDfuProc 0",
         10000,
         {std::pair{kFakeTusbEndInState6, 0xE0001003u}, std::pair{kFakeTusbEndStatus, 0u}},
         true,
         {"TSTATUS_INVALID_DEVICE\t\t= 0xE0001003", "ProgramEEPROM VX-USB Success!"},
         1,
         false},
        {"state 6, EndDfuProc fails",
         10000,
         {std::pair{kFakeTusbEndInState6, 0xE0001003u}, std::nullopt},
         false,
         {"TSTATUS_INVALID_DEVICE\t\t= 0xE0001003", "TSTATUS_INVALID_DEVICE\t\t= 0xE0001003"},
         2,
         false},
        {"size 0", 0, {}, false, {"ProgramEEPROM VX-USB 0", "TSTATUS_NO_FIRMWARE_IMAGE\t\t= 0xE0001011"}, 2, false},
    };
    for (const DownloadCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        auto fake = Install(0);
        fake->Reset(1);
        for (const auto& fault : c.faults)
            if (fault) fake->SetFault(fault->first, fault->second);
        CVXUSB card;
        ASSERT_TRUE(card.Open(0));
        const std::vector<uint8_t> image = Image(c.size);
        Bar bar;
        EXPECT_EQ(card.DownloadFirmware(static_cast<uint32_t>(image.size()), image.data(), bar), c.result);
        ASSERT_EQ(bar.ranges.size(), 1u);
        EXPECT_EQ(bar.ranges[0], (std::pair<uint32_t, uint32_t>{0, static_cast<uint32_t>(c.size)}));
        ASSERT_FALSE(bar.positions.empty());
        EXPECT_EQ(bar.positions.back(), c.size);
        const std::string log = Log();
        size_t at = 0;
        for (const std::string& line : c.lines) {
            at = log.find(line, at);
            ASSERT_NE(at, std::string::npos) << line;
            at += line.size();
        }
        EXPECT_EQ(Count("\t\t= 0x"), c.statusLines);
        if (c.stored) {
            EXPECT_EQ(fake->Image(0), image);
        } else {
            EXPECT_EQ(fake->Downloads(0), 0u);
        }
    }
}

// A download that stops moving is given up after the bound, with a pause
// after each pass that shows no change instead of spinning; a status call
// that fails on every pass leaves its line twice and a count, not one line
// per pass.
TEST_F(VxUsbTest, StalledDownloadEndsAfterTheBoundWithoutSpinning) {
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "every status call fails" : "the progress stops");
        TearDown();
        SetUp();
        auto fake = Install(0);
        fake->Reset(1);
        fake->SetFault(kFakeTusbStall, 8192);
        if (failing) fake->SetFault(kFakeTusbStatusFailures, 1000000);
        CVXUSB card;
        ASSERT_TRUE(card.Open(0));
        const std::vector<uint8_t> image = Image(20000);
        Bar bar;
        const uint32_t start = m_clock.Peek();
        EXPECT_FALSE(card.DownloadFirmware(static_cast<uint32_t>(image.size()), image.data(), bar));
        EXPECT_GT(m_clock.Peek() - start, kDfuStallLimitMs);
        EXPECT_LT(m_clock.Peek() - start, kDfuStallLimitMs + 100);
        EXPECT_LE(bar.positions.size(), kDfuStallLimitMs / kDfuIdlePassMs + 5);
        const uint32_t stalledAt = failing ? 0 : 8192;
        EXPECT_EQ(bar.positions.back(), stalledAt);
        EXPECT_EQ(
            Count("no progress for 10000 ms at " + std::to_string(stalledAt) + " of 20000 bytes, download stalled!"),
            1u);
        EXPECT_EQ(Count("TSTATUS_USB_TRANSFER_FAILED\t\t= 0xE0001020"), failing ? 3u : 0u);
        EXPECT_EQ(Count(" more times)"), failing ? 1u : 0u);
        EXPECT_EQ(Count("ProgramEEPROM VX-USB Success!"), 0u);
        EXPECT_EQ(fake->Downloads(0), 0u);
    }
}

TEST_F(VxUsbTest, SampleRateGoesToTheOpenedDevice) {
    auto fake = Install(0);
    fake->Reset(2);
    CVXUSB card;
    ASSERT_TRUE(card.Open(1));
    EXPECT_EQ(card.SetSampleRate(96000), kTUsbAudioOk);
    EXPECT_EQ(fake->SampleRate(1), 96000u);
    EXPECT_EQ(fake->SampleRate(0), 44100u);
    uint32_t rate = 0;
    EXPECT_EQ(card.GetCurrentSampleRate(&rate), kTUsbAudioOk);
    EXPECT_EQ(rate, 96000u);
    card.Close();
    EXPECT_NE(card.SetSampleRate(48000), kTUsbAudioOk);
}

}  // namespace
}  // namespace vxusbtest
