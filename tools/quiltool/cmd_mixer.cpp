// quiltool mixer: reads and changes a unit's controls through the engine's
// mixer interface, one operation per run. NAME is the operation's name
// without its Get or Set prefix; `get` prints the values the operation gives
// back, in decimal on one line, and the exit status is the operation's own
// status (0 ok, 1 refused or failed, 2 out of range).
//
// The operations are one table; the number, order and range of each one's
// arguments, and what it gives back, follow from the engine function's own
// parameters: values in, pointers out.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remote/nimbra_remote.h"
#include "sim/state_store.h"
#include "sim/virtual_midi_setup.h"
#include "tools/quiltool/commands.h"

namespace quiltool {

namespace {

using Values = std::vector<long long>;
using Runner = NimbraStatus (*)(CNimbraRemote&, const long long* in, Values& out);

struct Range {
    long long min = 0;
    long long max = 0;
};

template <typename T>
constexpr Range RangeOf() {
    return Range{static_cast<long long>(std::numeric_limits<T>::min()),
                 static_cast<long long>(std::numeric_limits<T>::max())};
}

struct Shape {
    int inputs = 0;
    std::array<Range, 3> ranges{};
};

// The shape of an engine operation: its value parameters come first, its
// out-parameters (pointers) after them.
using R = CNimbraRemote;
constexpr Shape ShapeOf(NimbraStatus (R::*)()) { return {}; }
template <typename T>
constexpr Shape ShapeOf(NimbraStatus (R::*)(T*)) {
    return {};
}
template <typename T, typename U>
constexpr Shape ShapeOf(NimbraStatus (R::*)(T*, U*)) {
    return {};
}
template <typename A>
constexpr Shape ShapeOf(NimbraStatus (R::*)(A)) {
    return {1, {RangeOf<A>()}};
}
template <typename A, typename T>
constexpr Shape ShapeOf(NimbraStatus (R::*)(A, T*)) {
    return {1, {RangeOf<A>()}};
}
template <typename A, typename B>
constexpr Shape ShapeOf(NimbraStatus (R::*)(A, B)) {
    return {2, {RangeOf<A>(), RangeOf<B>()}};
}
template <typename A, typename B, typename T>
constexpr Shape ShapeOf(NimbraStatus (R::*)(A, B, T*)) {
    return {2, {RangeOf<A>(), RangeOf<B>()}};
}
template <typename A, typename B, typename T, typename U>
constexpr Shape ShapeOf(NimbraStatus (R::*)(A, B, T*, U*)) {
    return {2, {RangeOf<A>(), RangeOf<B>()}};
}
template <typename A, typename B, typename C>
constexpr Shape ShapeOf(NimbraStatus (R::*)(A, B, C)) {
    return {3, {RangeOf<A>(), RangeOf<B>(), RangeOf<C>()}};
}

template <typename A>
A Arg(const long long* in, int i) {
    return static_cast<A>(in[i]);
}

NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(), const long long*, Values&) { return (r.*f)(); }
template <typename T>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(T*), const long long*, Values& out) {
    T v{};
    const NimbraStatus s = (r.*f)(&v);
    out = {static_cast<long long>(v)};
    return s;
}
template <typename T, typename U>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(T*, U*), const long long*, Values& out) {
    T v{};
    U w{};
    const NimbraStatus s = (r.*f)(&v, &w);
    out = {static_cast<long long>(v), static_cast<long long>(w)};
    return s;
}
template <typename A>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(A), const long long* in, Values&) {
    return (r.*f)(Arg<A>(in, 0));
}
template <typename A, typename T>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(A, T*), const long long* in, Values& out) {
    T v{};
    const NimbraStatus s = (r.*f)(Arg<A>(in, 0), &v);
    out = {static_cast<long long>(v)};
    return s;
}
template <typename A, typename B>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(A, B), const long long* in, Values&) {
    return (r.*f)(Arg<A>(in, 0), Arg<B>(in, 1));
}
template <typename A, typename B, typename T>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(A, B, T*), const long long* in, Values& out) {
    T v{};
    const NimbraStatus s = (r.*f)(Arg<A>(in, 0), Arg<B>(in, 1), &v);
    out = {static_cast<long long>(v)};
    return s;
}
template <typename A, typename B, typename T, typename U>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(A, B, T*, U*), const long long* in, Values& out) {
    T v{};
    U w{};
    const NimbraStatus s = (r.*f)(Arg<A>(in, 0), Arg<B>(in, 1), &v, &w);
    out = {static_cast<long long>(v), static_cast<long long>(w)};
    return s;
}
template <typename A, typename B, typename C>
NimbraStatus Invoke(R& r, NimbraStatus (R::*f)(A, B, C), const long long* in, Values&) {
    return (r.*f)(Arg<A>(in, 0), Arg<B>(in, 1), Arg<C>(in, 2));
}

