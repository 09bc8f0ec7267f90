// The virtual units' state loader on hostile folders: the input is cut into
// the folder's four files (registers, two flash banks, the card store), each
// of a length the input names. Loading must either restore the unit or leave
// it untouched, never crash or read past a file.
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
        std::ofstream out(folder / files[i], std::ios::binary | std::ios::trunc);
        // A short registers file is padded with the input's bytes repeated.
        for (size_t k = 0; k < length; ++k) {
            const uint8_t byte = take == 0 ? 0 : data[pos + k % take];
            out.put(static_cast<char>(byte));
        }
        pos += take;
        if ((pos & 7) == 7) std::filesystem::remove(folder / files[i]);
    }
    std::string error;
    const sim::LoadResult result = sim::LoadUnitState(unit, 0, dir->Path(), error);
    if (result == sim::LoadResult::Invalid && error.empty()) std::abort();
    if (result == sim::LoadResult::Loaded) {
        // A loaded unit saves again.
        if (!sim::SaveUnitState(unit, 0, dir->Path(), error)) std::abort();
    }
    return 0;
}
