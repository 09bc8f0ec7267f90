// Saving and loading virtual units to a folder, so that a demo can be
// continued and a test can inspect the flash after an update. Each unit has
// a subfolder named by the serial number of its description in the
// ten-character text form (e.g. 3118220001), or, for a unit described
// without one, "no-serial-N" after its position N (from 1) in its set,
// holding registers.bin (2048 bytes), bank1.bin, bank2.bin, card.bin and a
// readable unit.txt. Every one of them is a plain file or folder: a symbolic
// link (or a FIFO, a device) in their place is refused, never followed.
//
// A unit is saved as a whole: its new folder is written beside the old one
// (".3118220001.save-XXXXXX") and renamed into place, so that a failed or
// interrupted save leaves the state from before, complete. Whatever such a
// save leaves behind is put right when the unit is next loaded.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/virtual_quil.h"

namespace platform {
class FolderLock;
}

namespace sim {

// <folder>/<serial text of the unit's description>, or
// <folder>/no-serial-<position + 1>. `position` is the unit's place in its
// set, so that units without a serial number never share a folder.
std::filesystem::path UnitStateFolder(const std::filesystem::path& folder, const VirtualQuil& unit, size_t position);

// Writes the unit's state into a new unit folder and puts it in the place of
// the old one. On failure the old folder is as it was, nothing of the new one
// is left, and `error` says why.
bool SaveUnitState(const VirtualQuil& unit, size_t position, const std::filesystem::path& folder, std::string& error);

enum class LoadResult { Loaded, NotFound, Invalid };

// Restores a unit saved before, after putting right what an interrupted
// save left: a unit folder set aside and not replaced comes back, and
// unfinished new folders and stray temporaries go. NotFound leaves the unit
// untouched; Invalid leaves it untouched too and says why: a file missing,
// wrongly sized, a link or not a plain file, or registers that describe
// another unit (a product identifier or option card other than the unit's,
// or a serial number that is neither the folder's nor a valid number of the
// unit's model, as a serial-number write leaves it).
LoadResult LoadUnitState(VirtualQuil& unit, size_t position, const std::filesystem::path& folder, std::string& error);

// The state folder of one run: locked against other programs from Open
// until the object goes, and checked to be writable before any unit is
// reached, so that a run never learns only at its end that its results
// cannot be kept.
class StateFolder {
public:
    // Creates the folder when missing and takes it for `program`. Null with
    // the reason otherwise: "DIR is in use by quil-sim (process 1234)", or
    // "DIR: Read-only file system" and the like.
    static std::unique_ptr<StateFolder> Open(const std::filesystem::path& folder, const std::string& program,
                                             std::string& error);
    ~StateFolder();
    StateFolder(const StateFolder&) = delete;
    StateFolder& operator=(const StateFolder&) = delete;

    const std::filesystem::path& Path() const { return m_folder; }

    // Loads each unit saved in the folder (units without a subfolder keep
    // their described state). False, with one line per unit that could not
    // be loaded in `error`.
    bool Load(const std::vector<VirtualQuil*>& units, std::string& error);
    // Saves each unit whose state differs from what the folder holds for
    // it: a run that changed nothing rewrites nothing. False, with one line
    // per unit that was not kept ("unit 3118220001: reason") in `error`.
    bool Save(const std::vector<VirtualQuil*>& units, std::string& error);

private:
    StateFolder(std::filesystem::path folder, std::unique_ptr<platform::FolderLock> lock);

    std::filesystem::path m_folder;
    std::unique_ptr<platform::FolderLock> m_lock;
    // What the folder holds for each unit, by position; none when the unit
    // has no folder there yet.
    std::vector<std::optional<PersistentState>> m_held;
};

}  // namespace sim