template <auto F>
NimbraStatus Run(R& r, const long long* in, Values& out) {
    return Invoke(r, F, in, out);
}

// The bit functions that give the bit itself instead of a status.
template <uint16_t (R::*F)()>
NimbraStatus RunValue(R& r, const long long*, Values& out) {
    out = {static_cast<long long>((r.*F)())};
    return kStatusOk;
}

struct MixerOp {
    const char* verb;  // "get" or "set"
    const char* name;
    const char* argNames;  // space-separated, one per input
    Shape shape;
    Runner run;
};

template <auto F>
constexpr MixerOp Get(const char* name, const char* argNames = "") {
    return MixerOp{"get", name, argNames, ShapeOf(F), &Run<F>};
}
template <uint16_t (R::*F)()>
constexpr MixerOp GetValue(const char* name) {
    return MixerOp{"get", name, "", Shape{}, &RunValue<F>};
}
template <auto F>
constexpr MixerOp Set(const char* name, const char* argNames) {
    return MixerOp{"set", name, argNames, ShapeOf(F), &Run<F>};
}

const MixerOp kOps[] = {
    // Identity.
    Get<&R::GetPID>("PID"),
    Get<&R::GetFirmwareMajor>("FirmwareMajor"),
    Get<&R::GetFirmwareMinor>("FirmwareMinor"),
    Get<&R::GetFirmwareDate>("FirmwareDate"),
    Get<&R::GetHardwareRevision>("HardwareRevision"),
    Get<&R::GetSerialNumber>("SerialNumber"),
    Get<&R::GetXSlotCardType>("XSlotCardType"),
    Get<&R::GetXSlotSerialNumber>("XSlotSerialNumber"),
    Get<&R::GetXSlotFirmwareVersion>("XSlotFirmwareVersion"),
    Get<&R::GetXSlotHardwareRevision>("XSlotHardwareRevision"),
    Get<&R::GetVariant1824>("Variant1824"),
    Get<&R::GetVariantVT>("VariantVT"),
    // Registers 2 and 3.
    Get<&R::GetSelector>("Selector", "KIND"),
    Set<&R::SetSelector>("Selector", "KIND VALUE"),
    Get<&R::GetSourceSelect>("SourceSelect"),
    Set<&R::SetSourceSelect>("SourceSelect", "VALUE"),
    Get<&R::GetSourceOption>("SourceOption"),
    Set<&R::SetSourceOption>("SourceOption", "ON"),
    Get<&R::GetSampleRate>("SampleRate"),
    Set<&R::SetSampleRate>("SampleRate", "INDEX"),
    Get<&R::GetRateStatus>("RateStatus"),
    // Register 4.
    Get<&R::GetModeA>("ModeA"),
    Set<&R::SetModeA>("ModeA", "VALUE"),
    Get<&R::GetModeB>("ModeB"),
    Set<&R::SetModeB>("ModeB", "VALUE"),
    Get<&R::GetReg4Bit4>("Reg4Bit4"),
    Set<&R::SetReg4Bit4>("Reg4Bit4", "ON"),
    Get<&R::GetReg4Bit5>("Reg4Bit5"),
    Set<&R::SetReg4Bit5>("Reg4Bit5", "ON"),
    Get<&R::GetReg4Bit6>("Reg4Bit6"),
    Set<&R::SetReg4Bit6>("Reg4Bit6", "ON"),
    Get<&R::GetReg4Bit7>("Reg4Bit7"),
    Set<&R::SetReg4Bit7>("Reg4Bit7", "ON"),
    // Registers 5 and 19.
    Get<&R::GetReg5Bit0>("Reg5Bit0"),
    Get<&R::GetReg5Bit1>("Reg5Bit1"),
    Get<&R::GetReg5Bit2>("Reg5Bit2"),
    Set<&R::SetReg5Bit2>("Reg5Bit2", "ON"),
    Get<&R::GetReg5Bit3>("Reg5Bit3"),
    Set<&R::SetReg5Bit3>("Reg5Bit3", "ON"),
    Get<&R::GetReg5Bit5>("Reg5Bit5"),
    Get<&R::GetReg19Bit4>("Reg19Bit4"),
    Set<&R::SetReg19Bit4>("Reg19Bit4", "ON"),
    Get<&R::GetReg19Bit5>("Reg19Bit5"),
    Set<&R::SetReg19Bit5>("Reg19Bit5", "ON"),
    // Plain registers.
    Get<&R::GetSubModel>("SubModel"),
    Get<&R::GetOptionBits>("OptionBits"),
    Get<&R::GetOptionWord>("OptionWord"),
    Get<&R::GetValue24>("Value24"),
    Get<&R::GetIndex20>("Index20"),
    Get<&R::GetIndex21>("Index21"),
    Get<&R::GetIndex22>("Index22"),
    Get<&R::IsExtendedMixer>("IsExtendedMixer"),
    Get<&R::GetReg125Bit7>("Reg125Bit7"),
    GetValue<&R::Reg125Bit2>("Reg125Bit2"),
    GetValue<&R::Reg124Bit7>("Reg124Bit7"),
    GetValue<&R::Reg42Bit3>("Reg42Bit3"),
    Get<&R::GetRateField>("RateField", "FIELD"),
    Get<&R::GetMeter>("Meter", "BANK INDEX"),
    // Channel tables of the sibling models.
    Get<&R::GetTableA>("TableA", "N"),
    Get<&R::GetTableB>("TableB", "N"),
    Get<&R::GetChannelLevel>("ChannelLevel", "COLUMN GROUP"),
    Set<&R::SetChannelLevel>("ChannelLevel", "COLUMN GROUP LEVEL"),
    Get<&R::GetChannelOff>("ChannelOff", "COLUMN GROUP"),
    Set<&R::SetChannelOff>("ChannelOff", "COLUMN GROUP OFF"),
    Get<&R::GetChannelTrim>("ChannelTrim", "COLUMN GROUP"),
    Set<&R::SetChannelTrim>("ChannelTrim", "COLUMN GROUP TRIM"),
    // The 16-bit-address maps.
    Get<&R::GetMatrixLevel>("MatrixLevel", "ROW COLUMN"),
    Set<&R::SetMatrixLevel>("MatrixLevel", "ROW COLUMN LEVEL"),
    Get<&R::GetOutputLevel>("OutputLevel", "CHANNEL"),
    Set<&R::SetOutputLevel>("OutputLevel", "CHANNEL LEVEL"),
    Get<&R::GetRouteBitA>("RouteBitA", "ROW BIT"),
    Set<&R::SetRouteBitA>("RouteBitA", "ROW BIT ON"),
    Get<&R::GetRouteBitB>("RouteBitB", "ROW BIT"),
    Set<&R::SetRouteBitB>("RouteBitB", "ROW BIT ON"),
    Get<&R::GetMaskBit>("MaskBit", "BIT"),
    Set<&R::SetMaskBit>("MaskBit", "BIT ON"),
    // General.
    Get<&R::GetRegister>("Register", "REG"),
    Set<&R::SetRegister>("Register", "REG VALUE"),
    Set<&R::SetHostReportMode>("HostReportMode", "VALUE"),
    Set<&R::ReloadRegisters>("ReloadRegisters", ""),
};

