// The folder lock on Windows: LockFileEx on a byte far beyond the holder's
// text, so that the text stays readable to the program that is refused; the
// lock file opened without following a reparse point.
#include <windows.h>

#include <array>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/files.h"
#include "platform/folder_lock.h"
#include "platform/signal_cleanup.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

namespace fs = std::filesystem;

constexpr size_t kProbeBytes = 4096;
constexpr DWORD kLockOffsetHigh = 1;  // the byte at 4 GiB, never part of the text

std::string Reason(const std::string& path, DWORD code) { return path + ": " + win32::ErrorText(code); }

OVERLAPPED LockRange() {
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    return where;
}

std::string HolderText(HANDLE file) {
    std::array<char, 200> text{};
    DWORD got = 0;
    OVERLAPPED start{};
    if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, &start)) got = 0;
    std::string holder;
    for (DWORD i = 0; i < got && text[i] != '\n' && text[i] != '\r'; ++i) {
        holder.push_back(text[i] >= ' ' && text[i] <= '~' ? text[i] : '?');
    }
    return holder.empty() ? "another program" : holder;
}

bool WriteHolder(HANDLE file, const std::string& holder) {
    const std::string text = holder + " (process " + std::to_string(GetCurrentProcessId()) + ")\r\n";
    LARGE_INTEGER zero{};
    DWORD written = 0;
    return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
           WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

// A file written into the folder; the system removes it when it is closed.
bool Probe(const std::string& folder, DWORD& code) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
    std::string path = folder + "\\.probe-";
    for (int i = 0; i < 6; ++i) path.push_back(kLetters[pick(random)]);
    const HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        return false;
    }
    const std::array<char, kProbeBytes> zeros{};
    DWORD written = 0;
    const bool ok = WriteFile(file, zeros.data(), static_cast<DWORD>(zeros.size()), &written, nullptr) &&
                    written == zeros.size() && FlushFileBuffers(file);
    code = GetLastError();
    CloseHandle(file);
    return ok;
}

bool OnlyTheLockFile(const std::string& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(win32::Widen(folder)), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() != kFolderLockFile) return false;
    }
    return !ec;
}

}  // namespace

std::unique_ptr<FolderLock> FolderLock::Acquire(const std::string& folder, const std::string& holder, Outcome& outcome,
                                                std::string& error) {
    outcome = Outcome::Failed;
    if (folder.empty()) {
        error = kEmptyFileName;
        return nullptr;
    }
    // Only the folder named is made, never the folders above it.
    bool made = false;
    int entry = -1;
    DWORD mkdirError = ERROR_SUCCESS;
    {
        const CleanupSignalsHeld held;
        made = CreateDirectoryW(win32::Widen(folder).c_str(), nullptr) != 0;
        mkdirError = GetLastError();
        if (made) entry = RegisterTemporary(folder, TemporaryKind::Folder);
    }
    if (!made && mkdirError != ERROR_ALREADY_EXISTS) {
        error = Reason(folder, mkdirError);
        return nullptr;
    }
    const DWORD attributes = GetFileAttributesW(win32::Widen(folder).c_str());
    if (!made && (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
        error = folder + ": is not a folder";
        return nullptr;
    }
    const std::string lockPath = folder + "\\" + kFolderLockFile;
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
            if (lockFileOurs) DeleteFileW(win32::Widen(lockPath).c_str());
            RemoveDirectoryW(win32::Widen(folder).c_str());
            UnregisterTemporary(entry);
        }
    } unmake{folder, lockPath, made, entry};
    const HANDLE file = CreateFileW(win32::Widen(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = Reason(folder, GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        error = lockPath + ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ": is a symbolic link"
                                                                                        : ": is not a plain file");
        CloseHandle(file);
        return nullptr;
    }
    OVERLAPPED where = LockRange();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD code = GetLastError();
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
            outcome = Outcome::Busy;
            error = HolderText(file);
        } else {
            error = Reason(lockPath, code);
        }
        CloseHandle(file);
        return nullptr;
    }
    unmake.lockFileOurs = true;
    DWORD code = 0;
    if (!WriteHolder(file, holder)) {
        error = Reason(folder, GetLastError());
        CloseHandle(file);
        return nullptr;
    }
    if (!Probe(folder, code)) {
        error = Reason(folder, code);
        CloseHandle(file);
        return nullptr;
    }
    outcome = Outcome::Locked;
    unmake.keep = true;
    return std::unique_ptr<FolderLock>(new FolderLock(reinterpret_cast<intptr_t>(file), folder, made, entry));
}

FolderLock::~FolderLock() {
    const HANDLE file = reinterpret_cast<HANDLE>(m_lockFile);
    OVERLAPPED where = LockRange();
    UnlockFileEx(file, 0, 1, 0, &where);
    CloseHandle(file);
    const CleanupSignalsHeld held;
    if (m_madeFolder && OnlyTheLockFile(m_folder)) {
        DeleteFileW(win32::Widen(m_folder + "\\" + kFolderLockFile).c_str());
        RemoveDirectoryW(win32::Widen(m_folder).c_str());
    }
    UnregisterTemporary(m_entry);
}

}  // namespace platform
