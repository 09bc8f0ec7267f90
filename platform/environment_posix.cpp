#include <unistd.h>

#include <cstdlib>

#include "platform/environment.h"

namespace platform {

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

void UnsetEnvironmentValue(const std::string& name) { ::unsetenv(name.c_str()); }

bool IsTerminal(int standardStream) { return ::isatty(standardStream) == 1; }

}  // namespace platform
