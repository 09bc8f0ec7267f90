// quiltool ports and probe: the port list with the name rules applied, and
// the connections the MIDI-port link finds among the built-in virtual units.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/midi_virtual.h"
#include "tests/tools/tool_runner.h"
#include "tools/quiltool/commands.h"

namespace {

class QuiltoolMidiTest : public ::testing::Test {
protected:
    QuiltoolMidiTest() : m_scopedClock(m_clock) {
        char pattern[] = "/tmp/quiltool_midi_test.XXXXXX";
        m_dir = mkdtemp(pattern);
        SetLogFilePath(m_dir + "/QuilUpdate.log");
    }
    ~QuiltoolMidiTest() override {
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove_all(m_dir);
    }

    struct Result {
        int code;
        std::vector<std::string> lines;
        std::string err;
    };
    static Result Run(int (*command)(const quiltool::Args&), const quiltool::Args& args) {
        const Outcome o = RunTool(command, args);
        return Result{o.code, o.Lines(), o.err};
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock;
    std::string m_dir;
};

TEST_F(QuiltoolMidiTest, PortsOfTheBuiltInSet) {
    const Result o = Run(quiltool::RunPorts, {"--simulate"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.lines, (std::vector<std::string>{
                           "out 0 \"Quil USB MIDI 1\" technology=1 candidate=yes",
                           "out 1 \"Quil MIDI 2\" technology=1 candidate=yes",
                           "out 2 \"Quil MIDI 3\" technology=1 candidate=yes",
                           "out 3 \"Quil Virtual MIDI\" technology=1 candidate=no",
                           "out 4 \"Quil Software Synth\" technology=7 candidate=no",
                           "out 5 \"Quil USB MIDI 4\" technology=1 candidate=yes",
                           "in 0 \"Quil USB MIDI 1\" candidate=yes",
                           "in 1 \"Quil MIDI 2\" candidate=yes",
                           "in 2 \"Quil MIDI 3\" candidate=yes",
                           "in 3 \"Quil Virtual MIDI\" candidate=no",
                           "in 4 \"Quil Software Synth\" candidate=yes",
                           "in 5 \"Quil USB MIDI 4\" candidate=yes",
                       }));
}

TEST_F(QuiltoolMidiTest, ProbeFindsTheBuiltInUnits) {
    const Result o = Run(quiltool::RunProbe, {"--simulate"});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.lines, (std::vector<std::string>{
                           "connection 0 in=0 out=0 \"Quil USB MIDI 1\"",
                           "connection 1 in=1 out=1 \"Quil MIDI 2\"",
                           "connection 2 in=2 out=2 \"Quil MIDI 3\"",
                           "connection 3 in=5 out=5 \"Quil USB MIDI 4\"",
                       }));
}

TEST_F(QuiltoolMidiTest, ProbeWithoutAnyUnit) {
    platform::VirtualMidiSystem empty;
    empty.AddPortPair("Quil MIDI 1", nullptr);
    platform::ScopedMidiSystem scoped(empty);
    const Result o = Run(quiltool::RunProbe, {});
    EXPECT_EQ(o.code, 1);
    EXPECT_TRUE(o.lines.empty());
    EXPECT_EQ(o.err, "quiltool: no connection\n");
    EXPECT_EQ(empty.OpenPortCount(), 0u);
}

TEST_F(QuiltoolMidiTest, PortsOfTheSystemFailsWithoutASequencer) {
    // Here that is the ALSA sequencer, usually absent on build machines.
    const Result o = Run(quiltool::RunPorts, {});
    if (o.err.rfind("quiltool: no MIDI sequencer: ", 0) == 0) {
        EXPECT_EQ(o.code, 1);
        EXPECT_TRUE(o.lines.empty());
    } else {
        EXPECT_EQ(o.code, o.lines.empty() ? 1 : 0) << o.err;
    }
}

TEST_F(QuiltoolMidiTest, PortsWithoutAnyPortFoundNothing) {
    platform::VirtualMidiSystem empty;
    platform::ScopedMidiSystem scoped(empty);
    const Result o = Run(quiltool::RunPorts, {});
    EXPECT_EQ(o.code, 1);
    EXPECT_TRUE(o.lines.empty());
    EXPECT_EQ(o.err, "quiltool: no MIDI ports\n");
}

TEST_F(QuiltoolMidiTest, UsageErrors) {
    Result o = Run(quiltool::RunPorts, {"--simulated"});
    EXPECT_EQ(o.code, 2);
    EXPECT_NE(o.err.find("--simulated"), std::string::npos);
    o = Run(quiltool::RunProbe, {"extra"});
    EXPECT_EQ(o.code, 2);
    EXPECT_TRUE(o.lines.empty());
    // An option after the operands is still an option.
    o = Run(quiltool::RunProbe, {"--", "--simulate"});
    EXPECT_EQ(o.code, 2);
}

}  // namespace
