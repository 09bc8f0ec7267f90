// The virtual units' state loader on hostile folders: the input is cut into
// the folder's four files (registers, two flash banks, the card store), each
// of a length the input names. Loading must either restore the unit or leave
// it untouched, never crash or read past a file; a loaded unit saves again,
// and what it saved loads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "platform/temp_dir.h"
#include "sim/builtin_set.h"
#include "sim/state_store.h"
#include "sim/virtual_quil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<platform::TempDir> dir = [] {
        int error = 0;
        return platform::TempDir::Create("fuzz-state-", error);
    }();
    if (!dir) std::abort();
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    const sim::UnitDescription description = *sim::BuiltinSet()[0].unit;
    sim::VirtualQuil unit(description);
    const std::filesystem::path folder = sim::UnitStateFolder(dir->Path(), unit, 0);
    std::filesystem::create_directories(folder);

    // registers.bin is 2048 bytes when well formed: the first byte picks a
    // length around it; the banks and the card store take what follows.
    const char* files[] = {"registers.bin", "bank1.bin", "bank2.bin", "card.bin"};
    size_t pos = 0;
    for (size_t i = 0; i < 4; ++i) {
        size_t length = 0;
        if (pos < size) {
            const uint8_t control = data[pos++];
            length = i == 0 ? (control < 128 ? 2048 : control) : control * 37u;
        }
        const size_t take = std::min(length, size - pos);
        // A short registers file is padded with the input's bytes repeated.
        std::string bytes(length, '\0');
        for (size_t k = 0; k < length; ++k) bytes[k] = static_cast<char>(take == 0 ? 0 : data[pos + k % take]);
        // Most well-sized registers files carry the unit's identity, so that
        // the rest of the loader is reached too.
        if (i == 0 && length == 2048 && (data[pos - 1] & 0x40) == 0) {
            for (size_t r : {size_t{1}, size_t{6}, size_t{12}, size_t{13}, size_t{14}, size_t{15}, size_t{16}}) {
                bytes[r] = static_cast<char>(unit.Register(r));
            }
        }
        std::ofstream(folder / files[i], std::ios::binary | std::ios::trunc) << bytes;
        pos += take;
        if ((pos & 7) == 7) std::filesystem::remove(folder / files[i]);
    }
    std::string error;
    const sim::LoadResult result = sim::LoadUnitState(unit, 0, dir->Path(), error);
    if (result == sim::LoadResult::Invalid && error.empty()) std::abort();
    if (result == sim::LoadResult::Loaded) {
        // A loaded unit saves again, and what it saved loads the same.
        if (!sim::SaveUnitState(unit, 0, dir->Path(), error)) std::abort();
        sim::VirtualQuil again(description);
        if (sim::LoadUnitState(again, 0, dir->Path(), error) != sim::LoadResult::Loaded) std::abort();
        if (!(again.SaveState() == unit.SaveState())) std::abort();
    }
    return 0;
}
