// Files by C runtime descriptor on Windows, always in binary mode.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>

#include "platform/file_io.h"
#include "platform/win32/wide_text.h"

namespace platform {

int OpenFile(const std::string& path, FileOpen how) {
    const std::wstring wide = win32::Widen(path);
    switch (how) {
    case FileOpen::Read:
    case FileOpen::ReadPrivate: return _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    case FileOpen::CreatePrivate:
        return _wopen(wide.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    case FileOpen::ReplacePrivate:
        return _wopen(wide.c_str(), _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    }
    errno = EINVAL;
    return -1;
}

bool CloseFile(int fd) { return _close(fd) == 0; }

long ReadFile(int fd, void* buffer, size_t size) {
    // The runtime reads at most UINT_MAX bytes a call.
    const unsigned int count = size > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(size);
    return _read(fd, buffer, count);
}

bool RemoveFile(const std::string& path) { return _wunlink(win32::Widen(path).c_str()) == 0; }

std::optional<uint64_t> RegularFileSize(std::FILE* file) {
    struct _stat64 info {};
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace platform