std::vector<std::string> Words(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*p == '\0') break;
        } else {
            word.push_back(*p);
        }
    }
    return words;
}

// A negative number is an argument, never an option.
bool IsNegativeNumber(const std::string& arg) {
    if (arg.size() < 2 || arg[0] != '-') return false;
    for (size_t i = 1; i < arg.size(); ++i) {
        if (arg[i] < '0' || arg[i] > '9') return false;
    }
    return true;
}

// A decimal number with an optional minus sign, or 0x hex.
bool ParseSigned(const std::string& text, long long& value) {
    if (IsNegativeNumber(text)) {
        unsigned long magnitude = 0;
        if (!ParseNumber(text.substr(1), magnitude)) return false;
        value = -static_cast<long long>(magnitude);
        return true;
    }
    unsigned long plain = 0;
    if (!ParseNumber(text, plain)) return false;
    value = static_cast<long long>(plain);
    return true;
}

struct MixerOptions {
    sim::BuiltinTransport transport = sim::BuiltinTransport::None;
    std::optional<std::string> simState;
    uint16_t connection = 0;
    bool list = false;
    std::vector<std::string> operands;
};

bool ParseMixerArgs(const Args& args, MixerOptions& options) {
    static constexpr OptionSpec kOptions[] = {{"--simulate", false},       {"--simulate=driver", false},
                                              {"--simulate=dante", false}, {"--sim-state", true},
                                              {"--connection", true},      {"--list", false}};
    // Negative numbers stand in as tokens that cannot be taken for options,
    // and come back in their places among the operands.
    constexpr char kNegativeMark = '\x01';
    Args marked;
    for (const std::string& arg : args) marked.push_back(IsNegativeNumber(arg) ? kNegativeMark + arg : arg);
    ParsedArgs parsed;
    if (!SplitArgs("mixer", marked, kOptions, parsed)) return false;
    for (const std::string& operand : parsed.operands) {
        options.operands.push_back(!operand.empty() && operand[0] == kNegativeMark ? operand.substr(1) : operand);
    }

    const int simulations = (parsed.Has("--simulate") ? 1 : 0) + (parsed.Has("--simulate=driver") ? 1 : 0) +
                            (parsed.Has("--simulate=dante") ? 1 : 0);
    if (simulations > 1) {
        UsageError("mixer: choose one of --simulate, --simulate=driver and --simulate=dante");
        return false;
    }
    options.transport = parsed.Has("--simulate=driver")  ? sim::BuiltinTransport::Driver
                        : parsed.Has("--simulate=dante") ? sim::BuiltinTransport::Dante
                        : parsed.Has("--simulate")       ? sim::BuiltinTransport::Midi
                                                         : sim::BuiltinTransport::None;
    if (const std::string* dir = parsed.Value("--sim-state")) {
        if (options.transport == sim::BuiltinTransport::None) {
            UsageError("mixer: --sim-state needs --simulate");
            return false;
        }
        options.simState = *dir;
    }
    if (const std::string* text = parsed.Value("--connection")) {
        unsigned long value = 0;
        if (!ParseNumber(*text, value) || value >= kNoConnection) {
            UsageError("mixer: --connection takes a connection number from 0 to " + std::to_string(kNoConnection - 1));
            return false;
        }
        options.connection = static_cast<uint16_t>(value);
    }
    options.list = parsed.Has("--list");
    return true;
}

