// quil-sim --dante refuses what it cannot serve, with a clear line and exit
// status 1 (a usage error is 2). Serving and publishing are tested end to end
// in network namespaces. Its help, version and an output that fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/udp_socket.h"

namespace {

struct SimRun {
    int code = -1;
    std::string output;
};

SimRun RunSim(const std::string& args) {
    // Standard error joins the pipe before ARGS may move standard output.
    const std::string command = std::string(QUIL_BINARY_DIR) + "/tools/quil-sim 2>&1 " + args;
    SimRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    const int status = pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(QuilSimDante, RefusesWhatItCannotServe) {
    // The card's port taken on an address of this test's own.
    uint32_t taken = 0;
    ASSERT_TRUE(platform::ParseIpv4("127.0.0.61", taken));
    platform::UdpSocket holder;
    ASSERT_TRUE(holder.Create(false));
    ASSERT_TRUE(holder.Bind(taken, 5647));

    const struct {
        const char* args;
        int code;
        const char* text;
    } cases[] = {
        {"--dante 300.1.1.1", 1, "quil-sim: bad address '300.1.1.1'\n"},
        {"--dante 127.0.0.60,nowhere", 1, "quil-sim: bad address 'nowhere'\n"},
        {"--dante 127.0.0.60,127.0.0.62", 1,
         "quil-sim: the built-in set has 1 units with a VX-DANTE card for 2 addresses\n"},
        {"--dante 127.0.0.61", 1, "quil-sim: cannot serve on 127.0.0.61:5647: Address already in use\n"},
        {"--rawmidi /dev/null --advertise", 2, "usage: quil-sim"},
        {"--rawmidi /dev/null --dante 127.0.0.60", 2, "usage: quil-sim"},
    };
    for (const auto& c : cases) {
        const SimRun run = RunSim(c.args);
        EXPECT_EQ(run.code, c.code) << c.args << '\n' << run.output;
        EXPECT_NE(run.output.find(c.text), std::string::npos) << c.args << '\n' << run.output;
    }
}

TEST(QuilSimProgram, HelpAndVersionAndOutputThatCannotBeWritten) {
    const struct {
        const char* args;
        int code;
        const char* text;
    } cases[] = {
        {"--help", 0, "usage: quil-sim --rawmidi DEVICE"},
        {"--version", 0, "quil-sim (Quil Firmware Update) "},
        {"--help >/dev/full", 1, "quil-sim: standard output: No space left on device\n"},
        {"--version >&-", 1, "quil-sim: standard output is closed\n"},
    };
    for (const auto& c : cases) {
        const SimRun run = RunSim(c.args);
        EXPECT_EQ(run.code, c.code) << c.args << '\n' << run.output;
        EXPECT_EQ(run.output.rfind(c.text, 0), 0u) << c.args << '\n' << run.output;
    }
}

}  // namespace
