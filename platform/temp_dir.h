// Private temporary folders: each one is made fresh for this run with mkdtemp
// (mode 0700) under $TMPDIR, or /tmp when that is unset, so its files never
// sit at predictable names in a shared folder. The folder and everything in it
// are removed when the owner goes away.
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

private:
    explicit TempDir(std::string path) : m_path(std::move(path)) {}
    std::string m_path;
};

// The folder temporary folders go in: $TMPDIR when set and not empty, else /tmp.
std::string TempParent();

}  // namespace platform
