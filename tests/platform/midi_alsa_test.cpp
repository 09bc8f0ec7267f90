// The ALSA sequencer back-end driven through a stand-in sequencer: which
// ports it offers and how, SysEx sends and their completion, incoming SysEx
// pieces filling the input buffers, and a sequencer that cannot be opened.
#include "platform/midi_alsa.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "links/nimbra_midi.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::AlsaPortInfo;

constexpr unsigned kDuplex =
    platform::kAlsaCapRead | platform::kAlsaCapWrite | platform::kAlsaCapSubsRead | platform::kAlsaCapSubsWrite;
constexpr unsigned kUsbType = platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeHardware | platform::kAlsaTypePort;
constexpr int kOurClient = 128;

struct Sent {
    int fromPort;
    int client;
    int port;
    Bytes data;
};

// A sequencer in memory that behaves as the kernel does where it matters: a
// device takes events only from a port subscribed to it (others are refused
// with ENODEV and stay at the head of the output buffer), a subscriber hears
// only its sources, drain returns 0 or an error, an overrun empties the
// input queue, and an unplugged client is announced. `answer` lets a test
// play a device that replies to what is sent to it.
class FakeAlsa final : public platform::AlsaApi {
public:
    void SilenceErrors() override { silenced = true; }
    int Open(const char*) override {
        openedAfterSilencing = silenced;
        ++opens;
        if (!openResults.empty()) {
            const int result = openResults.front();
            openResults.pop_front();
            return result;
        }
        return openResult;
    }
    void Close() override { ++closes; }
    int ClientId() override { return kOurClient; }
    int SetInputPool(size_t events) override {
        inputPool = events;
        return 0;
    }
    int ListPorts(std::vector<AlsaPortInfo>& out) override {
        out = ports;
        return 0;
    }
    int CreatePort(const char*, unsigned capability, unsigned) override {
        const int port = nextPort++;
        created.push_back(port);
        createdCaps.push_back(capability);
        return port;
    }
    int DeletePort(int port) override {
        deleted.push_back(port);
        return 0;
    }
    int ConnectFrom(int port, int client, int sourcePort) override {
        if (client == platform::kAlsaSystemClient && sourcePort == platform::kAlsaAnnouncePort) {
            announceTo = port;
            return 0;
        }
        if (connectResult < 0) return connectResult;
        subscriptions[{client, sourcePort}] = port;
        return 0;
    }
    int DisconnectFrom(int, int client, int sourcePort) override {
        subscriptions.erase({client, sourcePort});
        return 0;
    }
    int ConnectTo(int port, int client, int destPort) override {
        if (connectToResult < 0) return connectToResult;
        if (!outSubscriptions.insert({port, client, destPort}).second) return -EBUSY;
        return 0;
    }
    int DisconnectTo(int port, int client, int destPort) override {
        return outSubscriptions.erase({port, client, destPort}) == 1 ? 0 : -ENOENT;
    }
    int SendSysEx(int port, int client, int destPort, const uint8_t* data, size_t length) override {
        if (sendResult < 0) return sendResult;
        queuedOut.push_back(Sent{port, client, destPort, Bytes(data, data + length)});
        return 0;
    }
    int Drain() override {
        if (!drainResults.empty()) {
            const int result = drainResults.front();
            drainResults.pop_front();
            if (result < 0) return result;
        }
        while (!queuedOut.empty()) {
            Sent& s = queuedOut.front();
            if (outSubscriptions.count({s.fromPort, s.client, s.port}) == 0) return -ENODEV;
            if (answer) answer(s);
            sent.push_back(std::move(s));
            queuedOut.pop_front();
        }
        return 0;
    }
    int DropOutput() override {
        ++drops;
        queuedOut.clear();
        return 0;
    }
    // Nothing arrives while the test does not act: a wait with nothing
    // waiting lets its time pass.
    int Wait(bool output, uint32_t timeoutMs) override {
        ++waits;
        if (!incoming.empty() || (output && drainResults.empty())) return 1;
        platform::CurrentClock().SleepMs(timeoutMs);
        return 0;
    }
    int ReadEvent(platform::AlsaEvent& event) override {
        if (incoming.empty()) return 0;
        m_current = std::move(incoming.front());
        incoming.pop_front();
        if (m_current.overrun) return -ENOSPC;
        event = platform::AlsaEvent{};
        event.kind = m_current.kind;
        event.sourceClient = m_current.sourceClient;
        event.sourcePort = m_current.sourcePort;
        event.destPort = m_current.port;
        event.subjectClient = m_current.subjectClient;
        event.subjectPort = m_current.subjectPort;
        event.data = m_current.data.data();
        event.length = m_current.data.size();
        return 1;
    }
    std::string ErrorText(int error) override {
        if (error == -ENOENT) return "No such file or directory";
        if (error == -ENODEV) return "No such device";
        if (error == -EBUSY) return "Device or resource busy";
        return "error";
    }

