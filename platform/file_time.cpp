#include "platform/file_time.h"

#include <sys/stat.h>

#include <ctime>

namespace platform {

std::optional<LocalTime> FileLastWriteTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    std::tm local{};
    if (::localtime_r(&info.st_mtime, &local) == nullptr) return std::nullopt;
    return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

}  // namespace platform
