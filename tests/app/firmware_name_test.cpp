// Firmware images: names and the device and version they give, release
// dates, and the embedded images with their boxes when one is missing.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/szdd.h"
#include "platform/ui.h"
#include "ui/headless_ui.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
    ui::HeadlessUi ui;
    platform::ScopedUi scoped(ui);
    for (const char* name : {"", "QUI", "VXDX0102", "BOOT0803C", "NIMBRA", "QUIL-5", "QUIL99999", "VXUSB-1V00",
                             "VXUSB10V-5", "VXUSB656V00"}) {
        uint8_t device = 7;
        uint16_t version = 7;
        EXPECT_FALSE(ParseFirmwareName(name, device, version)) << name;
        EXPECT_EQ(device, kDeviceNone);
        EXPECT_EQ(version, kVersionNone);
    }
    ASSERT_EQ(ui.Boxes().size(), 10u);
    EXPECT_EQ(ui.Boxes()[0].text, "Unable to determine DeviceID from File Name");
    EXPECT_EQ(ui.Boxes()[0].caption, "Quil Firmware Update");
    EXPECT_EQ(ui.Boxes()[0].icon, platform::BoxIcon::None);

    uint8_t device = 0;
    uint16_t version = 0;
    EXPECT_TRUE(ParseFirmwareName("quil0900a", device, version));
    EXPECT_EQ(ui.Boxes().size(), 10u);
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
    ui::HeadlessUi ui;
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
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST(EmbeddedImages, MissingResourceShowsItsName) {
    ui::HeadlessUi ui;
    platform::ScopedUi scoped(ui);
    std::span<const uint8_t> bytes;
    EXPECT_FALSE(LoadFirmwareResource("QUIL0900A.BIN", bytes));
    EXPECT_TRUE(bytes.empty());
    ASSERT_EQ(ui.Boxes().size(), 1u);
    EXPECT_EQ(ui.Boxes()[0].text, "Cannot Find Resource");
    EXPECT_EQ(ui.Boxes()[0].caption, "QUIL0900A.BIN");
    EXPECT_EQ(ui.Boxes()[0].icon, platform::BoxIcon::Warning);
}

}  // namespace
