#include "resources/firmware_resources.h"

#include <algorithm>
#include <cctype>

namespace resources {

namespace detail {
// Defined by the generated image table.
std::span<const RawResource> EmbeddedImages();
}  // namespace detail

std::span<const RawResource> RawResources() { return detail::EmbeddedImages(); }

const RawResource* FindRawResource(std::string_view name) {
    auto sameName = [&](const RawResource& r) {
        return r.name.size() == name.size() &&
               std::equal(r.name.begin(), r.name.end(), name.begin(), [](char a, char b) {
                   return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
               });
    };
    const auto all = RawResources();
    const auto it = std::find_if(all.begin(), all.end(), sameName);
    return it == all.end() ? nullptr : &*it;
}

std::vector<std::string> RawResourceNames() {
    std::vector<std::string> names;
    for (const RawResource& r : RawResources()) {
        if (names.size() == kMaxResourceNames) break;
        names.emplace_back(r.name.substr(0, kMaxResourceNameLength));
    }
    return names;
}

}  // namespace resources
