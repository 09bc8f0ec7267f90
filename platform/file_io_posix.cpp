#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"

namespace platform {

int OpenFile(const std::string& path, FileOpen how) {
    switch (how) {
    case FileOpen::Read: return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    case FileOpen::ReadPrivate: return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    case FileOpen::CreatePrivate: return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    case FileOpen::ReplacePrivate:
        return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    errno = EINVAL;
    return -1;
}

bool CloseFile(int fd) { return ::close(fd) == 0; }

long ReadFile(int fd, void* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::optional<uint64_t> RegularFileSize(std::FILE* file) {
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

}  // namespace platform
