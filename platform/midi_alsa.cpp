#include "platform/midi_alsa.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <string_view>
#include <utility>

#include "platform/clock.h"
#include "platform/descriptor_wait.h"
#include "platform/log.h"
#include "platform/midi_buffers.h"

namespace platform {

static_assert(kAlsaCapRead == SND_SEQ_PORT_CAP_READ);
static_assert(kAlsaCapWrite == SND_SEQ_PORT_CAP_WRITE);
static_assert(kAlsaCapSubsRead == SND_SEQ_PORT_CAP_SUBS_READ);
static_assert(kAlsaCapSubsWrite == SND_SEQ_PORT_CAP_SUBS_WRITE);
static_assert(kAlsaCapNoExport == SND_SEQ_PORT_CAP_NO_EXPORT);
static_assert(kAlsaTypeMidiGeneric == SND_SEQ_PORT_TYPE_MIDI_GENERIC);
#ifdef SND_SEQ_PORT_TYPE_MIDI_UMP
static_assert(kAlsaTypeMidiUmp == SND_SEQ_PORT_TYPE_MIDI_UMP);
#endif
static_assert(kAlsaAnnouncePort == SND_SEQ_PORT_SYSTEM_ANNOUNCE);
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
constexpr char kAnnouncePortName[] = "Quil Firmware Update announcements";
// Our ports are private: no other program lists them, and so none takes them
// for a unit.
constexpr unsigned kSendCaps = kAlsaCapRead | kAlsaCapSubsRead | kAlsaCapNoExport;
constexpr unsigned kReceiveCaps = kAlsaCapWrite | kAlsaCapSubsWrite | kAlsaCapNoExport;
constexpr unsigned kOwnPortType = kAlsaTypeMidiGeneric | kAlsaTypeApplication;
// Events taken from the sequencer per poll at most, so a flood of input
// cannot hold a wait loop.
constexpr int kEventsPerPoll = 1024;

void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

bool CardIsUsb(int card) {
    const std::string name = "hw:" + std::to_string(card);
    snd_ctl_t* control = nullptr;
    if (snd_ctl_open(&control, name.c_str(), 0) < 0) return false;
    snd_ctl_card_info_t* info = nullptr;
    bool usb = false;
    if (snd_ctl_card_info_malloc(&info) >= 0) {
        if (snd_ctl_card_info(control, info) >= 0) {
            const char* driver = snd_ctl_card_info_get_driver(info);
            usb = driver != nullptr && std::string_view(driver) == "USB-Audio";
        }
        snd_ctl_card_info_free(info);
    }
    snd_ctl_close(control);
    return usb;
}

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

    int SetInputPool(size_t events) override {
        return m_seq != nullptr ? snd_seq_set_client_pool_input(m_seq, events) : -ENODEV;
    }

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
            const bool kernelClient = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT;
            const int card = snd_seq_client_info_get_card(client);
            const bool usb = kernelClient && card >= 0 && CardIsUsb(card);
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
                info.kernelClient = kernelClient;
                info.card = card;
                info.usb = usb;
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

    int ConnectTo(int port, int destClient, int destPort) override {
        return m_seq != nullptr ? snd_seq_connect_to(m_seq, port, destClient, destPort) : -ENODEV;
    }

    int DisconnectTo(int port, int destClient, int destPort) override {
        return m_seq != nullptr ? snd_seq_disconnect_to(m_seq, port, destClient, destPort) : -ENODEV;
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
        out.sourceClient = event->source.client;
        out.sourcePort = event->source.port;
        out.destPort = event->dest.port;
        switch (event->type) {
        case SND_SEQ_EVENT_SYSEX:
            out.kind = AlsaEventKind::SysEx;
            out.data = static_cast<const uint8_t*>(event->data.ext.ptr);
            out.length = event->data.ext.len;
            break;
        case SND_SEQ_EVENT_CLIENT_EXIT:
            out.kind = AlsaEventKind::ClientExit;
            out.subjectClient = event->data.addr.client;
            break;
        case SND_SEQ_EVENT_PORT_EXIT:
            out.kind = AlsaEventKind::PortExit;
            out.subjectClient = event->data.addr.client;
            out.subjectPort = event->data.addr.port;
            break;
        default: break;
        }
        return 1;
    }