const MixerOp* FindOp(const std::string& verb, const std::string& name) {
    for (const MixerOp& op : kOps) {
        if (verb == op.verb && name == op.name) return &op;
    }
    return nullptr;
}

void PrintList() {
    for (const MixerOp& op : kOps) {
        std::printf("%s %s%s%s\n", op.verb, op.name, op.argNames[0] != '\0' ? " " : "", op.argNames);
    }
}

// Checks the operation's arguments; the usage error names the range.
bool ParseOperationArgs(const MixerOp& op, const std::vector<std::string>& given, std::array<long long, 3>& values) {
    const std::vector<std::string> names = Words(op.argNames);
    const std::string call = std::string(op.verb) + " " + op.name;
    if (given.size() != static_cast<size_t>(op.shape.inputs)) {
        std::string expected = call;
        for (const std::string& name : names) expected += " " + name;
        UsageError("mixer: " + call + " takes " + std::to_string(op.shape.inputs) +
                   (op.shape.inputs == 1 ? " argument" : " arguments") + ": " + expected);
        return false;
    }
    for (size_t i = 0; i < given.size(); ++i) {
        const Range range = op.shape.ranges[i];
        long long value = 0;
        if (!ParseSigned(given[i], value) || value < range.min || value > range.max) {
            UsageError("mixer: " + call + ": " + names[i] + " takes a number from " + std::to_string(range.min) +
                       " to " + std::to_string(range.max) + ", not '" + given[i] + "'");
            return false;
        }
        values[i] = value;
    }
    return true;
}