    // SysEx bytes from source port (client, port), if our port is subscribed.
    void Arrive(int client, int port, Bytes data, bool sysex = true) {
        auto it = subscriptions.find({client, port});
        if (it == subscriptions.end()) return;
        Inject(it->second, client, port, std::move(data), sysex);
    }
    // An event any program may send straight to one of our ports.
    void Inject(int localPort, int client, int port, Bytes data, bool sysex = true) {
        Event e;
        e.port = localPort;
        e.kind = sysex ? platform::AlsaEventKind::SysEx : platform::AlsaEventKind::Other;
        e.sourceClient = client;
        e.sourcePort = port;
        e.data = std::move(data);
        incoming.push_back(std::move(e));
    }
    // The kernel ran out of room for our input: what waited is gone.
    void Overrun() {
        incoming.clear();
        Event e;
        e.overrun = true;
        incoming.push_back(std::move(e));
    }
    // A device's client goes away with its ports and subscriptions.
    void Unplug(int client) {
        std::vector<int> gone;
        std::erase_if(ports, [&](const AlsaPortInfo& p) {
            if (p.client == client) gone.push_back(p.port);
            return p.client == client;
        });
        std::erase_if(subscriptions, [&](const auto& entry) { return entry.first.first == client; });
        std::erase_if(outSubscriptions, [&](const auto& entry) { return std::get<1>(entry) == client; });
        if (announceTo < 0) return;
        for (int port : gone) Announce(platform::AlsaEventKind::PortExit, client, port);
        Announce(platform::AlsaEventKind::ClientExit, client, 0);
    }

    struct Event {
        int port = -1;
        platform::AlsaEventKind kind = platform::AlsaEventKind::SysEx;
        int sourceClient = -1;
        int sourcePort = -1;
        int subjectClient = -1;
        int subjectPort = -1;
        bool overrun = false;
        Bytes data;
    };

    std::vector<AlsaPortInfo> ports;
    int openResult = 0;
    std::deque<int> openResults;
    int connectResult = 0;
    int connectToResult = 0;
    int sendResult = 0;
    bool silenced = false;
    bool openedAfterSilencing = false;
    int opens = 0;
    int closes = 0;
    int drops = 0;
    int waits = 0;
    int nextPort = 0;
    int announceTo = -1;
    size_t inputPool = 0;
    std::vector<int> created;
    std::vector<unsigned> createdCaps;
    std::vector<int> deleted;
    std::map<std::pair<int, int>, int> subscriptions;
    std::set<std::tuple<int, int, int>> outSubscriptions;
    std::deque<int> drainResults;
    std::deque<Sent> queuedOut;
    std::vector<Sent> sent;
    std::deque<Event> incoming;
    std::function<void(const Sent&)> answer;

private:
    void Announce(platform::AlsaEventKind kind, int client, int port) {
        Event e;
        e.port = announceTo;
        e.kind = kind;
        e.sourceClient = platform::kAlsaSystemClient;
        e.sourcePort = platform::kAlsaAnnouncePort;
        e.subjectClient = client;
        e.subjectPort = port;
        incoming.push_back(std::move(e));
    }

    Event m_current;
};

class AlsaMidiTest : public ::testing::Test {
protected:
    AlsaMidiTest() {
        char pattern[] = "/tmp/midi_alsa_test.XXXXXX";
        m_dir = mkdtemp(pattern);
        m_logPath = m_dir + "/QuilUpdate.log";
        SetLogFilePath(m_logPath);
        auto fake = std::make_unique<FakeAlsa>();
        alsa = fake.get();
        m_fake = std::move(fake);
    }
    ~AlsaMidiTest() override {
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove_all(m_dir);
    }

    std::unique_ptr<platform::AlsaMidiSystem> MakeSystem() {
        return std::make_unique<platform::AlsaMidiSystem>(std::move(m_fake));
    }
    std::vector<std::string> LogLines() const {
        std::ifstream in(m_logPath);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) lines.push_back(line.size() > 20 ? line.substr(20) : line);
        return lines;
    }
    void AddPort(int client, int port, const std::string& name, unsigned capability, unsigned type) {
        alsa->ports.push_back(AlsaPortInfo{client, port, name, capability, type});
    }

    FakeAlsa* alsa = nullptr;
    std::string m_dir;
    std::string m_logPath;

private:
    std::unique_ptr<FakeAlsa> m_fake;
};

