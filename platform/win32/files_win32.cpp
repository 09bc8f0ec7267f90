// Whole-file reads and safe output files on Windows, by C runtime descriptor
// in binary mode. A regular target is written through a new temporary in its
// folder and moved over it on Commit (MoveFileExW replaces it in one step);
// "-" is standard output and a device is written in place.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

#include "platform/file_io.h"
#include "platform/files.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file's identity: volume and index, as GetFileInformationByHandle gives.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
}

bool PathIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file =
        CreateFileW(win32::Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool ok = FileIdentity(file, info);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return ok;
}

// Reads the open `fd` (closed here) as ReadWholeFile does.
ReadStatus ReadOpened(int fd, const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    struct _stat64 st {};
    if (_fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG) {
        if (static_cast<uint64_t>(st.st_size) > maxSize) {
            _close(fd);
            error = path + ": larger than " + std::to_string(maxSize) + " bytes";
            return ReadStatus::TooLarge;
        }
        data.reserve(static_cast<size_t>(st.st_size));
    }
    std::array<uint8_t, 1 << 16> chunk{};
    for (;;) {
        const long n = ReadFile(fd, chunk.data(), chunk.size());
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            _close(fd);
            data.clear();
            return ReadStatus::ReadFailed;
        }
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > maxSize) {
            _close(fd);
            data.clear();
            error = path + ": larger than " + std::to_string(maxSize) + " bytes";
            return ReadStatus::TooLarge;
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + n);
    }
    _close(fd);
    return ReadStatus::Ok;
}

}  // namespace

ReadStatus ReadWholeFile(const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error) {
    data.clear();
    if (path.empty()) {
        error = kEmptyFileName;
        return ReadStatus::OpenFailed;
    }
    const int fd = OpenFile(path, FileOpen::Read);
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
    // The link itself is opened, never what it points to.
    const HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = path + ": " + win32::ErrorText(GetLastError());
        return ReadStatus::OpenFailed;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileType(file) == FILE_TYPE_DISK && FileIdentity(file, info);
    if (!known || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(file);
        error = path + (known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ": is a symbolic link"
                                                                                             : ": is not a plain file");
        return ReadStatus::NotPlainFile;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        error = path + ": " + std::strerror(errno);
        return ReadStatus::OpenFailed;
    }
    return ReadOpened(fd, path, maxSize, data, error);
}

bool WriteNewFile(const std::string& path, std::span<const uint8_t> data, std::string& error) {
    if (path.empty()) {
        error = kEmptyFileName;
        return false;
    }
    // CREATE_NEW fails on anything already there, a link included.
    const HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = path + ": " + win32::ErrorText(GetLastError());
        return false;
    }
    bool ok = true;
    while (ok && !data.empty()) {
        const DWORD count = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
        DWORD written = 0;
        ok = ::WriteFile(file, data.data(), count, &written, nullptr) && written > 0;
        if (ok) data = data.subspan(written);
    }
    ok = ok && FlushFileBuffers(file);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    if (!ok) {
        error = path + ": " + win32::ErrorText(code);
        DeleteFileW(win32::Widen(path).c_str());
    }
    return ok;
}

// The C runtime keeps descriptors 0 to 2 for the standard streams whether or
// not they have a handle, so no file the program opens can take their place.
void ReserveStandardStreams() {}

bool StandardOutputClosed() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == nullptr || out == INVALID_HANDLE_VALUE || _fileno(stdout) < 0;
}

bool WriteAll(int fd, std::span<const uint8_t> data) {
    while (!data.empty()) {
        const unsigned int count = data.size() > INT_MAX ? INT_MAX : static_cast<unsigned int>(data.size());
        const int n = _write(fd, data.data(), count);
        if (n < 0) return false;
        data = data.subspan(static_cast<size_t>(n));
    }
    return true;
}

bool SameFile(const std::string& input, const std::string& output) {
    BY_HANDLE_FILE_INFORMATION in{};
    BY_HANDLE_FILE_INFORMATION out{};
    if (!PathIdentity(input, in)) return false;
    const bool got = output == "-" ? FileIdentity(GetStdHandle(STD_OUTPUT_HANDLE), out) : PathIdentity(output, out);
    return got && in.dwVolumeSerialNumber == out.dwVolumeSerialNumber && in.nFileIndexHigh == out.nFileIndexHigh &&
           in.nFileIndexLow == out.nFileIndexLow;
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
        file->m_fd = _dup(_fileno(stdout));
        if (file->m_fd < 0) {
            error = "standard output: " + std::string(std::strerror(errno));
            return nullptr;
        }
        _setmode(file->m_fd, _O_BINARY);
        return file;
    }
    file->m_target = path;
    const DWORD attributes = GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = path + ": " + std::strerror(EISDIR);
        return nullptr;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        // A device is written into, never replaced.
        file->m_fd = _wopen(win32::Widen(path).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
        if (file->m_fd < 0) {
            error = path + ": " + std::strerror(errno);
            return nullptr;
        }
        return file;
    }
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100 && file->m_fd < 0; ++attempt) {
        std::string temp = Folder(path) + "\\." + BaseName(path) + ".";
        for (int i = 0; i < 6; ++i) temp.push_back(kLetters[pick(random)]);
        file->m_fd = OpenFile(temp, FileOpen::CreatePrivate);
        if (file->m_fd >= 0) {
            file->m_temp = temp;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (file->m_fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return file;
}

OutputFile::~OutputFile() {
    if (m_fd >= 0) _close(m_fd);
    if (!m_temp.empty() && !m_committed) RemoveFile(m_temp);
}

void OutputFile::Fail(const std::string& path) { m_error = path + ": " + std::strerror(errno); }

bool OutputFile::Write(std::span<const uint8_t> data) {
    if (WriteAll(m_fd, data)) return true;
    Fail(m_temp.empty() ? (m_target.empty() ? std::string("standard output") : m_target) : m_temp);
    return false;
}

bool OutputFile::Commit() {
    const int fd = m_fd;
    m_fd = -1;
    if (_close(fd) != 0) {
        Fail(m_temp.empty() ? (m_target.empty() ? std::string("standard output") : m_target) : m_temp);
        return false;
    }
    if (m_temp.empty()) {
        m_committed = true;
        return true;
    }
    if (!MoveFileExW(win32::Widen(m_temp).c_str(), win32::Widen(m_target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        m_error = m_target + ": " + win32::ErrorText(GetLastError());
        return false;
    }
    m_committed = true;
    return true;
}

}  // namespace platform
