// Runs one quiltool command in-process and captures what it prints, or the
// quiltool program itself.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/shell_command.h"
#include "tools/quiltool/commands.h"

struct Outcome {
    int code;
    std::string out;
    std::string err;

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

inline Outcome RunTool(int (*command)(const quiltool::Args&), const quiltool::Args& args) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int code = command(args);
    std::fflush(stdout);
    std::fflush(stderr);
    return Outcome{code, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

struct ProgramRun {
    int code;
    std::string out;
    std::string err;
};

// Runs the quiltool program itself with `args` (a shell word list): each run
// is a fresh process, so the built-in units power-cycle between runs.
inline ProgramRun RunQuiltool(const std::string& args) {
    const test::ShellRun run = test::RunShellCommand(test::BuildProgram("tools/quiltool") + " " + args);
    return ProgramRun{run.code, run.out, run.err};
}
