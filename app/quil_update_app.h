// The application object: start-up checks (operating system, mains power),
// the main window run modally, and the closing log entry.
#pragma once

#include <functional>
#include <string>

class CQuilUpdateApp;

// Runs the main window modally and returns its result once the user has
// closed it. Everything the user does happens inside this call.
using MainWindowRunner = std::function<int(CQuilUpdateApp& app)>;

class CQuilUpdateApp {
public:
    CQuilUpdateApp();

    // The raw command line after the program name; the main window reads its
    // keywords from it.
    void SetCommandLine(std::string commandLine) { m_commandLine = std::move(commandLine); }
    const std::string& GetCommandLine() const { return m_commandLine; }

    // Demo mode: the main window works on the built-in virtual units.
    void SetDemoMode(bool demo) { m_bDemoMode = demo; }
    bool IsDemoMode() const { return m_bDemoMode; }

    void SetMainWindowRunner(MainWindowRunner runner) { m_runMainWindow = std::move(runner); }

    // Runs the whole program: checks, main window, exit entry. Always
    // returns false: there is nothing left to run afterwards.
    bool InitInstance();

private:
    std::string m_commandLine;
    bool m_bDemoMode = false;
    MainWindowRunner m_runMainWindow;
};
