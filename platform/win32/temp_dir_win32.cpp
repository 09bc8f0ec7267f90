// Private temporary folders on Windows: a new folder with a random name under
// the user's temporary folder (GetTempPathW), which only the user can reach.
#include <windows.h>

#include <filesystem>
#include <random>
#include <system_error>

#include "platform/signal_cleanup.h"
#include "platform/temp_dir.h"
#include "platform/win32/wide_text.h"

namespace platform {

std::string TempParent() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) return ".";
    std::wstring path(buffer, n);
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return win32::Narrow(path);
}

std::unique_ptr<TempDir> TempDir::Create(std::string_view prefix, int& error, std::string_view parent) {
    error = 0;
    std::string base(parent.empty() ? TempParent() : std::string(parent));
    if (base.empty() || (base.back() != '\\' && base.back() != '/')) base.push_back('\\');
    base.append(prefix);
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = base;
        for (int i = 0; i < 6; ++i) path.push_back(kLetters[pick(random)]);
        const CleanupSignalsHeld held;
        if (CreateDirectoryW(win32::Widen(path).c_str(), nullptr)) {
            const int entry = RegisterTemporary(path, TemporaryKind::Folder);
            path.push_back('\\');
            return std::unique_ptr<TempDir>(new TempDir(std::move(path), entry));
        }
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS) {
            error = static_cast<int>(code);
            return nullptr;
        }
    }
    error = ERROR_ALREADY_EXISTS;
    return nullptr;
}

TempDir::~TempDir() {
    if (m_kept) return;
    const CleanupSignalsHeld held;
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(win32::Widen(m_path)), ignored);
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
