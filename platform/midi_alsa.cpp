#include "platform/midi_alsa.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <span>

#include "platform/log.h"
#include "platform/midi_buffers.h"

namespace platform {

static_assert(kAlsaCapRead == SND_SEQ_PORT_CAP_READ);
static_assert(kAlsaCapWrite == SND_SEQ_PORT_CAP_WRITE);
static_assert(kAlsaCapSubsRead == SND_SEQ_PORT_CAP_SUBS_READ);
static_assert(kAlsaCapSubsWrite == SND_SEQ_PORT_CAP_SUBS_WRITE);
static_assert(kAlsaCapNoExport == SND_SEQ_PORT_CAP_NO_EXPORT);
static_assert(kAlsaTypeMidiGeneric == SND_SEQ_PORT_TYPE_MIDI_GENERIC);
static_assert(kAlsaTypeSynth == SND_SEQ_PORT_TYPE_SYNTH);
static_assert(kAlsaTypeHardware == SND_SEQ_PORT_TYPE_HARDWARE);
static_assert(kAlsaTypeSoftware == SND_SEQ_PORT_TYPE_SOFTWARE);
static_assert(kAlsaTypeSynthesizer == SND_SEQ_PORT_TYPE_SYNTHESIZER);
static_assert(kAlsaTypePort == SND_SEQ_PORT_TYPE_PORT);
static_assert(kAlsaTypeApplication == SND_SEQ_PORT_TYPE_APPLICATION);
static_assert(kAlsaSystemClient == SND_SEQ_CLIENT_SYSTEM);

namespace {

constexpr char kClientName[] = "Quil Firmware Update";
constexpr char kSendPortName[] = "Quil Firmware Update out";
constexpr char kReceivePortName[] = "Quil Firmware Update in";
// Events taken from the sequencer per poll at most, so a flood of input
// cannot hold a wait loop.
constexpr int kEventsPerPoll = 1024;

void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

// The sequencer itself.
class SystemAlsaApi final : public AlsaApi {
public:
    ~SystemAlsaApi() override { Close(); }

    void SilenceErrors() override { snd_lib_error_set_handler(&QuietAlsaErrors); }

    int Open(const char* clientName) override {
        Close();
        const int result = snd_seq_open(&m_seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
        if (result < 0) {
            m_seq = nullptr;
            return result;
        }
        snd_seq_set_client_name(m_seq, clientName);
        return 0;
    }

    void Close() override {
        if (m_seq != nullptr) snd_seq_close(m_seq);
        m_seq = nullptr;
    }

    int ClientId() override { return m_seq != nullptr ? snd_seq_client_id(m_seq) : -ENODEV; }

    int ListPorts(std::vector<AlsaPortInfo>& ports) override {
        ports.clear();
        if (m_seq == nullptr) return -ENODEV;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_t* port = nullptr;
        if (snd_seq_client_info_malloc(&client) < 0) return -ENOMEM;
        if (snd_seq_port_info_malloc(&port) < 0) {
            snd_seq_client_info_free(client);
            return -ENOMEM;
        }
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(m_seq, client) >= 0) {
            const int clientId = snd_seq_client_info_get_client(client);
            snd_seq_port_info_set_client(port, clientId);
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(m_seq, port) >= 0) {
                AlsaPortInfo info;
                info.client = clientId;
                info.port = snd_seq_port_info_get_port(port);
                const char* name = snd_seq_port_info_get_name(port);
                info.name = name != nullptr ? name : "";
                info.capability = snd_seq_port_info_get_capability(port);
                info.type = snd_seq_port_info_get_type(port);
                ports.push_back(std::move(info));
            }
        }
        snd_seq_port_info_free(port);
        snd_seq_client_info_free(client);
        return 0;
    }

    int CreatePort(const char* name, unsigned capability, unsigned type) override {
        if (m_seq == nullptr) return -ENODEV;
        return snd_seq_create_simple_port(m_seq, name, capability, type);
    }

    int DeletePort(int port) override { return m_seq != nullptr ? snd_seq_delete_simple_port(m_seq, port) : -ENODEV; }

    int ConnectFrom(int port, int sourceClient, int sourcePort) override {
        return m_seq != nullptr ? snd_seq_connect_from(m_seq, port, sourceClient, sourcePort) : -ENODEV;
    }