    int Wait(bool output, uint32_t timeoutMs) override {
        if (m_seq == nullptr) return -ENODEV;
        // Events the library has read ahead are waiting already.
        if (snd_seq_event_input_pending(m_seq, 0) > 0) return 1;
        const short events = static_cast<short>(POLLIN | (output ? POLLOUT : 0));
        const int count = snd_seq_poll_descriptors_count(m_seq, events);
        if (count <= 0) return -ENODEV;
        m_fds.resize(static_cast<size_t>(count));
        const int filled = snd_seq_poll_descriptors(m_seq, m_fds.data(), static_cast<unsigned>(count), events);
        if (filled <= 0) return -ENODEV;
        const int n = PollFor(std::span(m_fds.data(), static_cast<size_t>(filled)), timeoutMs);
        if (n <= 0) return n < 0 ? -errno : 0;
        for (int i = 0; i < filled; ++i) {
            if ((m_fds[static_cast<size_t>(i)].revents & (POLLERR | POLLNVAL)) != 0) return -EIO;
        }
        return 1;
    }

    std::string ErrorText(int error) override { return snd_strerror(error); }

private:
    snd_seq_t* m_seq = nullptr;
    std::vector<pollfd> m_fds;
};

}  // namespace

std::unique_ptr<AlsaApi> MakeSystemAlsaApi() { return std::make_unique<SystemAlsaApi>(); }

class AlsaMidiOutPort final : public MidiOutPort {
public:
    AlsaMidiOutPort(AlsaMidiSystem& system, const AlsaPortInfo& destination)
        : m_system(&system),
          m_client(destination.client),
          m_port(destination.port),
          m_paced(AlsaMidiSystem::TechnologyOf(destination) == kMidiTechHardwarePort && !destination.usb) {}
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
        if (m_unplugged) return kMidiErrBadDeviceId;
        // A message the sequencer refused after its send had returned fails
        // the next send instead.
        if (m_failure != kMidiNoError) return std::exchange(m_failure, kMidiNoError);
        return m_system->Send(this, header);
    }
    MidiError Reset() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        m_system->ForgetSends(this);
        return kMidiNoError;
    }
    MidiError Close() override {
        if (m_system == nullptr) return kMidiErrInvalidHandle;
        if (m_system->Sending(this)) return kMidiErrStillPlaying;
        Release();
        return kMidiNoError;
    }
    void Poll() override {
        if (m_system != nullptr) m_system->Pump();
    }
    WaitResult WaitForSend(uint32_t timeoutMs) override {
        if (m_system == nullptr) return WaitResult::Failed;
        return m_system->WaitFor(
            [this] { return m_unplugged || m_failure != kMidiNoError || !m_system->Sending(this); }, timeoutMs);
    }
    bool Unplugged() const override { return m_unplugged; }

    int Client() const { return m_client; }
    int Port() const { return m_port; }
    void SetUnplugged() { m_unplugged = true; }
    void SetFailure(MidiError error) { m_failure = error; }
    MidiError TakeFailure() { return std::exchange(m_failure, kMidiNoError); }
    // Whether `length` more bytes fit the device's buffer now; a message
    // longer than the buffer goes once the buffer is empty.
    bool WireHasRoom(size_t length, uint32_t nowMs) { return RoomInMs(length, nowMs) == 0; }
    // Milliseconds until `length` more bytes fit the device's buffer.
    uint32_t RoomInMs(size_t length, uint32_t nowMs) {
        if (!m_paced) return 0;
        Drained(nowMs);
        if (m_wireBytes == 0 || m_wireBytes + length <= kAlsaDeviceBufferBytes) return 0;
        // A message longer than the buffer waits for all of it.
        const uint64_t excess =
            length > kAlsaDeviceBufferBytes ? m_wireBytes : m_wireBytes + length - kAlsaDeviceBufferBytes;
        return static_cast<uint32_t>((excess * 1000u + kMidiWireBytesPerSecond - 1) / kMidiWireBytesPerSecond);
    }
    void Submitted(size_t length, uint32_t nowMs) {
        if (!m_paced) return;
        Drained(nowMs);
        m_wireBytes += length;
    }
    void Orphan() {
        Release();
        m_system = nullptr;
    }