struct Buffer {
    platform::MidiHeader header;
    std::array<uint8_t, 512> bytes{};
    Bytes Contents() const { return Bytes(bytes.begin(), bytes.begin() + header.bytesRecorded); }
    bool Done() const { return (header.flags & platform::kMidiHeaderDone) != 0; }
};

void Queue(platform::MidiInPort& port, Buffer& buffer, uint32_t length = 512) {
    buffer.header = platform::MidiHeader{};
    buffer.header.data = buffer.bytes.data();
    buffer.header.bufferLength = length;
    ASSERT_EQ(port.PrepareHeader(buffer.header), platform::kMidiNoError);
    ASSERT_EQ(port.AddBuffer(buffer.header), platform::kMidiNoError);
}

TEST_F(AlsaMidiTest, PortsAndTheirTechnology) {
    // Listed out of order on purpose: ids follow client and port numbers.
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    AddPort(0, 0, "Timer", kDuplex, 0);
    AddPort(14, 0, "Midi Through Port-0", kDuplex, platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeSoftware);
    AddPort(20, 1, "Keyboard out only", platform::kAlsaCapRead | platform::kAlsaCapSubsRead, kUsbType);
    AddPort(20, 0, "FluidSynth", platform::kAlsaCapWrite | platform::kAlsaCapSubsWrite,
            platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeSoftware | platform::kAlsaTypeSynthesizer);
    AddPort(21, 0, "Hidden", kDuplex | platform::kAlsaCapNoExport, kUsbType);
    AddPort(22, 0, "Direct only", platform::kAlsaCapWrite | platform::kAlsaCapRead, kUsbType);
    AddPort(kOurClient, 0, "Quil Firmware Update in", kDuplex, kUsbType);
    AddPort(24, 1, "Quil USB MIDI 1 with a name longer than 31", kDuplex, kUsbType);
    auto system = MakeSystem();

    ASSERT_EQ(system->OutputCount(), 4u);
    const std::vector<std::pair<std::string, uint16_t>> outputs{
        {"Midi Through Port-0", platform::kMidiTechSoftwareSynth},
        {"FluidSynth", platform::kMidiTechSoftwareSynth},
        {"Quil USB MIDI 1", platform::kMidiTechHardwarePort},
        {"Quil USB MIDI 1 with a name lon", platform::kMidiTechHardwarePort},
    };
    for (uint32_t id = 0; id < outputs.size(); ++id) {
        platform::MidiPortCaps caps;
        ASSERT_EQ(system->OutputCaps(id, caps), platform::kMidiNoError);
        EXPECT_EQ(std::string(caps.name.data()), outputs[id].first);
        EXPECT_EQ(caps.technology, outputs[id].second) << outputs[id].first;
    }
    platform::MidiPortCaps caps;
    EXPECT_EQ(system->OutputCaps(4, caps), platform::kMidiErrBadDeviceId);

    ASSERT_EQ(system->InputCount(), 4u);
    const std::vector<std::string> inputs{"Midi Through Port-0", "Keyboard out only", "Quil USB MIDI 1",
                                          "Quil USB MIDI 1 with a name lon"};
    for (uint32_t id = 0; id < inputs.size(); ++id) {
        ASSERT_EQ(system->InputCaps(id, caps), platform::kMidiNoError);
        EXPECT_EQ(std::string(caps.name.data()), inputs[id]);
    }
    EXPECT_TRUE(system->Available(nullptr));
}

TEST(AlsaPortTechnology, DevicesAreHardwarePortsWhateverTheirPortsType) {
    struct Case {
        unsigned type;
        bool kernelClient;
        int card;
        uint16_t technology;
    };
    const Case cases[] = {
        {kUsbType, false, -1, platform::kMidiTechHardwarePort},
        // A MIDI 2.0 device: a card's kernel client with UMP-typed ports.
        {platform::kAlsaTypeMidiUmp | platform::kAlsaTypePort, true, 1, platform::kMidiTechHardwarePort},
        {platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeSoftware, true, 0, platform::kMidiTechHardwarePort},
        // Through and timer ports belong to kernel clients without a card.
        {platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeSoftware, true, -1, platform::kMidiTechSoftwareSynth},
        {platform::kAlsaTypeMidiUmp | platform::kAlsaTypeApplication, false, -1, platform::kMidiTechSoftwareSynth},
        {platform::kAlsaTypeHardware | platform::kAlsaTypeSynth, true, 0, platform::kMidiTechSynth},
        {platform::kAlsaTypeHardware, false, -1, platform::kMidiTechSoftwareSynth},
    };
    for (const Case& c : cases) {
        AlsaPortInfo info{20, 0, "port", kDuplex, c.type, c.kernelClient, c.card};
        EXPECT_EQ(platform::AlsaMidiSystem::TechnologyOf(info), c.technology) << std::hex << c.type;
    }
}

