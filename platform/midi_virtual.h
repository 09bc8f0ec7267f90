// In-process MIDI ports for tests and the demo mode. Outputs and inputs are
// named like system ports; an output may be wired to a simulated unit
// (VirtualDevice) whose replies arrive on an input, cut into the queued input
// buffers as a real port would. Time is platform::CurrentClock(); a wait on
// a port sleeps on that clock until the next thing the ports or their units
// will do by themselves, so that on a virtual clock it takes no real time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/midi.h"
#include "platform/virtual_device.h"

namespace platform {

// Transfer model of one port pair, both directions. All zero: every message
// is out at once and every reply arrives at once.
struct VirtualMidiLinkModel {
    uint32_t latencyMs = 0;       // added to every message
    uint32_t bytesPerSecond = 0;  // 0: no limit (31,250 baud MIDI moves 3125)
};

// Operations a fault can be set on (SetFault).
enum class VirtualMidiOp {
    OutputCaps,
    InputCaps,
    OpenOutput,
    OpenInput,
    PrepareOutput,
    SendLong,
    UnprepareOutput,
    ResetOutput,
    CloseOutput,
    PrepareInput,
    UnprepareInput,
    AddBuffer,
    Start,
    Stop,
    ResetInput,
    CloseInput,
};

class VirtualMidiOutPort;
class VirtualMidiInPort;

class VirtualMidiSystem final : public MidiSystem {
public:
    struct PortPair {
        uint32_t output = 0;
        uint32_t input = 0;
    };

    VirtualMidiSystem();
    // Open ports must be gone first (they hold a reference to the system).
    ~VirtualMidiSystem() override;
    VirtualMidiSystem(const VirtualMidiSystem&) = delete;
    VirtualMidiSystem& operator=(const VirtualMidiSystem&) = delete;

    // Adds a port and returns its id (ids count up from 0 per direction).
    uint32_t AddOutput(const std::string& name, uint16_t technology = kMidiTechHardwarePort);
    uint32_t AddInput(const std::string& name);
    // Messages sent on `output` go to `device` (not owned; it must outlive
    // the system or be detached with a null device); its replies arrive on
    // `input`.
    void Attach(uint32_t output, uint32_t input, VirtualDevice* device, VirtualMidiLinkModel model = {});
    // An output and an input of the same name, attached to `device` (null:
    // nobody answers).
    PortPair AddPortPair(const std::string& name, VirtualDevice* device, uint16_t technology = kMidiTechHardwarePort,
                         VirtualMidiLinkModel model = {});
    void SetLinkModel(uint32_t output, VirtualMidiLinkModel model);

    // Fault hooks. `error` is what the operation on port `id` returns from
    // now on; kMidiNoError clears the fault.
    void SetFault(VirtualMidiOp op, uint32_t id, MidiError error);
    // Sends on `output` are accepted but never finish (until a reset).
    void SetSendsNeverComplete(uint32_t output, bool on);
    // While `failed` answers true the cable of `output` is pulled: sends on
    // it fail and nothing its device answers arrives. Empty: never.
    void SetFailureSwitch(uint32_t output, std::function<bool()> failed);
    // The next `count` bytes that arrive on `input` are lost.
    void LoseInputBytes(uint32_t input, uint32_t count);
    // Bytes that arrive on `input` now, as if a unit had sent them.
    void Inject(uint32_t input, std::span<const uint8_t> bytes);

    // What happened, for tests and diagnostics.
    bool IsOutputOpen(uint32_t output) const;
    bool IsInputOpen(uint32_t input) const;
    uint32_t OpenPortCount() const;
    uint32_t TimesOutputOpened(uint32_t output) const;
    uint32_t TimesInputOpened(uint32_t input) const;
    // Messages that went out on `output` (sends that finished).
    uint64_t MessagesSent(uint32_t output) const;
    // Keeps a copy of every message that goes out (off by default).
    void RecordSentMessages(bool on) { m_recording = on; }
    const std::vector<std::vector<uint8_t>>& SentMessages(uint32_t output) const;

    // MidiSystem
    uint32_t OutputCount() override;
    MidiError OutputCaps(uint32_t id, MidiPortCaps& caps) override;
    uint32_t InputCount() override;
    MidiError InputCaps(uint32_t id, MidiPortCaps& caps) override;
    MidiError OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) override;
    MidiError OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) override;

private:
    friend class VirtualMidiOutPort;
    friend class VirtualMidiInPort;

    struct Send {
        MidiHeader* header = nullptr;
        std::vector<uint8_t> bytes;
        uint32_t doneAt = 0;
    };
    struct Output {
        std::string name;
        uint16_t technology = kMidiTechHardwarePort;
        VirtualDevice* device = nullptr;
        uint32_t input = 0;
        VirtualMidiLinkModel model;
        bool neverComplete = false;
        std::function<bool()> failed;
        VirtualMidiOutPort* open = nullptr;
        std::deque<Send> sends;
        uint32_t busyUntil = 0;
        uint32_t timesOpened = 0;
        uint64_t sent = 0;
        std::vector<std::vector<uint8_t>> record;
    };
    struct Arrival {
        std::vector<uint8_t> bytes;
        size_t delivered = 0;
        uint32_t startAt = 0;
        uint32_t bytesPerSecond = 0;
    };
    struct Input {
        std::string name;
        VirtualMidiInPort* open = nullptr;
        std::deque<Arrival> arrivals;
        uint32_t busyUntil = 0;
        uint32_t lose = 0;
        uint32_t timesOpened = 0;
    };
    struct Fault {
        VirtualMidiOp op;
        uint32_t id;
        MidiError error;
    };

    MidiError FaultFor(VirtualMidiOp op, uint32_t id) const;
    static bool Failed(const Output& out) { return out.failed && out.failed(); }
    // Moves everything that is due: finishes sends, hands them to their
    // devices, collects replies and delivers arrived bytes.
    void Pump();
    // Milliseconds until a send finishes, modelled bytes complete a reply
    // or a unit acts by itself; none while everything waits for the host.
    std::optional<uint32_t> NextEventIn();
    // Pumps, and sleeps on the clock until the next event, until `ready`
    // holds or `timeoutMs` have passed.
    WaitResult WaitFor(const std::function<bool()>& ready, uint32_t timeoutMs);
    // The clock is read at most once per entry, and only when a message
    // has to wait for it.
    uint32_t Now();
    void StartSend(uint32_t output, MidiHeader& header);
    void FinishSend(Output& out, const uint8_t* data, size_t length);
    void ResetOutput(uint32_t output);
    void CollectReplies(Output& out);
    void DeliverArrivals(Input& in);
    void DeliverToInput(Input& in, std::span<const uint8_t> bytes);

    std::vector<Output> m_outputs;
    std::vector<Input> m_inputs;
    std::vector<Fault> m_faults;
    std::vector<std::vector<uint8_t>> m_replies;
    bool m_recording = false;
    // The clock read of the current pump, taken when first needed.
    bool m_haveNow = false;
    uint32_t m_now = 0;
};

}  // namespace platform