private:
    void Drained(uint32_t nowMs) {
        const uint64_t gone = uint64_t{nowMs - m_wireMs} * kMidiWireBytesPerSecond / 1000u;
        if (gone == 0) return;
        // The part of a byte still on its way counts as unsent: the model
        // never sees more room than the device has.
        m_wireBytes = gone >= m_wireBytes ? 0 : m_wireBytes - gone;
        m_wireMs = nowMs;
    }

    void Release() {
        if (m_system == nullptr) return;
        m_system->ForgetSends(this);
        m_system->Unsubscribe(m_client, m_port);
        std::erase(m_system->m_openOutputs, this);
        m_system = nullptr;
    }

    AlsaMidiSystem* m_system;
    int m_client;
    int m_port;
    bool m_paced;  // a MIDI cable behind the port
    bool m_unplugged = false;
    MidiError m_failure = kMidiNoError;
    uint64_t m_wireBytes = 0;
    uint32_t m_wireMs = CurrentClock().TickMs();
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
    WaitResult WaitForInput(uint32_t timeoutMs) override {
        if (m_system == nullptr) return WaitResult::Failed;
        const uint64_t before = m_buffers.Arrived();
        return m_system->WaitFor([&] { return m_unplugged || m_buffers.Arrived() != before; }, timeoutMs);
    }
    bool Unplugged() const override { return m_unplugged; }

    int Client() const { return m_client; }
    int Port() const { return m_port; }
    int LocalPort() const { return m_localPort; }
    void SetUnplugged() { m_unplugged = true; }
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
    bool m_unplugged = false;
    MidiInputBuffers m_buffers;
};

AlsaMidiSystem::AlsaMidiSystem(std::unique_ptr<AlsaApi> api) : m_api(std::move(api)) {}

AlsaMidiSystem::~AlsaMidiSystem() {
    while (!m_openOutputs.empty()) m_openOutputs.back()->Orphan();
    while (!m_openInputs.empty()) m_openInputs.back()->Orphan();
    if (m_open) {
        if (m_sendPort >= 0) m_api->DeletePort(m_sendPort);
        if (m_announcePort >= 0) m_api->DeletePort(m_announcePort);
        m_api->Close();
    }
}

uint16_t AlsaMidiSystem::TechnologyOf(const AlsaPortInfo& port) {
    const unsigned type = port.type;
    const bool midi = (type & (kAlsaTypeMidiGeneric | kAlsaTypeMidiUmp)) != 0;
    if ((type & kAlsaTypeHardware) != 0 && (type & kAlsaTypeMidiGeneric) != 0) return kMidiTechHardwarePort;
    // A sound card's own client is a device whatever its ports' type says
    // (MIDI 2.0 devices type theirs UMP).
    if (port.kernelClient && port.card >= 0 && midi) return kMidiTechHardwarePort;
    if ((type & kAlsaTypeHardware) != 0 && (type & (kAlsaTypeSynth | kAlsaTypeSynthesizer)) != 0) {
        return kMidiTechSynth;
    }
    return kMidiTechSoftwareSynth;
}

bool AlsaMidiSystem::EnsureOpen() {
    if (m_open) return true;
    m_api->SilenceErrors();
    const int result = m_api->Open(kClientName);
    if (result < 0) {
        m_failure = "the ALSA sequencer cannot be opened: " + m_api->ErrorText(result);
        if (!m_failureLogged) LogMessage("MIDI: %s\n", m_failure.c_str());
        m_failureLogged = true;
        return false;
    }
    m_failure.clear();
    m_client = m_api->ClientId();
    m_open = true;
    const int pool = m_api->SetInputPool(kAlsaInputPool);
    if (pool < 0) LogMessage("MIDI: the input pool stays at its default: %s\n", m_api->ErrorText(pool).c_str());
    // Unplugged devices are announced by the system; without the
    // announcements an unplugged port is noticed only when a send fails.
    const int announce = m_api->CreatePort(kAnnouncePortName, kReceiveCaps, kOwnPortType);
    if (announce >= 0 && m_api->ConnectFrom(announce, kAlsaSystemClient, kAlsaAnnouncePort) >= 0) {
        m_announcePort = announce;
    } else {
        if (announce >= 0) m_api->DeletePort(announce);
        LogMessage("MIDI: no announcements of unplugged devices\n");
    }
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
    caps.technology = TechnologyOf(m_outputs[id]);
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
    case ENOMEM: return kMidiErrNoMemory;
    case EAGAIN: return kMidiErrNotReady;
    case EBUSY: return kMidiErrAllocated;
    case EINVAL: return kMidiErrInvalidParam;
    case ENOENT:
    case ENODEV:
    case ENXIO: return kMidiErrBadDeviceId;
    default: return kMidiErrError;
    }
}