// A prepared header over `bytes`.
platform::MidiHeader Prepared(platform::MidiOutPort& port, Bytes& bytes) {
    platform::MidiHeader header{};
    header.data = bytes.data();
    header.bufferLength = static_cast<uint32_t>(bytes.size());
    EXPECT_EQ(port.PrepareHeader(header), platform::kMidiNoError);
    return header;
}

bool IsDone(const platform::MidiHeader& header) { return (header.flags & platform::kMidiHeaderDone) != 0; }

TEST_F(AlsaMidiTest, SysExSendsAreHandedBackAtOnceAndReachTheSequencerTogetherAtTheNextPoll) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->OutputCount(), 1u);
    std::unique_ptr<platform::MidiOutPort> port;
    ASSERT_EQ(system->OpenOutput(0, port), platform::kMidiNoError);

    Bytes message{0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    Bytes packet(160, 0x22);
    platform::MidiHeader header{};
    header.data = message.data();
    header.bufferLength = static_cast<uint32_t>(message.size());
    EXPECT_EQ(port->SendLong(header), platform::kMidiErrUnprepared);
    ASSERT_EQ(port->PrepareHeader(header), platform::kMidiNoError);
    // The library keeps a copy: both headers come back at once, and the
    // messages go to the sequencer in one drain at the next poll, when the
    // sequencer takes them.
    alsa->drainResults = {-EAGAIN};
    ASSERT_EQ(port->SendLong(header), platform::kMidiNoError);
    EXPECT_TRUE(IsDone(header));
    EXPECT_EQ(port->UnprepareHeader(header), platform::kMidiNoError);
    platform::MidiHeader second = Prepared(*port, packet);
    ASSERT_EQ(port->SendLong(second), platform::kMidiNoError);
    EXPECT_TRUE(IsDone(second));
    EXPECT_EQ(alsa->queuedOut.size(), 2u);
    // Nothing of this port is under way: the wait returns at once, after
    // one try of the sequencer.
    EXPECT_EQ(port->WaitForSend(10), platform::WaitResult::Ready);
    EXPECT_TRUE(alsa->sent.empty());
    port->Poll();
    ASSERT_EQ(alsa->sent.size(), 2u);
    EXPECT_EQ(alsa->sent[0].client, 24);
    EXPECT_EQ(alsa->sent[0].port, 0);
    EXPECT_EQ(alsa->sent[0].data, message);
    EXPECT_EQ(alsa->sent[1].data, packet);

    // A send the library refuses is reported at once.
    alsa->sendResult = -ENOMEM;
    ASSERT_EQ(port->PrepareHeader(header), platform::kMidiNoError);
    EXPECT_EQ(port->SendLong(header), platform::kMidiErrNoMemory);

    // A reset sends on what was handed back; what the sequencer still does
    // not take then is given up.
    alsa->sendResult = 0;
    ASSERT_EQ(port->SendLong(header), platform::kMidiNoError);
    ASSERT_EQ(port->Reset(), platform::kMidiNoError);
    EXPECT_EQ(alsa->sent.size(), 3u);
    EXPECT_EQ(alsa->drops, 0);
    ASSERT_EQ(port->PrepareHeader(header), platform::kMidiNoError);
    ASSERT_EQ(port->SendLong(header), platform::kMidiNoError);
    alsa->drainResults = {-EAGAIN};
    EXPECT_EQ(port->Close(), platform::kMidiNoError);
    EXPECT_EQ(alsa->drops, 1);
    EXPECT_EQ(alsa->sent.size(), 3u);
}

