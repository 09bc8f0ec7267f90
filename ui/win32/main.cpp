// quilupdate.exe: the firmware updater on Windows. Opens the Win32 dialog;
// with --console (or a scripted update) it works in the console it was
// started from instead.
//
//   quilupdate [OPTION]... [KEYWORD]...     (quilupdate --help lists them)
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/win32/wide_text.h"
#include "ui/quilupdate_run.h"
#include "ui/win32/win32_ui.h"

namespace {

bool Usable(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A GUI program starts without a console. When it was started from one, or
// with its standard streams redirected, those are what it talks to.
void AttachParentConsole() {
    if (Usable(STD_OUTPUT_HANDLE) && Usable(STD_ERROR_HANDLE)) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    FILE* ignored = nullptr;
    if (!Usable(STD_INPUT_HANDLE)) freopen_s(&ignored, "CONIN$", "r", stdin);
    if (!Usable(STD_OUTPUT_HANDLE)) freopen_s(&ignored, "CONOUT$", "w", stdout);
    if (!Usable(STD_ERROR_HANDLE)) freopen_s(&ignored, "CONOUT$", "w", stderr);
    std::ios::sync_with_stdio(true);
    std::cin.clear();
    std::cout.clear();
    std::cerr.clear();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    AttachParentConsole();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(platform::win32::Narrow(argv[i]));
    ProgramOptions options;
    std::optional<sim::DemoFault> fault;
    if (const std::optional<int> done = ui::ParseQuilUpdateCommandLine(args, options, fault)) {
        return platform::FinishProgram(ui::kProgram, *done);
    }
    std::unique_ptr<platform::UserInterface> view =
        options.console ? ui::MakeConsoleView(options) : ui::MakeWin32View();
    return platform::FinishProgram(ui::kProgram, ui::RunQuilUpdate(options, fault, *view));
}
