#include "platform/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/clock.h"

namespace {
// The process-wide log file: null until the first successful entry.
FILE* LogFile = nullptr;
std::string g_logPath = "QuilUpdate.log";
LogOpenFailureHandler g_failureHandler = nullptr;
bool g_failureReported = false;
}  // namespace

void LogMessage(const char* format, ...) {
    if (LogFile == nullptr) {
        LogFile = std::fopen(g_logPath.c_str(), "at+");
        if (LogFile == nullptr) {
            const int error = errno;
            if (g_failureHandler != nullptr && !g_failureReported) {
                g_failureReported = true;
                g_failureHandler(g_logPath.c_str(), error);
            }
            return;
        }
    }
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    const platform::LocalTime t = platform::CurrentClock().Now();
    std::fprintf(LogFile, "%04d-%02d-%02d %02d:%02d:%02d %s", t.year, t.month, t.day, t.hour, t.minute, t.second,
                 message);
    // Written out at once: a crash or power loss during an update must not
    // lose the record of it.
    std::fflush(LogFile);
}

void CloseLogFile() {
    if (LogFile != nullptr) {
        std::fclose(LogFile);
        LogFile = nullptr;
    }
}

void SetLogFilePath(const std::string& path) {
    CloseLogFile();
    g_logPath = path;
}

void SetLogOpenFailureHandler(LogOpenFailureHandler handler) {
    g_failureHandler = handler;
    g_failureReported = false;
}
