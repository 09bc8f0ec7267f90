// SZDD both ways: whatever the data, compressing it with every match limit
// and expanding the container gives the data back. The input is tiled to a
// length it names, so that containers cross the expander's 32 KiB input
// refill and the 4 KiB ring many times over.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/szdd.h"

namespace {

// Reads in the odd sizes a pipe would deliver.
class ChoppySource final : public szdd::Source {
public:
    ChoppySource(std::span<const uint8_t> data, size_t step) : m_data(data), m_step(step) {}
    bool Read(std::span<uint8_t> dst, size_t& got) override {
        got = std::min({dst.size(), m_step, m_data.size()});
        std::copy_n(m_data.begin(), got, dst.begin());
        m_data = m_data.subspan(got);
        return true;
    }

private:
    std::span<const uint8_t> m_data;
    size_t m_step;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Up to 255 x 160 bytes: about 40 KiB of data. Bit 0 of the second byte
    // adds noise, so that the container too outgrows the 32 KiB refill.
    const size_t length = static_cast<size_t>(data[0]) * 160 + (size - 3);
    const bool noisy = (data[1] & 1) != 0;
    const size_t step = 1 + (data[1] >> 1) * 131u;
    const uint8_t damage = data[2];
    const std::span<const uint8_t> seed(data + 3, size - 3);
    std::vector<uint8_t> original(length);
    uint32_t noise = 0x9E3779B9u ^ static_cast<uint32_t>(length);
    for (size_t i = 0; i < length; ++i) {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        const uint8_t base = seed.empty() ? static_cast<uint8_t>(i) : seed[i % seed.size()];
        original[i] = static_cast<uint8_t>(base + (noisy ? noise : i / 4099));
    }

    szdd::CompressOptions options;
    options.searchDepth = 4;
    const size_t chosen = szdd::kMinMatch + damage % (szdd::kMaxMatch - szdd::kMinMatch + 1);
    for (size_t maxMatch = szdd::kMinMatch; maxMatch <= szdd::kMaxMatch; ++maxMatch) {
        // Every limit on the first 4 KiB; the chosen one on the whole data.
        const std::span<const uint8_t> data(original.data(),
                                            maxMatch == chosen ? length : std::min<size_t>(length, 4096));
        options.maxMatch = maxMatch;
        options.missingChar = static_cast<uint8_t>(maxMatch);
        std::vector<uint8_t> container;
        if (!szdd::Compress(data, container, options)) std::abort();
        std::vector<uint8_t> expanded;
        const szdd::ExpandResult r = szdd::ExpandBuffer(container, expanded);
        if (r.status != szdd::Status::Ok || !std::equal(expanded.begin(), expanded.end(), data.begin(), data.end()))
            std::abort();
        if (maxMatch != chosen) continue;

        // The streaming expander, fed in small reads, agrees; and a damaged
        // copy expands to its header's length or fails.
        ChoppySource source(container, step);
        std::vector<uint8_t> streamed;
        szdd::VectorSink sink(streamed);
        if (szdd::Expand(source, sink).status != szdd::Status::Ok || streamed != original) std::abort();
        std::vector<uint8_t> damaged = container;
        const size_t at = (static_cast<size_t>(damage) * 2654435761u) % damaged.size();
        damaged[at] = static_cast<uint8_t>(damaged[at] ^ (1u << (damage & 7)));
        if ((damage & 0x80) != 0) damaged.resize(at);
        const szdd::ExpandResult d = szdd::ExpandBuffer(damaged, expanded);
        if (d.status == szdd::Status::Ok && expanded.size() != d.expected) std::abort();
    }
    return 0;
}
