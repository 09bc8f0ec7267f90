// Runs one quiltool command in-process and captures what it prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
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
