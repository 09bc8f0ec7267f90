// Runs a command line through the system's shell, as a user at a prompt
// would: /bin/sh on Linux, cmd.exe on Windows. The tests start the programs
// of this build as children through it.
#pragma once

#include <string>

namespace test {

struct ShellRun {
    int code = -1;    // the exit status; -1 when the shell could not run or a signal ended it
    std::string out;  // standard output and error: lines end in "\n" on every system
    std::string err;
};

// Runs COMMAND with its standard error in a file of this process that goes
// again afterwards (runs side by side do not share one).
ShellRun RunShellCommand(const std::string& command);

// A program of this build ("tools/quiltool") as the shell names it.
std::string BuildProgram(const std::string& relativePath);

}  // namespace test
