// Virtual Quil units behind a virtual kernel driver: each unit sits on one
// adapter whose type word and version value come from the unit, so the
// driver link finds and presets it as it would a unit behind a Thunderbolt
// interface. The setup owns its units and the driver; install the driver
// with platform::ScopedDriverSystem to make the driver link reach them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/driver_virtual.h"
#include "sim/unit_description.h"
#include "sim/virtual_quil.h"

namespace sim {

class VirtualDriverSetup {
public:
    // The device object answers as "\\.\R9Mixer<deviceNumber>".
    explicit VirtualDriverSetup(int deviceNumber = 0);
    ~VirtualDriverSetup();
    VirtualDriverSetup(const VirtualDriverSetup&) = delete;
    VirtualDriverSetup& operator=(const VirtualDriverSetup&) = delete;

    // Puts a unit on the next adapter (0 first, at most eight) reporting
    // `typeWord`; null when all eight are taken.
    VirtualQuil* AddAdapter(uint16_t typeWord, const UnitDescription& unit);

    platform::VirtualDriverSystem& System() { return m_system; }

    // Units in adapter order.
    size_t UnitCount() const { return m_units.size(); }
    VirtualQuil& Unit(size_t index) { return *m_units.at(index); }

    // The version value the driver reports for a unit: its firmware register
    // (10) in byte 0 and its revision register (11) in byte 1.
    static uint32_t VersionValue(const VirtualQuil& unit);

private:
    // The units outlive the driver that reaches them.
    std::vector<std::unique_ptr<VirtualQuil>> m_units;
    platform::VirtualDriverSystem m_system;
};

// The built-in set behind the driver.
std::unique_ptr<VirtualDriverSetup> MakeBuiltinDriverSystem();

}  // namespace sim