MidiError AlsaMidiSystem::OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) {
    if (!m_open) return kMidiErrNoDriver;
    if (id >= m_outputs.size()) return kMidiErrBadDeviceId;
    if (m_sendPort < 0) {
        const int created = m_api->CreatePort(kSendPortName, kSendCaps, kOwnPortType);
        if (created < 0) return ToMidiError(created);
        m_sendPort = created;
    }
    const AlsaPortInfo& destination = m_outputs[id];
    const std::pair<int, int> address{destination.client, destination.port};
    auto subscribed = std::find_if(m_destinations.begin(), m_destinations.end(),
                                   [&](const auto& entry) { return entry.first == address; });
    if (subscribed == m_destinations.end()) {
        // The device opens its output for a subscriber only; events sent to
        // it without one are refused.
        const int connected = m_api->ConnectTo(m_sendPort, destination.client, destination.port);
        if (connected < 0) {
            LogMessage("MIDI: %s cannot be subscribed: %s\n", destination.name.c_str(),
                       m_api->ErrorText(connected).c_str());
            return ToMidiError(connected);
        }
        m_destinations.emplace_back(address, 1);
    } else {
        ++subscribed->second;
    }
    auto opened = std::make_unique<AlsaMidiOutPort>(*this, destination);
    m_openOutputs.push_back(opened.get());
    port = std::move(opened);
    return kMidiNoError;
}

void AlsaMidiSystem::Unsubscribe(int client, int port) {
    const std::pair<int, int> address{client, port};
    auto subscribed = std::find_if(m_destinations.begin(), m_destinations.end(),
                                   [&](const auto& entry) { return entry.first == address; });
    if (subscribed == m_destinations.end() || --subscribed->second > 0) return;
    m_destinations.erase(subscribed);
    // A port that has gone took its subscription with it.
    m_api->DisconnectTo(m_sendPort, client, port);
}

MidiError AlsaMidiSystem::OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) {
    if (!m_open) return kMidiErrNoDriver;
    if (id >= m_inputs.size()) return kMidiErrBadDeviceId;
    const AlsaPortInfo& source = m_inputs[id];
    const int local = m_api->CreatePort(kReceivePortName, kReceiveCaps, kOwnPortType);
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
    header.flags = (header.flags & ~kMidiHeaderDone) | kMidiHeaderInQueue;
    PendingSend pending{port, &header, {}, false};
    pending.bytes.assign(header.data, header.data + header.bufferLength);
    m_pending.push_back(std::move(pending));
    // Not drained yet: the messages a caller sends one after the other (a
    // firmware packet and the writes before it) reach the sequencer together
    // at the next poll or wait, in one write and one transfer to the device.
    Flush(false);
    // A send refused at once is reported by this call, and its header is
    // handed back.
    const MidiError failure = port->TakeFailure();
    if (failure != kMidiNoError) {
        header.flags &= ~(kMidiHeaderInQueue | kMidiHeaderDone);
        return failure;
    }
    return kMidiNoError;
}

void AlsaMidiSystem::FailSubmitted(int alsaError) {
    // The refused event stays at the head of the library's output buffer and
    // would block every later send: everything queued there is dropped.
    m_api->DropOutput();
    LogMessage("MIDI: a message could not be sent: %s\n", m_api->ErrorText(alsaError).c_str());
    std::erase_if(m_pending, [&](PendingSend& pending) {
        if (!pending.submitted) return false;
        pending.port->SetFailure(ToMidiError(alsaError));
        return true;
    });
}

void AlsaMidiSystem::Flush(bool drain) {
    if (m_pending.empty()) return;
    const uint32_t now = CurrentClock().TickMs();
    bool queued = false;
    for (PendingSend& pending : m_pending) {
        if (pending.submitted) {
            queued = true;
            continue;
        }
        // Sends keep their order: one held back holds back those after it.
        if (!pending.port->WireHasRoom(pending.bytes.size(), now)) break;
        const int result = m_api->SendSysEx(m_sendPort, pending.port->Client(), pending.port->Port(),
                                            pending.bytes.data(), pending.bytes.size());
        // The library's buffer is full and the sequencer takes no more for
        // now: the message waits for room.
        if (result == -EAGAIN) {
            m_outputBlocked = true;
            break;
        }
        if (result < 0) {
            pending.port->SetFailure(ToMidiError(result));
        } else {
            pending.submitted = true;
            pending.port->Submitted(pending.bytes.size(), now);
            queued = true;
        }
        // The library holds its own copy: the header goes back to its owner.
        pending.bytes = {};
        MarkMidiHeaderDone(*pending.header);
        pending.header = nullptr;
    }
    std::erase_if(m_pending,
                  [](const PendingSend& pending) { return pending.header == nullptr && !pending.submitted; });
    if (!drain || !queued) return;
    // Until the sequencer has taken the library's buffer, it is tried again
    // on every poll.
    const int drained = m_api->Drain();
    m_outputBlocked = drained == -EAGAIN || drained > 0;
    if (m_outputBlocked) return;
    if (drained < 0) {
        FailSubmitted(drained);
        return;
    }
    std::erase_if(m_pending, [](const PendingSend& pending) { return pending.submitted; });
}

