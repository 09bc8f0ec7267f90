// Operating-system seam: the version query and the power status that the
// start-up checks and the main window consult.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct OsVersionInfo {
    // False when the system could not be asked at all.
    bool queryOk = false;
    // True on a platform the updater supports (the NT family on Windows;
    // Linux counts as supported).
    bool supported = false;
    unsigned long majorVersion = 0;
    unsigned long minorVersion = 0;
    unsigned long buildNumber = 0;
    // Free text naming the system, e.g. "Linux 6.1.0-18-amd64".
    std::string description;
};

// AC-line status values.
inline constexpr uint8_t kAcLineOffline = 0;  // running on battery
inline constexpr uint8_t kAcLineOnline = 1;   // on mains power
inline constexpr uint8_t kAcLineUnknown = 255;

struct PowerStatus {
    // False when the query itself failed; `errorCode` then says why.
    bool queryOk = false;
    uint32_t errorCode = 0;
    uint8_t acLineStatus = kAcLineUnknown;
};

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    virtual OsVersionInfo QueryOsVersion() = 0;
    virtual PowerStatus QueryPowerStatus() = 0;
};

// uname for the version; the power-supply class folder for the AC line:
// a battery that powers the computer with no line supply ("Mains" or
// "USB...") online gives 0; anything else gives 1, since a machine without a
// battery runs on mains whatever its offline ports report; no folder gives
// 255. Supplies whose scope is "Device" (the battery of a wireless mouse or
// keyboard) do not power the computer and are left out. A folder that exists but cannot be opened fails the
// query with its errno.
class LinuxSystemInfo final : public SystemInfo {
public:
    explicit LinuxSystemInfo(std::string powerSupplyFolder = "/sys/class/power_supply");

    OsVersionInfo QueryOsVersion() override;
    PowerStatus QueryPowerStatus() override;

private:
    std::string m_powerSupplyFolder;
};

// Splits a kernel release such as "6.1.0-18-amd64" into major, minor and
// build (patch) numbers; missing parts stay 0.
void ParseKernelRelease(const std::string& release, OsVersionInfo& info);

// A system whose answers a test sets.
class ScriptedSystemInfo final : public SystemInfo {
public:
    enum class Os { Supported, Unsupported, QueryFails };

    void SetOs(Os os) { m_os = os; }
    void SetAcLineStatus(uint8_t status);
    void SetPowerQueryFails(uint32_t errorCode);

    OsVersionInfo QueryOsVersion() override;
    PowerStatus QueryPowerStatus() override;

    int OsQueries() const { return m_osQueries; }
    int PowerQueries() const { return m_powerQueries; }

private:
    Os m_os = Os::Supported;
    PowerStatus m_power{true, 0, kAcLineOnline};
    int m_osQueries = 0;
    int m_powerQueries = 0;
};

// This system's own answers (LinuxSystemInfo, or the Windows one).
SystemInfo& NativeSystem();

// The process-wide system every check asks; the native system unless a test
// installs another one.
SystemInfo& CurrentSystem();

class ScopedSystem {
public:
    explicit ScopedSystem(SystemInfo& system);
    ~ScopedSystem();
    ScopedSystem(const ScopedSystem&) = delete;
    ScopedSystem& operator=(const ScopedSystem&) = delete;

private:
    SystemInfo* m_previous;
};

}  // namespace platform
