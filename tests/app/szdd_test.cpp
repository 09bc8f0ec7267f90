// The SZDD expander and compressor: hand-made streams with known output,
// overlapping and wrapping references, every kind of malformed container, and
// round trips through the compressor with streamed input.
#include "app/szdd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Container(uint32_t length, const Bytes& stream, uint8_t mode = szdd::kModeLzss) {
    szdd::Header header;
    header.mode = mode;
    header.length = length;
    const auto head = szdd::WriteHeader(header);
    Bytes out(head.begin(), head.end());
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

// A back-reference to ring position `p` of length `n`.
Bytes Ref(unsigned p, unsigned n) {
    return {static_cast<uint8_t>(p & 0xFF), static_cast<uint8_t>(((p >> 4) & 0xF0) | (n - 3))};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

szdd::Status ExpandStatus(const Bytes& container, Bytes* out = nullptr) {
    Bytes image;
    const szdd::ExpandResult r = szdd::ExpandBuffer(container, image);
    if (out != nullptr) *out = image;
    return r.status;
}

Bytes Random(size_t n, uint32_t seed, int alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng() % alphabet);
    return out;
}

// Text-like data with many repeats at every distance.
Bytes Repetitive(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < n) {
        if (out.size() > 20 && rng() % 3 != 0) {
            const size_t d = 1 + rng() % std::min<size_t>(out.size(), 5000);
            const size_t len = 1 + rng() % 40;
            for (size_t k = 0; k < len; ++k) out.push_back(out[out.size() - d]);
        } else {
            out.push_back(static_cast<uint8_t>('a' + rng() % 6));
        }
    }
    out.resize(n);
    return out;
}

// Hands out its data in reads of at most `step` bytes.
class TrickleSource final : public szdd::Source {
public:
    TrickleSource(const Bytes& data, size_t step) : m_data(data), m_step(step) {}
    bool Read(std::span<uint8_t> dst, size_t& got) override {
        got = std::min({dst.size(), m_step, m_data.size() - m_pos});
        std::memcpy(dst.data(), m_data.data() + m_pos, got);
        m_pos += got;
        return true;
    }

private:
    const Bytes& m_data;
    size_t m_step;
    size_t m_pos = 0;
};

class FailingSource final : public szdd::Source {
public:
    explicit FailingSource(const Bytes& data, size_t failAt) : m_data(data), m_failAt(failAt) {}
    bool Read(std::span<uint8_t> dst, size_t& got) override {
        if (m_pos >= m_failAt) return false;
        got = std::min({dst.size(), m_failAt - m_pos, m_data.size() - m_pos});
        std::memcpy(dst.data(), m_data.data() + m_pos, got);
        m_pos += got;
        return true;
    }

private:
    const Bytes& m_data;
    size_t m_failAt;
    size_t m_pos = 0;
};

class FailingSink final : public szdd::Sink {
public:
    bool Write(std::span<const uint8_t>) override { return false; }
};

TEST(SzddExpand, LiteralsAndReferencesGiveTheirBytes) {
    // "abc", then a reference back to "abc" (ring positions 4080..4082), then "d".
    const Bytes stream = Cat({{0b10111}, {'a', 'b', 'c'}, Ref(4080, 3), {'d'}});
    Bytes image;
    EXPECT_EQ(ExpandStatus(Container(7, stream), &image), szdd::Status::Ok);
    EXPECT_EQ(std::string(image.begin(), image.end()), "abcabcd");
}

TEST(SzddExpand, OverlappingReferenceRepeatsTheBytesItWrites) {
    // One literal, then a reference one byte back of the longest length: a run.
    Bytes image;
    EXPECT_EQ(ExpandStatus(Container(19, Cat({{0x01, 'x'}, Ref(4080, 18)})), &image), szdd::Status::Ok);
    EXPECT_EQ(image, Bytes(19, 'x'));
    // Two bytes back: the pair repeats.
    EXPECT_EQ(ExpandStatus(Container(10, Cat({{0x03, 'a', 'b'}, Ref(4080, 8)})), &image), szdd::Status::Ok);
    EXPECT_EQ(std::string(image.begin(), image.end()), "ababababab");
}

