#include "app/szdd.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/file_io.h"
#include "platform/files.h"

namespace szdd {

namespace {

constexpr size_t kRingMask = kRingSize - 1;
// A flag byte and eight two-byte references: the most one group can take.
constexpr size_t kGroupBytes = 17;
// ... and the most output it can make: eight references of the longest length.
constexpr size_t kMaxGroupOutput = 8 * kMaxMatch;
constexpr size_t kInputBufferSize = 32 * 1024;
// One group of 17 input bytes makes at most 8 x 18 = 144 output bytes.
constexpr uint64_t kMaxExpansionPerByte = 9;

// The input side: a window on the caller's memory, or a fixed buffer refilled
// from a Source.
class Input {
public:
    explicit Input(Source& source) : m_source(&source) {}
    explicit Input(std::span<const uint8_t> data) : m_pos(data.data()), m_end(data.data() + data.size()), m_eof(true) {}

    // Makes at least `n` bytes available unless the data ends first; false on
    // a read error.
    bool Fill(size_t n) {
        if (Avail() >= n || m_eof) return true;
        const size_t left = Avail();
        if (left != 0) std::memmove(m_buffer.data(), m_pos, left);
        m_pos = m_buffer.data();
        m_end = m_pos + left;
        uint8_t* const limit = m_buffer.data() + m_buffer.size();
        while (!m_eof && m_end < limit) {
            size_t got = 0;
            uint8_t* const free = m_buffer.data() + (m_end - m_buffer.data());
            if (!m_source->Read(std::span<uint8_t>(free, limit - m_end), got)) return false;
            if (got == 0) {
                m_eof = true;
            } else {
                m_end += std::min<size_t>(got, limit - m_end);
            }
        }
        return true;
    }

    size_t Avail() const { return static_cast<size_t>(m_end - m_pos); }
    bool AtEnd() const { return m_eof && m_pos == m_end; }

