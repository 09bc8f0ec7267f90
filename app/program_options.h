// The program's own options, beside the main window's keywords:
//   --simulate[=driver|=dante], --sim-state DIR, --sim-fault FAULT, --sim-quick, --console, --unit N,
//   --update, --all, --force, --json, --yes, --help, --version.
// Every other word is a keyword for the main window (SN=, GETSN, FILE=,
// PROM=, XSLOT); a word that begins with '-' and is not one of ours is a
// usage error, never a keyword.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct ProgramOptions {
    bool simulate = false;
    // --simulate=driver: the virtual units sit behind the virtual kernel driver.
    bool simulateDriver = false;
    // --simulate=dante: the virtual units with a VX-DANTE card, reached over
    // the Dante link on loopback addresses.
    bool simulateDante = false;
    std::optional<std::string> simState;  // folder
    std::optional<std::string> simFault;  // as typed; checked by the caller
    // --sim-quick: the virtual units' erase, program and verify take
    // milliseconds instead of seconds (for tests).
    bool simQuick = false;
    bool console = false;
    std::optional<int> unit;
    bool update = false;
    // --all: update every entry of the unit list that needs it.
    bool all = false;
    // --force: with --all, also the entries that run the image's version.
    bool force = false;
    // --json: the console prints one JSON object per line (with --all).
    bool json = false;
    bool yes = false;
    bool help = false;
    bool version = false;
    // The keywords, joined by single spaces.
    std::string keywords;
};

// False on a usage error, with its one-line reason in `error`.
bool ParseProgramOptions(const std::vector<std::string>& args, ProgramOptions& options, std::string& error);

// The rules of --all, --force and --json: --all goes with --update and not
// with --unit, SN=, GETSN or XSLOT; --force and --json go with --all. False
// with the reason in `error`.
bool CheckBatchOptions(const ProgramOptions& options, std::string& error);

// The --help text: every option and keyword. `faultHelp` lists the faults.
std::string ProgramUsage(const std::string& program, const std::string& faultHelp);
