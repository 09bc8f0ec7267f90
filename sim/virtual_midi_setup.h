// Virtual Quil units on virtual MIDI ports: each unit gets an input/output
// port pair of one name, and ports without a unit can be added beside them.
// The set owns its units and the port system; install the system with
// platform::ScopedMidiSystem to make the MIDI-port link reach the units.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/driver.h"
#include "platform/midi.h"
#include "platform/midi_virtual.h"
#include "sim/builtin_set.h"
#include "sim/dante_demo.h"
#include "sim/unit_description.h"
#include "sim/virtual_driver_setup.h"
#include "sim/virtual_quil.h"

namespace sim {

class VirtualMidiSetup {
public:
    VirtualMidiSetup();
    ~VirtualMidiSetup();
    VirtualMidiSetup(const VirtualMidiSetup&) = delete;
    VirtualMidiSetup& operator=(const VirtualMidiSetup&) = delete;

    // Adds the next port pair (ids count up from 0 in both directions). With
    // a description a unit answers on it; returns that unit, else null.
    VirtualQuil* AddPort(const std::string& name, PortTechnology technology, const std::optional<UnitDescription>& unit,
                         platform::VirtualMidiLinkModel model = {});

    platform::VirtualMidiSystem& System() { return m_system; }

    // Units in the order of their ports.
    size_t UnitCount() const { return m_units.size(); }
    VirtualQuil& Unit(size_t index) { return *m_units.at(index).unit; }
    platform::VirtualMidiSystem::PortPair UnitPorts(size_t index) const { return m_units.at(index).ports; }
    // The same transfer model on every port pair.
    void SetLinkModel(platform::VirtualMidiLinkModel model);

private:
    struct PlacedUnit {
        std::unique_ptr<VirtualQuil> unit;
        platform::VirtualMidiSystem::PortPair ports;
    };
    // The units outlive the ports that reach them.
    std::vector<PlacedUnit> m_units;
    platform::VirtualMidiSystem m_system;
    size_t m_pairs = 0;
};

// The built-in set that --simulate shows, ports in id order.
std::unique_ptr<VirtualMidiSetup> MakeBuiltinMidiSystem(platform::VirtualMidiLinkModel model = {});

// Which transport the built-in units are reached through: virtual MIDI
// ports (--simulate), the virtual kernel driver (--simulate=driver) or the
// Dante link on loopback addresses (--simulate=dante).
enum class BuiltinTransport { None, Midi, Driver, Dante };

// Installs the built-in set for the lifetime of this object, when asked for
// (the program's and the tools' --simulate): as the process's MIDI system,
// or behind the driver, with an empty MIDI system beside it so that nothing
// of the computer's own is reached.
class ScopedBuiltinUnits {
public:
    explicit ScopedBuiltinUnits(bool install = true);
    explicit ScopedBuiltinUnits(BuiltinTransport transport);
    ~ScopedBuiltinUnits();
    ScopedBuiltinUnits(const ScopedBuiltinUnits&) = delete;
    ScopedBuiltinUnits& operator=(const ScopedBuiltinUnits&) = delete;

    // The installed units, in the order of their ports or adapters (none
    // when not installed).
    std::vector<VirtualQuil*> Units() const;
    // Stops the threads that serve units (the Dante transport's), so that
    // the units can be saved; nothing reaches them afterwards.
    void StopServing();
    // Why the units cannot be reached (the Dante transport's addresses are
    // taken, say); empty when they can. Programs refuse to go on otherwise.
    std::string Error() const;

private:
    std::unique_ptr<VirtualMidiSetup> m_setup;
    std::unique_ptr<VirtualDriverSetup> m_driverSetup;
    std::unique_ptr<DanteDemoUnits> m_dante;
    std::unique_ptr<platform::ScopedMidiSystem> m_scoped;
    std::unique_ptr<platform::ScopedDriverSystem> m_scopedDriver;
};

}  // namespace sim
