#include "ui/quilupdate_run.h"

#include <cstring>
#include <iostream>

#include "app/batch_update.h"
#include "app/command_line.h"
#include "app/quil_update_app.h"
#include "platform/environment.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "platform/program_files.h"
#include "sim/state_store.h"
#include "sim/usb_cards.h"
#include "sim/virtual_midi_setup.h"
#include "ui/batch_views.h"
#include "ui/console_ui.h"

namespace ui {

namespace {

// Where the demo's stalled VX-USB download stops, in bytes.
constexpr uint32_t kDemoDfuStallAt = 16384;
// Each erase, program and verify of a virtual unit under --sim-quick.
constexpr uint32_t kQuickFlashMs = 20;

void ReportLogFailure(const char* path, int error) {
    std::cerr << kProgram << ": cannot open the log file " << path << ": " << std::strerror(error)
              << " (the program runs without its log)\n";
}

void ReportLogWriteFailure(const char* path, int error) {
    std::cerr << kProgram << ": cannot write the log file " << path << ": " << std::strerror(error)
              << " (its entries are being lost)\n";
}

// Saves the demo's units; a save that fails is logged and said plainly.
void SaveVirtualUnits(sim::StateFolder& state, const std::vector<sim::VirtualQuil*>& units, CQuilUpdateApp& app) {
    std::string error;
    if (state.Save(units, error)) return;
    const std::string folder = state.Path().string();
    LogMessage("The virtual units' state was NOT kept in %s:\n%s", folder.c_str(), error.c_str());
    std::cerr << kProgram << ": the virtual units' state was NOT kept in " << folder
              << " (each unit named keeps what the folder held for it before this run):\n"
              << error;
    app.SetExitStatus(1);
}

}  // namespace

int UsageError(const std::string& reason) {
    std::cerr << kProgram << ": " << reason << "\nTry '" << kProgram << " --help' for more information.\n";
    return 2;
}

std::optional<int> ParseQuilUpdateCommandLine(const std::vector<std::string>& args, ProgramOptions& options,
                                              std::optional<sim::DemoFault>& fault) {
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
    if (options.simFault) {
        fault = sim::ParseDemoFault(*options.simFault);
        if (!fault) return UsageError("unknown fault '" + *options.simFault + "' (see --help)");
    }
    if ((options.update || options.yes) && !options.console) {
        // Pressing Update and answering its box are the console's script.
        options.console = true;
    }
    SetLogOpenFailureHandler(ReportLogFailure);
    platform::SetInterruptionsProgramName(kProgram);
    SetLogWriteFailureHandler(ReportLogWriteFailure);
    return std::nullopt;
}

std::unique_ptr<platform::UserInterface> MakeConsoleView(const ProgramOptions& options) {
    // A reader that goes away is a failed write the view notes, not the end
    // of the program.
    platform::FailWritesToAGoneReader();
    auto console = std::make_unique<ConsoleUi>(std::cin, std::cout, platform::IsTerminal(0));
    ConsoleScript script;
    script.update = options.update;
    script.yes = options.yes;
    console->SetScript(script);
    console->SetOutputTerminal(platform::IsTerminal(1));
    console->SetJsonEvents(options.json);
    return console;
}

int RunQuilUpdate(const ProgramOptions& options, const std::optional<sim::DemoFault>& fault,
                  platform::UserInterface& view) {
    platform::ScopedUi scopedView(view);
    std::string error;

    // The demo mode's units answer on virtual MIDI ports, behind the virtual
    // driver, or over the Dante link on loopback, in place of the system's own.
    sim::ScopedBuiltinUnits virtualUnits(options.simulateDriver  ? sim::BuiltinTransport::Driver
                                         : options.simulateDante ? sim::BuiltinTransport::Dante
                                         : options.simulate      ? sim::BuiltinTransport::Midi
                                                                 : sim::BuiltinTransport::None);
    if (const std::string why = virtualUnits.Error(); !why.empty()) {
        std::cerr << kProgram << ": " << why << '\n';
        return 1;
    }
    // The folder is held for the whole run and known to be writable before
    // any unit hears a byte.
    std::unique_ptr<sim::StateFolder> state;
    if (options.simState) {
        state = sim::StateFolder::Open(*options.simState, kProgram, error);
        if (!state) {
            std::cerr << kProgram << ": cannot use the state folder: " << error << '\n';
            return 1;
        }
        if (!state->Load(virtualUnits.Units(), error)) {
            std::cerr << kProgram << ": cannot load the virtual units from " << *options.simState << ":\n" << error;
            return 1;
        }
    }
    if (options.simQuick) {
        for (sim::VirtualQuil* unit : virtualUnits.Units()) unit->SetQuickFlash(kQuickFlashMs);
    }
    if (fault) {
        // Only the unit being updated receives packets, so the fault strikes
        // the selected unit. An update of every unit writes them all: the
        // fault goes to the first unit of the set alone, so that the run
        // shows one failure among updates that succeed.
        for (sim::VirtualQuil* unit : virtualUnits.Units()) {
            sim::ApplyDemoFault(*unit, *fault);
            if (options.all) break;
        }
    }
    // The VX-USB card's firmware goes through the USB audio driver's
    // library: the demo points the program-files folder at the build's fake
    // of it (whatever the environment said, so that no real driver is
    // reached) and shows the set's cards through it.
    std::unique_ptr<sim::FakeUsbAudio> usbCards;
    if (options.simulate && !options.simulateDriver && !options.simulateDante) {
        platform::SetEnvironmentValue(platform::ProgramFilesVariable(), sim::FakeUsbProgramFiles());
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
    // --all: the run goes through every unit instead of the main window,
    // shown as screen text or JSON lines.
    std::unique_ptr<BatchView> batchView;
    if (options.all) {
        auto* console = dynamic_cast<ConsoleUi*>(&view);
        if (console != nullptr && console->JsonEvents() != nullptr) {
            batchView = std::make_unique<JsonBatchView>(*console->JsonEvents());
        } else {
            batchView = std::make_unique<TextBatchView>(std::cout, platform::IsTerminal(1));
        }
        const CommandLineKeywords keywords = ParseCommandLineKeywords(options.keywords);
        BatchOptions batch;
        SortBatchImages(keywords.filePaths, batch.images, error);  // checked with the options
        batch.force = options.force;
        batch.bank = keywords.bank.value_or(1);
        app.SetMainWindowRunner([batch, &batchView](CQuilUpdateApp& run) {
            run.SetExitStatus(RunBatchUpdate(batch, *batchView));
            return 0;
        });
    }
    // --json for one unit: the main window runs as ever, its screen text
    // left out, and what it does told as the same events.
    std::unique_ptr<JsonBatchView> report;
    if (!options.all) {
        auto* console = dynamic_cast<ConsoleUi*>(&view);
        if (console != nullptr && console->JsonEvents() != nullptr) {
            report = std::make_unique<JsonBatchView>(*console->JsonEvents(), JsonBatchView::Run::OneUnit);
            app.SetReport(report.get());
        }
    }
    app.SetCommandLine(options.keywords);
    app.SetDemoMode(options.simulate);
    app.SetInitialEntry(options.unit);
    app.SetUpdateRequested(options.update);
    app.SetUnattended(options.update && options.yes);
    app.SetBeforeExit([&](CQuilUpdateApp& self) {
        virtualUnits.StopServing();
        if (usbCards) sim::CollectUsbCards(*usbCards, virtualUnits.Units());
        if (state) SaveVirtualUnits(*state, virtualUnits.Units(), self);
    });
    app.InitInstance();
    return app.ExitStatus();
}

}  // namespace ui
