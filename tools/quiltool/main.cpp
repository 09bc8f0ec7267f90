// quiltool: the protocol, link, unit and image diagnostics of the updater, for
// support engineers and for our own checks.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "tools/quiltool/commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const quiltool::Args&);
    const char* usage;
};

constexpr Command kCommands[] = {
    {"encode", quiltool::RunEncode,
     "encode command N | write REG VALUE | write-ext REG VALUE | request FIRST LAST | request-ext FIRST LAST | packet "
     "HEX"},
    {"crc", quiltool::RunCrc, "crc HEX... | crc --text STRING"},
    {"decode", quiltool::RunDecode, "decode HEX..."},
    {"ports", quiltool::RunPorts, "ports [--simulate] [--json]"},
    {"probe", quiltool::RunProbe, "probe [--simulate] [--json]"},
    {"identify", quiltool::RunIdentify, "identify [--simulate[=driver|dante]] [--connection N] [--json]"},
    {"mixer", quiltool::RunMixer,
     "mixer [--simulate[=driver|dante]] [--sim-state DIR] [--connection N] get|set NAME [ARG...] | mixer --list"},
    {"expand", quiltool::RunExpand, "expand IN OUT"},
    {"compress", quiltool::RunCompress, "compress [--max-match N] IN OUT"},
    {"name", quiltool::RunName, "name NAME"},
    {"serial", quiltool::RunSerial, "serial TEXT"},
    {"images", quiltool::RunImages, "images"},
    {"extract", quiltool::RunExtract, "extract NAME OUT"},
    {"browse", quiltool::RunBrowse, "browse [--seconds N] [--json]"},
};

// The version of the package this tool is built with.
constexpr const char* kVersion = QUIL_VERSION;

void PrintUsage(FILE* stream) {
    std::fprintf(stream, "usage: quiltool COMMAND [ARGS]\n");
    for (const Command& c : kCommands) std::fprintf(stream, "  quiltool %s\n", c.usage);
    std::fprintf(stream,
                 "  quiltool help | --help | -h | --version\n"
                 "OUT may be \"-\" for standard output. Exit status: 0 success, 1 the command failed or found "
                 "nothing, 2 a usage error.\n");
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

int Run(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string first = argv[1];
    if (IsHelp(first) || first == "help") {
        PrintUsage(stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("quiltool (Quil Firmware Update) %s\n", kVersion);
        return 0;
    }
    for (const Command& c : kCommands) {
        if (first != c.name) continue;
        quiltool::Args args(argv + 2, argv + argc);
        // "COMMAND --help" prints that command's usage; after "--" it is an operand.
        for (const std::string& arg : args) {
            if (arg == "--") break;
            if (IsHelp(arg)) {
                std::printf("usage: quiltool %s\n", c.usage);
                return 0;
            }
        }
        return c.run(args);
    }
    std::fprintf(stderr, "quiltool: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    platform::ReserveStandardStreams();
    // What was printed must have arrived: a full disk or a closed stream is
    // a failure like any other.
    return platform::FinishProgram("quiltool", Run(argc, argv));
}
