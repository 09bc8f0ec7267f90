// quilupdate: the firmware updater. Opens the Qt window when a display can
// be used and works in the terminal otherwise.
//
//   quilupdate [OPTION]... [KEYWORD]...     (quilupdate --help lists them)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/program_options.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "ui/qt_ui.h"
#include "ui/quilupdate_run.h"

namespace {

using ui::kProgram;

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// Qt ends the process when its platform cannot start (an unreachable
// display): a child tries first, so that the program can fall back to the
// console instead of dying without a word or a log entry.
bool QtCanStart(int argc, char** argv) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            ::dup2(devnull, STDERR_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
        }
        QApplication probe(argc, argv);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Why the console view is used, or empty when the window can be shown.
std::string ConsoleReason(const ProgramOptions& options, int argc, char** argv) {
    if (options.console) return {};
    if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY"))
        return "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    if (const char* platform = std::getenv("QT_QPA_PLATFORM")) {
        const std::string name = platform;
        if (name.rfind("offscreen", 0) == 0 || name.rfind("minimal", 0) == 0)
            return "Qt's platform '" + name + "' shows no window";
    }
    if (!QtCanStart(argc, argv)) return "the display cannot be opened";
    return {};
}

int Run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ProgramOptions options;
    std::optional<sim::DemoFault> fault;
    if (const std::optional<int> done = ui::ParseQuilUpdateCommandLine(args, options, fault)) return *done;

    const std::string reason = ConsoleReason(options, argc, argv);
    const bool useConsole = options.console || !reason.empty();
    std::unique_ptr<QApplication> qtApp;
    std::unique_ptr<platform::UserInterface> view;
    if (useConsole) {
        if (!reason.empty()) std::cerr << kProgram << ": using the console view: " << reason << '\n';
        view = ui::MakeConsoleView(options);
    } else {
        qtApp = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Quil Firmware Update");
        view = std::make_unique<ui::QtUserInterface>();
    }
    return ui::RunQuilUpdate(options, fault, *view);
}

}  // namespace

int main(int argc, char** argv) {
    platform::ReserveStandardStreams();
    return platform::FinishProgram(kProgram, Run(argc, argv));
}