TEST(SzddExpand, RingStartsAsSpacesAndWrapsAtItsEnd) {
    // A reference into the untouched ring gives spaces.
    Bytes image;
    EXPECT_EQ(ExpandStatus(Container(5, Cat({{0x00}, Ref(0, 5)})), &image), szdd::Status::Ok);
    EXPECT_EQ(image, Bytes(5, ' '));

    // Sixteen literals fill the ring up to its end; a reference across the
    // end (4090..4095, then 0..3) reads six of them, and by the time it reads
    // positions 0..3 its own wrapped writes have put "KLMN" there.
    Bytes stream = {0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0xFF, 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x00};
    const Bytes ref = Ref(4090, 10);
    stream.insert(stream.end(), ref.begin(), ref.end());
    EXPECT_EQ(ExpandStatus(Container(26, stream), &image), szdd::Status::Ok);
    EXPECT_EQ(std::string(image.begin(), image.end()), "ABCDEFGHIJKLMNOPKLMNOPKLMN");
}

TEST(SzddExpand, EveryMalformedContainerFailsWithItsReason) {
    const Bytes good = Cat({{0x03, 'a', 'b'}, Ref(4080, 3)});
    ASSERT_EQ(ExpandStatus(Container(5, good)), szdd::Status::Ok);

    struct Case {
        const char* what;
        Bytes container;
        szdd::Status status;
    };
    Bytes badMagic = Container(5, good);
    badMagic[5] ^= 0xFF;
    const Bytes whole = Container(5, good);
    const Bytes headerCut(whole.begin(), whole.begin() + 12);
    const std::vector<Case> cases = {
        {"plain data", Bytes{'h', 'e', 'l', 'l', 'o'}, szdd::Status::NotContainer},
        {"bad magic", badMagic, szdd::Status::BadMagic},
        {"short magic", Bytes{'S', 'Z', 'D', 'D', 0x88}, szdd::Status::ShortHeader},
        {"header cut", headerCut, szdd::Status::ShortHeader},
        {"mode B", Container(5, good, 'B'), szdd::Status::BadMode},
        {"no stream", Container(5, {}), szdd::Status::Truncated},
        {"stream short of the length", Container(6, good), szdd::Status::Truncated},
        {"literal missing", Container(3, {0x07, 'a', 'b'}), szdd::Status::Truncated},
        {"half reference", Container(5, {0x03, 'a', 'b', 0xF0}), szdd::Status::HalfReference},
        {"reference past the length", Container(4, good), szdd::Status::Overrun},
        {"byte after the end", Container(5, Cat({good, {0x00}})), szdd::Status::ExcessData},
        {"group after the end", Container(5, Cat({good, {0x01, 'z'}})), szdd::Status::ExcessData},
    };
    for (const Case& c : cases) {
        Bytes image{1, 2, 3};
        EXPECT_EQ(ExpandStatus(c.container, &image), c.status) << c.what;
        EXPECT_TRUE(image.empty()) << c.what << ": a failed expansion must not hand out an image";
        EXPECT_STRNE(szdd::StatusText(c.status), szdd::StatusText(szdd::Status::Ok));
    }
}