TEST_F(AlsaMidiTest, IncomingSysExPiecesFillTheBuffersInOrder) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    AddPort(25, 0, "Other", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->InputCount(), 2u);
    std::unique_ptr<platform::MidiInPort> port;
    std::unique_ptr<platform::MidiInPort> other;
    ASSERT_EQ(system->OpenInput(0, port), platform::kMidiNoError);
    ASSERT_EQ(system->OpenInput(1, other), platform::kMidiNoError);
    ASSERT_EQ(alsa->subscriptions.size(), 2u);

    std::array<Buffer, 3> buffers;
    for (Buffer& b : buffers) Queue(*port, b);
    // Before input starts nothing is recorded.
    alsa->Arrive(24, 0, {0xF0, 0x01, 0xF7});
    ASSERT_EQ(port->Start(), platform::kMidiNoError);

    // One 700-byte message in three pieces, then a short one; noise on the
    // other port and a non-SysEx event in between.
    Bytes message(700);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i & 0x7F);
    message.front() = 0xF0;
    message.back() = 0xF7;
    alsa->Arrive(24, 0, Bytes(message.begin(), message.begin() + 256));
    alsa->Arrive(25, 0, {0xF0, 0x55, 0xF7});
    alsa->Arrive(24, 0, {0x90, 0x40, 0x7F}, false);
    alsa->Arrive(24, 0, Bytes(message.begin() + 256, message.begin() + 512 + 10));
    port->Poll();
    EXPECT_TRUE(buffers[0].Done());
    EXPECT_FALSE(buffers[1].Done());
    EXPECT_EQ(buffers[1].header.bytesRecorded, 10u);
    alsa->Arrive(24, 0, Bytes(message.begin() + 522, message.end()));
    const Bytes shortOne{0xF0, 0x00, 0x01, 0x54, 0x70, 0x04, 0x00, 0x18, 0x40, 0xF7};
    alsa->Arrive(24, 0, shortOne);
    port->Poll();
    ASSERT_TRUE(buffers[1].Done());
    ASSERT_TRUE(buffers[2].Done());
    Bytes joined = buffers[0].Contents();
    const Bytes second = buffers[1].Contents();
    joined.insert(joined.end(), second.begin(), second.end());
    EXPECT_EQ(joined, message);
    EXPECT_EQ(buffers[2].Contents(), shortOne);

    // Bytes beyond the queued buffers wait for the next one.
    alsa->Arrive(24, 0, {0xF0, 0x7E, 0xF7});
    port->Poll();
    Queue(*port, buffers[0]);
    EXPECT_TRUE(buffers[0].Done());
    EXPECT_EQ(buffers[0].Contents(), Bytes({0xF0, 0x7E, 0xF7}));

    // Reset hands queued buffers back; close unsubscribes and removes our port.
    Queue(*port, buffers[1]);
    EXPECT_EQ(port->Close(), platform::kMidiErrStillPlaying);
    ASSERT_EQ(port->Reset(), platform::kMidiNoError);
    EXPECT_TRUE(buffers[1].Done());
    EXPECT_EQ(buffers[1].header.bytesRecorded, 0u);
    ASSERT_EQ(port->Close(), platform::kMidiNoError);
    EXPECT_EQ(alsa->subscriptions.size(), 1u);
    EXPECT_EQ(alsa->deleted.size(), 1u);
}

TEST_F(AlsaMidiTest, InputThatCannotBeSubscribedIsNotOpened) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->InputCount(), 1u);
    alsa->connectResult = -EPERM;
    std::unique_ptr<platform::MidiInPort> port;
    EXPECT_NE(system->OpenInput(0, port), platform::kMidiNoError);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(alsa->deleted, std::vector<int>{alsa->created.back()});
    EXPECT_EQ(system->OpenInput(5, port), platform::kMidiErrBadDeviceId);
}

TEST_F(AlsaMidiTest, SequencerThatCannotBeOpenedMeansNoPortsAndOneLogLine) {
    alsa->openResult = -ENOENT;
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    auto system = MakeSystem();
    testing::internal::CaptureStderr();
    EXPECT_EQ(system->OutputCount(), 0u);
    EXPECT_EQ(system->InputCount(), 0u);
    EXPECT_EQ(system->OutputCount(), 0u);
    std::string reason;
    EXPECT_FALSE(system->Available(&reason));
    std::unique_ptr<platform::MidiOutPort> out;
    EXPECT_EQ(system->OpenOutput(0, out), platform::kMidiErrNoDriver);
    std::unique_ptr<platform::MidiInPort> in;
    EXPECT_EQ(system->OpenInput(0, in), platform::kMidiErrNoDriver);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_TRUE(alsa->openedAfterSilencing);
    // Every count and the availability question try again.
    EXPECT_EQ(alsa->opens, 4);
    EXPECT_EQ(reason, "the ALSA sequencer cannot be opened: No such file or directory");
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "MIDI: the ALSA sequencer cannot be opened: No such file or directory");
}

