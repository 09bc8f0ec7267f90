#include "sim/state_store.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/folder_lock.h"
#include "platform/temp_dir.h"

namespace sim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kRegistersFile = "registers.bin";
constexpr const char* kBank1File = "bank1.bin";
constexpr const char* kBank2File = "bank2.bin";
constexpr const char* kCardFile = "card.bin";
constexpr const char* kUnitFile = "unit.txt";
constexpr std::array<const char*, 5> kStateFiles = {kRegistersFile, kBank1File, kBank2File, kCardFile, kUnitFile};

// A new unit folder is written under ".<unit>.save-XXXXXX"; the old one waits
// under the same name with ".old" added while the new one takes its place.
constexpr const char* kSaveInfix = ".save-";
constexpr const char* kAsideSuffix = ".old";
// The temporaries that single files were once saved through end in six
// random characters (".bank2.bin.XXXXXX").
constexpr size_t kTemporaryChars = 6;

constexpr size_t kMaxStore = size_t{64} << 20;

const std::array<uint8_t, 5> kModelledPids = {kPidQuil, kPidNimbra16, kPidNimbra8, kPidNimbraN, kPidTonelink};

std::string Why(const std::error_code& ec) { return ec.message(); }

std::string SavePrefix(const std::string& unitName) { return "." + unitName + kSaveInfix; }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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

// What is at `path`, links not followed: "" for a folder, else why it is not
// one (and "missing" when nothing is there).
std::string NotAFolder(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (status.type() == fs::file_type::directory) return {};
    if (status.type() == fs::file_type::not_found) return "missing";
    if (status.type() == fs::file_type::symlink) return "is a symbolic link";
    if (ec) return Why(ec);
    return "is not a folder";
}

// Puts right what an interrupted save of the unit folder `unitName` left in
// `folder`: the old folder comes back when it was set aside and not
// replaced, and every other save folder goes (links among them are removed,
// never followed).
void RecoverInterruptedSave(const fs::path& folder, const std::string& unitName) {
    const std::string prefix = SavePrefix(unitName);
    std::vector<fs::path> leftovers;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (StartsWith(name, prefix)) leftovers.push_back(it->path());
    }
    const fs::path target = folder / unitName;
    for (const fs::path& path : leftovers) {
        if (!EndsWith(path.filename().string(), kAsideSuffix) || NotAFolder(target) != "missing") continue;
        if (!NotAFolder(path).empty()) continue;
        fs::rename(path, target, ec);
        if (!ec) break;
    }
    for (const fs::path& path : leftovers) fs::remove_all(path, ec);
    // Temporaries of single files, as ".bank2.bin.XXXXXX", inside the unit folder.
    if (!NotAFolder(target).empty()) return;
    std::vector<fs::path> temporaries;
    for (fs::directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (const char* file : kStateFiles) {
            const std::string stem = std::string(".") + file + ".";
            if (StartsWith(name, stem) && name.size() == stem.size() + kTemporaryChars) {
                temporaries.push_back(it->path());
            }
        }
    }
    for (const fs::path& path : temporaries) fs::remove(path, ec);
}

bool ReadStateFile(const fs::path& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    return platform::ReadPlainFile(path.string(), maxSize, data, error) == platform::ReadStatus::Ok;
}

// Serial registers (week, year, unit number low and high) that hold a
// number a serial-number write could have stored.
bool ValidSerialRegisters(std::span<const uint8_t, 4> regs) {
    const unsigned unit = regs[2] | (unsigned{regs[3]} << 8);
    return regs[0] >= 1 && regs[0] <= 53 && regs[1] >= 1 && regs[1] <= 63 && unit >= 1 && unit <= 4095;
}

char Hex(unsigned value) { return "0123456789ABCDEF"[value & 0x0F]; }
std::string HexByte(uint8_t value) { return std::string("0x") + Hex(value >> 4) + Hex(value); }

// Whether the registers describe the unit this folder is for; why not in `why`.
bool DescribesUnit(const UnitDescription& unit, const std::array<uint8_t, kRegisterCount>& registers,
                   std::string& why) {
    const uint8_t pid = EffectivePid(registers[1], registers[6]);
    const uint8_t own = EffectivePid(unit.pid, unit.subModel);
    if (std::find(kModelledPids.begin(), kModelledPids.end(), pid) == kModelledPids.end()) {
        why = "product identifier " + HexByte(pid) + " is not one of a unit the virtual Quil models";
        return false;
    }
    if (pid != own) {
        why = "product identifier " + HexByte(pid) + " is not this unit's (" + HexByte(own) + ")";
        return false;
    }
    if (registers[16] != unit.card.type) {
        why = "option card type " + std::to_string(registers[16]) + " is not this unit's (" +
              std::to_string(unit.card.type) + ")";
        return false;
    }
    const std::span<const uint8_t, 4> serialRegisters(registers.data() + 12, 4);
    if (std::ranges::equal(serialRegisters, SerialRegisters(unit.serial)) || ValidSerialRegisters(serialRegisters)) {
        return true;
    }
    why = "serial number registers 12 to 15 hold neither " +
          (unit.serial == kNoSerial ? std::string("a blank number") : SerialText(unit.serial)) +
          " nor any valid serial number";
    return false;
}

}  // namespace

fs::path UnitStateFolder(const fs::path& folder, const VirtualQuil& unit, size_t position) {
    const uint32_t serial = unit.Description().serial;
    if (serial == kNoSerial) return folder / ("no-serial-" + std::to_string(position + 1));
    return folder / SerialText(serial);
}

