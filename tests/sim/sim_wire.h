// A tiny encoder and decoder of the remote-control messages for the virtual
// unit's tests, written apart from both the host codec and the unit, so that
// the tests check the unit against an independent reading of the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

// Bits written most significant first, cut into 7-bit wire bytes.
class BitWriter {
public:
    void Put(uint32_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) {
            m_bits.push_back(((value >> i) & 1) != 0);
        }
    }
    Bytes Groups() const {
        Bytes out;
        for (size_t i = 0; i < m_bits.size(); i += 7) {
            uint8_t b = 0;
            for (size_t j = 0; j < 7; ++j) {
                b = static_cast<uint8_t>(b << 1);
                if (i + j < m_bits.size() && m_bits[i + j]) b |= 1;
            }
            out.push_back(b);
        }
        return out;
    }

private:
    std::vector<bool> m_bits;
};

inline Bytes Wrap(const Bytes& payload) {
    Bytes m;
    m.reserve(payload.size() + 5);
    for (uint8_t b : {uint8_t{0xF0}, uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x54}}) m.push_back(b);
    for (uint8_t b : payload) m.push_back(b);
    m.push_back(0xF7);
    return m;
}

// Short register message (opcode 0 write, 13 status request).
inline Bytes ShortMessage(unsigned op, unsigned address, unsigned value) {
    BitWriter w;
    w.Put(op, 4);
    w.Put((address >> 5) & 7, 3);
    w.Put(address & 0x1F, 5);
    w.Put(value & 0xFF, 8);
    w.Put(address >= 256 ? 1 : 0, 1);
    return Wrap(w.Groups());
}

inline Bytes Write(unsigned r, unsigned value) { return ShortMessage(0, r, value); }
inline Bytes Request(unsigned first, unsigned last) { return ShortMessage(13, first, (last - first) & 0xFF); }

inline Bytes ExtendedWrite(unsigned r, unsigned value) {
    BitWriter w;
    w.Put(0, 4);
    w.Put(7, 3);
    w.Put(r, 16);
    w.Put(value, 8);
    w.Put(0, 4);
    return Wrap(w.Groups());
}

inline Bytes ExtendedRequest(unsigned first, unsigned last) {
    BitWriter w;
    w.Put(13, 4);
    w.Put(7, 3);
    w.Put(first, 16);
    w.Put((last - first) & 0xFFFF, 16);
    w.Put(0, 3);
    return Wrap(w.Groups());
}

// The twelve command messages, as fixed strings.
inline Bytes Command(unsigned op) {
    static const uint8_t table[12][3] = {
        {0x0F, 0x39, 0x46}, {0x16, 0x74, 0x7E}, {0x1E, 0x31, 0x2E}, {0x25, 0x6E, 0x22},
        {0x2D, 0x2B, 0x72}, {0x34, 0x66, 0x4A}, {0x3C, 0x23, 0x1A}, {0x43, 0x5F, 0x0C},
        {0x4B, 0x1A, 0x5C}, {0x52, 0x57, 0x64}, {0x5A, 0x12, 0x34}, {0x61, 0x4D, 0x38},
    };
    const auto& t = table[op - 1];
    return Wrap({t[0], t[1], t[2]});
}

// CRC-8 as the unit checks it, bit by bit.
inline uint8_t Crc(const uint8_t* data, size_t n) {
    unsigned c = 0xFF;
    for (size_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const unsigned in = (data[i] >> bit) & 1;
            const unsigned feedback = ((c >> 7) & 1) ^ in;
            c = (c << 1) & 0xFF;
            if (feedback) c ^= 0x1D;
        }
    }
    return static_cast<uint8_t>(c);
}

// Firmware packet: opcode 1111, the data bits, zero padding, and one extra
// zero byte where 4 + 8n is a multiple of 7.
inline Bytes Packet(const uint8_t* data, size_t n) {
    BitWriter w;
    w.Put(15, 4);
    for (size_t i = 0; i < n; ++i) w.Put(data[i], 8);
    Bytes payload = w.Groups();
    const size_t expected = n + (n + 4) / 7 + 1;
    while (payload.size() < expected) payload.push_back(0);
    return Wrap(payload);
}

struct Reply {
    unsigned first = 0;
    bool extended = false;
    Bytes data;
};

// Reads a register status reply; nullopt when it is not one or its length
// does not fit its span.
inline std::optional<Reply> ParseReply(const Bytes& m) {
    if (m.size() < 9 || m[0] != 0xF0 || m[1] != 0 || m[2] != 1 || m[3] != 0x54 || m.back() != 0xF7) return std::nullopt;
    if (((m[4] >> 3) & 0x0F) != 14) return std::nullopt;
    Reply r;
    size_t count = 0;
    size_t start = 0;
    if ((m[4] & 7) == 7) {
        if (m.size() < 12) return std::nullopt;
        r.extended = true;
        r.first = (unsigned{m[5]} << 9) | (unsigned{m[6]} << 2) | (m[7] >> 5);
        count = (((m[7] & 0x1Fu) << 11) | (unsigned{m[8]} << 4) | (m[9] >> 3)) + 1;
        start = 10;
    } else {
        r.first = ((m[4] & 7u) << 5) | (m[5] >> 2);
        if (m[6] & 1) r.first += 256;
        count = (((m[5] & 3u) << 6) | (m[6] >> 1)) + 1;
        start = 7;
    }
    const size_t wire = (count * 8 + 6) / 7;
    if (m.size() != start + wire + 1) return std::nullopt;
    std::vector<bool> bits;
    for (size_t i = 0; i < wire; ++i) {
        for (int b = 6; b >= 0; --b) bits.push_back(((m[start + i] >> b) & 1) != 0);
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t v = 0;
        for (size_t b = 0; b < 8; ++b) v = static_cast<uint8_t>((v << 1) | (bits[i * 8 + b] ? 1 : 0));
        r.data.push_back(v);
    }
    return r;
}

}  // namespace simtest
