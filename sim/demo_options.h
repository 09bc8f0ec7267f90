// What the program's demo options do to the built-in virtual units: faults
// a support engineer can inject from the command line ("pgmerr@100"). The
// folder the units are kept in between runs is sim/state_store.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sim/virtual_quil.h"

namespace sim {

struct DemoFault {
    // DfuStall strikes the VX-USB card's download (sim/usb_cards.h), not a unit.
    enum class Kind : uint8_t { PgmErr, TxErr, Silence, DfuStall } kind = Kind::PgmErr;
    uint32_t packet = 0;  // index of the packet in the transfer, from 0
};

// "pgmerr@N", "txerr@N", "silence@N" or "dfustall"; empty for anything else.
std::optional<DemoFault> ParseDemoFault(std::string_view text);

// One line per fault, for --help.
const char* DemoFaultHelp();

// pgmerr and txerr: the unit reports that error for packet N and does not
// store it. silence: once packet N has been answered, the unit answers
// nothing more.
void ApplyDemoFault(VirtualQuil& unit, const DemoFault& fault);

}  // namespace sim