    int DisconnectFrom(int port, int sourceClient, int sourcePort) override {
        return m_seq != nullptr ? snd_seq_disconnect_from(m_seq, port, sourceClient, sourcePort) : -ENODEV;
    }

    int SendSysEx(int port, int destClient, int destPort, const uint8_t* data, size_t length) override {
        if (m_seq == nullptr) return -ENODEV;
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, static_cast<unsigned char>(port));
        snd_seq_ev_set_dest(&event, static_cast<unsigned char>(destClient), static_cast<unsigned char>(destPort));
        snd_seq_ev_set_direct(&event);
        // The event only points at the bytes; the library copies them into
        // its output buffer.
        snd_seq_ev_set_sysex(&event, static_cast<unsigned>(length), const_cast<uint8_t*>(data));
        const int result = snd_seq_event_output(m_seq, &event);
        return result < 0 ? result : 0;
    }

    int Drain() override { return m_seq != nullptr ? snd_seq_drain_output(m_seq) : -ENODEV; }

    int DropOutput() override { return m_seq != nullptr ? snd_seq_drop_output(m_seq) : -ENODEV; }

    int ReadEvent(AlsaEvent& out) override {
        if (m_seq == nullptr) return -ENODEV;
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(m_seq, &event);
        if (result == -EAGAIN) return 0;
        if (result < 0) return result;
        if (event == nullptr) return 0;
        out = AlsaEvent{};
        out.destPort = event->dest.port;
        if (event->type == SND_SEQ_EVENT_SYSEX) {
            out.sysex = true;
            out.data = static_cast<const uint8_t*>(event->data.ext.ptr);
            out.length = event->data.ext.len;
        }
        return 1;
    }

    std::string ErrorText(int error) override { return snd_strerror(error); }

private:
    snd_seq_t* m_seq = nullptr;
};

}  // namespace

std::unique_ptr<AlsaApi> MakeSystemAlsaApi() { return std::make_unique<SystemAlsaApi>(); }

class AlsaMidiOutPort final : public MidiOutPort {
public:
    AlsaMidiOutPort(AlsaMidiSystem& system, const AlsaPortInfo& destination)
        : m_system(&system), m_client(destination.client), m_port(destination.port) {}
    ~AlsaMidiOutPort() override { Release(); }

    MidiError PrepareHeader(MidiHeader& header) override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        return PrepareMidiHeader(header);
    }
    MidiError UnprepareHeader(MidiHeader& header) override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        return UnprepareMidiHeader(header);
    }
    MidiError SendLong(MidiHeader& header) override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        if ((header.flags & kMidiHeaderPrepared) == 0) return kMidiErrUnprepared;
        if ((header.flags & kMidiHeaderInQueue) != 0) return kMidiErrStillPlaying;
        return m_system->Send(this, header);
    }
    MidiError Reset() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        m_system->ForgetSends(this);
        return kMidiNoError;
    }
    MidiError Close() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        for (const auto& pending : m_system->m_pending) {
            if (pending.port == this) return kMidiErrStillPlaying;
        }
        Release();
        return kMidiNoError;
    }
    void Poll() override {
        if (m_system != nullptr) m_system->Pump();
    }

    int Client() const { return m_client; }
    int Port() const { return m_port; }
    void Orphan() {
        Release();
        m_system = nullptr;
    }

private:
    void Release() {
        if (m_system == nullptr) return;
        m_system->ForgetSends(this);
        std::erase(m_system->m_openOutputs, this);
        m_system = nullptr;
    }

    AlsaMidiSystem* m_system;
    int m_client;
    int m_port;
};

class AlsaMidiInPort final : public MidiInPort {
public:
    AlsaMidiInPort(AlsaMidiSystem& system, const AlsaPortInfo& source, int localPort)
        : m_system(&system), m_client(source.client), m_port(source.port), m_localPort(localPort) {}
    ~AlsaMidiInPort() override { Release(); }

