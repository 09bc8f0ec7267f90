// The process's environment variables, set and removed (setenv and unsetenv;
// _wputenv_s on Windows, which keeps the C runtime's copy and the system's
// in step).
#pragma once

#include <string>

namespace platform {

// False when the system refuses (a name with '=' or an empty name).
bool SetEnvironmentValue(const std::string& name, const std::string& value);
void UnsetEnvironmentValue(const std::string& name);

// Whether standard input or output (0 or 1) is a terminal.
bool IsTerminal(int standardStream);

}  // namespace platform
