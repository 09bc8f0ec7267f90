// quil-sim: serves the built-in set's virtual Quils on raw MIDI devices (the
// device side of a USB-MIDI gadget, a serial MIDI interface), one unit per
// device in the set's order, reading and writing the device's bytes as a unit
// on a MIDI cable would; or, with --dante, the set's Quils that carry a
// VX-DANTE card over UDP, one per address, optionally published through the
// local DNS-SD daemon. It runs until a stop request (SIGINT, SIGTERM or
// SIGHUP; on Windows the console's Ctrl-C, Ctrl-Break or closing), then saves
// the units into the state folder, which it holds locked against other
// programs from start to end. Raw MIDI devices and publishing are Linux's.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/raw_midi_device.h"
#include "platform/stop_requests.h"
#include "platform/udp_socket.h"
#include "sim/builtin_set.h"
#include "sim/dante_demo.h"
#include "sim/state_store.h"
#include "sim/udp_units.h"
#include "sim/unit_description.h"
#include "sim/virtual_quil.h"
#include "tools/quil_sim/advertise.h"

namespace {

constexpr char kUsage[] =
    "usage: quil-sim --rawmidi DEVICE[,DEVICE...] [--sim-state DIR]\n"
    "       quil-sim --dante ADDRESS[,ADDRESS...] [--sim-state DIR] [--advertise]\n"
    "       quil-sim --help | --version\n"
    "Serves until a stop request (SIGINT, SIGTERM or SIGHUP; on Windows Ctrl-C,\n"
    "Ctrl-Break or the console closing), then saves the units into DIR.\n"
    "--rawmidi and --advertise are offered on Linux only.\n";
// The longest message the protocol has is a firmware packet of 154 bytes; a
// message that grows beyond this is noise and is dropped.
constexpr size_t kMaxMessage = 1024;
// The longest the Dante server waits before it looks for a stop request again.
constexpr uint32_t kStopCheckMs = 100;

// Milliseconds until the first unit acts by itself (its flash work), -1 when
// every unit only answers: the wire and stop requests wake the loop meanwhile.
int NextWorkInMs(const std::vector<std::unique_ptr<sim::VirtualQuil>>& units) {
    int next = -1;
    const uint32_t now = platform::CurrentClock().TickMs();
    for (const auto& unit : units) {
        uint32_t at = 0;
        if (!unit->NextEvent(at)) continue;
        const int in = static_cast<int32_t>(at - now) > 0 ? static_cast<int>(at - now) : 0;
        if (next < 0 || in < next) next = in;
    }
    return next;
}

// The most read from one device before the loop looks at stop requests and the
// other devices again: a device that never runs dry (/dev/zero) must not
// keep the program from them.
constexpr size_t kMaxReadPerTurn = 64 * 1024;

struct Options {
    bool dante = false;
    bool advertise = false;
    std::vector<std::string> devices;  // raw MIDI devices, or addresses with --dante
    std::optional<std::filesystem::path> state;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--advertise") {
            options.advertise = true;
            continue;
        }
        if ((arg == "--rawmidi" || arg == "--dante" || arg == "--sim-state") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg != "--sim-state") {
                if (!options.devices.empty()) return false;  // one of --rawmidi and --dante, once
                options.dante = arg == "--dante";
            }
            if (arg == "--sim-state") {
                options.state = value;
                continue;
            }
            size_t start = 0;
            while (start <= value.size()) {
                const size_t comma = value.find(',', start);
                const size_t end = comma == std::string::npos ? value.size() : comma;
                if (end > start) options.devices.push_back(value.substr(start, end - start));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            continue;
        }
        return false;
    }
    return !options.devices.empty() && (options.dante || !options.advertise);
}

// One device and the unit behind it. SysEx bytes are gathered from 0xF0 to
// 0xF7; real-time bytes may come in between and are skipped, any other
// status byte ends a message unfinished.
class Wire {
public:
    Wire(std::string path, sim::VirtualQuil& unit) : m_path(std::move(path)), m_unit(&unit) {}

    bool Open(std::string& error) { return m_device.Open(m_path, error); }
    platform::RawMidiDevice* Device() { return &m_device; }
    const std::string& Path() const { return m_path; }

    // Reads what is waiting, up to kMaxReadPerTurn bytes; false when the
    // device has failed for good.
    bool ReadAvailable() {
        uint8_t buffer[512];
        for (size_t total = 0; total < kMaxReadPerTurn;) {
            std::string error;
            const long n = m_device.Read(buffer, sizeof buffer, error);
            if (n == 0) return true;
            if (n < 0) {
                std::fprintf(stderr, "quil-sim: %s: %s\n", m_path.c_str(), error.c_str());
                return false;
            }
            for (long i = 0; i < n; ++i) Take(buffer[i]);
            total += static_cast<size_t>(n);
        }
        return true;
    }

