#include "platform/system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

TEST_F(PowerSupplyFolder, MainsOnlineBesideBatteryIsOnMains) {
    AddSupply("BAT0", "Battery");
    AddSupply("AC", "Mains", "1");
    const platform::PowerStatus status = Query();
    EXPECT_TRUE(status.queryOk);
    EXPECT_EQ(status.acLineStatus, platform::kAcLineOnline);
}

TEST_F(PowerSupplyFolder, UsbSupplyOnlineIsOnMains) {
    AddSupply("BAT0", "Battery");
    AddSupply("AC", "Mains", "0");
    AddSupply("ucsi-source-psy-USBC000:001", "USB", "1");
    EXPECT_EQ(Query().acLineStatus, platform::kAcLineOnline);
}

TEST_F(PowerSupplyFolder, BatteryOnlyOrNoSupplyOnlineIsOnBattery) {
    AddSupply("BAT0", "Battery");
    EXPECT_EQ(Query().acLineStatus, platform::kAcLineOffline);

    AddSupply("AC", "Mains", "0");
    AddSupply("usb", "USB", "0");
    const platform::PowerStatus status = Query();
    EXPECT_TRUE(status.queryOk);
    EXPECT_EQ(status.acLineStatus, platform::kAcLineOffline);
}

TEST_F(PowerSupplyFolder, PeripheralBatteriesDoNotPowerTheComputer) {
    // A desktop whose only listed supply is a wireless mouse.
    AddSupply("hidpp_battery_0", "Battery", nullptr, "Device");
    EXPECT_EQ(Query().acLineStatus, platform::kAcLineUnknown);
}

TEST_F(PowerSupplyFolder, NothingReadableCannotTell) {
    EXPECT_EQ(Query().acLineStatus, platform::kAcLineUnknown);  // empty folder

    // A supply whose type cannot be read, a mains supply without an online
    // attribute and a kind that is neither mains nor battery.
    fs::create_directories(m_folder / "broken" / "type");
    AddSupply("AC", "Mains");
    AddSupply("charger", "Wireless", "1");
    const platform::PowerStatus status = Query();
    EXPECT_TRUE(status.queryOk);
    EXPECT_EQ(status.acLineStatus, platform::kAcLineUnknown);

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