TEST_F(AlsaMidiTest, TheRealSequencerFailsQuietlyWhenAbsent) {
    platform::AlsaMidiSystem system(platform::MakeSystemAlsaApi());
    testing::internal::CaptureStderr();
    const uint32_t outputs = system.OutputCount();
    const uint32_t inputs = system.InputCount();
    const bool available = system.Available(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (available) GTEST_SKIP() << "this machine has a sequencer";
    EXPECT_EQ(outputs, 0u);
    EXPECT_EQ(inputs, 0u);
    EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(AlsaMidiTest, TheSequencerIsTheSystemsMidiBackEnd) {
    platform::MidiSystem& system = platform::CurrentMidiSystem();
    EXPECT_NE(dynamic_cast<platform::AlsaMidiSystem*>(&system), nullptr);
    std::string reason;
    if (system.Available(&reason)) GTEST_SKIP() << "this machine has a sequencer";
    EXPECT_EQ(reason.rfind("the ALSA sequencer cannot be opened: ", 0), 0u) << reason;
    EXPECT_EQ(system.OutputCount(), 0u);
    EXPECT_EQ(system.InputCount(), 0u);
    // The link finds nothing and says so.
    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_FALSE(LogLines().empty());
    EXPECT_EQ(LogLines().back(), "CNimbraMIDI::Open: No Output Ports");
}

TEST_F(AlsaMidiTest, TheLinkFindsAUnitBehindTheSequencer) {
    AddPort(14, 0, "Midi Through Port-0", kDuplex, platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeSoftware);
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    // The unit answers a one-register request in 10 bytes, in two pieces.
    alsa->answer = [this](const Sent& s) {
        if (s.client != 24 || s.data.size() != 8) return;
        const uint8_t b4 = static_cast<uint8_t>(0x70 | (s.data[4] & 7));
        alsa->Arrive(24, 0, {0xF0, 0x00, 0x01, 0x54, b4});
        alsa->Arrive(24, 0, {s.data[5], 0x00, 0x18, 0x40, 0xF7});
    };
    auto system = MakeSystem();
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    platform::ScopedMidiSystem scoped(*system);

    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(link.ConnectionInputId(0), 1u);
    EXPECT_EQ(link.ConnectionOutputId(0), 1u);
    // Through is software: never probed.
    for (const Sent& s : alsa->sent) EXPECT_EQ(s.client, 24);
    EXPECT_TRUE(alsa->subscriptions.empty());

    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    const uint8_t request[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    ASSERT_EQ(link.Write(request, 8), kStatusOk);
    uint8_t buffer[4096];
    int received = 0;
    ASSERT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
    EXPECT_EQ(Bytes(buffer, buffer + received), Bytes({0xF0, 0x00, 0x01, 0x54, 0x70, 0x04, 0x00, 0x18, 0x40, 0xF7}));
    link.Close();
    EXPECT_TRUE(alsa->subscriptions.empty());
}

TEST_F(AlsaMidiTest, AnOpenOutputSubscribesItsDestination) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    AddPort(25, 0, "Quil USB MIDI 2", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->OutputCount(), 2u);
    std::unique_ptr<platform::MidiOutPort> first;
    std::unique_ptr<platform::MidiOutPort> again;
    ASSERT_EQ(system->OpenOutput(0, first), platform::kMidiNoError);
    // A second output to the same device shares the subscription.
    ASSERT_EQ(system->OpenOutput(0, again), platform::kMidiNoError);
    ASSERT_EQ(alsa->outSubscriptions.size(), 1u);
    const int sendPort = std::get<0>(*alsa->outSubscriptions.begin());
    EXPECT_EQ(*alsa->outSubscriptions.begin(), std::make_tuple(sendPort, 24, 0));

    Bytes message{0xF0, 0x7D, 0xF7};
    platform::MidiHeader header = Prepared(*first, message);
    ASSERT_EQ(first->SendLong(header), platform::kMidiNoError);
    EXPECT_TRUE(IsDone(header));
    first->Poll();
    ASSERT_EQ(alsa->sent.size(), 1u);
    EXPECT_EQ(alsa->sent[0].client, 24);

    ASSERT_EQ(first->Close(), platform::kMidiNoError);
    EXPECT_EQ(alsa->outSubscriptions.size(), 1u);
    again.reset();
    EXPECT_TRUE(alsa->outSubscriptions.empty());

    // A device that refuses the subscription is not opened.
    alsa->connectToResult = -EBUSY;
    std::unique_ptr<platform::MidiOutPort> refused;
    EXPECT_EQ(system->OpenOutput(1, refused), platform::kMidiErrAllocated);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(LogLines().back(), "MIDI: Quil USB MIDI 2 cannot be subscribed: Device or resource busy");
}

TEST_F(AlsaMidiTest, ARefusedSendFailsAndDoesNotBlockTheOthers) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    AddPort(25, 0, "Quil USB MIDI 2", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->OutputCount(), 2u);
    std::unique_ptr<platform::MidiOutPort> lost;
    std::unique_ptr<platform::MidiOutPort> other;
    ASSERT_EQ(system->OpenOutput(0, lost), platform::kMidiNoError);
    ASSERT_EQ(system->OpenOutput(1, other), platform::kMidiNoError);
    // The kernel forgets the first subscription (its device went away).
    std::erase_if(alsa->outSubscriptions, [](const auto& s) { return std::get<1>(s) == 24; });

    // Refused when the messages reach the sequencer: the next send to that
    // port fails, and the others' messages are not held up.
    Bytes message{0xF0, 0x7D, 0xF7};
    platform::MidiHeader header = Prepared(*lost, message);
    EXPECT_EQ(lost->SendLong(header), platform::kMidiNoError);
    lost->Poll();
    EXPECT_TRUE(alsa->queuedOut.empty());
    EXPECT_EQ(LogLines().back(), "MIDI: a message could not be sent: No such device");
    platform::MidiHeader again = Prepared(*lost, message);
    EXPECT_EQ(lost->SendLong(again), platform::kMidiErrBadDeviceId);
    EXPECT_EQ(again.flags & (platform::kMidiHeaderInQueue | platform::kMidiHeaderDone), 0u);

    platform::MidiHeader second = Prepared(*other, message);
    ASSERT_EQ(other->SendLong(second), platform::kMidiNoError);
    EXPECT_TRUE(IsDone(second));
    other->Poll();
    ASSERT_EQ(alsa->sent.size(), 1u);
    EXPECT_EQ(alsa->sent[0].client, 25);

    // Refused on a later poll: the next send fails.
    alsa->drainResults = {-EAGAIN, -EPERM};
    platform::MidiHeader third = Prepared(*other, message);
    ASSERT_EQ(other->SendLong(third), platform::kMidiNoError);
    other->Poll();
    EXPECT_EQ(alsa->queuedOut.size(), 1u);
    other->Poll();
    EXPECT_TRUE(alsa->queuedOut.empty());
    platform::MidiHeader fourth = Prepared(*other, message);
    EXPECT_EQ(other->SendLong(fourth), platform::kMidiErrError);
    ASSERT_EQ(other->SendLong(fourth), platform::kMidiNoError);
    other->Poll();
    EXPECT_EQ(alsa->sent.size(), 2u);
}

TEST_F(AlsaMidiTest, SendsToAMidiCableKeepToItsRateAndUsbSendsAreNotHeldBack) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    AddPort(14, 0, "Midi Through Port-0", kDuplex, platform::kAlsaTypeMidiGeneric | platform::kAlsaTypeSoftware);
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    auto system = MakeSystem();
    ASSERT_EQ(system->OutputCount(), 2u);
    std::unique_ptr<platform::MidiOutPort> device;
    std::unique_ptr<platform::MidiOutPort> through;
    ASSERT_EQ(system->OpenOutput(1, device), platform::kMidiNoError);
    ASSERT_EQ(system->OpenOutput(0, through), platform::kMidiNoError);

    // Four 1000-byte messages fill the device's 4096-byte buffer; the fifth
    // waits until 904 bytes have left at 3125 bytes/s (289.3 ms).
    std::array<Bytes, 5> messages;
    std::array<platform::MidiHeader, 5> headers;
    for (size_t i = 0; i < messages.size(); ++i) {
        messages[i] = Bytes(1000, 0x11);
        headers[i] = Prepared(*device, messages[i]);
        ASSERT_EQ(device->SendLong(headers[i]), platform::kMidiNoError);
        EXPECT_EQ(IsDone(headers[i]), i < 4) << i;
    }
    // A wait for the held send sleeps once, until the buffer has room.
    alsa->waits = 0;
    EXPECT_EQ(device->WaitForSend(1000), platform::WaitResult::Ready);
    EXPECT_EQ(clock.Peek() - 1000, 290u);
    EXPECT_EQ(alsa->waits, 1);
    EXPECT_TRUE(IsDone(headers[4]));
    EXPECT_EQ(alsa->sent.size(), 5u);

    // A USB device's buffer drains into the bus: nothing is held back.
    AddPort(30, 0, "Quil USB MIDI 2", kDuplex, kUsbType);
    alsa->ports.back().usb = true;
    ASSERT_EQ(system->OutputCount(), 3u);
    std::unique_ptr<platform::MidiOutPort> usb;
    ASSERT_EQ(system->OpenOutput(2, usb), platform::kMidiNoError);
    for (size_t i = 0; i < messages.size(); ++i) {
        headers[i] = Prepared(*usb, messages[i]);
        ASSERT_EQ(usb->SendLong(headers[i]), platform::kMidiNoError);
        EXPECT_TRUE(IsDone(headers[i])) << i;
    }

    // The largest burst the programs send, a firmware packet and the writes
    // around it, is far below the buffer; software ports are not paced.
    for (auto& message : messages) {
        platform::MidiHeader header = Prepared(*through, message);
        ASSERT_EQ(through->SendLong(header), platform::kMidiNoError);
        EXPECT_TRUE(IsDone(header));
    }
}