    // Sends what the unit has to say; false when the device has failed.
    bool WriteReplies() {
        m_unit->TakeReplies(m_replies);
        for (const std::vector<uint8_t>& reply : m_replies) {
            std::string error;
            if (!m_device.Write(reply, error)) {
                std::fprintf(stderr, "quil-sim: %s: %s\n", m_path.c_str(), error.c_str());
                return false;
            }
        }
        m_replies.clear();
        return true;
    }

private:
    void Take(uint8_t byte) {
        if (byte >= 0xF8) return;
        if (byte == 0xF0) {
            m_message.assign(1, byte);
            m_inside = true;
            return;
        }
        if (!m_inside) return;
        if (byte >= 0x80 && byte != 0xF7) {
            m_inside = false;
            return;
        }
        m_message.push_back(byte);
        if (byte == 0xF7) {
            m_inside = false;
            m_unit->ReceiveMessage(m_message.data(), m_message.size(), platform::Endpoint::Unit);
        } else if (m_message.size() > kMaxMessage) {
            m_inside = false;
        }
    }

    std::string m_path;
    platform::RawMidiDevice m_device;
    sim::VirtualQuil* m_unit;
    std::vector<uint8_t> m_message;
    bool m_inside = false;
    std::vector<std::vector<uint8_t>> m_replies;
};

// Catches the stop requests for the whole run, so that they end the serving
// loop in order; false when they cannot be caught.
bool CatchStopRequests(platform::StopRequests& stop) {
    std::string error;
    if (stop.Catch(error)) return true;
    std::fprintf(stderr, "quil-sim: cannot catch stop requests: %s\n", error.c_str());
    return false;
}

// Takes the state folder for the whole run and loads the units from it.
// Null when there is none to take; `failed` when there is one and it cannot
// be used.
std::unique_ptr<sim::StateFolder> OpenState(const Options& options, const std::vector<sim::VirtualQuil*>& units,
                                            bool& failed) {
    failed = false;
    if (!options.state) return nullptr;
    std::string error;
    std::unique_ptr<sim::StateFolder> state = sim::StateFolder::Open(*options.state, "quil-sim", error);
    if (!state) {
        std::fprintf(stderr, "quil-sim: cannot use the state folder: %s\n", error.c_str());
        failed = true;
        return nullptr;
    }
    if (!state->Load(units, error)) {
        std::fprintf(stderr, "quil-sim: cannot load the virtual units from %s:\n%s", options.state->string().c_str(),
                     error.c_str());
        failed = true;
        return nullptr;
    }
    return state;
}

bool SaveState(sim::StateFolder* state, const std::vector<sim::VirtualQuil*>& units) {
    if (state == nullptr) return true;
    std::string error;
    if (!state->Save(units, error)) {
        std::fprintf(stderr, "quil-sim: the virtual units' state was NOT kept in %s:\n%s",
                     state->Path().string().c_str(), error.c_str());
        return false;
    }
    std::printf("quil-sim: units saved in %s\n", state->Path().string().c_str());
    return true;
}

