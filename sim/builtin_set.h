// The built-in set of virtual ports and units that --simulate uses unless
// told otherwise, so that every command shows the same units.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/unit_description.h"

namespace sim {

enum class PortTechnology { Hardware, Software };

struct BuiltinPort {
    std::string name;                     // input and output port name alike
    PortTechnology technology = PortTechnology::Hardware;
    std::optional<UnitDescription> unit;  // none: nothing answers on this port
};

// The ports in id order (outputs and inputs alike).
std::vector<BuiltinPort> BuiltinSet();

}  // namespace sim
