// Temporary files and folders that an interrupt must not leave behind: an
// output file's temporary, the folder an image is expanded in, a unit folder
// being saved. Each is registered while it exists; when SIGINT, SIGTERM or
// SIGHUP (on Windows, the console's Ctrl+C, Ctrl+Break and close events) ends
// the process, every registered path is removed first.
//
// The process-wide table is the one piece of global state here: signals are
// process-wide. Its entries are fixed slots that a signal handler may read.
#pragma once

#include <string>

namespace platform {

enum class TemporaryKind {
    File,
    Folder,  // the files in it, then the folder itself (it holds no subfolders)
};

// Registers `path` and returns its entry, or -1 when the table is full or the
// path too long (the temporary is then only removed the ordinary way).
// Registering installs the system's stop handling (interruptions.h), which
// removes them, for each of the three signals whose action is still the
// default: a program with handling of its own keeps it, and calls
// RemoveTemporaries from it before it ends.
// Call with CleanupSignalsHeld in scope, from creating the temporary to here.
int RegisterTemporary(const std::string& path, TemporaryKind kind);
// Forgets an entry (-1 is ignored); call with CleanupSignalsHeld in scope
// until the temporary is gone or renamed.
void UnregisterTemporary(int entry);

// Removes every temporary this process registered (a child made by fork
// leaves its parent's alone). Safe inside a signal handler (and, on Windows,
// from the console control handler's thread).
void RemoveTemporaries();

// Holds the three signals back for the scope, so that no temporary exists
// without its entry and no entry is dropped while its temporary remains.
class CleanupSignalsHeld {
public:
    CleanupSignalsHeld();
    ~CleanupSignalsHeld();
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

private:
    unsigned char m_saved[128];  // the previous signal mask, as the system keeps it
};

}  // namespace platform
