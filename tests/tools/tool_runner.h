// Runs one quiltool command in-process and captures what it prints, or the
// quiltool program itself.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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
    // One file per test process: CTest runs the tests of a program side by side.
    const std::string errFile = testing::TempDir() + "quiltool-stderr-" + std::to_string(::getpid()) + ".txt";
    const std::string command = QUIL_BINARY_DIR "/tools/quiltool " + args + " 2>" + errFile;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    std::array<char, 4096> buffer{};
    for (size_t n; pipe != nullptr && (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) != 0;)
        out.append(buffer.data(), n);
    const int status = pipe == nullptr ? -1 : ::pclose(pipe);
    std::ifstream err(errFile, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>{});
    std::remove(errFile.c_str());
    return ProgramRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, text};
}
