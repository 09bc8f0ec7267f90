// Saving and loading virtual units to a folder, so that a demo can be
// continued and a test can inspect the flash after an update. Each unit has
// a subfolder named by the serial number of its description in the
// ten-character text form (e.g. 3118220001), or, for a unit described
// without one, "no-serial-N" after its position N (from 1) in its set,
// holding registers.bin (2048 bytes), bank1.bin, bank2.bin, card.bin and a
// readable unit.txt.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "sim/virtual_quil.h"

namespace sim {

// <folder>/<serial text of the unit's description>, or
// <folder>/no-serial-<position + 1>. `position` is the unit's place in its
// set, so that units without a serial number never share a folder.
std::filesystem::path UnitStateFolder(const std::filesystem::path& folder, const VirtualQuil& unit, size_t position);

// Writes the unit's state, creating folders as needed. On failure returns
// false and says why in `error`.
bool SaveUnitState(const VirtualQuil& unit, size_t position, const std::filesystem::path& folder, std::string& error);

enum class LoadResult { Loaded, NotFound, Invalid };

// Restores a unit saved before. NotFound leaves the unit untouched; Invalid
// (a missing or wrongly sized file) leaves it untouched too and says why.
LoadResult LoadUnitState(VirtualQuil& unit, size_t position, const std::filesystem::path& folder, std::string& error);

}  // namespace sim
