// quil-sim: serves the built-in set's virtual Quils on raw MIDI devices (the
// device side of a USB-MIDI gadget, a serial MIDI interface), one unit per
// device in the set's order, reading and writing the device's bytes as a unit
// on a MIDI cable would; or, with --dante, the set's Quils that carry a
// VX-DANTE card over UDP, one per address, optionally published through the
// local DNS-SD daemon. It runs until SIGINT, SIGTERM or SIGHUP, then saves the
// units into the state folder, which it holds locked against other programs
// from start to end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
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
    "       quil-sim --help | --version\n";
// The longest message the protocol has is a firmware packet of 154 bytes; a
// message that grows beyond this is noise and is dropped.
constexpr size_t kMaxMessage = 1024;
// The longest the Dante server waits before it looks for a signal again.
constexpr uint32_t kSignalCheckMs = 100;

// Milliseconds until the first unit acts by itself (its flash work), -1 when
// every unit only answers: the wire and the signals wake the loop meanwhile.
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

// The most read from one device before the loop looks at signals and the
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
    Wire(std::string path, int fd, sim::VirtualQuil& unit) : m_path(std::move(path)), m_fd(fd), m_unit(&unit) {}
    ~Wire() {
        if (m_fd >= 0) close(m_fd);
    }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_path; }

    // Reads what is waiting, up to kMaxReadPerTurn bytes; false when the
    // device has failed for good.
    bool ReadAvailable() {
        uint8_t buffer[512];
        for (size_t total = 0; total < kMaxReadPerTurn;) {
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                for (ssize_t i = 0; i < n; ++i) Take(buffer[i]);
                total += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) return true;
            std::fprintf(stderr, "quil-sim: %s: %s\n", m_path.c_str(), n == 0 ? "closed" : std::strerror(errno));
            return false;
        }
        return true;
    }

    // Sends what the unit has to say; false when the device has failed.
    bool WriteReplies() {
        m_unit->TakeReplies(m_replies);
        for (const std::vector<uint8_t>& reply : m_replies) {
            if (!WriteAll(reply)) return false;
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

    bool WriteAll(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                pollfd ready{m_fd, POLLOUT, 0};
                poll(&ready, 1, 100);
                continue;
            }
            std::fprintf(stderr, "quil-sim: %s: %s\n", m_path.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    std::string m_path;
    int m_fd;
    sim::VirtualQuil* m_unit;
    std::vector<uint8_t> m_message;
    bool m_inside = false;
    std::vector<std::vector<uint8_t>> m_replies;
};

// The signals arrive through a descriptor the loop polls with the devices,
// so that no handler has to reach into the loop.
int SignalDescriptor() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC);
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
        std::fprintf(stderr, "quil-sim: cannot load the virtual units from %s:\n%s", options.state->c_str(),
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
        std::fprintf(stderr, "quil-sim: the virtual units' state was NOT kept in %s:\n%s", state->Path().c_str(),
                     error.c_str());
        return false;
    }
    std::printf("quil-sim: units saved in %s\n", state->Path().c_str());
    return true;
}

int Serve(const Options& options) {
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

    const int signalFd = SignalDescriptor();
    if (signalFd < 0) {
        std::fprintf(stderr, "quil-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    std::vector<std::unique_ptr<Wire>> wires;
    for (size_t i = 0; i < options.devices.size(); ++i) {
        const std::string& path = options.devices[i];
        const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            std::fprintf(stderr, "quil-sim: %s: %s\n", path.c_str(), std::strerror(errno));
            close(signalFd);
            return 1;
        }
        wires.push_back(std::make_unique<Wire>(path, fd, *units[i]));
        std::printf("quil-sim: unit %s on %s\n", sim::SerialText(units[i]->Description().serial).c_str(), path.c_str());
    }
    std::fflush(stdout);

    int status = 0;
    std::vector<pollfd> fds;
    for (bool running = true; running;) {
        fds.clear();
        fds.push_back(pollfd{signalFd, POLLIN, 0});
        for (const auto& wire : wires) fds.push_back(pollfd{wire->Fd(), POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), NextWorkInMs(units));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "quil-sim: poll: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) > 0) running = false;
        }
        for (size_t i = 0; i < wires.size(); ++i) {
            Wire& wire = *wires[i];
            const short events = fds[i + 1].revents;
            if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (events & POLLIN) == 0) {
                std::fprintf(stderr, "quil-sim: %s has gone\n", wire.Path().c_str());
                running = false;
                status = 1;
                break;
            }
            if ((events & POLLIN) != 0 && !wire.ReadAvailable()) {
                running = false;
                status = 1;
                break;
            }
            if (!wire.WriteReplies()) {
                running = false;
                status = 1;
                break;
            }
        }
    }
    close(signalFd);
    wires.clear();
    return SaveState(state.get(), unitPointers) ? status : 1;
}

// The set's Quils with a VX-DANTE card, one per address, until a signal.
int ServeDante(const Options& options) {
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

    const int signalFd = SignalDescriptor();
    if (signalFd < 0) {
        std::fprintf(stderr, "quil-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    for (;;) {
        pollfd fds[1] = {pollfd{signalFd, POLLIN, 0}};
        if (poll(fds, 1, 0) > 0) break;
        server.Service(kSignalCheckMs);
    }
    close(signalFd);
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
    } else {
        status = options.dante ? ServeDante(options) : Serve(options);
    }
    return platform::FinishProgram("quil-sim", status);
}
