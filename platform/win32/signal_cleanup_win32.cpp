// Temporaries removed when the console's Ctrl+C, Ctrl+Break or close event
// ends the process (the console handler of the interruptions back-end calls
// RemoveTemporaries). That handler runs on a thread of its own, so the table
// is guarded by a lock that CleanupSignalsHeld holds too.
#include <windows.h>

#include <array>
#include <mutex>
#include <string>

#include "platform/interruptions.h"
#include "platform/signal_cleanup.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

struct CleanupSlot {
    std::wstring path;
    TemporaryKind kind = TemporaryKind::File;
    bool used = false;
};
std::array<CleanupSlot, 8> g_slots;

std::recursive_mutex& Guard() {
    static std::recursive_mutex guard;
    return guard;
}

void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW((folder + L"\\" + found.cFileName).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int RegisterTemporary(const std::string& path, TemporaryKind kind) {
    InstallStopHandling();
    if (path.empty()) return -1;
    std::wstring wide = win32::Widen(path);
    while (wide.size() > 3 && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
    const std::lock_guard<std::recursive_mutex> lock(Guard());
    for (size_t i = 0; i < g_slots.size(); ++i) {
        if (g_slots[i].used) continue;
        g_slots[i] = CleanupSlot{std::move(wide), kind, true};
        return static_cast<int>(i);
    }
    return -1;
}

void UnregisterTemporary(int entry) {
    const std::lock_guard<std::recursive_mutex> lock(Guard());
    if (entry >= 0 && static_cast<size_t>(entry) < g_slots.size()) g_slots[static_cast<size_t>(entry)].used = false;
}

void RemoveTemporaries() {
    const std::lock_guard<std::recursive_mutex> lock(Guard());
    for (CleanupSlot& slot : g_slots) {
        if (!slot.used) continue;
        if (slot.kind == TemporaryKind::File) {
            DeleteFileW(slot.path.c_str());
        } else {
            RemoveFolder(slot.path);
        }
        slot.used = false;
    }
}

CleanupSignalsHeld::CleanupSignalsHeld() : m_saved{} { Guard().lock(); }

CleanupSignalsHeld::~CleanupSignalsHeld() { Guard().unlock(); }

}  // namespace platform
