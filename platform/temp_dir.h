// Private temporary folders: each one is made fresh for this run with mkdtemp
// (mode 0700) under $TMPDIR, or /tmp when that is unset, so its files never
// sit at predictable names in a shared folder. The folder and everything in it
// are removed when the owner goes away, and when SIGINT, SIGTERM or SIGHUP
// ends the process (platform/signal_cleanup.h: then only the files directly
// in it go, so a folder that is to vanish on a signal keeps no subfolders).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

class TempDir {
public:
    // Makes a folder "<parent>/<prefix>XXXXXX"; an empty parent means $TMPDIR
    // or /tmp. Null on failure, with the system error code in `error`.
    static std::unique_ptr<TempDir> Create(std::string_view prefix, int& error, std::string_view parent = {});

    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder's path, ending in '/'.
    const std::string& Path() const { return m_path; }
    // Path() + name.
    std::string File(std::string_view name) const;

    // The folder is the caller's from now on (it has been renamed into
    // place, say): it is no longer removed.
    void Keep();

private:
    TempDir(std::string path, int entry) : m_path(std::move(path)), m_entry(entry) {}
    std::string m_path;
    int m_entry = -1;  // the signal-cleanup entry
    bool m_kept = false;
};

// The folder temporary folders go in: $TMPDIR when set and not empty, else /tmp.
std::string TempParent();

}  // namespace platform