TEST(SzddExpand, EveryCutOrExtendedContainerFails) {
    Bytes container;
    const Bytes image = Repetitive(3000, 7);
    ASSERT_TRUE(szdd::Compress(image, container));
    for (size_t cut = 0; cut < container.size(); ++cut) {
        const Bytes part(container.begin(), container.begin() + cut);
        EXPECT_NE(ExpandStatus(part), szdd::Status::Ok) << "cut at " << cut;
    }
    for (int extra : {0x00, 0x20, 0xFF}) {
        Bytes longer = container;
        longer.push_back(static_cast<uint8_t>(extra));
        EXPECT_EQ(ExpandStatus(longer), szdd::Status::ExcessData);
    }
    // A header length one byte short or long of the stream's.
    Bytes shorter = container;
    shorter[10] = static_cast<uint8_t>(shorter[10] - 1);
    EXPECT_NE(ExpandStatus(shorter), szdd::Status::Ok);
    Bytes longer = container;
    longer[10] = static_cast<uint8_t>(longer[10] + 1);
    EXPECT_EQ(ExpandStatus(longer), szdd::Status::Truncated);
}

TEST(SzddExpand, HugeHeaderLengthFailsWithoutHugeAllocation) {
    Bytes container = Container(0xFFFFFFFF, {0x01, 'a'});
    Bytes image;
    const szdd::ExpandResult r = szdd::ExpandBuffer(container, image);
    EXPECT_EQ(r.status, szdd::Status::Truncated);
    EXPECT_EQ(r.expected, 0xFFFFFFFFu);
    EXPECT_LT(image.capacity(), 1024u);
}

TEST(SzddExpand, PlainDataIsCopiedOnlyWhenAsked) {
    for (const Bytes& plain : {Bytes{}, Bytes{'S', 'Z'}, Random(100000, 3)}) {
        szdd::SpanSource strictIn(plain);
        szdd::CountingSink strictOut;
        EXPECT_EQ(szdd::Expand(strictIn, strictOut).status, szdd::Status::NotContainer);

        szdd::SpanSource in(plain);
        Bytes copy;
        szdd::VectorSink out(copy);
        const szdd::ExpandResult r = szdd::ExpandOrCopy(in, out);
        EXPECT_EQ(r.status, szdd::Status::Ok);
        EXPECT_TRUE(r.copied);
        EXPECT_EQ(copy, plain);
    }
    // A broken container is never mistaken for plain data.
    Bytes broken = Container(5, {0x00});
    broken[7] = 0;
    szdd::SpanSource in(broken);
    szdd::CountingSink out;
    EXPECT_EQ(szdd::ExpandOrCopy(in, out).status, szdd::Status::BadMagic);
}

TEST(SzddRoundTrip, CompressedDataExpandsToItselfAtEveryMatchLimit) {
    const std::vector<Bytes> inputs = {
        Bytes{},
        Bytes{'q'},
        Bytes(100, ' '),  // matches the ring's initial spaces
        Bytes(70000, 0x00),
        Random(20000, 1),
        Random(50000, 2, 4),
        Repetitive(200000, 3),
    };
    for (size_t maxMatch : {3u, 16u, 18u}) {
        for (const Bytes& input : inputs) {
            szdd::CompressOptions options;
            options.maxMatch = maxMatch;
            options.missingChar = 'N';
            Bytes container;
            ASSERT_TRUE(szdd::Compress(input, container, options));
            szdd::Header header;
            ASSERT_EQ(szdd::ReadHeader(container, header), szdd::Status::Ok);
            EXPECT_EQ(header.length, input.size());
            EXPECT_EQ(header.missingChar, 'N');
            Bytes image;
            EXPECT_EQ(ExpandStatus(container, &image), szdd::Status::Ok) << input.size() << " / " << maxMatch;
            EXPECT_EQ(image, input) << input.size() << " / " << maxMatch;
        }
    }
    // Repeats do compress; noise grows by no more than the flag bytes.
    Bytes container;
    ASSERT_TRUE(szdd::Compress(Bytes(70000, 0x00), container));
    EXPECT_LT(container.size(), 70000u / 8);
    ASSERT_TRUE(szdd::Compress(Random(20000, 1), container));
    EXPECT_LE(container.size(), szdd::kHeaderSize + 20000 + 20000 / 8 + 1);
}

