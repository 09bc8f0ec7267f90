// The system's part of running a command: one file per system.
#pragma once

#include <string>

namespace test::os {

extern const char* const kProgramSuffix;  // "" or ".exe"

// Runs COMMAND through the shell with its standard output read into OUT;
// the exit status, or -1.
int RunThroughShell(const std::string& command, std::string& out);
// A file name as the shell takes it.
std::string ShellPath(const std::string& path);
int ProcessId();

}  // namespace test::os
