#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/signal_cleanup.h"

namespace platform {

namespace {

// Written and removed again to see that the folder has room.
constexpr size_t kProbeBytes = 4096;
constexpr size_t kMaxHolderText = 200;

std::string Reason(const std::string& path, int code) { return path + ": " + std::strerror(code); }

// What the lock file says of the program that holds it, as one line of
// printable text.
std::string HolderText(int fd) {
    std::array<char, kMaxHolderText> text{};
    const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
    std::string holder;
    for (ssize_t i = 0; i < n && text[static_cast<size_t>(i)] != '\n'; ++i) {
        const char c = text[static_cast<size_t>(i)];
        holder.push_back(c >= ' ' && c <= '~' ? c : '?');
    }
    return holder.empty() ? "another program" : holder;
}

// True when the folder holds the lock file and nothing else.
bool OnlyTheLockFile(const std::string& folder) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() != kFolderLockFile) return false;
    }
    return !ec;
}

bool WriteHolder(int fd, const std::string& holder) {
    const std::string text = holder + " (process " + std::to_string(::getpid()) + ")\n";
    if (::ftruncate(fd, 0) != 0) return false;
    return ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

// A file written into the folder and removed, with the cleanup signals held
// so that an interrupt cannot leave it there.
bool Probe(const std::string& folder, int& code) {
    std::string path = folder + "/.probe-XXXXXX";
    const CleanupSignalsHeld held;
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        code = errno;
        return false;
    }
    const std::array<uint8_t, kProbeBytes> zeros{};
    const bool ok = WriteAll(fd, zeros);
    code = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return ok;
}

}  // namespace

std::unique_ptr<FolderLock> FolderLock::Acquire(const std::string& folder, const std::string& holder, Outcome& outcome,
                                                std::string& error) {
    outcome = Outcome::Failed;
    if (folder.empty()) {
        error = kEmptyFileName;
        return nullptr;
    }
    // Only the folder named is made, never the folders above it: a path
    // whose parent is missing is refused rather than created from the root.
    // A folder made here is registered as a temporary, so that a signal
    // that ends the program takes it along; it goes only while it holds no
    // unit (what is removed then is its plain files, the lock file).
    struct stat st {};
    bool made = false;
    int entry = -1;
    int mkdirError = 0;
    {
        const CleanupSignalsHeld held;
        made = ::mkdir(folder.c_str(), 0777) == 0;
        mkdirError = errno;
        if (made) entry = RegisterTemporary(folder, TemporaryKind::Folder);
    }
    if (!made && mkdirError != EEXIST) {
        error = Reason(folder, mkdirError);
        return nullptr;
    }
    if (!made && (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        error = folder + ": is not a folder";
        return nullptr;
    }
    const std::string lockPath = folder + "/" + kFolderLockFile;
    // A folder made here goes again on every way out but success, with the
    // lock file once it is ours.
    struct Unmake {
        const std::string& folder;
        const std::string& lockPath;
        bool made = false;
        int entry = -1;
        bool lockFileOurs = false;
        bool keep = false;
        ~Unmake() {
            if (keep || !made) return;
            const CleanupSignalsHeld held;
            if (lockFileOurs) ::unlink(lockPath.c_str());
            ::rmdir(folder.c_str());
            UnregisterTemporary(entry);
        }
    } unmake{folder, lockPath, made, entry};
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int code = errno;
        error = code == ELOOP ? lockPath + ": is a symbolic link" : Reason(code == ENOENT ? lockPath : folder, code);
        return nullptr;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = lockPath + ": is not a plain file";
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        if (code == EWOULDBLOCK) {
            outcome = Outcome::Busy;
            error = HolderText(fd);
        } else {
            error = Reason(lockPath, code);
        }
        ::close(fd);
        return nullptr;
    }
    unmake.lockFileOurs = true;
    int code = 0;
    if (!WriteHolder(fd, holder)) {
        error = Reason(folder, errno);
        ::close(fd);
        return nullptr;
    }
    if (!Probe(folder, code)) {
        error = Reason(folder, code);
        ::close(fd);
        return nullptr;
    }
    outcome = Outcome::Locked;
    unmake.keep = true;
    return std::unique_ptr<FolderLock>(new FolderLock(fd, folder, made, entry));
}

FolderLock::~FolderLock() {
    const CleanupSignalsHeld held;
    if (m_madeFolder && OnlyTheLockFile(m_folder)) {
        ::unlink((m_folder + "/" + kFolderLockFile).c_str());
        ::rmdir(m_folder.c_str());
    }
    UnregisterTemporary(m_entry);
    ::close(static_cast<int>(m_lockFile));
}

}  // namespace platform
