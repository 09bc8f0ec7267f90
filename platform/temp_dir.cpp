#include "platform/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/signal_cleanup.h"

namespace platform {

std::string TempParent() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && *tmp != '\0') return tmp;
    return "/tmp";
}

std::unique_ptr<TempDir> TempDir::Create(std::string_view prefix, int& error, std::string_view parent) {
    error = 0;
    std::string path(parent.empty() ? TempParent() : std::string(parent));
    if (path.empty() || path.back() != '/') path.push_back('/');
    path.append(prefix);
    path.append("XXXXXX");
    std::vector<char> buffer(path.begin(), path.end());
    buffer.push_back('\0');
    const CleanupSignalsHeld held;
    if (::mkdtemp(buffer.data()) == nullptr) {
        error = errno;
        return nullptr;
    }
    const int entry = RegisterTemporary(buffer.data(), TemporaryKind::Folder);
    std::string made(buffer.data());
    made.push_back('/');
    return std::unique_ptr<TempDir>(new TempDir(std::move(made), entry));
}

TempDir::~TempDir() {
    if (m_kept) return;
    const CleanupSignalsHeld held;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
    UnregisterTemporary(m_entry);
}

void TempDir::Keep() {
    const CleanupSignalsHeld held;
    UnregisterTemporary(m_entry);
    m_kept = true;
}

std::string TempDir::File(std::string_view name) const {
    std::string file(m_path);
    file.append(name);
    return file;
}

}  // namespace platform
