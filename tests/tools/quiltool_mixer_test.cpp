// quiltool mixer: one operation per run on the built-in units, the registers
// written kept in a state folder from one run to the next, and the command
// line's names, arguments and exit status.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/temp_dir.h"
#include "tests/tools/tool_runner.h"
#include "tools/quiltool/commands.h"

namespace {

TEST(QuiltoolMixer, WrittenRegistersOutliveTheRunInTheStateFolder) {
    int error = 0;
    const auto dir = platform::TempDir::Create("quiltool-mixer-", error);
    ASSERT_TRUE(dir);
    const std::string unit = "--simulate --sim-state " + dir->File("state") + " --connection 0 ";
    struct Step {
        const char* args;
        int code;
        const char* out;
    };
    const Step steps[] = {
        {"set SourceSelect 3", 0, ""},        {"get SourceSelect", 0, "3\n"},    {"set MatrixLevel 0 0 -965", 0, ""},
        {"get MatrixLevel 0 0", 0, "-960\n"}, {"get Register 1024", 0, "216\n"}, {"set MatrixLevel 0 1 -7", 0, ""},
        {"get MatrixLevel 0 1", 0, "-5\n"},   {"get Register 2048", 2, ""},
    };
    for (const Step& step : steps) {
        const ProgramRun run = RunQuiltool("mixer " + unit + step.args);
        EXPECT_EQ(run.code, step.code) << step.args;
        EXPECT_EQ(run.out, step.out) << step.args;
    }
    const ProgramRun source = RunQuiltool("mixer " + unit + "get Register 3");
    ASSERT_EQ(source.code, 0);
    EXPECT_EQ(std::stoi(source.out) & 7, 7);
    // Without the folder the unit starts from its description again.
    EXPECT_EQ(RunQuiltool("mixer --simulate get MatrixLevel 0 0").out, "120\n");
}

TEST(QuiltoolMixer, OperationStatusIsTheExitStatus) {
    // The VX-USB unit takes its source from the card: refused.
    const Outcome refused =
        RunTool(quiltool::RunMixer, {"set", "SourceSelect", "1", "--simulate", "--connection", "3"});
    EXPECT_EQ(refused.code, 1);
    const Outcome sibling =
        RunTool(quiltool::RunMixer, {"--simulate", "--connection", "2", "get", "MatrixLevel", "0", "0"});
    EXPECT_EQ(sibling.code, 1);
    EXPECT_EQ(sibling.out, "");
    const Outcome meter = RunTool(quiltool::RunMixer, {"--simulate", "get", "Meter", "1", "0"});
    EXPECT_EQ(meter.code, 0);
    EXPECT_EQ(meter.out, "0 0\n");
}

TEST(QuiltoolMixer, UnknownNamesAndWrongArgumentsAreUsageErrors) {
    struct Case {
        quiltool::Args args;
        const char* message;
    };
    const Case cases[] = {
        {{"get", "Frobnicate"}, "no operation 'get Frobnicate'"},
        {{"set", "RateStatus", "1"}, "no operation 'set RateStatus'"},
        {{"get", "SourceSelect", "1"}, "takes 0 arguments"},
        {{"set", "MatrixLevel", "0", "0"}, "set MatrixLevel ROW COLUMN LEVEL"},
        {{"set", "MatrixLevel", "0", "-1", "0"}, "COLUMN takes a number from 0 to 255, not '-1'"},
        {{"set", "Register", "70000", "1"}, "REG takes a number from 0 to 65535"},
        {{"put", "Register"}, "get|set NAME"},
        {{"get", "PID", "--frob"}, "unknown option '--frob'"},
        {{"get", "PID", "--connection", "65535"}, "from 0 to 65534"},
        {{"--sim-state", "x", "get", "PID"}, "--sim-state needs --simulate"},
    };
    for (const Case& c : cases) {
        const Outcome o = RunTool(quiltool::RunMixer, c.args);
        EXPECT_EQ(o.code, 2) << c.message;
        EXPECT_EQ(o.out, "") << c.message;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
}

TEST(QuiltoolMixer, ListShowsEveryNameWithItsArguments) {
    const Outcome o = RunTool(quiltool::RunMixer, {"--list"});
    ASSERT_EQ(o.code, 0);
    for (const char* line : {"get SourceSelect", "set SourceSelect VALUE", "get MatrixLevel ROW COLUMN",
                             "set MatrixLevel ROW COLUMN LEVEL", "get Meter BANK INDEX", "set Register REG VALUE",
                             "set ChannelLevel COLUMN GROUP LEVEL", "get Reg42Bit3", "set ReloadRegisters"}) {
        EXPECT_NE(o.out.find(std::string(line) + "\n"), std::string::npos) << line;
    }
}

}  // namespace
