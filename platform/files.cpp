#include "platform/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "platform/signal_cleanup.h"

namespace platform {

namespace {

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Follows symbolic links (dangling ones too: their target is created) to
// the path that is really written.
bool ResolveLinks(std::string path, std::string& resolved, int& error) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = path;
            return true;
        }
        std::array<char, PATH_MAX> target{};
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size() - 1);
        if (n < 0) {
            error = errno;
            return false;
        }
        std::string next(target.data(), static_cast<size_t>(n));
        if (next.empty() || next[0] != '/') next = Folder(path) + "/" + next;
        path = std::move(next);
    }
    error = ELOOP;
    return false;
}

unsigned CurrentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<unsigned>(mask);
}

// Reads the open `fd` (closed here) as ReadWholeFile does.
ReadStatus ReadOpened(int fd, const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) > maxSize) {
            ::close(fd);
            error = path + ": larger than " + std::to_string(maxSize) + " bytes";
            return ReadStatus::TooLarge;
        }
        data.reserve(static_cast<size_t>(st.st_size));
    }
    std::array<uint8_t, 1 << 16> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            data.clear();
            return ReadStatus::ReadFailed;
        }
        if (n == 0) break;
        // A file that grows while it is read, or a stream, is caught here.
        if (data.size() + static_cast<size_t>(n) > maxSize) {
            ::close(fd);
            data.clear();
            error = path + ": larger than " + std::to_string(maxSize) + " bytes";
            return ReadStatus::TooLarge;
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + n);
    }
    ::close(fd);
    return ReadStatus::Ok;
}

}  // namespace

bool StandardOutputClosed() {
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    return flags == -1 || (flags & O_ACCMODE) == O_RDONLY;
}

ReadStatus ReadWholeFile(const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    data.clear();
    if (path.empty()) {
        error = kEmptyFileName;
        return ReadStatus::OpenFailed;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return ReadStatus::OpenFailed;
    }
    return ReadOpened(fd, path, maxSize, data, error);
}

ReadStatus ReadPlainFile(const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    data.clear();
    if (path.empty()) {
        error = kEmptyFileName;
        return ReadStatus::OpenFailed;
    }
    // Not blocking, so that a FIFO put in the file's place cannot hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int code = errno;
        struct stat st {};
        if (code == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            error = path + ": is a symbolic link";
            return ReadStatus::NotPlainFile;
        }
        error = path + ": " + std::strerror(code);
        return ReadStatus::OpenFailed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = path + ": is not a plain file";
        return ReadStatus::NotPlainFile;
    }
    return ReadOpened(fd, path, maxSize, data, error);
}

bool WriteNewFile(const std::string& path, std::span<const uint8_t> data, std::string& error) {
    if (path.empty()) {
        error = kEmptyFileName;
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
    int code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        error = path + ": " + std::strerror(code);
        ::unlink(path.c_str());
    }
    return ok;
}

void ReserveStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is `fd` itself. Read-only, so that what
        // is written to a closed stream fails as it did.
        const int opened = ::open("/dev/null", O_RDONLY | O_NOCTTY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

bool WriteAll(int fd, std::span<const uint8_t> data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data = data.subspan(static_cast<size_t>(n));
    }
    return true;
}

bool SameFile(const std::string& input, const std::string& output) {
    struct stat in {};
    struct stat out {};
    if (::stat(input.c_str(), &in) != 0) return false;
    const int got = output == "-" ? ::fstat(STDOUT_FILENO, &out) : ::stat(output.c_str(), &out);
    return got == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

std::unique_ptr<OutputFile> OutputFile::Open(const std::string& path, std::string& error) {
    std::unique_ptr<OutputFile> file(new OutputFile());
    if (path.empty()) {
        error = kEmptyFileName;
        return nullptr;
    }
    if (path == "-") {
        if (StandardOutputClosed()) {
            error = kStandardOutputClosed;
            return nullptr;
        }
        file->m_fd = ::dup(STDOUT_FILENO);
        if (file->m_fd < 0) {
            error = "standard output: " + std::string(std::strerror(errno));
            return nullptr;
        }
        return file;
    }
    int linkError = 0;
    if (!ResolveLinks(path, file->m_target, linkError)) {
        error = path + ": " + std::strerror(linkError);
        return nullptr;
    }
    struct stat st {};
    const bool exists = ::stat(file->m_target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        error = path + ": " + std::strerror(EISDIR);
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or socket is written into, never replaced.
        file->m_fd = ::open(file->m_target.c_str(), O_WRONLY | O_CLOEXEC);
        if (file->m_fd < 0) {
            error = path + ": " + std::strerror(errno);
            return nullptr;
        }
        return file;
    }
    file->m_mode = exists ? static_cast<unsigned>(st.st_mode & 07777) : (0666u & ~CurrentUmask());

    const size_t slash = file->m_target.find_last_of('/');
    const std::string base = slash == std::string::npos ? file->m_target : file->m_target.substr(slash + 1);
    std::string temp = Folder(file->m_target) + "/." + base + ".XXXXXX";
    const CleanupSignalsHeld held;
    file->m_fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (file->m_fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    file->m_temp = temp;
    file->m_slot = RegisterTemporary(temp, TemporaryKind::File);
    return file;
}

OutputFile::~OutputFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_temp.empty() && !m_committed) {
        const CleanupSignalsHeld held;
        ::unlink(m_temp.c_str());
        UnregisterTemporary(m_slot);
    }
}

void OutputFile::Fail(const std::string& path) { m_error = path + ": " + std::strerror(errno); }

bool OutputFile::Write(std::span<const uint8_t> data) {
    if (WriteAll(m_fd, data)) return true;
    Fail(m_temp.empty() ? (m_target.empty() ? std::string("standard output") : m_target) : m_temp);
    return false;
}

bool OutputFile::Commit() {
    if (m_temp.empty()) {
        // Written in place: only the close can still fail.
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            Fail(m_target.empty() ? std::string("standard output") : m_target);
            return false;
        }
        m_committed = true;
        return true;
    }
    if (::fchmod(m_fd, static_cast<mode_t>(m_mode)) != 0) {
        Fail(m_temp);
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        Fail(m_temp);
        return false;
    }
    const CleanupSignalsHeld held;
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        Fail(m_target);
        return false;
    }
    UnregisterTemporary(m_slot);
    m_committed = true;
    return true;
}

}  // namespace platform
