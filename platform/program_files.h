// Where optional vendor software is installed: the program-files folder that
// the USB audio driver's library is looked for under. On Linux there is no
// registry: an environment variable names the folder, else /opt.
#pragma once

#include <string>

namespace platform {

// The variable a process of this word size reads. A process loads only
// libraries of its own word size, so a 32-bit build has its own folder,
// the way a 32-bit process on 64-bit Windows reads another value.
const char* ProgramFilesVariable();

// Used when the variable is unset or empty.
inline constexpr const char* kDefaultProgramFiles = "/opt";

// The folder, without a trailing separator added.
std::string ProgramFilesFolder();

// The file-name suffix of a loadable library here (".so").
const char* LibrarySuffix();

}  // namespace platform