    MidiError PrepareHeader(MidiHeader& header) override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        return PrepareMidiHeader(header);
    }
    MidiError UnprepareHeader(MidiHeader& header) override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        return UnprepareMidiHeader(header);
    }
    MidiError AddBuffer(MidiHeader& header) override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        return m_buffers.Add(header);
    }
    MidiError Start() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        // Events that came before input started are not recorded.
        m_system->Pump();
        m_buffers.Start();
        return kMidiNoError;
    }
    MidiError Stop() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        m_buffers.Stop();
        return kMidiNoError;
    }
    MidiError Reset() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        m_buffers.Reset();
        return kMidiNoError;
    }
    MidiError Close() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        if (m_buffers.HasQueued()) return kMidiErrStillPlaying;
        Release();
        return kMidiNoError;
    }
    void Poll() override {
        if (m_system != nullptr) m_system->Pump();
    }

    int LocalPort() const { return m_localPort; }
    MidiInputBuffers& Buffers() { return m_buffers; }
    void Orphan() {
        Release();
        m_system = nullptr;
    }

private:
    void Release() {
        m_buffers.Reset();
        if (m_system == nullptr) return;
        m_system->m_api->DisconnectFrom(m_localPort, m_client, m_port);
        m_system->m_api->DeletePort(m_localPort);
        std::erase(m_system->m_openInputs, this);
        m_system = nullptr;
    }

    AlsaMidiSystem* m_system;
    int m_client;
    int m_port;
    int m_localPort;
    MidiInputBuffers m_buffers;
};

AlsaMidiSystem::AlsaMidiSystem(std::unique_ptr<AlsaApi> api) : m_api(std::move(api)) {}

AlsaMidiSystem::~AlsaMidiSystem() {
    while (!m_openOutputs.empty()) m_openOutputs.back()->Orphan();
    while (!m_openInputs.empty()) m_openInputs.back()->Orphan();
    if (m_open) {
        if (m_sendPort >= 0) m_api->DeletePort(m_sendPort);
        m_api->Close();
    }
}

uint16_t AlsaMidiSystem::TechnologyOf(unsigned type) {
    if ((type & kAlsaTypeHardware) != 0 && (type & kAlsaTypeMidiGeneric) != 0) return kMidiTechHardwarePort;
    if ((type & kAlsaTypeHardware) != 0 && (type & (kAlsaTypeSynth | kAlsaTypeSynthesizer)) != 0) {
        return kMidiTechSynth;
    }
    return kMidiTechSoftwareSynth;
}

bool AlsaMidiSystem::EnsureOpen() {
    if (m_tried) return m_open;
    m_tried = true;
    m_api->SilenceErrors();
    const int result = m_api->Open(kClientName);
    if (result < 0) {
        m_failure = "the ALSA sequencer cannot be opened: " + m_api->ErrorText(result);
        LogMessage("MIDI: %s\n", m_failure.c_str());
        return false;
    }
    m_client = m_api->ClientId();
    m_open = true;
    return true;
}

bool AlsaMidiSystem::Available(std::string* reason) {
    if (EnsureOpen()) return true;
    if (reason != nullptr) *reason = m_failure;
    return false;
}

void AlsaMidiSystem::Refresh() {
    m_outputs.clear();
    m_inputs.clear();
    if (!EnsureOpen()) return;
    std::vector<AlsaPortInfo> ports;
    if (m_api->ListPorts(ports) < 0) return;
    std::stable_sort(ports.begin(), ports.end(), [](const AlsaPortInfo& a, const AlsaPortInfo& b) {
        return a.client != b.client ? a.client < b.client : a.port < b.port;
    });
    for (const AlsaPortInfo& info : ports) {
        if (info.client == m_client || info.client == kAlsaSystemClient) continue;
        if ((info.capability & kAlsaCapNoExport) != 0) continue;
        constexpr unsigned kWritable = kAlsaCapWrite | kAlsaCapSubsWrite;
        constexpr unsigned kReadable = kAlsaCapRead | kAlsaCapSubsRead;
        if ((info.capability & kWritable) == kWritable) m_outputs.push_back(info);
        if ((info.capability & kReadable) == kReadable) m_inputs.push_back(info);
    }
}

uint32_t AlsaMidiSystem::OutputCount() {
    Refresh();
    return static_cast<uint32_t>(m_outputs.size());
}

uint32_t AlsaMidiSystem::InputCount() {
    Refresh();
    return static_cast<uint32_t>(m_inputs.size());
}

MidiError AlsaMidiSystem::OutputCaps(uint32_t id, MidiPortCaps& caps) {
    if (id >= m_outputs.size()) return kMidiErrBadDeviceId;
    caps.name = MidiPortName(m_outputs[id].name);
    caps.technology = TechnologyOf(m_outputs[id].type);
    return kMidiNoError;
}