TEST_F(AlsaMidiTest, AnInputOverrunDropsTheBrokenMessage) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->InputCount(), 1u);
    EXPECT_EQ(alsa->inputPool, platform::kAlsaInputPool);
    std::unique_ptr<platform::MidiInPort> port;
    ASSERT_EQ(system->OpenInput(0, port), platform::kMidiNoError);
    std::array<Buffer, 2> buffers;
    for (Buffer& b : buffers) Queue(*port, b);
    ASSERT_EQ(port->Start(), platform::kMidiNoError);

    alsa->Arrive(24, 0, {0xF0, 0x00, 0x01, 0x54, 0x70});
    port->Poll();
    alsa->Arrive(24, 0, {0x04, 0x00});
    alsa->Overrun();
    alsa->Arrive(24, 0, {0x18, 0x40, 0xF7});
    const Bytes whole{0xF0, 0x00, 0x01, 0x54, 0x70, 0x08, 0x00, 0x01, 0x02, 0xF7};
    alsa->Arrive(24, 0, whole);
    port->Poll();
    ASSERT_TRUE(buffers[0].Done());
    EXPECT_EQ(buffers[0].Contents(), whole);
    EXPECT_FALSE(buffers[1].Done());
    EXPECT_EQ(LogLines().back(), "MIDI: input overrun, messages were lost");
}

