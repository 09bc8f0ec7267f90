// The program-files folder on Windows: the registry's value, chosen with
// IsWow64Process so that a 32-bit process on 64-bit Windows finds the 64-bit
// folder; the environment variable still overrides it for the demo and tests.
#include <windows.h>

#include <cstdlib>

#include "platform/program_files.h"
#include "platform/win32/program_files_win32.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

// Looked up by name: a system without it is simply not 64-bit.
bool RunsUnderWow64() {
    static const auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace

const char* ProgramFilesVariable() { return sizeof(void*) == 4 ? "QUIL_PROGRAM_FILES_32" : "QUIL_PROGRAM_FILES"; }

std::string RegistryProgramFilesFolder(bool wow64) {
    const wchar_t* value = wow64 ? L"ProgramW6432Dir" : L"ProgramFilesDir";
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", value, RRF_RT_REG_SZ, nullptr,
                     buffer, &size) == ERROR_SUCCESS) {
        return win32::Narrow(buffer);
    }
    // The value cannot be read: the Windows drive's usual folder.
    wchar_t windows[MAX_PATH] = {};
    const wchar_t drive = GetWindowsDirectoryW(windows, MAX_PATH) > 0 ? windows[0] : L'C';
    return win32::Narrow(std::wstring(1, drive) + L":\\Program Files");
}

std::string ProgramFilesFolder() {
    const char* override = std::getenv(ProgramFilesVariable());
    if (override != nullptr && override[0] != '\0') return override;
    return RegistryProgramFilesFolder(RunsUnderWow64());
}

const char* LibrarySuffix() { return ".dll"; }

}  // namespace platform
