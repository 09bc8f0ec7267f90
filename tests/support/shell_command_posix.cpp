#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "tests/support/shell_command_system.h"

namespace test::os {

const char* const kProgramSuffix = "";

int RunThroughShell(const std::string& command, std::string& out) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::array<char, 4096> buffer{};
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) != 0;) out.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellPath(const std::string& path) { return path; }

int ProcessId() { return static_cast<int>(::getpid()); }

}  // namespace test::os