MidiError AlsaMidiSystem::InputCaps(uint32_t id, MidiPortCaps& caps) {
    if (id >= m_inputs.size()) return kMidiErrBadDeviceId;
    caps.name = MidiPortName(m_inputs[id].name);
    caps.technology = 0;
    return kMidiNoError;
}

MidiError AlsaMidiSystem::ToMidiError(int alsaError) const {
    switch (-alsaError) {
        case ENOMEM:
            return kMidiErrNoMemory;
        case EAGAIN:
            return kMidiErrNotReady;
        case EINVAL:
            return kMidiErrInvalidParam;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kMidiErrBadDeviceId;
        default:
            return kMidiErrError;
    }
}

MidiError AlsaMidiSystem::OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) {
    if (!m_open) return kMidiErrNoDriver;
    if (id >= m_outputs.size()) return kMidiErrBadDeviceId;
    if (m_sendPort < 0) {
        const int created = m_api->CreatePort(kSendPortName, kAlsaCapRead | kAlsaCapSubsRead,
                                              kAlsaTypeMidiGeneric | kAlsaTypeApplication);
        if (created < 0) return ToMidiError(created);
        m_sendPort = created;
    }
    auto opened = std::make_unique<AlsaMidiOutPort>(*this, m_outputs[id]);
    m_openOutputs.push_back(opened.get());
    port = std::move(opened);
    return kMidiNoError;
}

MidiError AlsaMidiSystem::OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) {
    if (!m_open) return kMidiErrNoDriver;
    if (id >= m_inputs.size()) return kMidiErrBadDeviceId;
    const AlsaPortInfo& source = m_inputs[id];
    const int local = m_api->CreatePort(kReceivePortName, kAlsaCapWrite | kAlsaCapSubsWrite,
                                        kAlsaTypeMidiGeneric | kAlsaTypeApplication);
    if (local < 0) return ToMidiError(local);
    const int connected = m_api->ConnectFrom(local, source.client, source.port);
    if (connected < 0) {
        m_api->DeletePort(local);
        return ToMidiError(connected);
    }
    auto opened = std::make_unique<AlsaMidiInPort>(*this, source, local);
    m_openInputs.push_back(opened.get());
    port = std::move(opened);
    return kMidiNoError;
}

MidiError AlsaMidiSystem::Send(AlsaMidiOutPort* port, MidiHeader& header) {
    const int result = m_api->SendSysEx(m_sendPort, port->Client(), port->Port(), header.data, header.bufferLength);
    if (result < 0) return ToMidiError(result);
    header.flags = (header.flags & ~kMidiHeaderDone) | kMidiHeaderInQueue;
    m_pending.push_back(PendingSend{port, &header});
    DrainPending();
    return kMidiNoError;
}

void AlsaMidiSystem::DrainPending() {
    if (m_pending.empty()) return;
    // A send is out once the library's output buffer has been handed to the
    // sequencer; until then it is tried again on every poll.
    if (m_api->Drain() != 0) return;
    for (const PendingSend& pending : m_pending) MarkMidiHeaderDone(*pending.header);
    m_pending.clear();
}

void AlsaMidiSystem::ForgetSends(AlsaMidiOutPort* port) {
    bool dropped = false;
    std::erase_if(m_pending, [&](const PendingSend& pending) {
        if (pending.port != port) return false;
        MarkMidiHeaderDone(*pending.header);
        dropped = true;
        return true;
    });
    // The library's output buffer is shared by all ports: it is emptied only
    // when no other port's message waits in it.
    if (dropped && m_pending.empty()) m_api->DropOutput();
}

void AlsaMidiSystem::Pump() {
    if (!m_open) return;
    DrainPending();
    for (int i = 0; i < kEventsPerPoll; ++i) {
        AlsaEvent event;
        const int result = m_api->ReadEvent(event);
        if (result == 0) break;
        if (result < 0) {
            // An input overrun loses events but the next read goes on.
            if (result == -ENOSPC) continue;
            break;
        }
        if (!event.sysex || event.data == nullptr || event.length == 0) continue;
        for (AlsaMidiInPort* in : m_openInputs) {
            if (in->LocalPort() == event.destPort) {
                in->Buffers().Deliver(std::span(event.data, event.length));
                break;
            }
        }
    }
}

}  // namespace platform
