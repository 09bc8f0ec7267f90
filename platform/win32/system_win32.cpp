// The operating system's version (GetVersionExW) and power status
// (GetSystemPowerStatus) on Windows.
#include <windows.h>

#include "platform/system.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

class WindowsSystemInfo final : public SystemInfo {
public:
    OsVersionInfo QueryOsVersion() override {
        OsVersionInfo info;
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof version;
        if (!GetVersionExW(&version)) return info;
        info.queryOk = true;
        info.supported = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
        info.majorVersion = version.dwMajorVersion;
        info.minorVersion = version.dwMinorVersion;
        info.buildNumber = version.dwBuildNumber;
        // The service-pack text ("Service Pack 1"), empty without one.
        info.description = win32::Narrow(version.szCSDVersion);
        return info;
    }

    PowerStatus QueryPowerStatus() override {
        PowerStatus status;
        SYSTEM_POWER_STATUS power{};
        if (!GetSystemPowerStatus(&power)) {
            status.errorCode = GetLastError();
            return status;
        }
        status.queryOk = true;
        status.acLineStatus = power.ACLineStatus;
        return status;
    }
};

}  // namespace

SystemInfo& NativeSystem() {
    static WindowsSystemInfo system;
    return system;
}

}  // namespace platform
