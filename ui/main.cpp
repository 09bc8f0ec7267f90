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
#include "app/quil_update_app.h"
#include "platform/log.h"
#include "platform/program_files.h"
#include "platform/ui.h"
#include "sim/demo_options.h"
#include "sim/usb_cards.h"
#include "sim/virtual_midi_setup.h"
#include "ui/console_ui.h"
#include "ui/qt_ui.h"

namespace {

constexpr const char* kProgram = "quilupdate";
constexpr const char* kVersion = "0.1";
// Where the demo's stalled VX-USB download stops, in bytes.
constexpr uint32_t kDemoDfuStallAt = 16384;

int UsageError(const std::string& reason) {
    std::cerr << kProgram << ": " << reason << "\nTry '" << kProgram << " --help' for more information.\n";
    return 2;
}

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

void ReportLogFailure(const char* path, int error) {
    std::cerr << kProgram << ": cannot open the log file " << path << ": " << std::strerror(error)
              << " (the program runs without its log)\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ProgramOptions options;
    std::string error;
    if (!ParseProgramOptions(args, options, error)) return UsageError(error);
    if (options.help) {
        std::cout << ProgramUsage(kProgram, sim::DemoFaultHelp());
        return 0;
    }
    if (options.version) {
        std::cout << kProgram << " (Quil Firmware Update) " << kVersion << '\n';
        return 0;
    }
    std::optional<sim::DemoFault> fault;
    if (options.simFault) {
        fault = sim::ParseDemoFault(*options.simFault);
        if (!fault) return UsageError("unknown fault '" + *options.simFault + "' (see --help)");
    }
    if ((options.update || options.yes) && !options.console) {
        // Pressing Update and answering its box are the console's script.
        options.console = true;
    }

    SetLogOpenFailureHandler(ReportLogFailure);

    const std::string reason = ConsoleReason(options, argc, argv);
    const bool useConsole = options.console || !reason.empty();
    std::unique_ptr<QApplication> qtApp;
    std::unique_ptr<platform::UserInterface> view;
    if (useConsole) {
        if (!reason.empty()) std::cerr << kProgram << ": using the console view: " << reason << '\n';
        auto console = std::make_unique<ui::ConsoleUi>(std::cin, std::cout, ::isatty(STDIN_FILENO) == 1);
        ui::ConsoleScript script;
        script.update = options.update;
        script.yes = options.yes;
        console->SetScript(script);
        console->SetOutputTerminal(::isatty(STDOUT_FILENO) == 1);
        view = std::move(console);
    } else {
        qtApp = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Quil Firmware Update");
        view = std::make_unique<ui::QtUserInterface>();
    }
    platform::ScopedUi scopedView(*view);

    // The demo mode's units answer on virtual MIDI ports, behind the virtual
    // driver, or over the Dante link on loopback, in place of the system's own.
    sim::ScopedBuiltinUnits virtualUnits(options.simulateDriver  ? sim::BuiltinTransport::Driver
                                         : options.simulateDante ? sim::BuiltinTransport::Dante
                                         : options.simulate      ? sim::BuiltinTransport::Midi
                                                                 : sim::BuiltinTransport::None);
    if (options.simState) {
        if (!sim::LoadUnits(virtualUnits.Units(), *options.simState, error)) {
            std::cerr << kProgram << ": cannot load the virtual units from " << *options.simState << ":\n" << error;
            return 1;
        }
    }
    if (fault) {
        // Only the unit being updated receives packets, so the fault strikes
        // the selected unit.
        for (sim::VirtualQuil* unit : virtualUnits.Units()) sim::ApplyDemoFault(*unit, *fault);
    }
    // The VX-USB card's firmware goes through the USB audio driver's
    // library: the demo points the program-files folder at the build's fake
    // of it (whatever the environment said, so that no real driver is
    // reached) and shows the set's cards through it.
    std::unique_ptr<sim::FakeUsbAudio> usbCards;
    if (options.simulate && !options.simulateDriver && !options.simulateDante) {
        ::setenv(platform::ProgramFilesVariable(), sim::FakeUsbProgramFiles().c_str(), 1);
        usbCards = sim::FakeUsbAudio::Open(sim::FakeUsbLibraryPath(), error);
        if (!usbCards) {
            std::cerr << kProgram << ": the VX-USB card is not simulated: " << error << '\n';
        } else {
            sim::PresentUsbCards(*usbCards, virtualUnits.Units());
            if (fault && fault->kind == sim::DemoFault::Kind::DfuStall)
                usbCards->SetFault(kFakeTusbStall, kDemoDfuStallAt);
        }
    }

    CQuilUpdateApp app;
    app.SetCommandLine(options.keywords);
    app.SetDemoMode(options.simulate);
    app.SetInitialEntry(options.unit);
    app.SetUpdateRequested(options.update);
    app.InitInstance();

    int status = app.ExitStatus();
    virtualUnits.StopServing();
    if (usbCards) sim::CollectUsbCards(*usbCards, virtualUnits.Units());
    if (options.simState) {
        error.clear();
        if (!sim::SaveUnits(virtualUnits.Units(), *options.simState, error)) {
            std::cerr << kProgram << ": cannot save the virtual units in " << *options.simState << ":\n" << error;
            status = 1;
        }
    }
    return status;
}
