// How a program ends: what it printed is flushed, and a standard output that
// did not take it makes the status 1. Shared by every system; only whether
// standard output is closed is asked of the back-end.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/files.h"

namespace platform {

namespace {
bool g_keepStatus = false;
}  // namespace

bool FinishStandardOutput(std::string& error) {
    // The streams share stdio's buffer; the first flush that fails keeps
    // the reason.
    errno = 0;
    std::cout.flush();
    int code = errno;
    const bool flushed = std::fflush(stdout) == 0;
    if (code == 0) code = errno;
    if (flushed && std::ferror(stdout) == 0 && !std::cout.fail()) return true;
    if (code == EBADF || StandardOutputClosed()) {
        error = kStandardOutputClosed;
    } else {
        error = std::string("standard output: ") + (code != 0 ? std::strerror(code) : "write error");
    }
    return false;
}

int FinishProgram(const char* program, int status) {
    std::string error;
    if (FinishStandardOutput(error) || g_keepStatus) return status;
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return status == 0 ? 1 : status;
}

void KeepStatusDespiteLostOutput() { g_keepStatus = true; }

}  // namespace platform
