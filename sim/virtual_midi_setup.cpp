#include "sim/virtual_midi_setup.h"

namespace sim {

VirtualMidiSetup::VirtualMidiSetup() = default;
VirtualMidiSetup::~VirtualMidiSetup() = default;

VirtualQuil* VirtualMidiSetup::AddPort(const std::string& name, PortTechnology technology,
                                       const std::optional<UnitDescription>& unit,
                                       platform::VirtualMidiLinkModel model) {
    const uint16_t tech =
        technology == PortTechnology::Hardware ? platform::kMidiTechHardwarePort : platform::kMidiTechSoftwareSynth;
    ++m_pairs;
    if (!unit) {
        m_system.AddPortPair(name, nullptr, tech, model);
        return nullptr;
    }
    PlacedUnit placed;
    placed.unit = std::make_unique<VirtualQuil>(*unit);
    VirtualQuil* quil = placed.unit.get();
    placed.ports = m_system.AddPortPair(name, quil, tech, model);
    // A unit whose link is made to fail pulls its cable.
    m_system.SetFailureSwitch(placed.ports.output, [quil] { return quil->LinkFailed(); });
    m_units.push_back(std::move(placed));
    return quil;
}

void VirtualMidiSetup::SetLinkModel(platform::VirtualMidiLinkModel model) {
    for (size_t output = 0; output < m_pairs; ++output) m_system.SetLinkModel(static_cast<uint32_t>(output), model);
}

std::unique_ptr<VirtualMidiSetup> MakeBuiltinMidiSystem(platform::VirtualMidiLinkModel model) {
    auto setup = std::make_unique<VirtualMidiSetup>();
    for (const BuiltinPort& port : BuiltinSet()) setup->AddPort(port.name, port.technology, port.unit, model);
    return setup;
}

ScopedBuiltinUnits::ScopedBuiltinUnits(bool install)
    : ScopedBuiltinUnits(install ? BuiltinTransport::Midi : BuiltinTransport::None) {}

ScopedBuiltinUnits::ScopedBuiltinUnits(BuiltinTransport transport) {
    switch (transport) {
    case BuiltinTransport::None: return;
    case BuiltinTransport::Midi: m_setup = MakeBuiltinMidiSystem(); break;
    case BuiltinTransport::Driver:
        m_setup = std::make_unique<VirtualMidiSetup>();
        m_driverSetup = MakeBuiltinDriverSystem();
        m_scopedDriver = std::make_unique<platform::ScopedDriverSystem>(m_driverSetup->System());
        break;
    case BuiltinTransport::Dante:
        m_setup = std::make_unique<VirtualMidiSetup>();
        m_dante = std::make_unique<DanteDemoUnits>();
        break;
    }
    m_scoped = std::make_unique<platform::ScopedMidiSystem>(m_setup->System());
}

std::vector<VirtualQuil*> ScopedBuiltinUnits::Units() const {
    std::vector<VirtualQuil*> units;
    if (m_setup) {
        for (size_t i = 0; i < m_setup->UnitCount(); ++i) units.push_back(&m_setup->Unit(i));
    }
    if (m_driverSetup) {
        for (size_t i = 0; i < m_driverSetup->UnitCount(); ++i) units.push_back(&m_driverSetup->Unit(i));
    }
    if (m_dante) {
        for (VirtualQuil* unit : m_dante->Units()) units.push_back(unit);
    }
    return units;
}

void ScopedBuiltinUnits::StopServing() {
    if (m_dante) m_dante->Stop();
}

std::string ScopedBuiltinUnits::Error() const { return m_dante ? m_dante->Error() : std::string(); }

// The previous systems come back before the units they replaced go away.
ScopedBuiltinUnits::~ScopedBuiltinUnits() {
    m_dante.reset();
    m_scopedDriver.reset();
    m_scoped.reset();
}

}  // namespace sim
