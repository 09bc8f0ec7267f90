// quiltool identify: opens the remote-control engine as the updater's window
// does, selects each connection (or only the one asked for) and prints the
// identity of the unit on it, one line per connection.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/serial_number.h"
#include "app/unit_list.h"
#include "platform/midi.h"
#include "remote/nimbra_remote.h"
#include "sim/virtual_midi_setup.h"
#include "tools/quiltool/commands.h"
#include "tools/quiltool/json_output.h"

namespace quiltool {

namespace {

struct IdentifyOptions {
    bool simulate = false;
    bool driver = false;  // --simulate=driver: the units behind the virtual driver
    bool dante = false;   // --simulate=dante: the VX-DANTE units over the Dante link
    bool json = false;
    std::optional<uint16_t> connection;
};

bool ParseIdentifyArgs(const Args& args, IdentifyOptions& options, int& exitCode) {
    static constexpr OptionSpec kOptions[] = {{"--simulate", false},
                                              {"--simulate=driver", false},
                                              {"--simulate=dante", false},
                                              {"--connection", true},
                                              {"--json", false}};
    ParsedArgs parsed;
    exitCode = 2;
    if (!SplitArgs("identify", args, kOptions, parsed)) return false;
    if (!parsed.operands.empty()) {
        UsageError("identify: unexpected argument '" + parsed.operands[0] + "'");
        return false;
    }
    options.simulate = parsed.Has("--simulate");
    options.driver = parsed.Has("--simulate=driver");
    options.dante = parsed.Has("--simulate=dante");
    options.json = parsed.Has("--json");
    if (const std::string* text = parsed.Value("--connection")) {
        unsigned long value = 0;
        if (!ParseNumber(*text, value) || value >= kNoConnection) {
            UsageError("identify: --connection takes a connection number from 0 to " +
                       std::to_string(kNoConnection - 1));
            return false;
        }
        options.connection = static_cast<uint16_t>(value);
    }
    return true;
}

// "NC" for revision 0, else the letter (1 is A).
std::string RevisionText(uint8_t revision) {
    if (revision == 0) return "NC";
    return std::string(1, static_cast<char>(revision + 64));
}

std::string SerialText(uint32_t serial) { return serial == kNoSerialNumber ? "none" : FormatSerialNumber(serial); }

const char* CardLabel(uint8_t type) { return type == kCardNone ? "none" : OptionCardName(type); }

// Prints the identity line of connection `index` (or adds its object to
// `list`); false when it cannot be selected.
bool PrintConnection(CNimbraRemote& remote, uint16_t index, JsonArray& list) {
    if (remote.SelectConnection(index) != kStatusOk) {
        if (list.Enabled()) {
            list.Append(ui::JsonEvent().Number("connection", index).Bool("answered", false));
        } else {
            std::printf("connection %u: no answer\n", static_cast<unsigned>(index));
        }
        return false;
    }
    char description[260] = {};
    uint8_t pid = 0;
    remote.GetConnectionDescription(index, description, sizeof description, &pid);

    uint8_t major = 0, minor = 0, revision = 0;
    remote.GetFirmwareMajor(&major);
    remote.GetFirmwareMinor(&minor);
    remote.GetHardwareRevision(&revision);
    uint32_t serial = kNoSerialNumber;
    remote.GetSerialNumber(&serial);
    uint8_t card = 0, cardMajor = 0, cardMinor = 0;
    remote.GetXSlotCardType(&card);
    remote.GetXSlotFirmwareVersion(&cardMajor, &cardMinor);

    if (list.Enabled()) {
        char pidText[8];
        std::snprintf(pidText, sizeof pidText, "0x%02x", static_cast<unsigned>(pid));
        list.Append(ui::JsonEvent()
                        .Number("connection", index)
                        .Bool("answered", true)
                        .Text("description", description)
                        .Text("pid", pidText)
                        .Text("firmware", std::to_string(major) + "." + std::to_string(minor))
                        .Text("revision", RevisionText(revision))
                        .Text("serial", SerialText(serial))
                        .Text("card", CardLabel(card))
                        .Text("card-firmware", std::to_string(cardMajor) + "." + std::to_string(cardMinor)));
        return true;
    }
    std::printf("connection %u: %s pid=0x%02x firmware=%u.%u revision=%s serial=%s card=%s card-firmware=%u.%u\n",
                static_cast<unsigned>(index), description, static_cast<unsigned>(pid), static_cast<unsigned>(major),
                static_cast<unsigned>(minor), RevisionText(revision).c_str(), SerialText(serial).c_str(),
                CardLabel(card), static_cast<unsigned>(cardMajor), static_cast<unsigned>(cardMinor));
    return true;
}

}  // namespace

int RunIdentify(const Args& args) {
    IdentifyOptions options;
    int exitCode = 0;
    if (!ParseIdentifyArgs(args, options, exitCode)) return exitCode;
    JsonArray list(options.json);
    const sim::ScopedBuiltinUnits units(options.driver     ? sim::BuiltinTransport::Driver
                                        : options.dante    ? sim::BuiltinTransport::Dante
                                        : options.simulate ? sim::BuiltinTransport::Midi
                                                           : sim::BuiltinTransport::None);
    if (!units.Error().empty()) {
        std::fprintf(stderr, "quiltool: %s\n", units.Error().c_str());
        return 1;
    }

    uint16_t count = 0;
    const std::unique_ptr<CNimbraRemote> remote = OpenUnits(options.connection, count);
    if (!remote) return 1;

    bool allAnswered = true;
    for (uint16_t index = 0; index < count; ++index) {
        if (options.connection && index != *options.connection) continue;
        if (!PrintConnection(*remote, index, list)) allAnswered = false;
    }
    remote->Close();
    return allAnswered ? 0 : 1;
}

}  // namespace quiltool
