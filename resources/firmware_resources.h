// The program's raw-data resources: the compressed firmware containers built
// into it, each named by its image's file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace resources {

struct RawResource {
    std::string_view name;
    std::span<const uint8_t> bytes;
};

// How many names the main window keeps, and how long each may be.
inline constexpr size_t kMaxResourceNames = 16;
inline constexpr size_t kMaxResourceNameLength = 31;

// Every raw-data resource, in alphabetical order of name.
std::span<const RawResource> RawResources();

// The resource of that name, compared without regard to case; null when the
// program has none.
const RawResource* FindRawResource(std::string_view name);

// The names in alphabetical order, at most kMaxResourceNames of them.
std::vector<std::string> RawResourceNames();

}  // namespace resources
