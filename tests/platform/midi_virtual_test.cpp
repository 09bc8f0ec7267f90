// The virtual MIDI ports: header rules, replies cut into the queued input
// buffers, the link model on the virtual clock, and the fault hooks.
#include "platform/midi_virtual.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Answers every message with the replies set up in `script`, in order.
class ScriptedDevice final : public platform::VirtualDevice {
public:
    void ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint endpoint) override {
        received.emplace_back(data, data + length);
        endpoints.push_back(endpoint);
        receivedAt.push_back(platform::CurrentClock().TickMs());
        for (const Bytes& reply : script) m_out.push_back(reply);
    }
    void TakeReplies(std::vector<Bytes>& replies) override {
        for (Bytes& r : m_out) replies.push_back(std::move(r));
        m_out.clear();
    }

    std::vector<Bytes> script;
    std::vector<Bytes> received;
    std::vector<platform::Endpoint> endpoints;
    std::vector<uint32_t> receivedAt;

private:
    std::vector<Bytes> m_out;
};

struct Buffer {
    platform::MidiHeader header;
    std::array<uint8_t, 512> bytes{};
    Bytes Contents() const { return Bytes(bytes.begin(), bytes.begin() + header.bytesRecorded); }
    bool Done() const { return (header.flags & platform::kMidiHeaderDone) != 0; }
};

