#include "platform/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include <vector>

#include "platform/clock.h"
#include "platform/log_repeats.h"

namespace {
// The process-wide log file: null until the first successful entry.
FILE* LogFile = nullptr;
platform::LogRepeats g_repeats;
std::string g_logPath = "QuilUpdate.log";
LogOpenFailureHandler g_failureHandler = nullptr;
bool g_failureReported = false;
LogOpenFailureHandler g_writeFailureHandler = nullptr;
bool g_writeFailureReported = false;

void WriteEntries(const std::vector<std::string>& entries) {
    if (entries.empty()) return;
    const platform::LocalTime t = platform::CurrentClock().Now();
    errno = 0;
    bool printed = true;
    for (const std::string& entry : entries) {
        printed = std::fprintf(LogFile, "%04d-%02d-%02d %02d:%02d:%02d %s", t.year, t.month, t.day, t.hour, t.minute,
                               t.second, entry.c_str()) >= 0 &&
                  printed;
    }
    // Written out at once: a crash or power loss during an update must not
    // lose the record of it.
    const bool flushed = std::fflush(LogFile) == 0;
    if ((!printed || !flushed) && g_writeFailureHandler != nullptr && !g_writeFailureReported) {
        g_writeFailureReported = true;
        g_writeFailureHandler(g_logPath.c_str(), errno);
    }
}
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

    std::vector<std::string> entries;
    g_repeats.Offer(message, entries);
    WriteEntries(entries);
}

void CloseLogFile() {
    if (LogFile != nullptr) {
        std::vector<std::string> report;
        g_repeats.Flush(report);
        WriteEntries(report);
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

void SetLogWriteFailureHandler(LogOpenFailureHandler handler) {
    g_writeFailureHandler = handler;
    g_writeFailureReported = false;
}
