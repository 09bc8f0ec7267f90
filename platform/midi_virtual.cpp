#include "platform/midi_virtual.h"

#include <algorithm>
#include <limits>

#include "platform/clock.h"
#include "platform/midi_buffers.h"

namespace platform {

namespace {

constexpr uint32_t kNoInput = std::numeric_limits<uint32_t>::max();

bool Reached(uint32_t now, uint32_t when) { return static_cast<int32_t>(now - when) >= 0; }

uint32_t TransferMs(size_t bytes, uint32_t bytesPerSecond) {
    if (bytesPerSecond == 0) return 0;
    return static_cast<uint32_t>((static_cast<uint64_t>(bytes) * 1000u + bytesPerSecond - 1) / bytesPerSecond);
}

bool Instant(const VirtualMidiLinkModel& model) { return model.latencyMs == 0 && model.bytesPerSecond == 0; }

}  // namespace

class VirtualMidiOutPort final : public MidiOutPort {
public:
    VirtualMidiOutPort(VirtualMidiSystem& system, uint32_t id) : m_system(&system), m_id(id) {}
    ~VirtualMidiOutPort() override { Release(); }

    MidiError PrepareHeader(MidiHeader& header) override {
        if (const MidiError e = Check(VirtualMidiOp::PrepareOutput)) return e;
        return PrepareMidiHeader(header);
    }
    MidiError UnprepareHeader(MidiHeader& header) override {
        if (const MidiError e = Check(VirtualMidiOp::UnprepareOutput)) return e;
        return UnprepareMidiHeader(header);
    }
    MidiError SendLong(MidiHeader& header) override {
        if (const MidiError e = Check(VirtualMidiOp::SendLong)) return e;
        if ((header.flags & kMidiHeaderPrepared) == 0) return kMidiErrUnprepared;
        if ((header.flags & kMidiHeaderInQueue) != 0) return kMidiErrStillPlaying;
        if (m_system->Failed(m_system->m_outputs[m_id])) return kMidiErrError;
        m_system->StartSend(m_id, header);
        return kMidiNoError;
    }
    MidiError Reset() override {
        if (const MidiError e = Check(VirtualMidiOp::ResetOutput)) return e;
        m_system->ResetOutput(m_id);
        return kMidiNoError;
    }
    MidiError Close() override {
        if (const MidiError e = Check(VirtualMidiOp::CloseOutput)) return e;
        if (!m_system->m_outputs[m_id].sends.empty()) return kMidiErrStillPlaying;
        Release();
        return kMidiNoError;
    }
    void Poll() override {
        if (m_system != nullptr) m_system->Pump();
    }
    WaitResult WaitForSend(uint32_t timeoutMs) override {
        if (m_system == nullptr || m_system->m_outputs[m_id].open != this) return WaitResult::Failed;
        const uint64_t sentBefore = m_system->m_outputs[m_id].sent;
        return m_system->WaitFor(
            [&] {
                const VirtualMidiSystem::Output& out = m_system->m_outputs[m_id];
                return out.sends.empty() || out.sent != sentBefore;
            },
            timeoutMs);
    }

    // The system goes away before the port: the port is closed from now on.
    void Orphan() {
        Release();
        m_system = nullptr;
    }

private:
    MidiError Check(VirtualMidiOp op) const {
        if (m_system == nullptr || m_system->m_outputs[m_id].open != this) return kMidiErrInvalidHandle;
        return m_system->FaultFor(op, m_id);
    }
    void Release() {
        if (m_system == nullptr || m_system->m_outputs[m_id].open != this) return;
        m_system->ResetOutput(m_id);
        m_system->m_outputs[m_id].open = nullptr;
    }

    VirtualMidiSystem* m_system;
    uint32_t m_id;
};

class VirtualMidiInPort final : public MidiInPort {
public:
    VirtualMidiInPort(VirtualMidiSystem& system, uint32_t id) : m_system(&system), m_id(id) {}
    ~VirtualMidiInPort() override { Release(); }

