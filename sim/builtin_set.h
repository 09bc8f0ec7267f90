// The built-in set of virtual ports and units that --simulate uses unless
// told otherwise, so that every command shows the same units.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/unit_description.h"

namespace sim {

enum class PortTechnology { Hardware, Software };

struct BuiltinPort {
    std::string name;  // input and output port name alike
    PortTechnology technology = PortTechnology::Hardware;
    std::optional<UnitDescription> unit;  // none: nothing answers on this port
};

// The ports in id order (outputs and inputs alike).
std::vector<BuiltinPort> BuiltinSet();

// A unit behind the maker's kernel driver: the adapter's type word (model
// code in the high byte, 0x14 for the Thunderbolt interface in the low) and
// the unit.
struct BuiltinAdapter {
    uint16_t typeWord = 0;
    UnitDescription unit;
};

// The built-in set's units behind the driver, adapters 0, 1, 2: each carries
// the Thunderbolt interface in its option slot instead of its card.
std::vector<BuiltinAdapter> BuiltinDriverSet();

}  // namespace sim
