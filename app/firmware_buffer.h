// A firmware image in memory for an update: the image's bytes followed by
// 1024 zero bytes, so that the last, partial 128-byte packet reads as
// zero-filled.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr uint32_t kFirmwarePacketSize = 128;
inline constexpr uint32_t kFirmwareBufferSlack = 1024;

class FirmwareBuffer {
public:
    FirmwareBuffer() = default;
    explicit FirmwareBuffer(std::span<const uint8_t> image)
        : m_bytes(image.size() + kFirmwareBufferSlack, 0), m_size(static_cast<uint32_t>(image.size())) {
        std::copy(image.begin(), image.end(), m_bytes.begin());
    }
    uint32_t Size() const { return m_size; }
    uint32_t PacketCount() const { return (m_size + kFirmwarePacketSize - 1) / kFirmwarePacketSize; }
    // Packet i, 128 bytes, zero-filled past the image's end.
    const uint8_t* Packet(uint32_t i) const { return m_bytes.data() + static_cast<size_t>(i) * kFirmwarePacketSize; }
    std::span<const uint8_t> Image() const { return {m_bytes.data(), m_size}; }
    bool Empty() const { return m_size == 0; }

private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_size = 0;
};