    MidiError PrepareHeader(MidiHeader& header) override {
        if (const MidiError e = Check(VirtualMidiOp::PrepareInput)) return e;
        return PrepareMidiHeader(header);
    }
    MidiError UnprepareHeader(MidiHeader& header) override {
        if (const MidiError e = Check(VirtualMidiOp::UnprepareInput)) return e;
        return UnprepareMidiHeader(header);
    }
    MidiError AddBuffer(MidiHeader& header) override {
        if (const MidiError e = Check(VirtualMidiOp::AddBuffer)) return e;
        return m_buffers.Add(header);
    }
    MidiError Start() override {
        if (const MidiError e = Check(VirtualMidiOp::Start)) return e;
        // Whatever arrived before input started is not recorded.
        m_system->Pump();
        m_buffers.Start();
        return kMidiNoError;
    }
    MidiError Stop() override {
        if (const MidiError e = Check(VirtualMidiOp::Stop)) return e;
        m_buffers.Stop();
        return kMidiNoError;
    }
    MidiError Reset() override {
        if (const MidiError e = Check(VirtualMidiOp::ResetInput)) return e;
        m_buffers.Reset();
        return kMidiNoError;
    }
    MidiError Close() override {
        if (const MidiError e = Check(VirtualMidiOp::CloseInput)) return e;
        if (m_buffers.HasQueued()) return kMidiErrStillPlaying;
        Release();
        return kMidiNoError;
    }
    void Poll() override {
        if (m_system != nullptr) m_system->Pump();
    }
    WaitResult WaitForInput(uint32_t timeoutMs) override {
        if (m_system == nullptr || m_system->m_inputs[m_id].open != this) return WaitResult::Failed;
        const uint64_t before = m_buffers.Arrived();
        return m_system->WaitFor([&] { return m_buffers.Arrived() != before; }, timeoutMs);
    }

    MidiInputBuffers& Buffers() { return m_buffers; }
    void Orphan() {
        Release();
        m_system = nullptr;
    }

private:
    MidiError Check(VirtualMidiOp op) const {
        if (m_system == nullptr || m_system->m_inputs[m_id].open != this) return kMidiErrInvalidHandle;
        return m_system->FaultFor(op, m_id);
    }
    void Release() {
        m_buffers.Reset();
        if (m_system == nullptr || m_system->m_inputs[m_id].open != this) return;
        m_system->m_inputs[m_id].open = nullptr;
    }

