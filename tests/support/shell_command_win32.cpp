#include <windows.h>
// after windows.h
#include <process.h>

#include <array>
#include <cstdio>

#include "platform/win32/wide_text.h"
#include "tests/support/shell_command_system.h"

namespace test::os {

const char* const kProgramSuffix = ".exe";

int RunThroughShell(const std::string& command, std::string& out) {
    // cmd.exe /c strips one pair of outer quotes; they keep the line whole.
    FILE* pipe = ::_wpopen(platform::win32::Widen("\"" + command + "\"").c_str(), L"rb");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> buffer{};
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) != 0;) out.append(buffer.data(), n);
    return ::_pclose(pipe);
}

// "/work/build/x" is "\work\build\x" on the current drive.
std::string ShellPath(const std::string& path) {
    std::string windows = path;
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

int ProcessId() { return ::_getpid(); }

}  // namespace test::os
