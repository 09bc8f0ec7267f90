// Output files: an interrupted write leaves nothing behind. Plain files:
// never a link, a FIFO or what is there already.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/files.h"
#include "platform/temp_dir.h"

namespace {

TEST(OutputFile, ATerminatedWriteRemovesItsTemporary) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        int error = 0;
        const auto dir = platform::TempDir::Create("files-", error);
        ASSERT_TRUE(dir);
        const pid_t child = ::fork();
        if (child == 0) {
            std::string openError;
            const auto out = platform::OutputFile::Open(dir->File("out"), openError);
            const std::vector<uint8_t> bytes(1000, 0x55);
            if (!out || !out->Write(bytes) || !std::filesystem::exists(out->TempPath())) ::_exit(3);
            // A private folder with a file in it goes too.
            const auto inner = platform::TempDir::Create("inner-", error, dir->Path());
            if (!inner) ::_exit(5);
            std::ofstream(inner->File("QUIL0803C.BIN")) << "image";
            ::raise(signal);
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_TRUE(std::filesystem::is_empty(dir->Path())) << signal;
    }
}

TEST(ReadWholeFile, StopsAtTheLimit) {
    std::vector<uint8_t> data;
    std::string error;
    EXPECT_EQ(platform::ReadWholeFile("/dev/zero", 100000, data, error), platform::ReadStatus::TooLarge);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(platform::ReadWholeFile("/nonexistent", 10, data, error), platform::ReadStatus::OpenFailed);
    EXPECT_EQ(error, "/nonexistent: No such file or directory");
}

TEST(PlainFiles, LinksFifosFoldersAndWhatExistsAreRefused) {
    int error = 0;
    const auto dir = platform::TempDir::Create("plain-", error);
    ASSERT_TRUE(dir);
    std::ofstream(dir->File("plain")) << "plain";
    std::filesystem::create_symlink(dir->File("plain"), dir->File("link"));
    std::filesystem::create_symlink(dir->File("target"), dir->File("dangling"));
    ASSERT_EQ(::mkfifo(dir->File("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir->File("folder"));
    using platform::ReadStatus;
    const struct {
        std::string path;
        ReadStatus status;
        std::string error;
    } reads[] = {
        {dir->File("plain"), ReadStatus::Ok, ""},
        {dir->File("link"), ReadStatus::NotPlainFile, dir->File("link") + ": is a symbolic link"},
        {dir->File("dangling"), ReadStatus::NotPlainFile, dir->File("dangling") + ": is a symbolic link"},
        {dir->File("fifo"), ReadStatus::NotPlainFile, dir->File("fifo") + ": is not a plain file"},
        {dir->File("folder"), ReadStatus::NotPlainFile, dir->File("folder") + ": is not a plain file"},
        {dir->File("missing"), ReadStatus::OpenFailed, dir->File("missing") + ": No such file or directory"},
        {"", ReadStatus::OpenFailed, "empty file name"},
    };
    for (const auto& r : reads) {
        std::vector<uint8_t> data;
        std::string text;
        EXPECT_EQ(platform::ReadPlainFile(r.path, 100, data, text), r.status) << r.path;
        EXPECT_EQ(text, r.error);
        EXPECT_EQ(data.size(), r.status == ReadStatus::Ok ? 5u : 0u);
    }

    const std::vector<uint8_t> bytes{1, 2, 3};
    std::string text;
    for (const char* taken : {"plain", "link", "dangling", "fifo"}) {
        EXPECT_FALSE(platform::WriteNewFile(dir->File(taken), bytes, text)) << taken;
        EXPECT_EQ(text, dir->File(taken) + ": File exists");
    }
    EXPECT_FALSE(std::filesystem::exists(dir->File("target")));
    ASSERT_TRUE(platform::WriteNewFile(dir->File("new"), bytes, text)) << text;
    std::vector<uint8_t> back;
    ASSERT_EQ(platform::ReadPlainFile(dir->File("new"), 10, back, text), ReadStatus::Ok);
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(platform::WriteNewFile("", bytes, text));
    EXPECT_EQ(text, "empty file name");
}

}  // namespace
