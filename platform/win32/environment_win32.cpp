#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/environment.h"
#include "platform/win32/wide_text.h"

namespace platform {

// _wputenv_s changes the C runtime's copy (getenv) and the process's own
// environment (what child processes inherit) together.
bool SetEnvironmentValue(const std::string& name, const std::string& value) {
    if (name.empty() || name.find('=') != std::string::npos) return false;
    return _wputenv_s(win32::Widen(name).c_str(), win32::Widen(value).c_str()) == 0;
}

void UnsetEnvironmentValue(const std::string& name) {
    if (name.empty() || name.find('=') != std::string::npos) return;
    _wputenv_s(win32::Widen(name).c_str(), L"");
}

// Only a console has a mode: _isatty takes every character device for a
// terminal, so that a program run with "< NUL" would wait at a prompt.
bool IsTerminal(int standardStream) {
    const intptr_t handle = _get_osfhandle(standardStream);
    if (handle == -1 || handle == -2) return false;  // no stream, or no handle behind it
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) != 0;
}

}  // namespace platform