    const uint8_t* m_pos = nullptr;
    const uint8_t* m_end = nullptr;

private:
    Source* m_source = nullptr;
    bool m_eof = false;
    std::array<uint8_t, kInputBufferSize> m_buffer{};
};

bool CopyRest(Input& in, Sink& out, ExpandResult& result) {
    for (;;) {
        if (!in.Fill(kInputBufferSize)) {
            result.status = Status::ReadFailed;
            return false;
        }
        if (in.Avail() == 0) return true;
        if (!out.Write(std::span<const uint8_t>(in.m_pos, in.Avail()))) {
            result.status = Status::WriteFailed;
            return false;
        }
        result.written += in.Avail();
        in.m_pos = in.m_end;
    }
}

// Decodes the stream after the header: exactly `length` bytes into `out`.
Status DecodeStream(Input& in, Sink& out, uint32_t length, uint64_t& written) {
    std::array<uint8_t, kRingSize> ringStore;
    ringStore.fill(kRingFill);
    uint8_t* const ring = ringStore.data();
    size_t w = kRingStart;
    size_t flushed = kRingStart;
    bool sinkOk = true;
    // Hands the bytes written since the last flush to the sink; called when
    // the write position wraps and at the end, so no byte is overwritten in
    // the ring before the sink has it.
    auto flush = [&]() {
        if (w > flushed && sinkOk) {
            sinkOk = out.Write(std::span<const uint8_t>(ring + flushed, w - flushed));
            if (sinkOk) written += w - flushed;
        }
        if (w == kRingSize) w = 0;
        flushed = w;
    };

    uint32_t remaining = length;
    while (remaining != 0) {
        if (!in.Fill(kGroupBytes)) return Status::ReadFailed;
        const uint8_t* ip = in.m_pos;
        const uint8_t* const end = in.m_end;
        if (ip == end) return Status::Truncated;
        if (static_cast<size_t>(end - ip) >= kGroupBytes && remaining >= kMaxGroupOutput &&
            w + kMaxGroupOutput <= kRingSize) {
            // The common case: the whole group is in the buffer, cannot reach
            // the header's length and cannot wrap the write position, so no
            // item needs a check of its own. Runs of literals go as one copy.
            unsigned flags = *ip++;
            unsigned items = 8;
            const size_t before = w;
            for (;;) {
                const unsigned literals = static_cast<unsigned>(std::countr_one(flags));
                std::memcpy(ring + w, ip, literals);
                w += literals;
                ip += literals;
                items -= literals;
                if (items == 0) break;
                flags >>= literals + 1;
                --items;
                size_t p = ip[0] | (static_cast<size_t>(ip[1] & 0xF0u) << 4);
                const size_t n = (ip[1] & 0x0Fu) + kMinMatch;
                ip += 2;
                if (p + n <= kRingSize) {
                    uint8_t* dst = ring + w;
                    const uint8_t* src = ring + p;
                    for (size_t k = 0; k < n; ++k) dst[k] = src[k];
                } else {
                    for (size_t k = 0; k < n; ++k) {
                        ring[w + k] = ring[p];
                        p = (p + 1) & kRingMask;
                    }
                }
                w += n;
                if (items == 0) break;
            }
            remaining -= static_cast<uint32_t>(w - before);
            in.m_pos = ip;
            if (w == kRingSize) flush();
            if (!sinkOk) return Status::WriteFailed;
            continue;
        }
        unsigned flags = *ip++;
        for (int item = 0; item < 8 && remaining != 0; ++item, flags >>= 1) {
            if (flags & 1u) {
                if (ip == end) return Status::Truncated;
                ring[w++] = *ip++;
                --remaining;
                if (w == kRingSize) flush();
                continue;
            }
            const size_t avail = static_cast<size_t>(end - ip);
            if (avail < 2) return avail == 1 ? Status::HalfReference : Status::Truncated;
            size_t p = ip[0] | (static_cast<size_t>(ip[1] & 0xF0u) << 4);
            const size_t n = (ip[1] & 0x0Fu) + kMinMatch;
            ip += 2;
            if (n > remaining) return Status::Overrun;
            remaining -= static_cast<uint32_t>(n);
            if (w + n <= kRingSize && p + n <= kRingSize) {
                // Neither side wraps; a byte-wise forward copy repeats the
                // bytes it has just written when the source overlaps.
                uint8_t* dst = ring + w;
                const uint8_t* src = ring + p;
                for (size_t k = 0; k < n; ++k) dst[k] = src[k];
                w += n;
                if (w == kRingSize) flush();
            } else {
                for (size_t k = 0; k < n; ++k) {
                    ring[w++] = ring[p];
                    p = (p + 1) & kRingMask;
                    if (w == kRingSize) flush();
                }
            }
        }
        in.m_pos = ip;
        if (!sinkOk) return Status::WriteFailed;
    }
    flush();
    if (!sinkOk) return Status::WriteFailed;
    if (in.Avail() != 0) return Status::ExcessData;
    if (!in.Fill(1)) return Status::ReadFailed;
    if (in.Avail() != 0) return Status::ExcessData;
    return Status::Ok;
}

ExpandResult ExpandInput(Input& in, Sink& out, bool copyPlain) {
    ExpandResult result;
    if (!in.Fill(kHeaderSize)) {
        result.status = Status::ReadFailed;
        return result;
    }
    Header header;
    result.status = ReadHeader(std::span<const uint8_t>(in.m_pos, in.Avail()), header);
    if (result.status == Status::NotContainer && copyPlain) {
        result.status = Status::Ok;
        result.copied = true;
        CopyRest(in, out, result);
        return result;
    }
    if (result.status != Status::Ok) return result;
    in.m_pos += kHeaderSize;
    result.expected = header.length;
    result.status = DecodeStream(in, out, header.length, result.written);
    return result;
}

}  // namespace

const char* StatusText(Status status) {
    switch (status) {
    case Status::Ok: return "ok";
    case Status::NotContainer: return "not an SZDD container";
    case Status::BadMagic: return "bad SZDD magic";
    case Status::ShortHeader: return "the container ends inside its header";
    case Status::BadMode: return "unknown compression mode";
    case Status::Truncated: return "the stream ends before the expanded length is reached";
    case Status::HalfReference: return "the stream ends inside a back-reference";
    case Status::Overrun: return "a back-reference runs past the expanded length";
    case Status::ExcessData: return "data follows the end of the expanded length";
    case Status::ReadFailed: return "read error";
    case Status::WriteFailed: return "write error";
    }
    return "unknown error";
}

bool LooksLikeContainer(std::span<const uint8_t> data) {
    return data.size() >= 4 && std::equal(kMagic.begin(), kMagic.begin() + 4, data.begin());
}

Status ReadHeader(std::span<const uint8_t> data, Header& header) {
    if (!LooksLikeContainer(data)) return Status::NotContainer;
    const size_t magicBytes = std::min(data.size(), kMagic.size());
    if (!std::equal(kMagic.begin(), kMagic.begin() + magicBytes, data.begin())) return Status::BadMagic;
    if (data.size() < kHeaderSize) return Status::ShortHeader;
    header.mode = data[8];
    header.missingChar = data[9];
    header.length = static_cast<uint32_t>(data[10]) | static_cast<uint32_t>(data[11]) << 8 |
                    static_cast<uint32_t>(data[12]) << 16 | static_cast<uint32_t>(data[13]) << 24;
    if (header.mode != kModeLzss) return Status::BadMode;
    return Status::Ok;
}

std::array<uint8_t, kHeaderSize> WriteHeader(const Header& header) {
    std::array<uint8_t, kHeaderSize> bytes{};
    std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
    bytes[8] = header.mode;
    bytes[9] = header.missingChar;
    for (int i = 0; i < 4; ++i) bytes[10 + i] = static_cast<uint8_t>(header.length >> (8 * i));
    return bytes;
}

bool SpanSource::Read(std::span<uint8_t> dst, size_t& got) {
    got = std::min(dst.size(), m_data.size());
    std::copy_n(m_data.begin(), got, dst.begin());
    m_data = m_data.subspan(got);
    return true;
}

bool VectorSink::Write(std::span<const uint8_t> data) {
    m_out.insert(m_out.end(), data.begin(), data.end());
    return true;
}

ExpandResult Expand(Source& in, Sink& out) {
    auto input = std::make_unique<Input>(in);
    return ExpandInput(*input, out, false);
}

ExpandResult ExpandOrCopy(Source& in, Sink& out) {
    auto input = std::make_unique<Input>(in);
    return ExpandInput(*input, out, true);
}

ExpandResult ExpandBuffer(std::span<const uint8_t> container, std::vector<uint8_t>& out) {
    out.clear();
    Header header;
    if (ReadHeader(container, header) == Status::Ok) {
        const uint64_t bound = (container.size() - kHeaderSize) * kMaxExpansionPerByte;
        out.reserve(static_cast<size_t>(std::min<uint64_t>(header.length, bound)));
    }
    Input input(container);
    VectorSink sink(out);
    ExpandResult result = ExpandInput(input, sink, false);
    if (result.status != Status::Ok) out.clear();
    return result;
}

bool Compress(std::span<const uint8_t> data, Sink& sink, const CompressOptions& options) {
    // Positions are kept as 32-bit signed numbers: 2 GB is plenty for an image.
    constexpr size_t kMaxInput = INT32_MAX - kRingSize;
    if (data.size() > kMaxInput || options.maxMatch < kMinMatch || options.maxMatch > kMaxMatch) return false;

    // The history the expander sees: the ring's initial spaces, then the data.
    // History index h is ring position (h - 16) mod 4096. Nothing of it is
    // copied: matches reach back one ring at most.
    const size_t start = kRingSize;
    const size_t end = start + data.size();
    auto at = [&](size_t h) -> uint8_t { return h < start ? kRingFill : data[h - start]; };

    // Hash chains over the last positions only: a link is followed just
    // while it lies within one ring of the position searched from, and the
    // positions inserted ahead of it stay far short of the window's size.
    constexpr unsigned kHashBits = 16;
    constexpr size_t kWindow = 2 * kRingSize;
    constexpr size_t kWindowMask = kWindow - 1;
    std::vector<int32_t> head(size_t{1} << kHashBits, -1);
    std::vector<int32_t> prev(kWindow, -1);
    auto hashAt = [&](size_t h) {
        const uint32_t v = at(h) | static_cast<uint32_t>(at(h + 1)) << 8 | static_cast<uint32_t>(at(h + 2)) << 16;
        return (v * 2654435761u) >> (32 - kHashBits);
    };
    auto insert = [&](size_t h) {
        if (h + kMinMatch > end) return;
        const uint32_t key = hashAt(h);
        prev[h & kWindowMask] = head[key];
        head[key] = static_cast<int32_t>(h);
    };
    struct Match {
        size_t length = 0;
        size_t from = 0;
    };
    auto find = [&](size_t h) {
        Match best;
        const size_t limit = std::min(options.maxMatch, end - h);
        if (limit < kMinMatch) return best;
        size_t depth = options.searchDepth;
        for (int32_t c = head[hashAt(h)]; c >= 0 && depth != 0;
             c = prev[static_cast<size_t>(c) & kWindowMask], --depth) {
            const size_t cand = static_cast<size_t>(c);
            if (h - cand > kRingSize) break;
            if (at(cand + best.length) != at(h + best.length)) continue;
            size_t k = 0;
            while (k < limit && at(cand + k) == at(h + k)) ++k;
            if (k > best.length) {
                best = {k, cand};
                if (k == limit) break;
            }
        }
        if (best.length < kMinMatch) best.length = 0;
        return best;
    };

    // Only the last stretch of the initial spaces can be referenced usefully:
    // any earlier start gives nothing but spaces, which these give as well.
    for (size_t h = start - kMaxMatch; h < start; ++h) insert(h);

    Header header;
    header.missingChar = options.missingChar;
    header.length = static_cast<uint32_t>(data.size());
    const auto headerBytes = WriteHeader(header);
    if (!sink.Write(headerBytes)) return false;

    // Items gather here a flag byte's group at a time, and go to the sink in
    // large pieces between groups.
    constexpr size_t kFlushAt = 1 << 16;
    std::vector<uint8_t> out;
    out.reserve(kFlushAt + 64);
    size_t flagIndex = 0;
    int items = 8;
    bool sinkFailed = false;
    auto openItem = [&]() {
        if (items == 8) {
            if (out.size() >= kFlushAt) {
                sinkFailed = sinkFailed || !sink.Write(out);
                out.clear();
            }
            flagIndex = out.size();
            out.push_back(0);
            items = 0;
        }
    };
    auto literal = [&](uint8_t byte) {
        openItem();
        out[flagIndex] = static_cast<uint8_t>(out[flagIndex] | (1u << items));
        out.push_back(byte);
        ++items;
    };
    auto reference = [&](const Match& m) {
        openItem();
        const size_t p = (m.from - 16) & kRingMask;
        out.push_back(static_cast<uint8_t>(p & 0xFF));
        out.push_back(static_cast<uint8_t>(((p >> 4) & 0xF0) | (m.length - kMinMatch)));
        ++items;
    };

    // Greedy parse with one step of look-ahead: a match is put off by one
    // literal when the next position offers a longer one.
    size_t h = start;
    Match current = find(h);
    while (h < end && !sinkFailed) {
        if (current.length == 0) {
            literal(at(h));
            insert(h);
            ++h;
            if (h < end) current = find(h);
            continue;
        }
        insert(h);
        const Match next = h + 1 < end ? find(h + 1) : Match{};
        if (next.length > current.length) {
            literal(at(h));
            ++h;
            current = next;
            continue;
        }
        reference(current);
        for (size_t k = 1; k < current.length; ++k) insert(h + k);
        h += current.length;
        current = h < end ? find(h) : Match{};
    }
    return !sinkFailed && (out.empty() || sink.Write(out));
}

bool Compress(std::span<const uint8_t> data, std::vector<uint8_t>& out, const CompressOptions& options) {
    out.clear();
    out.reserve(kHeaderSize + data.size() + data.size() / 8 + 16);
    VectorSink sink(out);
    if (Compress(data, sink, options)) return true;
    out.clear();
    return false;
}

bool BufferedFdSink::Write(std::span<const uint8_t> data) {
    if (m_buffer.size() + data.size() > kBufferSize && !Finish()) return false;
    if (data.size() >= kBufferSize) return platform::WriteAll(m_fd, data);
    m_buffer.insert(m_buffer.end(), data.begin(), data.end());
    return true;
}

bool BufferedFdSink::Finish() {
    const bool ok = platform::WriteAll(m_fd, m_buffer);
    m_buffer.clear();
    return ok;
}

bool FdSource::Read(std::span<uint8_t> dst, size_t& got) {
    const long n = platform::ReadFile(m_fd, dst.data(), dst.size());
    if (n < 0) return false;
    got = static_cast<size_t>(n);
    return true;
}

}  // namespace szdd
