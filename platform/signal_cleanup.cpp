#include "platform/signal_cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>

#include "platform/interruptions.h"

namespace platform {

namespace {

struct CleanupSlot {
    std::array<char, PATH_MAX> path{};
    pid_t owner = 0;                 // a child made by fork leaves its parent's temporaries alone
    volatile sig_atomic_t kind = 0;  // 0 free, else TemporaryKind + 1; written after the path
};
std::array<CleanupSlot, 8> g_slots;
constexpr std::array<int, 3> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP};

// Removes what a folder holds, then the folder, with calls a signal handler
// may make. Entries removed while the folder is read may hide others from
// that pass, so it reads again until a pass removes nothing.
void RemoveFolder(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buffer[4096];
        for (int pass = 0; pass < 64; ++pass) {
            bool removed = false;
            ::lseek(fd, 0, SEEK_SET);
            for (;;) {
                const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
                if (n <= 0) break;
                for (ssize_t at = 0; at < n;) {
                    const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                    at += entry->d_reclen;
                    const char* name = entry->d_name;
                    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
                    if (::unlinkat(fd, name, 0) == 0) removed = true;
                }
            }
            if (!removed) break;
        }
        ::close(fd);
    }
    ::rmdir(path);
}

}  // namespace

int RegisterTemporary(const std::string& path, TemporaryKind kind) {
    InstallStopHandling();
    if (path.empty() || path.size() >= PATH_MAX) return -1;
    for (size_t i = 0; i < g_slots.size(); ++i) {
        CleanupSlot& slot = g_slots[i];
        if (slot.kind != 0) continue;
        std::copy(path.begin(), path.end(), slot.path.begin());
        slot.path[path.size()] = '\0';
        slot.owner = ::getpid();
        slot.kind = static_cast<sig_atomic_t>(kind) + 1;
        return static_cast<int>(i);
    }
    return -1;
}

void UnregisterTemporary(int entry) {
    if (entry >= 0 && static_cast<size_t>(entry) < g_slots.size()) g_slots[static_cast<size_t>(entry)].kind = 0;
}

void RemoveTemporaries() {
    const pid_t self = ::getpid();
    for (CleanupSlot& slot : g_slots) {
        const sig_atomic_t kind = slot.kind;
        if (kind == 0 || slot.owner != self) continue;
        if (kind == static_cast<sig_atomic_t>(TemporaryKind::File) + 1) ::unlink(slot.path.data());
        if (kind == static_cast<sig_atomic_t>(TemporaryKind::Folder) + 1) RemoveFolder(slot.path.data());
        slot.kind = 0;
    }
}

CleanupSignalsHeld::CleanupSignalsHeld() {
    static_assert(sizeof(sigset_t) <= sizeof m_saved);
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCleanupSignals) sigaddset(&set, signal);
    sigset_t old;
    ::sigprocmask(SIG_BLOCK, &set, &old);
    std::memcpy(m_saved, &old, sizeof old);
}

CleanupSignalsHeld::~CleanupSignalsHeld() {
    sigset_t old;
    std::memcpy(&old, m_saved, sizeof old);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace platform
