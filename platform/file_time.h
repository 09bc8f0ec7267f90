// A file's last-write time in local time (stat and localtime_r).
#pragma once

#include <optional>
#include <string>

#include "platform/clock.h"

namespace platform {

std::optional<LocalTime> FileLastWriteTime(const std::string& path);

}  // namespace platform
