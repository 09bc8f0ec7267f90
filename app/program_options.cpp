#include "app/program_options.h"

#include <charconv>

#include "app/batch_update.h"
#include "app/command_line.h"

namespace {

bool ParseEntry(const std::string& text, int& entry) {
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, entry);
    return error == std::errc() && last == end && entry >= 0;
}

}  // namespace

bool ParseProgramOptions(const std::vector<std::string>& args, ProgramOptions& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // "--name=value" or "--name value".
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            const size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                inlineValue = arg.substr(equals + 1);
            }
        }
        const auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
            } else if (i + 1 < args.size()) {
                out = args[++i];
            } else {
                error = "option '" + name + "' needs a value";
                return false;
            }
            if (out.empty()) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            return true;
        };
        const auto flag = [&](bool& out) {
            if (inlineValue) {
                error = "option '" + name + "' takes no value";
                return false;
            }
            out = true;
            return true;
        };

        bool ok = true;
        std::string text;
        if (name == "--simulate" && inlineValue) {
            ok = *inlineValue == "driver" || *inlineValue == "dante";
            if (!ok) error = "option '--simulate' takes no value, '=driver' or '=dante'";
            options.simulate = ok;
            options.simulateDriver = ok && *inlineValue == "driver";
            options.simulateDante = ok && *inlineValue == "dante";
        } else if (name == "--simulate") {
            ok = flag(options.simulate);
        } else if (name == "--sim-quick") {
            ok = flag(options.simQuick);
        } else if (name == "--console") {
            ok = flag(options.console);
        } else if (name == "--update") {
            ok = flag(options.update);
        } else if (name == "--all") {
            ok = flag(options.all);
        } else if (name == "--force") {
            ok = flag(options.force);
        } else if (name == "--json") {
            ok = flag(options.json);
        } else if (name == "--yes") {
            ok = flag(options.yes);
        } else if (name == "--help") {
            ok = flag(options.help);
        } else if (name == "--version") {
            ok = flag(options.version);
        } else if (name == "--sim-state") {
            ok = value(text);
            if (ok) options.simState = text;
        } else if (name == "--sim-fault") {
            ok = value(text);
            if (ok) options.simFault = text;
        } else if (name == "--unit") {
            ok = value(text);
            int entry = 0;
            if (ok && !ParseEntry(text, entry)) {
                error = "option '--unit' needs an entry number from 0, not '" + text + "'";
                ok = false;
            }
            if (ok) options.unit = entry;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option '" + arg + "'";
            ok = false;
        } else {
            if (!options.keywords.empty()) options.keywords += ' ';
            options.keywords += arg;
        }
        if (!ok) return false;
    }
    if (!options.simulate && (options.simState || options.simFault || options.simQuick)) {
        error = std::string("option '") +
                (options.simState   ? "--sim-state"
                 : options.simFault ? "--sim-fault"
                                    : "--sim-quick") +
                "' needs --simulate";
        return false;
    }
    return CheckBatchOptions(options, error);
}

bool CheckBatchOptions(const ProgramOptions& options, std::string& error) {
    const auto refuse = [&error](const std::string& reason) {
        error = reason;
        return false;
    };
    if (options.force && !options.all) return refuse("option '--force' goes with '--all'");
    // The events take the console's output: the window has none to give.
    if (options.json && !options.console && !options.update && !options.yes)
        return refuse("option '--json' goes with the console view ('--console' or '--update')");
    if (!options.all) return true;
    if (!options.update) return refuse("option '--all' goes with '--update'");
    if (options.unit) return refuse("options '--all' and '--unit' exclude each other: --all takes every entry");
    const CommandLineKeywords keywords = ParseCommandLineKeywords(options.keywords);
    if (keywords.serialText) return refuse("keyword 'SN=' names one unit; it does not go with '--all'");
    if (keywords.askSerial) return refuse("keyword 'GETSN' asks for one unit; it does not go with '--all'");
    if (keywords.forceXSlot) return refuse("keyword 'XSLOT' selects one card; it does not go with '--all'");
    BatchImages images;
    return SortBatchImages(keywords.filePaths, images, error);
}

std::string ProgramUsage(const std::string& program, const std::string& faultHelp) {
    return "Usage: " + program +
           " [OPTION]... [KEYWORD]...\n"
           "Finds the Quil converters and option cards this computer can reach, shows what each one\n"
           "runs, and updates its firmware.\n"
           "\n"
           "Options:\n"
           "  --simulate         work on the built-in virtual units instead of real ones\n"
           "  --simulate=driver  the same units behind the virtual Thunderbolt driver\n"
           "  --simulate=dante   the units with a VX-DANTE card, over the Dante link on loopback addresses\n"
           "  --sim-state DIR    load the virtual units from DIR when it holds them, save them there on exit\n"
           "  --sim-fault FAULT  inject a fault into the virtual unit being updated:\n" +
           faultHelp +
           "                     (with --all, the first unit of the set only)\n"
           "  --sim-quick        the virtual units erase, program and verify in milliseconds, not seconds\n"
           "  --console          use the console view even when a display is there\n"
           "  --unit N           select entry N of the unit list (from 0), as the user would\n"
           "  --update           press Update for the selected entry (console view)\n"
           "  --all              with --update: update every unit and card that needs it, each card before\n"
           "                     its unit, after one confirmation, and print a summary (console view)\n"
           "  --force            with --all: also update the entries that already run the image's version\n"
           "  --json             console view: print one JSON object per line instead of the screen text\n"
           "  --yes              answer the update's confirmation with OK (without it the console asks,\n"
           "                     and without a terminal it cancels)\n"
           "  --help             show this help and exit\n"
           "  --version          show the version and exit\n"
           "\n"
           "Keywords (any case):\n"
           "  SN=NNNNNNNNNN      write this serial number into the selected unit and exit\n"
           "  GETSN              ask for the serial number of every selected entry\n"
           "  FILE=PATH          program the image file PATH instead of the built-in image; with --all,\n"
           "                     one FILE= per device kind (Quil, VX-DANTE, VX-USB)\n"
           "  PROM=1|2           flash bank of the Quil to program (default 2)\n"
           "  XSLOT              update the option card of the selected unit\n"
           "\n"
           "Exit status: 0 on success, 1 on a failure (or an update that did not finish), 2 on a usage error.\n"
           "Everything the program does is logged in QuilUpdate.log in the working directory.\n";
}