bool AlsaMidiSystem::Sending(const AlsaMidiOutPort* port) const {
    return std::any_of(m_pending.begin(), m_pending.end(), [port](const PendingSend& pending) {
        return pending.port == port && pending.header != nullptr;
    });
}

std::optional<uint32_t> AlsaMidiSystem::HeldSendDueInMs() {
    const auto held =
        std::find_if(m_pending.begin(), m_pending.end(), [](const PendingSend& pending) { return !pending.submitted; });
    if (held == m_pending.end()) return std::nullopt;
    return held->port->RoomInMs(held->bytes.size(), CurrentClock().TickMs());
}

WaitResult AlsaMidiSystem::WaitFor(const std::function<bool()>& ready, uint32_t timeoutMs) {
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        Pump();
        if (ready()) return WaitResult::Ready;
        if (!m_open) return WaitResult::Failed;
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) return WaitResult::TimedOut;
        uint32_t wait = timeoutMs - elapsed;
        // A send held back for the wire goes when the device has room.
        if (const std::optional<uint32_t> due = HeldSendDueInMs()) wait = std::min(wait, std::max(*due, 1u));
        if (m_api->Wait(m_outputBlocked, wait) < 0) return WaitResult::Failed;
    }
}

void AlsaMidiSystem::ForgetSends(AlsaMidiOutPort* port) {
    // Messages already handed back count as sent: they go to the sequencer
    // before the port lets go of anything.
    Flush(true);
    bool dropped = false;
    std::erase_if(m_pending, [&](const PendingSend& pending) {
        if (pending.port != port) return false;
        if (pending.header != nullptr) MarkMidiHeaderDone(*pending.header);
        dropped = dropped || pending.submitted;
        return true;
    });
    // The library's output buffer is shared by all ports: it is emptied only
    // when no other port's message waits in it.
    const bool othersQueued =
        std::any_of(m_pending.begin(), m_pending.end(), [](const PendingSend& pending) { return pending.submitted; });
    if (dropped && !othersQueued) m_api->DropOutput();
}

void AlsaMidiSystem::PortGone(int client, int port) {
    // port < 0: the whole client.
    const auto matches = [&](int c, int p) { return c == client && (port < 0 || p == port); };
    for (AlsaMidiOutPort* out : m_openOutputs) {
        if (!matches(out->Client(), out->Port()) || out->Unplugged()) continue;
        out->SetUnplugged();
        ForgetSends(out);
        LogMessage("MIDI: output %d:%d has gone\n", out->Client(), out->Port());
    }
    for (AlsaMidiInPort* in : m_openInputs) {
        if (!matches(in->Client(), in->Port()) || in->Unplugged()) continue;
        in->SetUnplugged();
        LogMessage("MIDI: input %d:%d has gone\n", in->Client(), in->Port());
    }
}

void AlsaMidiSystem::Pump() {
    if (!m_open) return;
    Flush(true);
    for (int i = 0; i < kEventsPerPoll; ++i) {
        AlsaEvent event;
        const int result = m_api->ReadEvent(event);
        if (result == 0) break;
        if (result < 0) {
            if (result != -ENOSPC) break;
            // The kernel has thrown our waiting input away: the message each
            // input was receiving lost its middle.
            LogMessage("MIDI: input overrun, messages were lost\n");
            for (AlsaMidiInPort* in : m_openInputs) in->Buffers().DiscardPartialMessage();
            continue;
        }
        if (event.kind == AlsaEventKind::ClientExit || event.kind == AlsaEventKind::PortExit) {
            if (event.destPort == m_announcePort && event.sourceClient == kAlsaSystemClient) {
                PortGone(event.subjectClient, event.kind == AlsaEventKind::PortExit ? event.subjectPort : -1);
            }
            continue;
        }
        if (event.kind != AlsaEventKind::SysEx || event.data == nullptr || event.length == 0) continue;
        for (AlsaMidiInPort* in : m_openInputs) {
            // Only the subscribed source is heard: a port can be written to
            // directly by any program.
            if (in->LocalPort() == event.destPort && in->Client() == event.sourceClient &&
                in->Port() == event.sourcePort) {
                in->Buffers().Deliver(std::span(event.data, event.length));
                break;
            }
        }
    }
}

MidiSystem& NativeMidiSystem() {
    // Opened on first use; the sequencer is looked at only when ports are
    // counted.
    static const std::unique_ptr<MidiSystem> alsa = std::make_unique<AlsaMidiSystem>(MakeSystemAlsaApi());
    return *alsa;
}

}  // namespace platform
