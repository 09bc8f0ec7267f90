// Libraries loaded at run time on Windows: LoadLibraryW and GetProcAddress.
#include <windows.h>

#include <algorithm>

#include "platform/dynamic_library.h"
#include "platform/win32/wide_text.h"

namespace platform {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& name, std::string& error) {
    const std::string path = ResolveLibraryName(name);
    // The loader wants backslashes in a path.
    std::wstring wide = win32::Widen(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    // No "insert the disk" boxes for a library on a missing drive.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryW(wide.c_str());
    const DWORD code = GetLastError();
    SetErrorMode(previousMode);
    if (module == nullptr) {
        error = path + ": " + win32::ErrorText(code);
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module, path));
}

DynamicLibrary::~DynamicLibrary() { FreeLibrary(static_cast<HMODULE>(m_handle)); }

void* DynamicLibrary::Symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

}  // namespace platform