bool SaveUnitState(const VirtualQuil& unit, size_t position, const fs::path& folder, std::string& error) {
    error.clear();
    const fs::path target = UnitStateFolder(folder, unit, position);
    const std::string unitName = target.filename().string();
    const std::string inTheWay = NotAFolder(target);
    if (!inTheWay.empty() && inTheWay != "missing") {
        error = target.string() + ": " + inTheWay;
        return false;
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) fs::create_directories(folder, ec);
    int code = 0;
    std::unique_ptr<platform::TempDir> stage = platform::TempDir::Create(SavePrefix(unitName), code, folder.string());
    if (!stage) {
        error = folder.string() + ": " + Why(std::error_code(code, std::generic_category()));
        return false;
    }
    const PersistentState state = unit.SaveState();
    const std::string text = UnitText(unit, state);
    const std::span<const uint8_t> files[] = {
        state.registers, state.bank1, state.bank2, state.card,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size())};
    for (size_t i = 0; i < kStateFiles.size(); ++i) {
        const std::string staged = stage->File(kStateFiles[i]);
        if (!platform::WriteNewFile(staged, files[i], error)) {
            // Named as the user knows it: the new folder is gone again.
            error.replace(0, std::min(error.size(), staged.size()), (target / kStateFiles[i]).string());
            return false;
        }
    }
    const fs::path staged = fs::path(stage->Path()).parent_path();
    fs::permissions(staged,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    ec);
    if (inTheWay == "missing") {
        fs::rename(staged, target, ec);
    } else {
        const fs::path aside = staged.string() + kAsideSuffix;
        fs::rename(target, aside, ec);
        if (!ec) {
            fs::rename(staged, target, ec);
            std::error_code ignored;
            if (ec) {
                fs::rename(aside, target, ignored);
            } else {
                fs::remove_all(aside, ignored);
            }
        }
    }
    if (ec) {
        error = target.string() + ": " + Why(ec);
        return false;
    }
    stage->Keep();
    return true;
}

LoadResult LoadUnitState(VirtualQuil& unit, size_t position, const fs::path& folder, std::string& error) {
    error.clear();
    const fs::path dir = UnitStateFolder(folder, unit, position);
    RecoverInterruptedSave(folder, dir.filename().string());
    const std::string notAFolder = NotAFolder(dir);
    if (notAFolder == "missing") return LoadResult::NotFound;
    if (!notAFolder.empty()) {
        error = dir.string() + ": " + notAFolder;
        return LoadResult::Invalid;
    }
    std::vector<uint8_t> registers;
    PersistentState state;
    if (!ReadStateFile(dir / kRegistersFile, kRegisterCount, registers, error) ||
        !ReadStateFile(dir / kBank1File, kMaxStore, state.bank1, error) ||
        !ReadStateFile(dir / kBank2File, kMaxStore, state.bank2, error) ||
        !ReadStateFile(dir / kCardFile, kMaxStore, state.card, error)) {
        return LoadResult::Invalid;
    }
    // unit.txt is only read by people, but it is no link either.
    std::error_code ec;
    const fs::file_status text = fs::symlink_status(dir / kUnitFile, ec);
    if (text.type() != fs::file_type::not_found && text.type() != fs::file_type::regular) {
        error = (dir / kUnitFile).string() +
                (text.type() == fs::file_type::symlink ? ": is a symbolic link" : ": is not a plain file");
        return LoadResult::Invalid;
    }
    if (registers.size() != kRegisterCount) {
        error = (dir / kRegistersFile).string() + " does not hold 2048 bytes";
        return LoadResult::Invalid;
    }
    std::copy(registers.begin(), registers.end(), state.registers.begin());
    std::string why;
    if (!DescribesUnit(unit.Description(), state.registers, why)) {
        error = (dir / kRegistersFile).string() + ": " + why;
        return LoadResult::Invalid;
    }
    unit.RestoreState(state);
    return LoadResult::Loaded;
}

StateFolder::StateFolder(fs::path folder, std::unique_ptr<platform::FolderLock> lock)
    : m_folder(std::move(folder)), m_lock(std::move(lock)) {}

StateFolder::~StateFolder() = default;

std::unique_ptr<StateFolder> StateFolder::Open(const fs::path& folder, const std::string& program, std::string& error) {
    platform::FolderLock::Outcome outcome = platform::FolderLock::Outcome::Failed;
    std::unique_ptr<platform::FolderLock> lock =
        platform::FolderLock::Acquire(folder.string(), program, outcome, error);
    if (!lock) {
        if (outcome == platform::FolderLock::Outcome::Busy) error = folder.string() + " is in use by " + error;
        return nullptr;
    }
    return std::unique_ptr<StateFolder>(new StateFolder(folder, std::move(lock)));
}

bool StateFolder::Load(const std::vector<VirtualQuil*>& units, std::string& error) {
    bool ok = true;
    m_held.assign(units.size(), std::nullopt);
    for (size_t position = 0; position < units.size(); ++position) {
        std::string reason;
        const LoadResult result = LoadUnitState(*units[position], position, m_folder, reason);
        if (result == LoadResult::Invalid) {
            error += reason + "\n";
            ok = false;
        } else if (result == LoadResult::Loaded) {
            m_held[position] = units[position]->SaveState();
        }
    }
    return ok;
}

bool StateFolder::Save(const std::vector<VirtualQuil*>& units, std::string& error) {
    bool ok = true;
    m_held.resize(std::max(m_held.size(), units.size()));
    for (size_t position = 0; position < units.size(); ++position) {
        PersistentState state = units[position]->SaveState();
        if (m_held[position] && *m_held[position] == state) continue;
        std::string reason;
        if (!SaveUnitState(*units[position], position, m_folder, reason)) {
            error += "unit " + UnitStateFolder({}, *units[position], position).string() + ": " + reason + "\n";
            ok = false;
            continue;
        }
        m_held[position] = std::move(state);
    }
    return ok;
}

}  // namespace sim
