// quiltool ports / probe: what the MIDI system reports and which port pairs
// lead to a unit, as the updater's MIDI-port link sees them.
#include <cstdio>
#include <memory>
#include <optional>

#include "links/nimbra_midi.h"
#include "platform/midi.h"
#include "sim/virtual_midi_setup.h"
#include "tools/quiltool/commands.h"
#include "tools/quiltool/json_output.h"

namespace quiltool {

namespace {

// The name the updater looks for in port names.
constexpr char kDeviceName[] = "Quil";

// Parses "[--simulate] [--json]"; false after a usage error message.
bool ParseSimulate(const char* command, const Args& args, bool& simulate, bool& json, int& exitCode) {
    static constexpr OptionSpec kOptions[] = {{"--simulate", false}, {"--json", false}};
    ParsedArgs parsed;
    exitCode = 2;
    if (!SplitArgs(command, args, kOptions, parsed)) return false;
    if (!parsed.operands.empty()) {
        UsageError(std::string(command) + ": unexpected argument '" + parsed.operands[0] + "'");
        return false;
    }
    simulate = parsed.Has("--simulate");
    json = parsed.Has("--json");
    return true;
}

}  // namespace

int RunPorts(const Args& args) {
    bool simulate = false;
    bool json = false;
    int exitCode = 0;
    if (!ParseSimulate("ports", args, simulate, json, exitCode)) return exitCode;
    JsonArray list(json);
    const sim::ScopedBuiltinUnits ports(simulate);
    platform::MidiSystem& system = platform::CurrentMidiSystem();

    std::string reason;
    if (!system.Available(&reason)) {
        std::fprintf(stderr, "quiltool: no MIDI sequencer: %s\n", reason.c_str());
        return 1;
    }
    const uint32_t outCount = system.OutputCount();
    for (uint32_t id = 0; id < outCount; ++id) {
        platform::MidiPortCaps caps;
        const platform::MidiError error = system.OutputCaps(id, caps);
        if (error != platform::kMidiNoError) {
            if (json) {
                list.Append(ui::JsonEvent().Text("direction", "out").Number("id", id).Number("error", error));
            } else {
                std::printf("out %u error=%d\n", id, error);
            }
            continue;
        }
        const bool candidate = id < static_cast<uint32_t>(CNimbraMIDI::kMaxPorts) &&
                               CNimbraMIDI::IsCandidateOutput(caps.name.data(), caps.technology, kDeviceName);
        if (json) {
            list.Append(ui::JsonEvent()
                            .Text("direction", "out")
                            .Number("id", id)
                            .Text("name", caps.name.data())
                            .Number("technology", caps.technology)
                            .Bool("candidate", candidate));
            continue;
        }
        std::printf("out %u \"%s\" technology=%u candidate=%s\n", id, caps.name.data(),
                    static_cast<unsigned>(caps.technology), candidate ? "yes" : "no");
    }
    const uint32_t inCount = system.InputCount();
    for (uint32_t id = 0; id < inCount; ++id) {
        platform::MidiPortCaps caps;
        const platform::MidiError error = system.InputCaps(id, caps);
        if (error != platform::kMidiNoError) {
            if (json) {
                list.Append(ui::JsonEvent().Text("direction", "in").Number("id", id).Number("error", error));
            } else {
                std::printf("in %u error=%d\n", id, error);
            }
            continue;
        }
        const bool candidate = id < static_cast<uint32_t>(CNimbraMIDI::kMaxPorts) &&
                               CNimbraMIDI::IsCandidateInput(caps.name.data(), kDeviceName);
        if (json) {
            list.Append(ui::JsonEvent()
                            .Text("direction", "in")
                            .Number("id", id)
                            .Text("name", caps.name.data())
                            .Bool("candidate", candidate));
            continue;
        }
        std::printf("in %u \"%s\" candidate=%s\n", id, caps.name.data(), candidate ? "yes" : "no");
    }
    if (outCount == 0 && inCount == 0) {
        std::fprintf(stderr, "quiltool: no MIDI ports\n");
        return 1;
    }
    return 0;
}

int RunProbe(const Args& args) {
    bool simulate = false;
    bool json = false;
    int exitCode = 0;
    if (!ParseSimulate("probe", args, simulate, json, exitCode)) return exitCode;
    JsonArray list(json);
    const sim::ScopedBuiltinUnits ports(simulate);

    CNimbraMIDI link;
    link.SetDeviceName(kDeviceName);
    if (link.Open() != kStatusOk) {
        std::fprintf(stderr, "quiltool: no connection\n");
        return 1;
    }
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    for (uint16_t i = 0; i < count; ++i) {
        char name[256] = {};
        link.GetConnectionName(i, name, static_cast<int>(sizeof name));
        if (json) {
            list.Append(ui::JsonEvent()
                            .Number("connection", i)
                            .Number("in", link.ConnectionInputId(i))
                            .Number("out", link.ConnectionOutputId(i))
                            .Text("name", name));
            continue;
        }
        std::printf("connection %u in=%u out=%u \"%s\"\n", static_cast<unsigned>(i), link.ConnectionInputId(i),
                    link.ConnectionOutputId(i), name);
    }
    link.Close();
    return 0;
}

}  // namespace quiltool
