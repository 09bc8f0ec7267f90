#include "sim/virtual_driver_setup.h"

#include "sim/builtin_set.h"

namespace sim {

VirtualDriverSetup::VirtualDriverSetup(int deviceNumber) : m_system(deviceNumber) {}
VirtualDriverSetup::~VirtualDriverSetup() = default;

uint32_t VirtualDriverSetup::VersionValue(const VirtualQuil& unit) {
    return static_cast<uint32_t>(unit.Register(10)) | (static_cast<uint32_t>(unit.Register(11)) << 8);
}

VirtualQuil* VirtualDriverSetup::AddAdapter(uint16_t typeWord, const UnitDescription& unit) {
    if (m_units.size() >= platform::kDriverMaxAdapters) return nullptr;
    const auto adapter = static_cast<uint32_t>(m_units.size());
    m_units.push_back(std::make_unique<VirtualQuil>(unit));
    VirtualQuil* quil = m_units.back().get();
    m_system.SetAdapter(
        adapter, typeWord, [quil] { return VersionValue(*quil); }, quil);
    // A unit whose link is made to fail stops answering through the driver.
    m_system.SetFailureSwitch(adapter, [quil] { return quil->LinkFailed(); });
    return quil;
}

std::unique_ptr<VirtualDriverSetup> MakeBuiltinDriverSystem() {
    auto setup = std::make_unique<VirtualDriverSetup>();
    for (const BuiltinAdapter& adapter : BuiltinDriverSet()) setup->AddAdapter(adapter.typeWord, adapter.unit);
    return setup;
}

}  // namespace sim
