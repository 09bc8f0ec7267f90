// The application log "QuilUpdate.log": one time-stamped entry per call,
// appended in the working directory.
#pragma once

#include <string>

// printf-style; formats the message and appends
// "YYYY-MM-DD hh:mm:ss <message>". Adds no line end of its own. Never reports
// a failure: when the file cannot be opened the entry is dropped and the next
// call tries again. Repeats of an entry or a block of entries are counted
// rather than written, and reported in one entry (platform/log_repeats.h).
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log file (after the exit entry); the next LogMessage reopens it.
void CloseLogFile();

// Tests and tools may redirect the log to another path (default
// "QuilUpdate.log" in the working directory). Closes the open file.
void SetLogFilePath(const std::string& path);

// Called once, at the first entry that cannot be written because the file
// cannot be opened (the program goes on without its log).
using LogOpenFailureHandler = void (*)(const char* path, int error);
void SetLogOpenFailureHandler(LogOpenFailureHandler handler);
// Called once, at the first entry that the open file does not take (a full
// disk, /dev/full); later entries are still tried.
void SetLogWriteFailureHandler(LogOpenFailureHandler handler);
