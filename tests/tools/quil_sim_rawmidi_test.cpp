// quil-sim on a raw MIDI device, here a pseudo-terminal in raw mode: it
// answers on the wire as the built-in set's first Quil, and on SIGTERM saves
// its state and exits 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "links/nimbra_midi.h"

namespace {

using Bytes = std::vector<uint8_t>;

class QuilSimRawMidiTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quil-sim-rawmidi.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(grantpt(m_master), 0);
        ASSERT_EQ(unlockpt(m_master), 0);
        m_device = ptsname(m_master);
        // Held open so that the terminal stays up between the program's uses.
        m_slave = open(m_device.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(m_slave, 0);
        termios raw{};
        ASSERT_EQ(tcgetattr(m_slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(m_slave, TCSANOW, &raw), 0);
    }
    void TearDown() override {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_slave >= 0) close(m_slave);
        if (m_master >= 0) close(m_master);
        std::filesystem::remove_all(m_dir);
    }

    void Start(std::vector<std::string> args) {
        m_pid = fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            const std::string program = std::string(QUIL_BINARY_DIR) + "/tools/quil-sim";
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    // Waits (in real time: another process answers) for one whole reply.
    Bytes ReadReply() {
        Bytes reply;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{m_master, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            uint8_t byte = 0;
            if (read(m_master, &byte, 1) != 1) break;
            reply.push_back(byte);
            if (byte == 0xF7) break;
        }
        return reply;
    }
    int Stop() {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

    std::string m_dir;
    std::string m_device;
    int m_master = -1;
    int m_slave = -1;
    pid_t m_pid = -1;
};

TEST_F(QuilSimRawMidiTest, AnswersOnTheWireAndSavesItsUnitsWhenStopped) {
    Start({"--rawmidi", m_device, "--sim-state", m_dir + "/state"});
    // A probe arrives with real-time bytes in it and after noise.
    const auto probe = CNimbraMIDI::DiscoveryProbe(5);
    Bytes wire{0x45, 0xF7, 0x90, 0x40};
    wire.insert(wire.end(), probe.begin(), probe.begin() + 3);
    wire.push_back(0xF8);
    wire.insert(wire.end(), probe.begin() + 3, probe.end());
    ASSERT_EQ(write(m_master, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    const Bytes reply = ReadReply();
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(reply.data(), static_cast<uint32_t>(reply.size())), 5);

    const int status = Stop();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/state/3118220001"));
}

TEST_F(QuilSimRawMidiTest, RefusesMoreDevicesThanTheSetHasUnits) {
    std::string devices = m_device;
    // Five devices for the set's four units.
    for (int i = 0; i < 4; ++i) devices += "," + m_device;
    Start({"--rawmidi", devices});
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