    VirtualMidiSystem* m_system;
    uint32_t m_id;
    MidiInputBuffers m_buffers;
};

VirtualMidiSystem::VirtualMidiSystem() = default;

VirtualMidiSystem::~VirtualMidiSystem() {
    for (Output& out : m_outputs) {
        if (out.open != nullptr) out.open->Orphan();
    }
    for (Input& in : m_inputs) {
        if (in.open != nullptr) in.open->Orphan();
    }
}

uint32_t VirtualMidiSystem::AddOutput(const std::string& name, uint16_t technology) {
    Output out;
    out.name = name;
    out.technology = technology;
    out.input = kNoInput;
    m_outputs.push_back(std::move(out));
    return static_cast<uint32_t>(m_outputs.size() - 1);
}

uint32_t VirtualMidiSystem::AddInput(const std::string& name) {
    Input in;
    in.name = name;
    m_inputs.push_back(std::move(in));
    return static_cast<uint32_t>(m_inputs.size() - 1);
}

void VirtualMidiSystem::Attach(uint32_t output, uint32_t input, VirtualDevice* device, VirtualMidiLinkModel model) {
    if (output >= m_outputs.size()) return;
    Output& out = m_outputs[output];
    out.device = device;
    out.input = input < m_inputs.size() ? input : kNoInput;
    out.model = model;
}

VirtualMidiSystem::PortPair VirtualMidiSystem::AddPortPair(const std::string& name, VirtualDevice* device,
                                                           uint16_t technology, VirtualMidiLinkModel model) {
    PortPair pair;
    pair.output = AddOutput(name, technology);
    pair.input = AddInput(name);
    Attach(pair.output, pair.input, device, model);
    return pair;
}

void VirtualMidiSystem::SetLinkModel(uint32_t output, VirtualMidiLinkModel model) {
    if (output < m_outputs.size()) m_outputs[output].model = model;
}

void VirtualMidiSystem::SetFault(VirtualMidiOp op, uint32_t id, MidiError error) {
    std::erase_if(m_faults, [&](const Fault& f) { return f.op == op && f.id == id; });
    if (error != kMidiNoError) m_faults.push_back(Fault{op, id, error});
}

MidiError VirtualMidiSystem::FaultFor(VirtualMidiOp op, uint32_t id) const {
    for (const Fault& f : m_faults) {
        if (f.op == op && f.id == id) return f.error;
    }
    return kMidiNoError;
}

void VirtualMidiSystem::SetSendsNeverComplete(uint32_t output, bool on) {
    if (output < m_outputs.size()) m_outputs[output].neverComplete = on;
}

void VirtualMidiSystem::SetFailureSwitch(uint32_t output, std::function<bool()> failed) {
    if (output < m_outputs.size()) m_outputs[output].failed = std::move(failed);
}

void VirtualMidiSystem::LoseInputBytes(uint32_t input, uint32_t count) {
    if (input < m_inputs.size()) m_inputs[input].lose = count;
}

void VirtualMidiSystem::Inject(uint32_t input, std::span<const uint8_t> bytes) {
    if (input >= m_inputs.size()) return;
    Input& in = m_inputs[input];
    if (in.arrivals.empty()) {
        DeliverToInput(in, bytes);
        return;
    }
    m_haveNow = false;
    Arrival arrival;
    arrival.bytes.assign(bytes.begin(), bytes.end());
    arrival.startAt = Now();
    in.arrivals.push_back(std::move(arrival));
}

bool VirtualMidiSystem::IsOutputOpen(uint32_t output) const {
    return output < m_outputs.size() && m_outputs[output].open != nullptr;
}

bool VirtualMidiSystem::IsInputOpen(uint32_t input) const {
    return input < m_inputs.size() && m_inputs[input].open != nullptr;
}

uint32_t VirtualMidiSystem::OpenPortCount() const {
    uint32_t count = 0;
    for (const Output& out : m_outputs) count += out.open != nullptr ? 1 : 0;
    for (const Input& in : m_inputs) count += in.open != nullptr ? 1 : 0;
    return count;
}

uint32_t VirtualMidiSystem::TimesOutputOpened(uint32_t output) const {
    return output < m_outputs.size() ? m_outputs[output].timesOpened : 0;
}

uint32_t VirtualMidiSystem::TimesInputOpened(uint32_t input) const {
    return input < m_inputs.size() ? m_inputs[input].timesOpened : 0;
}

uint64_t VirtualMidiSystem::MessagesSent(uint32_t output) const {
    return output < m_outputs.size() ? m_outputs[output].sent : 0;
}

const std::vector<std::vector<uint8_t>>& VirtualMidiSystem::SentMessages(uint32_t output) const {
    static const std::vector<std::vector<uint8_t>> kNone;
    return output < m_outputs.size() ? m_outputs[output].record : kNone;
}

uint32_t VirtualMidiSystem::OutputCount() { return static_cast<uint32_t>(m_outputs.size()); }

uint32_t VirtualMidiSystem::InputCount() { return static_cast<uint32_t>(m_inputs.size()); }

MidiError VirtualMidiSystem::OutputCaps(uint32_t id, MidiPortCaps& caps) {
    if (id >= m_outputs.size()) return kMidiErrBadDeviceId;
    if (const MidiError e = FaultFor(VirtualMidiOp::OutputCaps, id)) return e;
    caps.name = MidiPortName(m_outputs[id].name);
    caps.technology = m_outputs[id].technology;
    return kMidiNoError;
}

MidiError VirtualMidiSystem::InputCaps(uint32_t id, MidiPortCaps& caps) {
    if (id >= m_inputs.size()) return kMidiErrBadDeviceId;
    if (const MidiError e = FaultFor(VirtualMidiOp::InputCaps, id)) return e;
    caps.name = MidiPortName(m_inputs[id].name);
    caps.technology = 0;
    return kMidiNoError;
}

MidiError VirtualMidiSystem::OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) {
    if (id >= m_outputs.size()) return kMidiErrBadDeviceId;
    if (const MidiError e = FaultFor(VirtualMidiOp::OpenOutput, id)) return e;
    Output& out = m_outputs[id];
    if (out.open != nullptr) return kMidiErrAllocated;
    auto opened = std::make_unique<VirtualMidiOutPort>(*this, id);
    out.open = opened.get();
    ++out.timesOpened;
    port = std::move(opened);
    return kMidiNoError;
}

