// Saving and loading virtual units to a folder, so that a demo can be
// continued and a test can inspect the flash after an update. Each unit has
// a subfolder named by the serial number of its description in the
// ten-character text form (e.g. 3118220001) holding registers.bin (2048
// bytes), bank1.bin, bank2.bin, card.bin and a readable unit.txt.
#pragma once

#include <filesystem>
#include <string>

#include "sim/virtual_quil.h"

namespace sim {

// <folder>/<serial text of the unit's description>
std::filesystem::path UnitStateFolder(const std::filesystem::path& folder, const VirtualQuil& unit);

// Writes the unit's state, creating folders as needed. On failure returns
// false and says why in `error`.
bool SaveUnitState(const VirtualQuil& unit, const std::filesystem::path& folder, std::string& error);

enum class LoadResult { Loaded, NotFound, Invalid };

// Restores a unit saved before. NotFound leaves the unit untouched; Invalid
// (a missing or wrongly sized file) leaves it untouched too and says why.
LoadResult LoadUnitState(VirtualQuil& unit, const std::filesystem::path& folder, std::string& error);

}  // namespace sim
