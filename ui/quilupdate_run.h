// What the program's mains share on every system: the command line, the
// console view, and the run on the chosen view with the demo's virtual units.
// Each system's main picks the view (the Qt window on Linux, the Win32 dialog
// on Windows, or the console).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/program_options.h"
#include "platform/ui.h"
#include "sim/demo_options.h"

namespace ui {

inline constexpr const char* kProgram = "quilupdate";
inline constexpr const char* kVersion = "0.1";

// Prints the usage error and returns its exit status, 2.
int UsageError(const std::string& reason);

// Parses the arguments after the program's name. Returns the exit status when
// the run ends here (help, version or a usage error), else nothing.
std::optional<int> ParseQuilUpdateCommandLine(const std::vector<std::string>& args, ProgramOptions& options,
                                              std::optional<sim::DemoFault>& fault);

// The console view on standard input and output, with the options' script.
std::unique_ptr<platform::UserInterface> MakeConsoleView(const ProgramOptions& options);

// Installs `view`, sets up the demo's virtual units when asked, runs the
// program and saves the units; returns the exit status.
int RunQuilUpdate(const ProgramOptions& options, const std::optional<sim::DemoFault>& fault,
                  platform::UserInterface& view);

}  // namespace ui
