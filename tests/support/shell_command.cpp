// Running a command, as on every system: the standard error file and the
// line ends. The shell itself is the system's (shell_command_posix.cpp,
// shell_command_win32.cpp).
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/shell_command.h"
#include "tests/support/shell_command_system.h"

namespace test {

namespace {

std::string ReadAndRemove(const std::filesystem::path& path) {
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return text;
}

// Windows' text files end their lines in "\r\n".
std::string UnixLines(const std::string& text) {
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines.push_back(text[i]);
    }
    return lines;
}

}  // namespace

ShellRun RunShellCommand(const std::string& command) {
    static std::atomic<int> runs{0};
    const std::filesystem::path errFile =
        std::filesystem::temp_directory_path() /
        ("quil-test-stderr-" + std::to_string(os::ProcessId()) + "-" + std::to_string(++runs) + ".txt");
    ShellRun run;
    run.code = os::RunThroughShell(command + " 2>" + os::ShellPath(errFile.string()), run.out);
    run.out = UnixLines(run.out);
    run.err = UnixLines(ReadAndRemove(errFile));
    return run;
}

std::string BuildProgram(const std::string& relativePath) {
    return os::ShellPath(QUIL_BINARY_DIR "/" + relativePath + os::kProgramSuffix);
}

}  // namespace test
