// One program at a time in a folder: an exclusive lock, held for the life of
// the object, on the lock file ".lock" inside the folder. The lock ends with
// the process however it ends (the system drops it), so a killed program
// never leaves the folder locked. The lock file itself stays, unless the
// lock made the folder and nothing else was put there: then the folder goes
// again with the lock, or with a signal that ends the program.
//
// Taking the lock also proves that the folder can be written: the holder's
// name is written into the lock file, and a probe file is written into the
// folder and removed again, so that a read-only or full file system is found
// before any work begins rather than when its results are saved.
//
// Linux: flock(LOCK_EX | LOCK_NB) on the lock file, opened with O_NOFOLLOW.
// Windows: LockFileEx(LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY) on
// a byte range far beyond the holder's text (so that the text stays
// readable), the file opened with FILE_FLAG_OPEN_REPARSE_POINT.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class FolderLock {
public:
    enum class Outcome {
        Locked,
        Busy,    // another program holds the folder
        Failed,  // the folder cannot be made, locked or written
    };

    // Creates `folder` when it does not exist (only that folder: a missing
    // folder above it is a failure, "PATH: No such file or directory"),
    // then locks it for `holder` (a program name; the lock file records it
    // with the process id) without waiting. Null unless Locked: for Busy,
    // `error` is what the lock file says of its holder ("quil-sim, process
    // 1234", or "another program" when it says nothing); for Failed, it is
    // "PATH: reason" (a lock file that is a symbolic link or not a plain file
    // is refused, never written through).
    static std::unique_ptr<FolderLock> Acquire(const std::string& folder, const std::string& holder, Outcome& outcome,
                                               std::string& error);

    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    FolderLock(intptr_t lockFile, std::string folder, bool madeFolder, int entry)
        : m_lockFile(lockFile), m_folder(std::move(folder)), m_madeFolder(madeFolder), m_entry(entry) {}
    intptr_t m_lockFile;  // a descriptor on Linux, a HANDLE on Windows
    std::string m_folder;
    bool m_madeFolder;  // Acquire made the folder
    int m_entry;        // the made folder's signal-cleanup entry (-1 for none)
};

// The lock file's name inside the folder.
inline constexpr char kFolderLockFile[] = ".lock";

}  // namespace platform
