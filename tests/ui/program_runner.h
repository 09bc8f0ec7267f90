// Runs the real programs (quilupdate, quiltool) as a user would: each in a
// private folder of the test, with no display and no terminal, standard
// output and error in files or the output in a pipe the test reads.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

struct ProgramRun {
    int code = -1;  // the exit status, or 128 + the signal that ended it
    std::string out, err;
};

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads the pipe into `seen` until it holds `text` (true), or the pipe ends
// or a minute passes (false).
inline bool ReadUntil(int fd, std::string& seen, const std::string& text) {
    for (int waited = 0; seen.find(text) == std::string::npos; waited += 100) {
        if (waited > 60000) return false;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// Reads the pipe to its end, then closes it.
inline void Drain(int fd, std::string& seen) {
    while (ReadUntil(fd, seen, "\x01never\x01")) {
    }
    ::close(fd);
}

inline constexpr const char* kQuilUpdate = QUIL_BINARY_DIR "/ui/quilupdate";
inline constexpr const char* kQuiltool = QUIL_BINARY_DIR "/tools/quiltool";

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quilupdate_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // Starts `program` with `args` in the test's folder. `extraEnv` entries
    // ("NAME=value") are added; "NAME=" alone removes NAME. Standard output
    // goes to `outFd` when given (a pipe's write end, closed here after the
    // start), else to a file; standard error to a file. `prefix` (e.g.
    // {"unshare", "-n", ...}) runs in front of the program.
    pid_t Spawn(std::vector<std::string> args, const std::string& program = kQuilUpdate,
                const std::vector<std::string>& extraEnv = {}, int outFd = -1,
                const std::vector<std::string>& prefix = {}) {
        args.insert(args.begin(), program);
        args.insert(args.begin(), prefix.begin(), prefix.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
            bool replaced = false;
            for (const std::string& extra : extraEnv) {
                if (entry.rfind(extra.substr(0, extra.find('=') + 1), 0) == 0) replaced = true;
            }
            if (!replaced) env.push_back(entry);
        }
        for (const std::string& extra : extraEnv) {
            if (extra.back() != '=') env.push_back(extra);
        }
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (outFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, outFd, 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, OutPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        posix_spawn_file_actions_addopen(&actions, 2, ErrPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addchdir_np(&actions, m_dir.c_str());
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (outFd >= 0) ::close(outFd);
        return pid;
    }

    // Waits for a program started by Spawn and collects what it wrote.
    ProgramRun Finish(pid_t pid) {
        ProgramRun run;
        if (pid < 0) return run;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return run;
        }
        run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadAll(OutPath());
        run.err = ReadAll(ErrPath());
        return run;
    }

    ProgramRun Start(std::vector<std::string> args, const std::string& program = kQuilUpdate,
                     const std::vector<std::string>& extraEnv = {}) {
        return Finish(Spawn(std::move(args), program, extraEnv));
    }

    std::filesystem::path OutPath() const { return m_dir / "stdout"; }
    std::filesystem::path ErrPath() const { return m_dir / "stderr"; }

    std::filesystem::path m_dir;
};
