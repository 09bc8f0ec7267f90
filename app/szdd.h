// The SZDD container our firmware images travel in, and its LZSS stream.
//
// Container: 8 magic bytes "SZDD" 88 F0 27 33, the mode byte 'A', the last
// character of the expanded file's name (0 when not recorded), the expanded
// length (32 bits, little-endian), then the stream. The stream works on a
// 4096-byte ring filled with spaces whose write position starts 16 bytes
// before its end: a flag byte describes the next eight items, least
// significant bit first; a 1 bit is a literal byte, a 0 bit a two-byte
// back-reference b0 b1 to ring position b0 | (b1 & 0xF0) << 4 of length
// (b1 & 0x0F) + 3, copied one byte at a time so that it may overlap what it
// writes.
//
// Expansion is strict: it produces exactly the header's length or fails with
// a reason, never a shorter, longer or garbled image. This file depends on
// nothing else of ours, so the build's resource tool can compile it too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace szdd {

inline constexpr std::array<uint8_t, 8> kMagic = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33};
inline constexpr uint8_t kModeLzss = 0x41;  // 'A'
inline constexpr size_t kHeaderSize = 14;
inline constexpr size_t kRingSize = 4096;
inline constexpr size_t kRingStart = kRingSize - 16;
inline constexpr uint8_t kRingFill = 0x20;
inline constexpr size_t kMinMatch = 3;
inline constexpr size_t kMaxMatch = 18;

struct Header {
    uint8_t mode = kModeLzss;
    uint8_t missingChar = 0;
    uint32_t length = 0;
};

enum class Status {
    Ok,
    NotContainer,   // does not begin with "SZDD": not ours to expand
    BadMagic,       // "SZDD" followed by the wrong four bytes
    ShortHeader,    // the data ends inside the 14-byte header
    BadMode,        // a compression mode other than 'A'
    Truncated,      // the stream ends before the header's length is produced
    HalfReference,  // the stream ends between the two bytes of a back-reference
    Overrun,        // a back-reference runs past the header's length
    ExcessData,     // stream bytes remain after the header's length is produced
    ReadFailed,
    WriteFailed,
};

// A short English reason, for logs and tools.
const char* StatusText(Status status);

// True when `data` begins with "SZDD", the first four bytes of the magic: such
// data is either a container or a broken one, never a plain image.
bool LooksLikeContainer(std::span<const uint8_t> data);
// Checks the 14-byte header at the start of `data`.
Status ReadHeader(std::span<const uint8_t> data, Header& header);
std::array<uint8_t, kHeaderSize> WriteHeader(const Header& header);

// Where the expander reads from: Read fills up to dst.size() bytes and sets
// `got` (0 at the end of the data); false on a read error.
class Source {
public:
    virtual ~Source() = default;
    virtual bool Read(std::span<uint8_t> dst, size_t& got) = 0;
};

// Where the expander writes to, in chunks of at most one ring (the compressor
// in larger ones); false on error.
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool Write(std::span<const uint8_t> data) = 0;
};

class SpanSource final : public Source {
public:
    explicit SpanSource(std::span<const uint8_t> data) : m_data(data) {}
    bool Read(std::span<uint8_t> dst, size_t& got) override;

private:
    std::span<const uint8_t> m_data;
};

// Appends to a vector; the expander reserves once from the header's length
// (bounded by what the input can possibly expand to).
class VectorSink final : public Sink {
public:
    explicit VectorSink(std::vector<uint8_t>& out) : m_out(out) {}
    bool Write(std::span<const uint8_t> data) override;
    std::vector<uint8_t>& Out() { return m_out; }

private:
    std::vector<uint8_t>& m_out;
};

// Reads an open file descriptor (not owned), retrying interrupted reads.
class FdSource final : public Source {
public:
    explicit FdSource(int fd) : m_fd(fd) {}
    bool Read(std::span<uint8_t> dst, size_t& got) override;

private:
    int m_fd;
};

// Writes to an open file descriptor (not owned), gathering the expander's
// ring-sized chunks into large writes; Finish writes what is left.
class BufferedFdSink final : public Sink {
public:
    explicit BufferedFdSink(int fd) : m_fd(fd) { m_buffer.reserve(kBufferSize); }
    bool Write(std::span<const uint8_t> data) override;
    bool Finish();

private:
    static constexpr size_t kBufferSize = 1 << 20;
    int m_fd;
    std::vector<uint8_t> m_buffer;
};

// Counts and discards (checks and benchmarks).
class CountingSink final : public Sink {
public:
    bool Write(std::span<const uint8_t> data) override {
        m_count += data.size();
        return true;
    }
    uint64_t Count() const { return m_count; }

private:
    uint64_t m_count = 0;
};

struct ExpandResult {
    Status status = Status::Ok;
    bool copied = false;    // the input was not a container and went through unchanged
    uint64_t written = 0;   // bytes handed to the sink
    uint32_t expected = 0;  // the header's length (containers only)
};

// Expands one container from `in` into `out`. Fails on anything that is not a
// well-formed container. At most one ring of output reaches the sink beyond
// what was checked, and a failed expansion's output must be discarded.
ExpandResult Expand(Source& in, Sink& out);

// As Expand, but data that does not begin with "SZDD" is copied unchanged.
ExpandResult ExpandOrCopy(Source& in, Sink& out);

// Memory to memory; `out` is replaced by the image (empty on failure).
ExpandResult ExpandBuffer(std::span<const uint8_t> container, std::vector<uint8_t>& out);

struct CompressOptions {
    // Longest back-reference written, 3 to 18. Some expanders (7-Zip) refuse
    // references of 17 and 18 bytes: 16 makes containers they accept.
    size_t maxMatch = kMaxMatch;
    // The expanded file name's last character, recorded in the header.
    uint8_t missingChar = 0;
    // How many earlier positions are tried per match search; more is slower
    // and compresses slightly better.
    size_t searchDepth = 128;
};

// Writes a complete container for `data` into `out`. False (and `out` empty)
// when the data is longer than 2 GB or the options are out of range.
bool Compress(std::span<const uint8_t> data, std::vector<uint8_t>& out, const CompressOptions& options = {});
// The same container, handed to `sink` in pieces as it is made: besides the
// input, the compressor needs about 400 KB. False when the sink fails (what
// it took must then be discarded) or as above.
bool Compress(std::span<const uint8_t> data, Sink& sink, const CompressOptions& options = {});

}  // namespace szdd
