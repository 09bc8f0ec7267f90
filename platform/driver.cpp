#include "platform/driver.h"

namespace platform {

namespace {
DriverSystem* g_driverOverride = nullptr;
}  // namespace

DriverSystem& CurrentDriverSystem() { return g_driverOverride != nullptr ? *g_driverOverride : NativeDriverSystem(); }

ScopedDriverSystem::ScopedDriverSystem(DriverSystem& system) : m_previous(g_driverOverride) {
    g_driverOverride = &system;
}
ScopedDriverSystem::~ScopedDriverSystem() { g_driverOverride = m_previous; }

uint16_t GetLe16(std::span<const uint8_t> record, size_t offset) {
    if (offset + 2 > record.size()) return 0;
    return static_cast<uint16_t>(record[offset] | (record[offset + 1] << 8));
}

uint32_t GetLe32(std::span<const uint8_t> record, size_t offset) {
    if (offset + 4 > record.size()) return 0;
    return static_cast<uint32_t>(record[offset]) | (static_cast<uint32_t>(record[offset + 1]) << 8) |
           (static_cast<uint32_t>(record[offset + 2]) << 16) | (static_cast<uint32_t>(record[offset + 3]) << 24);
}

void PutLe16(std::span<uint8_t> record, size_t offset, uint16_t value) {
    if (offset + 2 > record.size()) return;
    record[offset] = static_cast<uint8_t>(value & 0xFF);
    record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(std::span<uint8_t> record, size_t offset, uint32_t value) {
    if (offset + 4 > record.size()) return;
    for (size_t i = 0; i < 4; ++i) record[offset + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

}  // namespace platform