// Brings the registers the mixer controls read that selecting does not:
// the meters, and a sibling model's channel registers.
void ReadMixerRegisters(CNimbraRemote& remote) {
    if (remote.IsQuil()) {
        remote.RequestRegisterStatusVerified(128, 255);
        return;
    }
    remote.RequestRegisterStatusVerified(64, 255);
    uint8_t extended = 0;
    if (remote.IsExtendedMixer(&extended) == kStatusOk && extended != 0) remote.RequestRegisterStatusVerified(256, 383);
}

int RunOperation(const MixerOptions& options, const MixerOp& op, const std::array<long long, 3>& in) {
    uint16_t count = 0;
    const std::unique_ptr<CNimbraRemote> remote = OpenUnits(options.connection, count);
    if (!remote) return 1;
    if (remote->SelectConnection(options.connection) != kStatusOk) {
        std::fprintf(stderr, "quiltool: connection %u: no answer\n", static_cast<unsigned>(options.connection));
        return 1;
    }
    ReadMixerRegisters(*remote);

    Values out;
    const NimbraStatus status = op.run(*remote, in.data(), out);
    if (std::string(op.verb) == "get") {
        std::string line;
        for (long long value : out) {
            if (!line.empty()) line.push_back(' ');
            line.append(std::to_string(value));
        }
        if (status == kStatusOk) std::printf("%s\n", line.c_str());
    } else {
        // A reply to a request sent after the writes shows that the unit
        // has taken them.
        remote->RequestRegisterStatusVerified(REG_ASTAT_PID, REG_ASTAT_PID);
    }
    remote->Close();
    if (status != kStatusOk) {
        std::fprintf(stderr, "quiltool: %s %s: status %u\n", op.verb, op.name, static_cast<unsigned>(status));
    }
    return status <= kStatusOutOfRange ? static_cast<int>(status) : 1;
}

}  // namespace

int RunMixer(const Args& args) {
    MixerOptions options;
    if (!ParseMixerArgs(args, options)) return 2;
    if (options.list) {
        if (!options.operands.empty()) return UsageError("mixer: --list takes no other arguments");
        PrintList();
        return 0;
    }
    if (options.operands.size() < 2 || (options.operands[0] != "get" && options.operands[0] != "set")) {
        return UsageError("mixer: expected get|set NAME [ARG...] (quiltool mixer --list shows the names)");
    }
    const std::string& verb = options.operands[0];
    const std::string& name = options.operands[1];
    const MixerOp* op = FindOp(verb, name);
    if (op == nullptr) {
        return UsageError("mixer: no operation '" + verb + " " + name + "' (quiltool mixer --list shows the names)");
    }
    std::array<long long, 3> in{};
    if (!ParseOperationArgs(*op, {options.operands.begin() + 2, options.operands.end()}, in)) return 2;

    sim::ScopedBuiltinUnits units(options.transport);
    if (!units.Error().empty()) {
        std::fprintf(stderr, "quiltool: %s\n", units.Error().c_str());
        return 1;
    }
    std::string error;
    std::unique_ptr<sim::StateFolder> state;
    if (options.simState) {
        state = sim::StateFolder::Open(*options.simState, "quiltool", error);
        if (!state) {
            std::fprintf(stderr, "quiltool: cannot use the state folder: %s\n", error.c_str());
            return 1;
        }
        if (!state->Load(units.Units(), error)) {
            std::fprintf(stderr, "quiltool: cannot load the virtual units from %s:\n%s", options.simState->c_str(),
                         error.c_str());
            return 1;
        }
    }
    int code = RunOperation(options, *op, in);
    units.StopServing();
    if (state && !state->Save(units.Units(), error)) {
        std::fprintf(stderr, "quiltool: the virtual units' state was NOT kept in %s:\n%s", options.simState->c_str(),
                     error.c_str());
        code = 1;
    }
    return code;
}

}  // namespace quiltool
