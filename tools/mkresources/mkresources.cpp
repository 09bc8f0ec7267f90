// mkresources: makes the compressed firmware containers the program embeds.
//
//   mkresources standin NAME SIZE OUT     a deterministic stand-in image of SIZE
//                                         bytes for NAME, compressed into OUT
//   mkresources container IN OUT          IN compressed into OUT (an IN that is
//                                         already a container is checked and
//                                         copied unchanged)
//   mkresources raw NAME SIZE OUT         the stand-in image itself, uncompressed
//
// The containers use back-references of at most 16 bytes so that every common
// SZDD expander reads them. Exit code 0 on success, 1 on failure.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/szdd.h"
#include "platform/files.h"

namespace {

constexpr size_t kContainerMaxMatch = 16;

struct Rng {
    uint64_t state;
    uint64_t Next() {
        // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ull;
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) % n); }
};

// How a stand-in is put together: runs of one fill byte, repeats of earlier
// stretches (often one "frame" back, as configuration data repeats), and
// stretches of noise. Percentages of segments; lengths in bytes.
struct Profile {
    bool fpgaHeader;
    unsigned fillPercent;
    unsigned repeatPercent;
    unsigned fillMax;
    unsigned repeatMax;
    unsigned noiseMax;
    unsigned frame;  // typical repeat distance
};

Profile ProfileFor(std::string_view name) {
    auto starts = [&](const char* prefix) {
        for (size_t i = 0; prefix[i] != '\0'; ++i) {
            if (i >= name.size() || (name[i] & ~0x20) != prefix[i]) return false;
        }
        return true;
    };
    if (starts("QUIL")) return {true, 18, 35, 48, 40, 24, 404};
    if (starts("VXDN")) return {true, 30, 35, 160, 60, 16, 404};
    return {false, 10, 42, 24, 24, 28, 256};
}

uint64_t Seed(std::string_view name) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (char c : name) {
        h ^= static_cast<unsigned char>(c & ~0x20);
        h *= 1099511628211ull;
    }
    return h | 1;
}

std::vector<uint8_t> MakeStandIn(std::string_view name, size_t size) {
    const Profile profile = ProfileFor(name);
    Rng rng{Seed(name)};
    std::vector<uint8_t> image;
    image.reserve(size);
    if (profile.fpgaHeader) {
        image.assign(16, 0xFF);
        for (int b : {0xAA, 0x99, 0x55, 0x66}) image.push_back(static_cast<uint8_t>(b));
    }
    // Noise drawn from a skewed alphabet, as real images use some bytes far
    // more than others.
    std::vector<uint8_t> alphabet(64);
    for (auto& b : alphabet) b = static_cast<uint8_t>(rng.Next() >> 56);
    while (image.size() < size) {
        const unsigned kind = rng.Below(100);
        if (kind < profile.fillPercent) {
            const uint8_t fill = rng.Below(4) == 0 ? 0xFF : 0x00;
            const unsigned n = 1 + rng.Below(profile.fillMax);
            image.insert(image.end(), n, fill);
        } else if (kind < profile.fillPercent + profile.repeatPercent && image.size() > 32) {
            const size_t reach = std::min<size_t>(image.size(), 4000);
            size_t distance = rng.Below(2) == 0 ? profile.frame : 1 + rng.Below(static_cast<uint32_t>(reach));
            if (distance > image.size()) distance = image.size();
            const unsigned n = 3 + rng.Below(profile.repeatMax);
            for (unsigned k = 0; k < n; ++k) image.push_back(image[image.size() - distance]);
        } else {
            const unsigned n = 1 + rng.Below(profile.noiseMax);
            for (unsigned k = 0; k < n; ++k) {
                image.push_back(rng.Below(3) == 0 ? static_cast<uint8_t>(rng.Next() >> 56)
                                                  : alphabet[rng.Below(static_cast<uint32_t>(alphabet.size()))]);
            }
        }
    }
    image.resize(size);
    return image;
}

bool ReadFile(const char* path, std::vector<uint8_t>& data) {
    // An image never comes near this; it only bounds a mistaken argument.
    constexpr size_t kMaxInput = size_t{256} << 20;
    std::string error;
    if (platform::ReadWholeFile(path, kMaxInput, data, error) == platform::ReadStatus::Ok) return true;
    std::fprintf(stderr, "mkresources: %s\n", error.c_str());
    return false;
}

bool WriteFile(const char* path, const std::vector<uint8_t>& data) {
    std::string error;
    const std::unique_ptr<platform::OutputFile> out = platform::OutputFile::Open(path, error);
    if (out && out->Write(data) && out->Commit()) return true;
    std::fprintf(stderr, "mkresources: %s\n", out ? out->Error().c_str() : error.c_str());
    return false;
}

bool ParseSize(const char* text, size_t& size) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v > UINT32_MAX) return false;
    size = static_cast<size_t>(v);
    return true;
}

int Compress(const std::vector<uint8_t>& image, const char* out) {
    std::vector<uint8_t> container;
    szdd::CompressOptions options;
    options.maxMatch = kContainerMaxMatch;
    if (!szdd::Compress(image, container, options)) {
        std::fprintf(stderr, "mkresources: cannot compress %zu bytes\n", image.size());
        return 1;
    }
    // Never embed a container our own expander does not give back exactly.
    std::vector<uint8_t> check;
    if (szdd::ExpandBuffer(container, check).status != szdd::Status::Ok || check != image) {
        std::fprintf(stderr, "mkresources: internal error: the container does not expand back\n");
        return 1;
    }
    return WriteFile(out, container) ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: mkresources standin NAME SIZE OUT | container IN OUT | raw NAME SIZE OUT\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string_view command = argv[1];
    if ((command == "standin" || command == "raw") && argc == 5) {
        size_t size = 0;
        if (!ParseSize(argv[3], size)) return Usage();
        const std::vector<uint8_t> image = MakeStandIn(argv[2], size);
        if (command == "raw") return WriteFile(argv[4], image) ? 0 : 1;
        return Compress(image, argv[4]);
    }
    if (command == "container" && argc == 4) {
        std::vector<uint8_t> data;
        if (!ReadFile(argv[2], data)) return 1;
        if (szdd::LooksLikeContainer(data)) {
            std::vector<uint8_t> check;
            const szdd::ExpandResult r = szdd::ExpandBuffer(data, check);
            if (r.status != szdd::Status::Ok) {
                std::fprintf(stderr, "mkresources: %s: %s\n", argv[2], szdd::StatusText(r.status));
                return 1;
            }
            return WriteFile(argv[3], data) ? 0 : 1;
        }
        return Compress(data, argv[3]);
    }
    return Usage();
}