MidiError VirtualMidiSystem::OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) {
    if (id >= m_inputs.size()) return kMidiErrBadDeviceId;
    if (const MidiError e = FaultFor(VirtualMidiOp::OpenInput, id)) return e;
    if (m_inputs[id].open != nullptr) return kMidiErrAllocated;
    // Replies sent while nobody listened are gone.
    Pump();
    Input& in = m_inputs[id];
    auto opened = std::make_unique<VirtualMidiInPort>(*this, id);
    in.open = opened.get();
    ++in.timesOpened;
    port = std::move(opened);
    return kMidiNoError;
}

uint32_t VirtualMidiSystem::Now() {
    if (!m_haveNow) {
        m_now = CurrentClock().TickMs();
        m_haveNow = true;
    }
    return m_now;
}

void VirtualMidiSystem::StartSend(uint32_t output, MidiHeader& header) {
    m_haveNow = false;
    Output& out = m_outputs[output];
    header.flags = (header.flags & ~kMidiHeaderDone) | kMidiHeaderInQueue;
    if (!out.neverComplete && Instant(out.model) && out.sends.empty()) {
        FinishSend(out, header.data, header.bufferLength);
        MarkMidiHeaderDone(header);
        return;
    }
    Send send;
    send.header = &header;
    send.bytes.assign(header.data, header.data + header.bufferLength);
    const uint32_t now = Now();
    const uint32_t start = Reached(now, out.busyUntil) ? now : out.busyUntil;
    const uint32_t transfer = TransferMs(header.bufferLength, out.model.bytesPerSecond);
    out.busyUntil = start + transfer;
    send.doneAt = start + transfer + out.model.latencyMs;
    out.sends.push_back(std::move(send));
}

void VirtualMidiSystem::FinishSend(Output& out, const uint8_t* data, size_t length) {
    ++out.sent;
    if (m_recording) out.record.emplace_back(data, data + length);
    if (out.device == nullptr) return;
    out.device->ReceiveMessage(data, length, Endpoint::Unit);
    // The unit's answer is on its way at once, whoever polls next.
    CollectReplies(out);
}

void VirtualMidiSystem::ResetOutput(uint32_t output) {
    Output& out = m_outputs[output];
    for (Send& send : out.sends) MarkMidiHeaderDone(*send.header);
    out.sends.clear();
}

void VirtualMidiSystem::Pump() {
    m_haveNow = false;
    for (Output& out : m_outputs) {
        while (!out.sends.empty() && !out.neverComplete && Reached(Now(), out.sends.front().doneAt)) {
            Send send = std::move(out.sends.front());
            out.sends.pop_front();
            FinishSend(out, send.bytes.data(), send.bytes.size());
            MarkMidiHeaderDone(*send.header);
        }
        if (out.device != nullptr) CollectReplies(out);
    }
    for (Input& in : m_inputs) {
        if (!in.arrivals.empty()) DeliverArrivals(in);
    }
}

