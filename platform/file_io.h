// Files by descriptor, the same on every system: the descriptors are the C
// runtime's (POSIX descriptors on Linux, the CRT's on Windows, always in
// binary mode). Failures leave the reason in errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace platform {

enum class FileOpen {
    Read,            // an existing file, read only
    ReadPrivate,     // the same, not following a link (files in our own folders)
    CreatePrivate,   // a new file only the user can read, not following links; fails if it exists
    ReplacePrivate,  // as CreatePrivate, but an existing regular file is emptied
};

// A descriptor, or -1 with errno set.
int OpenFile(const std::string& path, FileOpen how);
// False when closing reports an error (a write that did not land).
bool CloseFile(int fd);
// Up to `size` bytes, retrying interrupted reads; -1 on error, 0 at the end.
long ReadFile(int fd, void* buffer, size_t size);
bool RemoveFile(const std::string& path);
// The size of the regular file behind `file`; nothing for anything else (a
// device, a pipe) or when it cannot be asked.
std::optional<uint64_t> RegularFileSize(std::FILE* file);

}  // namespace platform
