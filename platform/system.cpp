#include "platform/system.h"

#include <array>

namespace platform {

void ParseKernelRelease(const std::string& release, OsVersionInfo& info) {
    std::array<unsigned long, 3> parts{};
    size_t index = 0;
    size_t pos = 0;
    while (index < parts.size() && pos < release.size()) {
        if (release[pos] < '0' || release[pos] > '9') break;
        unsigned long value = 0;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9') {
            if (value < 100000000ul) value = value * 10 + static_cast<unsigned long>(release[pos] - '0');
            ++pos;
        }
        parts[index++] = value;
        if (pos >= release.size() || release[pos] != '.') break;
        ++pos;
    }
    info.majorVersion = parts[0];
    info.minorVersion = parts[1];
    info.buildNumber = parts[2];
}

void ScriptedSystemInfo::SetAcLineStatus(uint8_t status) { m_power = PowerStatus{true, 0, status}; }

void ScriptedSystemInfo::SetPowerQueryFails(uint32_t errorCode) {
    m_power = PowerStatus{false, errorCode, kAcLineUnknown};
}

OsVersionInfo ScriptedSystemInfo::QueryOsVersion() {
    ++m_osQueries;
    OsVersionInfo info;
    if (m_os == Os::QueryFails) return info;
    info.queryOk = true;
    info.supported = m_os == Os::Supported;
    if (info.supported) {
        info.majorVersion = 6;
        info.minorVersion = 1;
        info.buildNumber = 7601;
        info.description = "Scripted 6.1.7601";
    } else {
        info.majorVersion = 4;
        info.minorVersion = 10;
        info.buildNumber = 2222;
        info.description = "Scripted 4.10.2222";
    }
    return info;
}

PowerStatus ScriptedSystemInfo::QueryPowerStatus() {
    ++m_powerQueries;
    return m_power;
}

namespace {
SystemInfo* g_system = nullptr;
}  // namespace

SystemInfo& CurrentSystem() { return g_system != nullptr ? *g_system : NativeSystem(); }

ScopedSystem::ScopedSystem(SystemInfo& system) : m_previous(g_system) { g_system = &system; }
ScopedSystem::~ScopedSystem() { g_system = m_previous; }

}  // namespace platform