std::optional<uint32_t> VirtualMidiSystem::NextEventIn() {
    m_haveNow = false;
    const uint32_t now = Now();
    std::optional<uint32_t> next;
    const auto consider = [&](uint32_t at) {
        const uint32_t in = Reached(now, at) ? 0 : at - now;
        if (!next || in < *next) next = in;
    };
    for (Output& out : m_outputs) {
        if (!out.sends.empty() && !out.neverComplete) consider(out.sends.front().doneAt);
        uint32_t at = 0;
        if (out.device != nullptr && out.device->NextEvent(at)) consider(at);
    }
    for (const Input& in : m_inputs) {
        // A reply is of use once its last byte (the 0xF7) is in.
        if (!in.arrivals.empty()) {
            const Arrival& arrival = in.arrivals.front();
            consider(arrival.startAt + TransferMs(arrival.bytes.size(), arrival.bytesPerSecond));
        }
    }
    return next;
}

WaitResult VirtualMidiSystem::WaitFor(const std::function<bool()>& ready, uint32_t timeoutMs) {
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    bool dueBefore = false;
    for (;;) {
        Pump();
        if (ready()) return WaitResult::Ready;
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) return WaitResult::TimedOut;
        const std::optional<uint32_t> next = NextEventIn();
        // Something due now is taken by the next pump; should it still be
        // due after that, a millisecond passes so that the wait moves on.
        const bool dueNow = next && *next == 0;
        if (dueNow && !dueBefore) {
            dueBefore = true;
            continue;
        }
        dueBefore = false;
        clock.SleepMs(std::max<uint32_t>(1, std::min(timeoutMs - elapsed, next.value_or(timeoutMs))));
    }
}

void VirtualMidiSystem::CollectReplies(Output& out) {
    m_replies.clear();
    out.device->TakeReplies(m_replies);
    if (m_replies.empty() || out.input == kNoInput || Failed(out)) return;
    Input& in = m_inputs[out.input];
    for (std::vector<uint8_t>& reply : m_replies) {
        if (Instant(out.model) && in.arrivals.empty()) {
            DeliverToInput(in, reply);
            continue;
        }
        const uint32_t earliest = Now() + out.model.latencyMs;
        const uint32_t start = Reached(earliest, in.busyUntil) ? earliest : in.busyUntil;
        in.busyUntil = start + TransferMs(reply.size(), out.model.bytesPerSecond);
        Arrival arrival;
        arrival.bytes = std::move(reply);
        arrival.startAt = start;
        arrival.bytesPerSecond = out.model.bytesPerSecond;
        in.arrivals.push_back(std::move(arrival));
    }
    m_replies.clear();
}

void VirtualMidiSystem::DeliverArrivals(Input& in) {
    while (!in.arrivals.empty()) {
        Arrival& arrival = in.arrivals.front();
        const uint32_t now = Now();
        if (!Reached(now, arrival.startAt)) return;
        size_t available = arrival.bytes.size();
        if (arrival.bytesPerSecond != 0) {
            const uint64_t elapsed = now - arrival.startAt;
            available = static_cast<size_t>(std::min<uint64_t>(available, elapsed * arrival.bytesPerSecond / 1000u));
        }
        if (available > arrival.delivered) {
            DeliverToInput(in, std::span(arrival.bytes).subspan(arrival.delivered, available - arrival.delivered));
            arrival.delivered = available;
        }
        if (arrival.delivered < arrival.bytes.size()) return;
        in.arrivals.pop_front();
    }
}

void VirtualMidiSystem::DeliverToInput(Input& in, std::span<const uint8_t> bytes) {
    if (in.lose > 0) {
        const size_t lost = std::min<size_t>(in.lose, bytes.size());
        in.lose -= static_cast<uint32_t>(lost);
        bytes = bytes.subspan(lost);
    }
    if (in.open != nullptr && !bytes.empty()) in.open->Buffers().Deliver(bytes);
}

}  // namespace platform
