// quilupdate: the firmware updater. Opens the Qt window when a display is
// there and works in the terminal otherwise.
//
//   quilupdate [--simulate] [keyword...]
//
// --simulate runs on the built-in virtual units; the other words are the
// main window's keywords (SN=, GETSN, FILE=, PROM=, XSLOT).
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/quil_update_app.h"
#include "platform/ui.h"
#include "sim/virtual_midi_setup.h"
#include "ui/console_ui.h"
#include "ui/qt_ui.h"

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

bool HasDisplay() { return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM"); }

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<QApplication> qtApp;
    std::unique_ptr<platform::UserInterface> view;
    if (HasDisplay()) {
        // Takes Qt's own options (-platform, -style...) out of argv.
        qtApp = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName("Quil Firmware Update");
        view = std::make_unique<ui::QtUserInterface>();
    } else {
        view = std::make_unique<ui::ConsoleUi>(std::cin, std::cout, ::isatty(STDIN_FILENO) == 1);
    }
    platform::ScopedUi scopedView(*view);

    bool simulate = false;
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--simulate") == 0) {
            simulate = true;
            continue;
        }
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += argv[i];
    }

    // The demo mode's units answer on virtual MIDI ports in place of the
    // system's own.
    sim::ScopedBuiltinUnits virtualUnits(simulate);

    CQuilUpdateApp app;
    app.SetCommandLine(commandLine);
    app.SetDemoMode(simulate);
    app.InitInstance();
    return 0;
}