Bytes Message(size_t length, uint8_t fill = 0x11) {
    Bytes m(length, fill);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

class VirtualMidiTest : public ::testing::Test {
protected:
    VirtualMidiTest() : m_scopedClock(clock) { clock.SetSpinReadsPerMs(0); }

    void Queue(platform::MidiInPort& port, Buffer& buffer, uint32_t length = 512) {
        buffer.header = platform::MidiHeader{};
        buffer.header.data = buffer.bytes.data();
        buffer.header.bufferLength = length;
        ASSERT_EQ(port.PrepareHeader(buffer.header), platform::kMidiNoError);
        ASSERT_EQ(port.AddBuffer(buffer.header), platform::kMidiNoError);
    }
    // Opens both ports of `pair` with `buffers` queued and input started.
    void OpenPair(platform::VirtualMidiSystem::PortPair pair, std::span<Buffer> buffers) {
        ASSERT_EQ(midi.OpenOutput(pair.output, out), platform::kMidiNoError);
        ASSERT_EQ(midi.OpenInput(pair.input, in), platform::kMidiNoError);
        for (Buffer& b : buffers) Queue(*in, b);
        ASSERT_EQ(in->Start(), platform::kMidiNoError);
    }
    platform::MidiError Send(platform::MidiHeader& header, Bytes& message) {
        header = platform::MidiHeader{};
        header.data = message.data();
        header.bufferLength = static_cast<uint32_t>(message.size());
        const platform::MidiError error = out->PrepareHeader(header);
        return error != platform::kMidiNoError ? error : out->SendLong(header);
    }

    platform::VirtualClock clock;
    platform::ScopedClock m_scopedClock;
    platform::VirtualMidiSystem midi;
    std::unique_ptr<platform::MidiOutPort> out;
    std::unique_ptr<platform::MidiInPort> in;
};

TEST_F(VirtualMidiTest, PortsAreListedAndOpenedByIdOnce) {
    midi.AddPortPair("Quil USB MIDI 1", nullptr);
    midi.AddPortPair("Quil Software Synth", nullptr, platform::kMidiTechSoftwareSynth);
    ASSERT_EQ(midi.OutputCount(), 2u);
    ASSERT_EQ(midi.InputCount(), 2u);
    platform::MidiPortCaps caps;
    ASSERT_EQ(midi.OutputCaps(1, caps), platform::kMidiNoError);
    EXPECT_STREQ(caps.name.data(), "Quil Software Synth");
    EXPECT_EQ(caps.technology, platform::kMidiTechSoftwareSynth);
    EXPECT_EQ(midi.OutputCaps(2, caps), platform::kMidiErrBadDeviceId);
    EXPECT_EQ(midi.InputCaps(2, caps), platform::kMidiErrBadDeviceId);

    std::unique_ptr<platform::MidiOutPort> second;
    ASSERT_EQ(midi.OpenOutput(0, out), platform::kMidiNoError);
    EXPECT_EQ(midi.OpenOutput(0, second), platform::kMidiErrAllocated);
    EXPECT_EQ(midi.OpenOutput(7, second), platform::kMidiErrBadDeviceId);
    EXPECT_EQ(out->Close(), platform::kMidiNoError);
    EXPECT_EQ(out->Reset(), platform::kMidiErrInvalidHandle);
    EXPECT_FALSE(midi.IsOutputOpen(0));
    ASSERT_EQ(midi.OpenOutput(0, second), platform::kMidiNoError);
    EXPECT_EQ(midi.TimesOutputOpened(0), 2u);
    second.reset();
    EXPECT_EQ(midi.OpenPortCount(), 0u);
}

TEST_F(VirtualMidiTest, HeaderRules) {
    midi.AddPortPair("Quil", nullptr);
    ASSERT_EQ(midi.OpenInput(0, in), platform::kMidiNoError);
    Buffer buffer;
    buffer.header.data = buffer.bytes.data();
    buffer.header.bufferLength = 512;
    EXPECT_EQ(in->AddBuffer(buffer.header), platform::kMidiErrUnprepared);
    ASSERT_EQ(in->PrepareHeader(buffer.header), platform::kMidiNoError);
    ASSERT_EQ(in->AddBuffer(buffer.header), platform::kMidiNoError);
    EXPECT_EQ(in->AddBuffer(buffer.header), platform::kMidiErrStillPlaying);
    EXPECT_EQ(in->UnprepareHeader(buffer.header), platform::kMidiErrStillPlaying);
    EXPECT_EQ(in->Close(), platform::kMidiErrStillPlaying);
    ASSERT_EQ(in->Reset(), platform::kMidiNoError);
    EXPECT_TRUE(buffer.Done());
    EXPECT_EQ(in->UnprepareHeader(buffer.header), platform::kMidiNoError);
    EXPECT_EQ(in->Close(), platform::kMidiNoError);

    platform::MidiHeader empty{};
    ASSERT_EQ(midi.OpenOutput(0, out), platform::kMidiNoError);
    EXPECT_EQ(out->PrepareHeader(empty), platform::kMidiErrInvalidParam);
}

TEST_F(VirtualMidiTest, SendsReachTheDeviceAndRepliesFillBuffersInOrder) {
    ScriptedDevice device;
    const Bytes longReply = [] {
        Bytes r = Message(1200);
        for (size_t i = 1; i + 1 < r.size(); ++i) r[i] = static_cast<uint8_t>(i % 100);
        return r;
    }();
    const Bytes shortReply = Message(10, 0x22);
    device.script = {longReply, shortReply};
    const auto pair = midi.AddPortPair("Quil", &device);
    std::array<Buffer, 4> buffers;
    OpenPair(pair, buffers);

    Bytes message = Message(8);
    platform::MidiHeader header;
    ASSERT_EQ(Send(header, message), platform::kMidiNoError);
    EXPECT_NE(header.flags & platform::kMidiHeaderDone, 0u);
    ASSERT_EQ(device.received.size(), 1u);
    EXPECT_EQ(device.received[0], message);
    EXPECT_EQ(device.endpoints[0], platform::Endpoint::Unit);
    EXPECT_EQ(midi.MessagesSent(pair.output), 1u);

    in->Poll();
    ASSERT_TRUE(buffers[0].Done());
    ASSERT_TRUE(buffers[1].Done());
    ASSERT_TRUE(buffers[2].Done());
    ASSERT_TRUE(buffers[3].Done());
    EXPECT_EQ(buffers[0].header.bytesRecorded, 512u);
    EXPECT_EQ(buffers[1].header.bytesRecorded, 512u);
    EXPECT_EQ(buffers[2].header.bytesRecorded, 176u);  // ends with the message's 0xF7
    Bytes joined;
    for (int i = 0; i < 3; ++i) {
        const Bytes part = buffers[static_cast<size_t>(i)].Contents();
        joined.insert(joined.end(), part.begin(), part.end());
    }
    EXPECT_EQ(joined, longReply);
    EXPECT_EQ(buffers[3].Contents(), shortReply);
}

TEST_F(VirtualMidiTest, RepliesWhileNobodyListensAreLost) {
    ScriptedDevice device;
    device.script = {Message(10)};
    const auto pair = midi.AddPortPair("Quil", &device);
    ASSERT_EQ(midi.OpenOutput(pair.output, out), platform::kMidiNoError);
    Bytes message = Message(8);
    platform::MidiHeader header;
    ASSERT_EQ(Send(header, message), platform::kMidiNoError);
    // The reply is on its way while the input is closed.
    ASSERT_EQ(midi.OpenInput(pair.input, in), platform::kMidiNoError);
    Buffer buffer;
    Queue(*in, buffer);
    ASSERT_EQ(in->Start(), platform::kMidiNoError);
    in->Poll();
    EXPECT_FALSE(buffer.Done());

    // Input stopped: not recorded either.
    ASSERT_EQ(in->Stop(), platform::kMidiNoError);
    midi.Inject(pair.input, Message(10));
    in->Poll();
    EXPECT_EQ(buffer.header.bytesRecorded, 0u);
    // Releasing the port hands the buffer back before it goes away.
    in.reset();
    EXPECT_TRUE(buffer.Done());
}

TEST_F(VirtualMidiTest, LinkModelTimesSendsAndReplies) {
    ScriptedDevice device;
    device.script = {Message(100)};
    // 31,250 baud MIDI with 5 ms per message.
    const auto pair = midi.AddPortPair("Quil", &device, platform::kMidiTechHardwarePort, {5, 3125});
    std::array<Buffer, 1> buffers;
    OpenPair(pair, buffers);

    const uint32_t start = clock.Peek();
    Bytes packet = Message(152);  // 48.64 ms on the wire
    platform::MidiHeader header;
    ASSERT_EQ(Send(header, packet), platform::kMidiNoError);
    clock.Advance(53);
    out->Poll();
    EXPECT_EQ(header.flags & platform::kMidiHeaderDone, 0u);
    EXPECT_TRUE(device.received.empty());
    clock.Advance(1);
    out->Poll();
    EXPECT_NE(header.flags & platform::kMidiHeaderDone, 0u);
    ASSERT_EQ(device.received.size(), 1u);
    EXPECT_EQ(device.receivedAt[0] - start, 54u);

    // The reply starts after 5 ms and comes in at 3125 bytes per second.
    clock.Advance(5 + 16);
    in->Poll();
    EXPECT_EQ(buffers[0].header.bytesRecorded, 50u);
    EXPECT_FALSE(buffers[0].Done());
    clock.Advance(16);
    in->Poll();
    EXPECT_TRUE(buffers[0].Done());
    EXPECT_EQ(buffers[0].Contents(), Message(100));
}

TEST_F(VirtualMidiTest, SendsQueueBehindEachOther) {
    ScriptedDevice device;
    const auto pair = midi.AddPortPair("Quil", &device, platform::kMidiTechHardwarePort, {0, 1000});
    ASSERT_EQ(midi.OpenOutput(pair.output, out), platform::kMidiNoError);
    Bytes first = Message(10, 0x01);
    Bytes second = Message(10, 0x02);
    platform::MidiHeader h1;
    platform::MidiHeader h2;
    ASSERT_EQ(Send(h1, first), platform::kMidiNoError);
    ASSERT_EQ(Send(h2, second), platform::kMidiNoError);
    clock.Advance(10);
    out->Poll();
    EXPECT_NE(h1.flags & platform::kMidiHeaderDone, 0u);
    EXPECT_EQ(h2.flags & platform::kMidiHeaderDone, 0u);
    clock.Advance(10);
    out->Poll();
    EXPECT_NE(h2.flags & platform::kMidiHeaderDone, 0u);
    ASSERT_EQ(device.received.size(), 2u);
    EXPECT_EQ(device.received[0], first);
    EXPECT_EQ(device.received[1], second);
}

TEST_F(VirtualMidiTest, FaultHooks) {
    ScriptedDevice device;
    device.script = {Message(10, 0x33)};
    const auto pair = midi.AddPortPair("Quil", &device);
    std::array<Buffer, 2> buffers;
    OpenPair(pair, buffers);

    // A send that never completes is handed back by a reset, unsent.
    midi.SetSendsNeverComplete(pair.output, true);
    Bytes message = Message(8);
    platform::MidiHeader header;
    ASSERT_EQ(Send(header, message), platform::kMidiNoError);
    clock.Advance(1000);
    out->Poll();
    EXPECT_EQ(header.flags & platform::kMidiHeaderDone, 0u);
    EXPECT_EQ(out->UnprepareHeader(header), platform::kMidiErrStillPlaying);
    ASSERT_EQ(out->Reset(), platform::kMidiNoError);
    EXPECT_NE(header.flags & platform::kMidiHeaderDone, 0u);
    EXPECT_TRUE(device.received.empty());
    midi.SetSendsNeverComplete(pair.output, false);

    // Lost bytes: the first three bytes of the reply never arrive.
    midi.LoseInputBytes(pair.input, 3);
    ASSERT_EQ(Send(header, message), platform::kMidiNoError);
    in->Poll();
    ASSERT_TRUE(buffers[0].Done());
    const Bytes reply = Message(10, 0x33);
    EXPECT_EQ(buffers[0].Contents(), Bytes(reply.begin() + 3, reply.end()));

    // A pulled cable: the send fails and nothing arrives.
    bool pulled = true;
    midi.SetFailureSwitch(pair.output, [&pulled] { return pulled; });
    EXPECT_EQ(out->SendLong(header), platform::kMidiErrError);
    pulled = false;

    // Operation faults, per port.
    midi.SetFault(platform::VirtualMidiOp::OpenInput, 0, platform::kMidiErrNoMemory);
    std::unique_ptr<platform::MidiInPort> again;
    in.reset();
    EXPECT_EQ(midi.OpenInput(0, again), platform::kMidiErrNoMemory);
    midi.SetFault(platform::VirtualMidiOp::OpenInput, 0, platform::kMidiNoError);
    EXPECT_EQ(midi.OpenInput(0, again), platform::kMidiNoError);
}

TEST_F(VirtualMidiTest, PortsOutlivingTheSystemAreClosed) {
    auto system = std::make_unique<platform::VirtualMidiSystem>();
    system->AddPortPair("Quil", nullptr);
    std::unique_ptr<platform::MidiInPort> port;
    ASSERT_EQ(system->OpenInput(0, port), platform::kMidiNoError);
    Buffer buffer;
    Queue(*port, buffer);
    system.reset();
    EXPECT_TRUE(buffer.Done());
    EXPECT_EQ(port->Start(), platform::kMidiErrInvalidHandle);
    port->Poll();
}

}  // namespace
