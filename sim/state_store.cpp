#include "sim/state_store.h"

#include <cstdio>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "platform/files.h"

namespace sim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kRegistersFile = "registers.bin";
constexpr const char* kBank1File = "bank1.bin";
constexpr const char* kBank2File = "bank2.bin";
constexpr const char* kCardFile = "card.bin";
constexpr const char* kUnitFile = "unit.txt";

// Writes through a temporary file and renames it, so that a failed save
// never leaves a half-written file behind.
bool WriteFile(const fs::path& path, const uint8_t* data, size_t size, std::string& error) {
    const std::unique_ptr<platform::OutputFile> out = platform::OutputFile::Open(path.string(), error);
    if (!out) return false;
    if (!out->Write(std::span<const uint8_t>(data, size)) || !out->Commit()) {
        error = out->Error();
        return false;
    }
    return true;
}

bool ReadFile(const fs::path& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    return platform::ReadWholeFile(path.string(), maxSize, data, error) == platform::ReadStatus::Ok;
}

std::string UnitText(const VirtualQuil& unit, const PersistentState& state) {
    std::string text = DescribeUnit(unit.Description());
    char line[128];
    std::snprintf(line, sizeof line, "Stored serial: %s\n",
                  unit.StoredSerial() == kNoSerial ? "none" : SerialText(unit.StoredSerial()).c_str());
    text += line;
    if (unit.Description().card.type != kCardNone) {
        std::snprintf(line, sizeof line, "Stored card serial: %s\n",
                      unit.StoredCardSerial() == kNoSerial ? "none" : SerialText(unit.StoredCardSerial()).c_str());
        text += line;
    }
    std::snprintf(line, sizeof line, "Active bank: %d\n", (state.registers[9] & kStatusActiveBank) ? 2 : 1);
    text += line;
    std::snprintf(line, sizeof line, "Bank 1: %zu bytes\nBank 2: %zu bytes\nCard store: %zu bytes\n",
                  state.bank1.size(), state.bank2.size(), state.card.size());
    text += line;
    return text;
}

}  // namespace

fs::path UnitStateFolder(const fs::path& folder, const VirtualQuil& unit, size_t position) {
    const uint32_t serial = unit.Description().serial;
    if (serial == kNoSerial) return folder / ("no-serial-" + std::to_string(position + 1));
    return folder / SerialText(serial);
}

bool SaveUnitState(const VirtualQuil& unit, size_t position, const fs::path& folder, std::string& error) {
    error.clear();
    const fs::path dir = UnitStateFolder(folder, unit, position);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    const PersistentState state = unit.SaveState();
    const std::string text = UnitText(unit, state);
    return WriteFile(dir / kRegistersFile, state.registers.data(), state.registers.size(), error) &&
           WriteFile(dir / kBank1File, state.bank1.data(), state.bank1.size(), error) &&
           WriteFile(dir / kBank2File, state.bank2.data(), state.bank2.size(), error) &&
           WriteFile(dir / kCardFile, state.card.data(), state.card.size(), error) &&
           WriteFile(dir / kUnitFile, reinterpret_cast<const uint8_t*>(text.data()), text.size(), error);
}

LoadResult LoadUnitState(VirtualQuil& unit, size_t position, const fs::path& folder, std::string& error) {
    error.clear();
    const fs::path dir = UnitStateFolder(folder, unit, position);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        return LoadResult::NotFound;
    }
    constexpr size_t kMaxStore = size_t{64} << 20;
    std::vector<uint8_t> registers;
    PersistentState state;
    if (!ReadFile(dir / kRegistersFile, kRegisterCount, registers, error) ||
        !ReadFile(dir / kBank1File, kMaxStore, state.bank1, error) ||
        !ReadFile(dir / kBank2File, kMaxStore, state.bank2, error) ||
        !ReadFile(dir / kCardFile, kMaxStore, state.card, error)) {
        return LoadResult::Invalid;
    }
    if (registers.size() != kRegisterCount) {
        error = (dir / kRegistersFile).string() + " does not hold 2048 bytes";
        return LoadResult::Invalid;
    }
    std::copy(registers.begin(), registers.end(), state.registers.begin());
    unit.RestoreState(state);
    return LoadResult::Loaded;
}

}  // namespace sim
