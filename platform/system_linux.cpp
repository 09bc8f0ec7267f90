#include "platform/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <optional>

namespace platform {

namespace {

// The first line of a small attribute file, without its line end; nothing
// when the file cannot be read.
std::optional<std::string> ReadAttribute(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::array<char, 64> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    if (n < 0) return std::nullopt;
    std::string value(buffer.data(), static_cast<size_t>(n));
    const size_t end = value.find_first_of("\r\n");
    if (end != std::string::npos) value.resize(end);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

bool IsLineSupply(const std::string& type) { return type == "Mains" || type.rfind("USB", 0) == 0; }

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

LinuxSystemInfo::LinuxSystemInfo(std::string powerSupplyFolder) : m_powerSupplyFolder(std::move(powerSupplyFolder)) {}

OsVersionInfo LinuxSystemInfo::QueryOsVersion() {
    OsVersionInfo info;
    utsname names{};
    if (::uname(&names) != 0) return info;
    info.queryOk = true;
    info.supported = true;
    ParseKernelRelease(names.release, info);
    info.description = std::string(names.sysname) + " " + names.release;
    return info;
}

PowerStatus LinuxSystemInfo::QueryPowerStatus() {
    PowerStatus status;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(m_powerSupplyFolder.c_str()));
    if (!dir) {
        if (errno == ENOENT) {
            // No power-supply class at all: the system cannot tell.
            status.queryOk = true;
            status.acLineStatus = kAcLineUnknown;
        } else {
            status.errorCode = static_cast<uint32_t>(errno);
        }
        return status;
    }

    // Only a battery that powers the machine can put it on battery: a
    // desktop lists offline USB-C ports and "Mains" entries, but without a
    // battery of its own it runs on mains all the same.
    bool systemBattery = false;
    bool lineOnline = false;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string supply = m_powerSupplyFolder + "/" + name;
        const std::optional<std::string> type = ReadAttribute(supply + "/type");
        if (!type) continue;
        const std::optional<std::string> scope = ReadAttribute(supply + "/scope");
        if (scope && *scope == "Device") continue;
        if (IsLineSupply(*type)) {
            if (ReadAttribute(supply + "/online") == "1") lineOnline = true;
        } else if (*type == "Battery") {
            systemBattery = true;
        }
    }

    status.queryOk = true;
    status.acLineStatus = systemBattery && !lineOnline ? kAcLineOffline : kAcLineOnline;
    return status;
}

SystemInfo& NativeSystem() {
    static LinuxSystemInfo system;
    return system;
}

}  // namespace platform
