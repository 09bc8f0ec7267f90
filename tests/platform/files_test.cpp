// Output files and private folders: an interrupt leaves nothing behind.
#include <gtest/gtest.h>
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

}  // namespace
