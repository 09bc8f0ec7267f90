// The registry's program-files folder on Windows, by name for tests: the
// value "ProgramW6432Dir" for a 32-bit process on 64-bit Windows, else
// "ProgramFilesDir"; "<drive>:\Program Files" when neither can be read.
#pragma once

#include <string>

namespace platform {

std::string RegistryProgramFilesFolder(bool wow64);

}  // namespace platform
