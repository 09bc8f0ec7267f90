#include "platform/system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A power-supply class folder built in a fresh temporary directory.
class PowerSupplyFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quil_power_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        m_folder = m_root / "power_supply";
        fs::create_directory(m_folder);
    }
    void TearDown() override { fs::remove_all(m_root); }

    void AddSupply(const std::string& name, const std::string& type, const char* online = nullptr,
                   const char* scope = nullptr) {
        const fs::path supply = m_folder / name;
        fs::create_directory(supply);
        std::ofstream(supply / "type") << type << '\n';
        if (online != nullptr) std::ofstream(supply / "online") << online << '\n';
        if (scope != nullptr) std::ofstream(supply / "scope") << scope << '\n';
    }

    platform::PowerStatus Query(const fs::path& folder) {
        platform::LinuxSystemInfo system(folder.string());
        return system.QueryPowerStatus();
    }
    platform::PowerStatus Query() { return Query(m_folder); }

    fs::path m_root;
    fs::path m_folder;
};

struct Supply {
    const char* name;
    const char* type;
    const char* online;
    const char* scope;
};

TEST_F(PowerSupplyFolder, OnBatteryOnlyWithASystemBatteryAndNoLineOnline) {
    struct Case {
        const char* machine;
        std::vector<Supply> supplies;
        uint8_t expected;
    };
    const Supply battery{"BAT0", "Battery", nullptr, nullptr};
    const Supply mouse{"hidpp_battery_0", "Battery", nullptr, "Device"};
    const Supply usbcOff{"ucsi-source-psy-USBC000:001", "USB", "0", nullptr};
    const Supply usbcOn{"ucsi-source-psy-USBC000:001", "USB", "1", nullptr};
    const Case cases[] = {
        {"desktop with a USB-C port", {usbcOff}, platform::kAcLineOnline},
        {"desktop with an offline Mains entry", {{"AC", "Mains", "0", nullptr}}, platform::kAcLineOnline},
        {"desktop with a wireless mouse", {mouse}, platform::kAcLineOnline},
        {"laptop on mains", {battery, {"AC", "Mains", "1", nullptr}, usbcOff}, platform::kAcLineOnline},
        {"laptop on a USB-C charger", {battery, {"AC", "Mains", "0", nullptr}, usbcOn}, platform::kAcLineOnline},
        {"laptop on battery", {battery, {"AC", "Mains", "0", nullptr}, usbcOff}, platform::kAcLineOffline},
        {"laptop on battery, Mains unreadable", {battery, {"AC", "Mains", nullptr, nullptr}}, platform::kAcLineOffline},
        {"laptop on battery with a wireless mouse", {battery, mouse}, platform::kAcLineOffline},
        {"laptop on mains with a wireless mouse",
         {battery, mouse, {"ADP1", "Mains", "1", nullptr}},
         platform::kAcLineOnline},
        {"empty folder", {}, platform::kAcLineOnline},
    };
    for (const Case& c : cases) {
        fs::remove_all(m_folder);
        fs::create_directory(m_folder);
        for (const Supply& supply : c.supplies) AddSupply(supply.name, supply.type, supply.online, supply.scope);
        const platform::PowerStatus status = Query();
        EXPECT_TRUE(status.queryOk) << c.machine;
        EXPECT_EQ(status.acLineStatus, c.expected) << c.machine;
    }
}

TEST_F(PowerSupplyFolder, NoFolderCannotTell) {
    const platform::PowerStatus missing = Query(m_root / "absent");
    EXPECT_TRUE(missing.queryOk);
    EXPECT_EQ(missing.acLineStatus, platform::kAcLineUnknown);
}

TEST_F(PowerSupplyFolder, UnopenableFolderFailsTheQueryWithItsError) {
    const fs::path notAFolder = m_root / "file";
    std::ofstream(notAFolder) << "x";
    const platform::PowerStatus status = Query(notAFolder);
    EXPECT_FALSE(status.queryOk);
    EXPECT_EQ(status.errorCode, static_cast<uint32_t>(ENOTDIR));
}

TEST(OsVersion, KernelReleaseSplitsIntoMajorMinorBuild) {
    platform::OsVersionInfo info;
    platform::ParseKernelRelease("6.1.0-18-amd64", info);
    EXPECT_EQ(info.majorVersion, 6u);
    EXPECT_EQ(info.minorVersion, 1u);
    EXPECT_EQ(info.buildNumber, 0u);

    platform::ParseKernelRelease("5.15.133+", info);
    EXPECT_EQ(info.majorVersion, 5u);
    EXPECT_EQ(info.minorVersion, 15u);
    EXPECT_EQ(info.buildNumber, 133u);

    platform::ParseKernelRelease("4.19", info);
    EXPECT_EQ(info.majorVersion, 4u);
    EXPECT_EQ(info.minorVersion, 19u);
    EXPECT_EQ(info.buildNumber, 0u);

    platform::ParseKernelRelease("custom", info);
    EXPECT_EQ(info.majorVersion, 0u);
    EXPECT_EQ(info.minorVersion, 0u);
}

TEST(OsVersion, LinuxIsSupportedAndDescribed) {
    platform::LinuxSystemInfo system;
    const platform::OsVersionInfo info = system.QueryOsVersion();
    ASSERT_TRUE(info.queryOk);
    EXPECT_TRUE(info.supported);
    EXPECT_EQ(info.description.rfind("Linux ", 0), 0u) << info.description;
    EXPECT_GT(info.majorVersion, 0u);
}

TEST(ScriptedSystem, AnswersAsScriptedAndIsInstalledForItsScope) {
    platform::ScriptedSystemInfo scripted;
    {
        platform::ScopedSystem installed(scripted);
        EXPECT_EQ(&platform::CurrentSystem(), &scripted);

        scripted.SetOs(platform::ScriptedSystemInfo::Os::Unsupported);
        platform::OsVersionInfo os = platform::CurrentSystem().QueryOsVersion();
        EXPECT_TRUE(os.queryOk);
        EXPECT_FALSE(os.supported);
        scripted.SetOs(platform::ScriptedSystemInfo::Os::QueryFails);
        EXPECT_FALSE(platform::CurrentSystem().QueryOsVersion().queryOk);

        scripted.SetPowerQueryFails(0x57);
        platform::PowerStatus power = platform::CurrentSystem().QueryPowerStatus();
        EXPECT_FALSE(power.queryOk);
        EXPECT_EQ(power.errorCode, 0x57u);
        scripted.SetAcLineStatus(platform::kAcLineOffline);
        power = platform::CurrentSystem().QueryPowerStatus();
        EXPECT_TRUE(power.queryOk);
        EXPECT_EQ(power.acLineStatus, 0);
        EXPECT_EQ(scripted.OsQueries(), 2);
        EXPECT_EQ(scripted.PowerQueries(), 2);
    }
    EXPECT_NE(&platform::CurrentSystem(), &scripted);
}

}  // namespace
