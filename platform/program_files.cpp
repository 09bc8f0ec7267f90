#include "platform/program_files.h"

#include <cstdlib>

namespace platform {

const char* ProgramFilesVariable() { return sizeof(void*) == 4 ? "QUIL_PROGRAM_FILES_32" : "QUIL_PROGRAM_FILES"; }

std::string ProgramFilesFolder() {
    const char* value = std::getenv(ProgramFilesVariable());
    if (value == nullptr || value[0] == '\0') return kDefaultProgramFiles;
    return value;
}

const char* LibrarySuffix() { return ".so"; }

}  // namespace platform