TEST(SzddRoundTrip, MatchLimitIsHonoured) {
    Bytes container;
    szdd::CompressOptions options;
    options.maxMatch = 16;
    ASSERT_TRUE(szdd::Compress(Bytes(5000, 'z'), container, options));
    // Walk the stream: no reference may be longer than 16.
    size_t pos = szdd::kHeaderSize;
    while (pos < container.size()) {
        const uint8_t flags = container[pos++];
        for (int item = 0; item < 8 && pos < container.size(); ++item) {
            if (flags & (1u << item)) {
                ++pos;
            } else {
                EXPECT_LE((container[pos + 1] & 0x0F) + 3, 16);
                pos += 2;
            }
        }
    }
    options.maxMatch = 19;
    EXPECT_FALSE(szdd::Compress(Bytes(10, 'z'), container, options));
    options.maxMatch = 2;
    EXPECT_FALSE(szdd::Compress(Bytes(10, 'z'), container, options));
}

TEST(SzddStreaming, TinyReadsGiveTheSameImageAndFailuresAreReported) {
    const Bytes input = Repetitive(100000, 11);
    Bytes container;
    ASSERT_TRUE(szdd::Compress(input, container));
    for (size_t step : {1u, 2u, 3u, 17u, 4096u}) {
        TrickleSource in(container, step);
        Bytes image;
        szdd::VectorSink out(image);
        const szdd::ExpandResult r = szdd::Expand(in, out);
        EXPECT_EQ(r.status, szdd::Status::Ok) << step;
        EXPECT_EQ(r.written, input.size());
        EXPECT_EQ(image, input) << step;
    }
    // Trailing data that only arrives in a later read is still refused.
    Bytes longer = container;
    longer.push_back(0);
    TrickleSource in(longer, 1);
    szdd::CountingSink counter;
    EXPECT_EQ(szdd::Expand(in, counter).status, szdd::Status::ExcessData);

    FailingSource failing(container, container.size() / 2);
    EXPECT_EQ(szdd::Expand(failing, counter).status, szdd::Status::ReadFailed);

    szdd::SpanSource source(container);
    FailingSink sink;
    EXPECT_EQ(szdd::Expand(source, sink).status, szdd::Status::WriteFailed);
}

TEST(SzddExpand, RandomStreamsMatchAPlainByteByByteExpander) {
    // Streams no compressor would write: references to anywhere in the ring,
    // of any length, wrapping at either end. The fast group path and the
    // careful path must both agree with the plainest reading of the format.
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        Bytes stream;
        Bytes expected;
        Bytes ring(4096, ' ');
        size_t w = 4080;
        const size_t groups = 1 + rng() % 2000;
        for (size_t g = 0; g < groups; ++g) {
            const uint8_t flags = static_cast<uint8_t>(rng() % (round % 2 ? 256 : 16));
            stream.push_back(flags);
            for (int item = 0; item < 8; ++item) {
                if (flags & (1u << item)) {
                    const uint8_t b = static_cast<uint8_t>(rng());
                    stream.push_back(b);
                    expected.push_back(b);
                    ring[w] = b;
                    w = (w + 1) % 4096;
                } else {
                    const unsigned p = rng() % 4096;
                    const unsigned n = 3 + rng() % 16;
                    const Bytes ref = Ref(p, n);
                    stream.insert(stream.end(), ref.begin(), ref.end());
                    for (unsigned k = 0; k < n; ++k) {
                        const uint8_t b = ring[(p + k) % 4096];
                        expected.push_back(b);
                        ring[w] = b;
                        w = (w + 1) % 4096;
                    }
                }
            }
        }
        Bytes image;
        ASSERT_EQ(ExpandStatus(Container(static_cast<uint32_t>(expected.size()), stream), &image), szdd::Status::Ok);
        ASSERT_EQ(image, expected) << "round " << round;
    }
}

}  // namespace
