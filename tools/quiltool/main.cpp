// quiltool: the protocol, link, unit and image diagnostics of the updater, for
// support engineers and for our own checks.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/quiltool/commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const quiltool::Args&);
    const char* usage;
};

constexpr Command kCommands[] = {
    {"encode", quiltool::RunEncode, "encode command N | write REG VALUE | write-ext REG VALUE | request FIRST LAST | request-ext FIRST LAST | packet HEX"},
    {"crc", quiltool::RunCrc, "crc HEX... | crc --text STRING"},
    {"decode", quiltool::RunDecode, "decode HEX..."},
    {"ports", quiltool::RunPorts, "ports [--simulate]"},
    {"probe", quiltool::RunProbe, "probe [--simulate]"},
    {"identify", quiltool::RunIdentify, "identify [--simulate] [--connection N]"},
    {"expand", quiltool::RunExpand, "expand IN OUT"},
    {"compress", quiltool::RunCompress, "compress IN OUT"},
    {"name", quiltool::RunName, "name NAME"},
    {"serial", quiltool::RunSerial, "serial TEXT"},
    {"images", quiltool::RunImages, "images"},
    {"extract", quiltool::RunExtract, "extract NAME OUT"},
};

void PrintUsage() {
    std::fprintf(stderr, "usage: quiltool COMMAND [ARGS]\n");
    for (const Command& c : kCommands) std::fprintf(stderr, "  quiltool %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage();
        return 2;
    }
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) {
            quiltool::Args args(argv + 2, argv + argc);
            return c.run(args);
        }
    }
    std::fprintf(stderr, "quiltool: unknown command '%s'\n", argv[1]);
    PrintUsage();
    return 2;
}
