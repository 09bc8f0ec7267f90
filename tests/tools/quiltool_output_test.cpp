// Where quiltool's output files go, and the conventions of its command line.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/szdd.h"
#include "platform/files.h"
#include "platform/temp_dir.h"
#include "tests/tools/tool_runner.h"
#include "tools/quiltool/commands.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class QuiltoolOutput : public testing::Test {
protected:
    void SetUp() override {
        int error = 0;
        m_dir = platform::TempDir::Create("quiltool-output-", error);
        ASSERT_TRUE(m_dir);
        WriteText(File("plain.txt"), "plain text, not a container");
    }
    std::string File(const std::string& name) const { return m_dir->File(name); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir->Path())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::unique_ptr<platform::TempDir> m_dir;
};

TEST_F(QuiltoolOutput, ADeviceIsWrittenIntoAndStaysADevice) {
    const Outcome o = RunTool(quiltool::RunExtract, {"QUIL0803C.BIN", "/dev/null"});
    EXPECT_EQ(o.code, 0) << o.err;
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(QuiltoolOutput, AFifoIsWrittenIntoAndStaysAFifo) {
    const std::string fifo = File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const pid_t reader = ::fork();
    if (reader == 0) {
        std::ifstream in(fifo, std::ios::binary);
        const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ::_exit(got == "plain text, not a container" ? 0 : 1);
    }
    const Outcome o = RunTool(quiltool::RunExpand, {File("plain.txt"), fifo});
    int status = 0;
    ::waitpid(reader, &status, 0);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(QuiltoolOutput, DashIsStandardOutput) {
    const Outcome o = RunTool(quiltool::RunCompress, {File("plain.txt"), "-"});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out.substr(0, 4), "SZDD");
    EXPECT_FALSE(fs::exists(File("-")));
}

TEST_F(QuiltoolOutput, ALinkIsWrittenThroughToItsTarget) {
    WriteText(File("target"), "old");
    fs::create_symlink("target", File("link"));
    const Outcome o = RunTool(quiltool::RunExpand, {File("plain.txt"), File("link")});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(fs::is_symlink(File("link")));
    EXPECT_EQ(ReadText(File("target")), "plain text, not a container");
}

TEST_F(QuiltoolOutput, ANeighbourNamedLikeTheOldTemporaryIsLeftAlone) {
    WriteText(File("out.part"), "mine");
    const Outcome o = RunTool(quiltool::RunExpand, {File("plain.txt"), File("out")});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(ReadText(File("out.part")), "mine");
    EXPECT_EQ(Names(), (std::vector<std::string>{"out", "out.part", "plain.txt"}));
}

TEST_F(QuiltoolOutput, TheReplacedFileKeepsItsMode) {
    WriteText(File("out"), "old");
    ASSERT_EQ(::chmod(File("out").c_str(), 0604), 0);
    ASSERT_EQ(RunTool(quiltool::RunExpand, {File("plain.txt"), File("out")}).code, 0);
    struct stat st {};
    ASSERT_EQ(::stat(File("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST_F(QuiltoolOutput, TheInputIsNeverItsOwnOutput) {
    fs::create_symlink("plain.txt", File("alias"));
    using Command = int (*)(const quiltool::Args&);
    const std::pair<Command, quiltool::Args> runs[] = {
        {quiltool::RunExpand, {File("plain.txt"), File("plain.txt")}},
        {quiltool::RunExpand, {File("plain.txt"), File("alias")}},
        {quiltool::RunCompress, {File("alias"), File("plain.txt")}},
    };
    for (const auto& [command, args] : runs) {
        const Outcome o = RunTool(command, args);
        EXPECT_EQ(o.code, 1) << args[1];
        EXPECT_NE(o.err.find("is the input file"), std::string::npos) << o.err;
        EXPECT_EQ(ReadText(File("plain.txt")), "plain text, not a container");
    }
}

TEST_F(QuiltoolOutput, CompressRefusesAnEndlessOrOversizedInput) {
    Outcome o = RunTool(quiltool::RunCompress, {"/dev/zero", File("out")});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("/dev/zero: larger than 67108864 bytes"), std::string::npos) << o.err;
    // A regular file is refused by its size, before it is read.
    { std::ofstream big(File("big")); }
    fs::resize_file(File("big"), (uintmax_t{64} << 20) + 1);
    o = RunTool(quiltool::RunCompress, {File("big"), File("out")});
    EXPECT_EQ(o.code, 1);
    EXPECT_FALSE(fs::exists(File("out")));
    EXPECT_EQ(Names(), (std::vector<std::string>{"big", "plain.txt"}));
}

TEST_F(QuiltoolOutput, AnEmptyFileNameIsSaidToBeOne) {
    using Command = int (*)(const quiltool::Args&);
    const std::pair<Command, quiltool::Args> runs[] = {
        {quiltool::RunExpand, {"", File("out")}},      {quiltool::RunExpand, {File("plain.txt"), ""}},
        {quiltool::RunCompress, {"", File("out")}},    {quiltool::RunCompress, {File("plain.txt"), ""}},
        {quiltool::RunExtract, {"QUIL0803C.BIN", ""}},
    };
    for (const auto& [command, args] : runs) {
        const Outcome o = RunTool(command, args);
        EXPECT_EQ(o.code, 1);
        EXPECT_EQ(o.err, "quiltool: empty file name\n") << args[0] << "," << args[1];
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"plain.txt"});
}

// compress holds its input and little more: the container goes out as it is
// made. The program runs with its data (heap and the like) limited to twice
// its input.
TEST_F(QuiltoolOutput, CompressHoldsLittleMoreThanItsInput) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit in a data limit";
#endif
    constexpr size_t kInput = size_t{24} << 20;
    {
        std::vector<char> bytes(kInput);
        uint32_t x = 7;
        for (size_t i = 0; i < bytes.size(); ++i) {
            x = x * 1103515245u + 12345u;
            bytes[i] = static_cast<char>((i / 512) % 3 == 0 ? (x >> 16) : (i & 0x3F));
        }
        std::ofstream(File("big.bin"), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(kInput));
    }
    const std::string program = QUIL_BINARY_DIR "/tools/quiltool";
    const std::string in = File("big.bin");
    const std::string out = File("big.szdd");
    const pid_t child = ::fork();
    if (child == 0) {
        const struct rlimit limit { 2 * kInput, 2 * kInput };
        ::setrlimit(RLIMIT_DATA, &limit);
        ::execl(program.c_str(), program.c_str(), "compress", in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<uint8_t> container;
    std::vector<uint8_t> expanded;
    std::string error;
    ASSERT_EQ(platform::ReadWholeFile(File("big.szdd"), kInput * 2, container, error), platform::ReadStatus::Ok);
    ASSERT_EQ(szdd::ExpandBuffer(container, expanded).status, szdd::Status::Ok);
    EXPECT_EQ(expanded.size(), kInput);
    EXPECT_EQ(expanded[kInput - 1], static_cast<uint8_t>((kInput - 1) & 0x3F));
}

// The program itself: help, version, exit codes and streams.

// What quiltool prints must arrive: a full device or a closed standard output
// fails the run with status 1, and a closed one is never taken for a file.
TEST(QuiltoolProgram, OutputThatCannotBeWrittenFailsTheRun) {
    for (const char* args : {"--help", "--version", "images", "identify --simulate --json", "mixer --list",
                             "crc --text Quil", "extract VXUSB10V00.BIN -", "compress /etc/hostname -"}) {
        const ProgramRun full = RunQuiltool(std::string(args) + " >/dev/full");
        EXPECT_EQ(full.code, 1) << args;
        EXPECT_EQ(full.err, "quiltool: standard output: No space left on device\n") << args;
        const ProgramRun closed = RunQuiltool(std::string(args) + " >&-");
        EXPECT_EQ(closed.code, 1) << args;
        EXPECT_EQ(closed.err, "quiltool: standard output is closed\n") << args;
    }
}

TEST(QuiltoolProgram, HelpAndVersionOnStandardOutput) {
    for (const char* help : {"--help", "-h", "help"}) {
        const ProgramRun run = RunQuiltool(help);
        EXPECT_EQ(run.code, 0) << help;
        EXPECT_EQ(run.out.rfind("usage: quiltool COMMAND [ARGS]\n", 0), 0u) << help;
        EXPECT_NE(run.out.find("  quiltool compress [--max-match N] IN OUT\n"), std::string::npos);
        EXPECT_NE(
            run.out.find("  quiltool mixer [--simulate[=driver|dante]] [--sim-state DIR] [--connection N] get|set "
                         "NAME [ARG...] | mixer --list\n"),
            std::string::npos);
        EXPECT_EQ(run.err, "") << help;
    }
    const ProgramRun command = RunQuiltool("identify --help");
    EXPECT_EQ(command.code, 0);
    EXPECT_EQ(command.out, "usage: quiltool identify [--simulate[=driver|dante]] [--connection N] [--json]\n");
    EXPECT_EQ(RunQuiltool("mixer get MatrixLevel -h").out.rfind("usage: quiltool mixer [--simulate", 0), 0u);
    const ProgramRun version = RunQuiltool("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "quiltool (Quil Firmware Update) 0.1\n");
}

TEST(QuiltoolProgram, UsageErrorsGoToStandardErrorWithStatus2) {
    for (const char* args : {"", "frobnicate", "crc 1 2 3 4", "identify --connection 65535",
                             "compress --max-match 19 a b", "expand --verbose a b"}) {
        const ProgramRun run = RunQuiltool(args);
        EXPECT_EQ(run.code, 2) << args;
        EXPECT_EQ(run.out, "") << args;
        EXPECT_NE(run.err, "") << args;
    }
    EXPECT_NE(RunQuiltool("compress --max-match 19 a b").err.find("from 3 to 18"), std::string::npos);
}

TEST(QuiltoolCommandLine, OptionsComeBeforeOrAfterTheOperands) {
    const Outcome before = RunTool(quiltool::RunCrc, {"--text", "Quil"});
    const Outcome after = RunTool(quiltool::RunCompress, {"/nonexistent/in", "-", "--max-match", "16"});
    EXPECT_EQ(before.code, 0);
    EXPECT_EQ(after.code, 1) << after.err;  // parsed, then the input is missing
    EXPECT_NE(after.err.find("/nonexistent/in"), std::string::npos);
    EXPECT_EQ(RunTool(quiltool::RunCrc, {"F0 0001", "54"}).code, 0);
    EXPECT_EQ(RunTool(quiltool::RunCrc, {"F0 001", "54"}).code, 2);
}

}  // namespace