int Serve(const Options& options) {
    // Caught before anything is opened, so that a request at any time ends
    // the run in order; destroyed last, once the units are saved.
    platform::StopRequests stop;
    if (!CatchStopRequests(stop)) return 1;
    std::vector<std::unique_ptr<sim::VirtualQuil>> units;
    for (const sim::BuiltinPort& port : sim::BuiltinSet()) {
        if (port.unit && units.size() < options.devices.size()) {
            units.push_back(std::make_unique<sim::VirtualQuil>(*port.unit));
        }
    }
    if (units.size() < options.devices.size()) {
        std::fprintf(stderr, "quil-sim: the built-in set has %zu units for %zu devices\n", units.size(),
                     options.devices.size());
        return 2;
    }
    std::vector<sim::VirtualQuil*> unitPointers;
    for (auto& unit : units) unitPointers.push_back(unit.get());
    bool stateFailed = false;
    const std::unique_ptr<sim::StateFolder> state = OpenState(options, unitPointers, stateFailed);
    if (stateFailed) return 1;

    std::vector<std::unique_ptr<Wire>> wires;
    std::vector<platform::RawMidiDevice*> devices;
    for (size_t i = 0; i < options.devices.size(); ++i) {
        const std::string& path = options.devices[i];
        wires.push_back(std::make_unique<Wire>(path, *units[i]));
        std::string error;
        if (!wires.back()->Open(error)) {
            std::fprintf(stderr, "quil-sim: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        devices.push_back(wires.back()->Device());
        std::printf("quil-sim: unit %s on %s\n", sim::SerialText(units[i]->Description().serial).c_str(), path.c_str());
    }
    std::fflush(stdout);

    int status = 0;
    std::vector<platform::DeviceInput> input(wires.size());
    while (status == 0 && stop.Requested() == platform::StopRequest::None) {
        const int next = NextWorkInMs(units);
        const platform::WaitResult waited = platform::RawMidiDevice::WaitForInput(
            devices, input, stop, next < 0 ? platform::kNoTimeLimit : static_cast<uint32_t>(next));
        if (waited == platform::WaitResult::Failed) {
            std::fprintf(stderr, "quil-sim: cannot wait for the devices\n");
            status = 1;
            break;
        }
        if (waited == platform::WaitResult::TimedOut)
            std::fill(input.begin(), input.end(), platform::DeviceInput::None);
        for (size_t i = 0; i < wires.size(); ++i) {
            Wire& wire = *wires[i];
            if (input[i] == platform::DeviceInput::Gone) {
                std::fprintf(stderr, "quil-sim: %s has gone\n", wire.Path().c_str());
                status = 1;
                break;
            }
            if ((input[i] == platform::DeviceInput::Waiting && !wire.ReadAvailable()) || !wire.WriteReplies()) {
                status = 1;
                break;
            }
        }
    }
    wires.clear();
    return SaveState(state.get(), unitPointers) ? status : 1;
}

// The set's Quils with a VX-DANTE card, one per address, until a stop request.
int ServeDante(const Options& options) {
    platform::StopRequests stop;
    if (!CatchStopRequests(stop)) return 1;
    std::vector<uint32_t> addresses;
    for (const std::string& text : options.devices) {
        uint32_t address = 0;
        if (!platform::ParseIpv4(text, address) || address == 0) {
            std::fprintf(stderr, "quil-sim: bad address '%s'\n", text.c_str());
            return 1;
        }
        addresses.push_back(address);
    }
    const std::vector<sim::UnitDescription> descriptions = sim::BuiltinDanteUnits();
    if (descriptions.size() < options.devices.size()) {
        std::fprintf(stderr, "quil-sim: the built-in set has %zu units with a VX-DANTE card for %zu addresses\n",
                     descriptions.size(), options.devices.size());
        return 1;
    }
    std::vector<std::unique_ptr<sim::VirtualQuil>> units;
    std::vector<sim::VirtualQuil*> unitPointers;
    for (size_t i = 0; i < addresses.size(); ++i) {
        units.push_back(std::make_unique<sim::VirtualQuil>(descriptions[i]));
        unitPointers.push_back(units.back().get());
    }
    bool stateFailed = false;
    const std::unique_ptr<sim::StateFolder> state = OpenState(options, unitPointers, stateFailed);
    if (stateFailed) return 1;
    sim::UdpUnitServer server;
    std::vector<quilsim::Advertised> advertised;
    for (size_t i = 0; i < addresses.size(); ++i) {
        std::string error;
        if (!server.Add(addresses[i], *units[i], error)) {
            std::fprintf(stderr, "quil-sim: %s\n", error.c_str());
            return 1;
        }
        const std::string serial = sim::SerialText(units[i]->Description().serial);
        advertised.push_back(quilsim::Advertised{"quil-" + serial, addresses[i]});
        std::printf("quil-sim: unit %s on %s\n", serial.c_str(), options.devices[i].c_str());
    }
    std::unique_ptr<quilsim::Advertiser> advertiser;
    if (options.advertise) {
        std::string error;
        advertiser = quilsim::Advertise(advertised, error);
        if (!advertiser) {
            std::fprintf(stderr, "quil-sim: cannot advertise: %s\n", error.c_str());
            return 1;
        }
        for (const quilsim::Advertised& unit : advertised) std::printf("quil-sim: advertised %s\n", unit.name.c_str());
    }
    std::fflush(stdout);

    while (stop.Requested() == platform::StopRequest::None) server.Service(kStopCheckMs);
    advertiser.reset();
    return SaveState(state.get(), unitPointers) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    platform::ReserveStandardStreams();
    Options options;
    int status = 0;
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (argc == 2 && (first == "--help" || first == "-h")) {
        std::fputs(kUsage, stdout);
    } else if (argc == 2 && first == "--version") {
        std::printf("quil-sim (Quil Firmware Update) %s\n", QUIL_VERSION);
    } else if (!ParseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    } else if (!options.dante && !platform::RawMidiDevicesServed()) {
        std::fputs("quil-sim: raw MIDI devices are served on Linux only; serve the units over UDP with --dante\n",
                   stderr);
        return 2;
    } else if (options.advertise && !quilsim::AdvertisingOffered()) {
        std::fputs("quil-sim: --advertise is offered on Linux only (it publishes through avahi-daemon)\n", stderr);
        return 2;
    } else {
        status = options.dante ? ServeDante(options) : Serve(options);
    }
    return platform::FinishProgram("quil-sim", status);
}