TEST_F(AlsaMidiTest, AnUnpluggedDeviceFailsItsPortsAndTheLinkLetsGo) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    alsa->answer = [this](const Sent& s) {
        if (s.data.size() != 8) return;
        alsa->Arrive(
            24, 0,
            {0xF0, 0x00, 0x01, 0x54, static_cast<uint8_t>(0x70 | (s.data[4] & 7)), s.data[5], 0x00, 0x18, 0x40, 0xF7});
    };
    auto system = MakeSystem();
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    platform::ScopedMidiSystem scoped(*system);
    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    ASSERT_TRUE(link.IsOpen());

    alsa->Unplug(24);
    uint8_t buffer[64];
    int received = 0;
    EXPECT_EQ(link.Read(buffer, 64, &received), kStatusFailed);
    EXPECT_FALSE(link.IsOpen());
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "MIDI: input 24:0 has gone"), lines.end());
    EXPECT_EQ(lines.back(), "CNimbraMIDI::Read: the port has gone");

    // Plugged in again (a new client), the link finds it on the next open.
    AddPort(26, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    alsa->answer = [this](const Sent& s) {
        alsa->Arrive(
            26, 0,
            {0xF0, 0x00, 0x01, 0x54, static_cast<uint8_t>(0x70 | (s.data[4] & 7)), s.data[5], 0x00, 0x18, 0x40, 0xF7});
    };
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
}

TEST_F(AlsaMidiTest, ASequencerThatAppearsLaterIsUsed) {
    alsa->openResults = {-ENOENT, -ENOENT};
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    auto system = MakeSystem();
    EXPECT_EQ(system->OutputCount(), 0u);
    EXPECT_EQ(system->OutputCount(), 0u);
    EXPECT_EQ(system->OutputCount(), 1u);
    EXPECT_EQ(LogLines().size(), 1u);
    EXPECT_TRUE(system->Available(nullptr));
}

TEST_F(AlsaMidiTest, OurPortsArePrivateAndHearOnlyTheirSource) {
    AddPort(24, 0, "Quil USB MIDI 1", kDuplex, kUsbType);
    auto system = MakeSystem();
    ASSERT_EQ(system->InputCount(), 1u);
    std::unique_ptr<platform::MidiInPort> in;
    std::unique_ptr<platform::MidiOutPort> out;
    ASSERT_EQ(system->OpenInput(0, in), platform::kMidiNoError);
    ASSERT_EQ(system->OpenOutput(0, out), platform::kMidiNoError);
    ASSERT_EQ(alsa->createdCaps.size(), 3u);
    for (unsigned caps : alsa->createdCaps) EXPECT_NE(caps & platform::kAlsaCapNoExport, 0u);

    Buffer buffer;
    Queue(*in, buffer);
    ASSERT_EQ(in->Start(), platform::kMidiNoError);
    const int local = alsa->subscriptions.at({24, 0});
    alsa->Inject(local, 130, 0, {0xF0, 0x00, 0x01, 0x54, 0x70, 0x04, 0x00, 0x18, 0x40, 0xF7});
    in->Poll();
    EXPECT_FALSE(buffer.Done());
    alsa->Arrive(24, 0, {0xF0, 0x01, 0xF7});
    in->Poll();
    EXPECT_EQ(buffer.Contents(), Bytes({0xF0, 0x01, 0xF7}));
}

}  // namespace
