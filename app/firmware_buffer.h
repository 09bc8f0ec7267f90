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
// The largest image the updater takes: 16 MiB, three times the largest
// image any unit runs (the Quil's FPGA bitstream, 5.1 MiB; the VX-DANTE
// card's is 333 KiB, the VX-USB card's 48 KiB) and the size of the largest
// configuration flash parts for such bitstreams. The units announce no flash
// size; a larger file is no image of theirs, and is refused before it is
// read rather than held in memory.
inline constexpr uint32_t kLargestFirmwareImage = 16u * 1024 * 1024;

class FirmwareBuffer {
public:
    FirmwareBuffer() = default;
    explicit FirmwareBuffer(std::span<const uint8_t> image)
        : m_bytes(image.size() + kFirmwareBufferSlack, 0), m_size(static_cast<uint32_t>(image.size())) {
        std::copy(image.begin(), image.end(), m_bytes.begin());
    }
    // `size` zero bytes, and the zero fill after them, to be read into
    // through MutableImage().
    explicit FirmwareBuffer(uint32_t size) : m_bytes(size_t{size} + kFirmwareBufferSlack, 0), m_size(size) {}
    uint32_t Size() const { return m_size; }
    std::span<uint8_t> MutableImage() { return {m_bytes.data(), m_size}; }
    uint32_t PacketCount() const { return (m_size + kFirmwarePacketSize - 1) / kFirmwarePacketSize; }
    // Packet i, 128 bytes, zero-filled past the image's end.
    const uint8_t* Packet(uint32_t i) const { return m_bytes.data() + static_cast<size_t>(i) * kFirmwarePacketSize; }
    std::span<const uint8_t> Image() const { return {m_bytes.data(), m_size}; }
    bool Empty() const { return m_size == 0; }

private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_size = 0;
};
