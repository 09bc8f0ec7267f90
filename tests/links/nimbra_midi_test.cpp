// The MIDI-port link on virtual ports and the virtual clock: discovery, the
// name rules, selection, sending with its time-out, and reading through the
// four receive buffers.
#include "links/nimbra_midi.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/midi_virtual.h"
#include "sim/unit_description.h"
#include "sim/virtual_quil.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The short status reply for one register, as a unit sends it.
Bytes OneRegisterReply(uint32_t reg, uint8_t value) {
    return {0xF0,
            0x00,
            0x01,
            0x54,
            static_cast<uint8_t>(0x70 | (reg >> 5)),
            static_cast<uint8_t>((reg & 0x1F) << 2),
            0x00,
            static_cast<uint8_t>(value >> 1),
            static_cast<uint8_t>((value & 1) << 6),
            0xF7};
}

// A small stand-in unit: answers one-register status requests (so it
// answers the discovery probe), or answers everything with a fixed reply.
class ProbeAnswerer final : public platform::VirtualDevice {
public:
    void ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint) override {
        received.emplace_back(data, data + length);
        m_receivedAt = platform::CurrentClock().TickMs();
        if (fixedReply) {
            m_out.push_back(*fixedReply);
            return;
        }
        if (length == 8 && (data[4] & 0x78) == 0x68 && (data[6] >> 1) == 0 && (data[5] & 3) == 0) {
            const uint32_t reg = (static_cast<uint32_t>(data[4] & 7) << 5) | (data[5] >> 2);
            m_out.push_back(OneRegisterReply(reg, 0x31));
        }
    }
    void TakeReplies(std::vector<Bytes>& replies) override {
        if (!m_out.empty() && platform::CurrentClock().TickMs() - m_receivedAt < answerDelayMs) return;
        for (Bytes& r : m_out) replies.push_back(std::move(r));
        m_out.clear();
    }

    std::optional<Bytes> fixedReply;
    // Time the unit takes to answer.
    uint32_t answerDelayMs = 0;
    std::vector<Bytes> received;

private:
    std::vector<Bytes> m_out;
    uint32_t m_receivedAt = 0;
};

class NimbraMidiTest : public ::testing::Test {
protected:
    NimbraMidiTest() : m_scopedClock(m_clock), m_scopedMidi(m_midi) {
        char pattern[] = "/tmp/nimbra_midi_test.XXXXXX";
        m_dir = mkdtemp(pattern);
        m_logPath = m_dir + "/QuilUpdate.log";
        SetLogFilePath(m_logPath);
    }
    ~NimbraMidiTest() override {
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove_all(m_dir);
    }

    std::string Log() const {
        std::ifstream in(m_logPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Log messages without their time stamps.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Log());
        std::string line;
        while (std::getline(in, line)) lines.push_back(line.size() > 20 ? line.substr(20) : line);
        return lines;
    }
    bool Logged(const std::string& message) const {
        const auto lines = LogLines();
        return std::find(lines.begin(), lines.end(), message) != lines.end();
    }

    Bytes ReadAll(CNimbraMIDI& link, int size = 4095) {
        Bytes out;
        std::vector<uint8_t> buffer(4096);
        for (;;) {
            int received = -1;
            EXPECT_EQ(link.Read(buffer.data(), size, &received), kStatusOk);
            if (received <= 0) break;
            out.insert(out.end(), buffer.begin(), buffer.begin() + received);
        }
        return out;
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock;
    platform::VirtualMidiSystem m_midi;
    platform::ScopedMidiSystem m_scopedMidi;
    std::string m_dir;
    std::string m_logPath;
};

TEST_F(NimbraMidiTest, ProbeAndAnswerLayout) {
    EXPECT_EQ(CNimbraMIDI::DiscoveryProbe(0), (std::array<uint8_t, 8>{0xF0, 0x00, 0x01, 0x54, 0x6A, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(CNimbraMIDI::DiscoveryProbe(63),
              (std::array<uint8_t, 8>{0xF0, 0x00, 0x01, 0x54, 0x6B, 0x7C, 0x00, 0xF7}));
    for (uint32_t id : {0u, 5u, 31u, 32u, 63u}) {
        const Bytes answer = OneRegisterReply(0x40 + id, 0x31);
        EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(answer.data(), 10), static_cast<int>(id));
    }
    Bytes answer = OneRegisterReply(0x45, 0);
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(answer.data(), 9), -1);
    answer[3] = 0x55;
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(answer.data(), 10), -1);
    answer = OneRegisterReply(0x45, 0);
    answer[4] = 0x6A;  // a request, not a reply
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(answer.data(), 10), -1);
    // A register below 0x40 names an id as a 16-bit value.
    answer = OneRegisterReply(0x3F, 0);
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(answer.data(), 10), 0xFFFF);
}

TEST_F(NimbraMidiTest, NameRules) {
    EXPECT_TRUE(CNimbraMIDI::IsCandidateOutput("Quil MIDI 2", platform::kMidiTechHardwarePort, "Quil"));
    EXPECT_FALSE(CNimbraMIDI::IsCandidateOutput("Quil Software Synth", platform::kMidiTechSoftwareSynth, "Quil"));
    EXPECT_TRUE(CNimbraMIDI::IsCandidateInput("Quil Software Synth", "Quil"));
    EXPECT_FALSE(CNimbraMIDI::IsCandidateInput("Quil Virtual MIDI", "Quil"));
    EXPECT_FALSE(CNimbraMIDI::IsCandidateInput("Virtual MIDI", ""));
    EXPECT_TRUE(CNimbraMIDI::IsCandidateInput("Virtual MIDI 2", ""));
    EXPECT_TRUE(CNimbraMIDI::IsCandidateInput("MIDI", ""));  // shorter than the suffix
    EXPECT_FALSE(CNimbraMIDI::IsCandidateInput("quil midi", "Quil"));
    EXPECT_TRUE(CNimbraMIDI::IsCandidateInput("My Quil", "Quil"));
}

TEST_F(NimbraMidiTest, TwoUnitsOnTwoPairsAreNumberedByInputPort) {
    ProbeAnswerer unitA;
    ProbeAnswerer unitB;
    const uint32_t outA = m_midi.AddOutput("Quil A");
    const uint32_t outB = m_midi.AddOutput("Quil B");
    // Inputs listed the other way round.
    const uint32_t inB = m_midi.AddInput("Quil B");
    const uint32_t inA = m_midi.AddInput("Quil A");
    m_midi.Attach(outA, inA, &unitA);
    m_midi.Attach(outB, inB, &unitB);

    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(link.ConnectionInputId(0), inB);
    EXPECT_EQ(link.ConnectionOutputId(0), outB);
    EXPECT_EQ(link.ConnectionInputId(1), inA);
    EXPECT_EQ(link.ConnectionOutputId(1), outA);
    // Each unit saw exactly the probe of its own output port.
    ASSERT_EQ(unitA.received.size(), 1u);
    EXPECT_EQ(unitA.received[0], Bytes({0xF0, 0x00, 0x01, 0x54, 0x6A, 0x00, 0x00, 0xF7}));
    ASSERT_EQ(unitB.received.size(), 1u);
    EXPECT_EQ(unitB.received[0], Bytes({0xF0, 0x00, 0x01, 0x54, 0x6A, 0x04, 0x00, 0xF7}));

    // Open leaves nothing open and nothing selected.
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
    EXPECT_FALSE(link.IsOpen());
    uint16_t selected = 0;
    link.GetSelectedConnection(&selected);
    EXPECT_EQ(selected, kNoConnection);
    EXPECT_TRUE(Logged("Found Out Port [Quil A]"));
    EXPECT_TRUE(Logged("Found In Port [Quil B]"));

    ASSERT_EQ(link.SelectConnection(1), kStatusOk);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_TRUE(m_midi.IsOutputOpen(outA));
    EXPECT_TRUE(m_midi.IsInputOpen(inA));
    char name[255];
    EXPECT_EQ(link.GetConnectionName(1, name, sizeof name), kStatusOk);
    EXPECT_STREQ(name, "Quil A");

    const auto request = CNimbraMIDI::DiscoveryProbe(5);
    ASSERT_EQ(link.Write(request.data(), 8), kStatusOk);
    EXPECT_EQ(ReadAll(link), OneRegisterReply(0x45, 0x31));
    EXPECT_EQ(unitA.received.size(), 2u);
    EXPECT_EQ(unitB.received.size(), 1u);

    // Close releases both ports and keeps the table.
    EXPECT_EQ(link.Close(), kStatusOk);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 2);
    link.GetSelectedConnection(&selected);
    EXPECT_EQ(selected, kNoConnection);
}

TEST_F(NimbraMidiTest, NameRulesDuringOpen) {
    ProbeAnswerer virtualUnit;
    ProbeAnswerer softUnit;
    ProbeAnswerer realUnit;
    const auto virt = m_midi.AddPortPair("Quil Virtual MIDI", &virtualUnit);
    const auto soft = m_midi.AddPortPair("Quil Software Synth", &softUnit, platform::kMidiTechSoftwareSynth);
    m_midi.AddPortPair("Quil USB MIDI 1", &realUnit);

    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(link.ConnectionOutputId(0), 2u);
    // No probe on a "Virtual MIDI" port in either direction, nor on the
    // software output (its input is listened to and stays silent).
    EXPECT_EQ(m_midi.TimesOutputOpened(virt.output), 0u);
    EXPECT_EQ(m_midi.TimesInputOpened(virt.input), 0u);
    EXPECT_EQ(m_midi.MessagesSent(virt.output), 0u);
    EXPECT_TRUE(virtualUnit.received.empty());
    EXPECT_EQ(m_midi.TimesOutputOpened(soft.output), 0u);
    EXPECT_TRUE(softUnit.received.empty());
    EXPECT_EQ(m_midi.TimesInputOpened(soft.input), 1u);
    EXPECT_FALSE(Logged("Found Out Port [Quil Virtual MIDI]"));
    EXPECT_TRUE(Logged("Found In Port [Quil Software Synth]"));
    EXPECT_TRUE(Logged("CNimbraMIDI::Open: Input WaitForDone Timeout!"));
}

TEST_F(NimbraMidiTest, DeviceNameIsCaseSensitive) {
    ProbeAnswerer unit;
    m_midi.AddPortPair("quil midi", &unit);
    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_TRUE(Logged("CNimbraMIDI::Open: No Output Ports"));
    EXPECT_TRUE(unit.received.empty());

    link.SetDeviceName("quil");
    EXPECT_EQ(link.Open(), kStatusOk);
}

TEST_F(NimbraMidiTest, EmptyDeviceNameAdmitsEveryHardwareOutput) {
    ProbeAnswerer first;
    ProbeAnswerer second;
    ProbeAnswerer synth;
    m_midi.AddPortPair("Synth", &synth, platform::kMidiTechSoftwareSynth);
    m_midi.AddPortPair("Port A", &first);
    m_midi.AddPortPair("Port B", &second);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(Logged("Found Out Port [Port A]"));
    EXPECT_TRUE(Logged("Found Out Port [Port B]"));
    EXPECT_FALSE(Logged("Found Out Port [Synth]"));
    EXPECT_TRUE(Logged("Found In Port [Synth]"));
    EXPECT_TRUE(synth.received.empty());

    // A name set once and cleared again admits everything again.
    link.SetDeviceName("Port B");
    ASSERT_EQ(link.Open(), kStatusOk);
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 1);
    link.SetDeviceName("");
    ASSERT_EQ(link.Open(), kStatusOk);
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 2);
}

TEST_F(NimbraMidiTest, OnlyTheFirst64IdsAreExamined) {
    std::vector<ProbeAnswerer> units(70);
    for (size_t i = 0; i < units.size(); ++i) {
        m_midi.AddPortPair("Quil " + std::to_string(i), i == 63 || i == 66 ? &units[i] : nullptr);
    }
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(link.ConnectionOutputId(0), 63u);
    EXPECT_EQ(link.ConnectionInputId(0), 63u);
    for (uint32_t id = 64; id < 70; ++id) {
        EXPECT_EQ(m_midi.TimesOutputOpened(id), 0u) << id;
        EXPECT_EQ(m_midi.TimesInputOpened(id), 0u) << id;
    }
    EXPECT_TRUE(units[66].received.empty());
    EXPECT_FALSE(Logged("Found Out Port [Quil 64]"));
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, AnswersThatAreNotProbeAnswersGiveNoConnection) {
    const Bytes good = OneRegisterReply(0x40, 0x31);
    Bytes longer = good;
    longer.insert(longer.end() - 1, 0x00);  // 11 bytes
    Bytes shorter = good;
    shorter.erase(shorter.end() - 2);  // 9 bytes
    Bytes otherMaker = good;
    otherMaker[3] = 0x55;
    Bytes request = good;
    request[4] = 0x6A;
    for (const Bytes& answer : {longer, shorter, otherMaker, request}) {
        platform::VirtualMidiSystem midi;
        platform::ScopedMidiSystem scoped(midi);
        ProbeAnswerer unit;
        unit.fixedReply = answer;
        midi.AddPortPair("Quil", &unit);
        CNimbraMIDI link;
        EXPECT_EQ(link.Open(), kStatusFailed);
        uint16_t count = 9;
        link.GetNumberOfConnections(&count);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(unit.received.size(), 1u);
        EXPECT_EQ(midi.OpenPortCount(), 0u);
    }
    // The same stand-in with the right answer is found.
    ProbeAnswerer unit;
    unit.fixedReply = good;
    m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    EXPECT_EQ(link.Open(), kStatusOk);
}

TEST_F(NimbraMidiTest, NoAnswerWithin500MsLeavesOpenFailedWithNoPortOpen) {
    ProbeAnswerer late;
    late.answerDelayMs = 600;
    m_midi.AddPortPair("Quil MIDI 1", nullptr);
    m_midi.AddPortPair("Quil MIDI 2", &late);
    CNimbraMIDI link;
    const uint32_t start = m_clock.Peek();
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(late.received.size(), 1u);  // the probe went out, the answer came too late
    // The window is shared: the second port gets no 500 ms of its own.
    const uint32_t elapsed = m_clock.Peek() - start;
    EXPECT_GE(elapsed, 500u);
    EXPECT_LT(elapsed, 520u);
    const auto lines = LogLines();
    const auto timeouts = std::count(lines.begin(), lines.end(), "CNimbraMIDI::Open: Input WaitForDone Timeout!");
    EXPECT_EQ(timeouts, 2);
    EXPECT_TRUE(Logged("CNimbraMIDI::WaitForDone Timeout! Elapsed 501 Timeout 500"));
}

TEST_F(NimbraMidiTest, InputPortThatCannotOpenEndsInTheTimeOutBranch) {
    ProbeAnswerer first;
    ProbeAnswerer second;
    m_midi.AddPortPair("Quil 1", &first);
    const auto pair = m_midi.AddPortPair("Quil 2", &second);
    m_midi.SetFault(platform::VirtualMidiOp::OpenInput, pair.input, platform::kMidiErrAllocated);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(Logged("CNimbraMIDI::Open: midiInOpen [1] FAILED! [4]"));
    EXPECT_TRUE(Logged("CNimbraMIDI::Open: Input WaitForDone Timeout!"));
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, FailuresWhileArmingEndOpenWithEveryPortClosed) {
    ProbeAnswerer a;
    ProbeAnswerer b;
    m_midi.AddPortPair("Quil 1", &a);
    const auto second = m_midi.AddPortPair("Quil 2", &b);
    m_midi.SetFault(platform::VirtualMidiOp::AddBuffer, second.input, platform::kMidiErrError);
    CNimbraMIDI link;
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_TRUE(Logged("midiInAddBuffer Failed!"));
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);

    m_midi.SetFault(platform::VirtualMidiOp::AddBuffer, second.input, platform::kMidiNoError);
    m_midi.SetSendsNeverComplete(second.output, true);
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_TRUE(Logged("CNimbraMIDI::Open: Write Failed! 00000001"));
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, FailuresWhileClosingProbedPorts) {
    ProbeAnswerer a;
    ProbeAnswerer b;
    const auto first = m_midi.AddPortPair("Quil 1", &a);
    const auto second = m_midi.AddPortPair("Quil 2", &b);
    struct Case {
        platform::VirtualMidiOp op;
        uint32_t id;
        const char* line;
    };
    // Any failure to release an answered input ends Open, the ports still
    // open then included.
    for (const Case& c : {Case{platform::VirtualMidiOp::PrepareInput, second.input, "midiInPrepareHeader Failed!"},
                          Case{platform::VirtualMidiOp::ResetInput, first.input, "midiInReset Failed!"},
                          Case{platform::VirtualMidiOp::Stop, first.input, "midiInStop Failed! 67"},
                          Case{platform::VirtualMidiOp::CloseInput, first.input, "midiInClose Failed!"}}) {
        m_midi.SetFault(c.op, c.id, platform::kMidiErrNotReady);
        CNimbraMIDI link;
        EXPECT_EQ(link.Open(), kStatusFailed) << c.line;
        EXPECT_TRUE(Logged(c.line)) << c.line;
        EXPECT_EQ(m_midi.OpenPortCount(), 0u) << c.line;
        m_midi.SetFault(c.op, c.id, platform::kMidiNoError);
    }
    // An output that fails to close is only logged.
    m_midi.SetFault(platform::VirtualMidiOp::CloseOutput, first.output, platform::kMidiErrError);
    CNimbraMIDI link;
    EXPECT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(Logged("midiOutClose Failed!"));
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, WriteWhoseCompletionTakesTooLongFails) {
    ProbeAnswerer unit;
    const auto pair = m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);

    // 8 bytes may take 5 ms.
    const auto request = CNimbraMIDI::DiscoveryProbe(1);
    m_midi.SetLinkModel(pair.output, {4, 0});
    EXPECT_EQ(link.Write(request.data(), 8), kStatusOk);
    m_clock.Advance(10);
    EXPECT_EQ(ReadAll(link), OneRegisterReply(0x41, 0x31));
    m_midi.SetLinkModel(pair.output, {10, 0});
    const size_t before = unit.received.size();
    EXPECT_EQ(link.Write(request.data(), 8), kStatusFailed);
    const auto lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "CNimbraMIDI::WaitForDone Timeout! Elapsed 6 Timeout 5");
    EXPECT_EQ(lines.back(), "CNimbraMIDI::Write: WaitForDone Timeout!");
    // The port gave the abandoned message up; nothing of it arrives later.
    m_clock.Advance(100);
    EXPECT_TRUE(ReadAll(link).empty());
    EXPECT_EQ(unit.received.size(), before);

    // A firmware packet at MIDI speed (152 bytes, 49 ms) is within its 97 ms.
    m_midi.SetLinkModel(pair.output, {0, 3125});
    Bytes packet(152, 0x11);
    packet.front() = 0xF0;
    packet.back() = 0xF7;
    EXPECT_EQ(link.Write(packet.data(), static_cast<int>(packet.size())), kStatusOk);
    EXPECT_EQ(unit.received.back(), packet);
    EXPECT_TRUE(link.IsOpen());
}

TEST_F(NimbraMidiTest, WriteAndReadWithoutASelectedConnection) {
    CNimbraMIDI link;
    const auto request = CNimbraMIDI::DiscoveryProbe(0);
    EXPECT_EQ(link.Write(request.data(), 8), kStatusFailed);
    EXPECT_TRUE(Logged("CNimbraMIDI::Write: hMidiOut is NULL!"));
    uint8_t buffer[16];
    int received = 7;
    EXPECT_EQ(link.Read(buffer, sizeof buffer, &received), kStatusFailed);
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(Logged("CNimbraMIDI::Read: m_hMidiIn NULL!"));
}

TEST_F(NimbraMidiTest, ReadBeforeAnythingArrivedGivesNothing) {
    ProbeAnswerer unit;
    m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    uint8_t buffer[4096];
    int received = 99;
    EXPECT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
    EXPECT_EQ(received, 0);
}

TEST_F(NimbraMidiTest, LongMessageComesOutOverSuccessiveReadsInOrder) {
    const auto pair = m_midi.AddPortPair("Quil", nullptr);
    ProbeAnswerer unit;
    m_midi.Attach(pair.output, pair.input, &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);

    // 2600 bytes: more than the four buffers hold at once.
    Bytes message(2600);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i % 127);
    message.front() = 0xF0;
    message.back() = 0xF7;
    const Bytes next = OneRegisterReply(0x41, 7);
    Bytes both = message;
    both.insert(both.end(), next.begin(), next.end());
    m_midi.Inject(pair.input, both);

    uint8_t buffer[4096];
    std::vector<int> pieces;
    Bytes out;
    for (;;) {
        int received = 0;
        ASSERT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
        if (received == 0) break;
        pieces.push_back(received);
        out.insert(out.end(), buffer, buffer + received);
    }
    EXPECT_EQ(pieces, (std::vector<int>{512, 512, 512, 512, 512, 40, 10}));
    EXPECT_EQ(out, both);

    // A smaller read takes what fits and drops the rest of that buffer.
    m_midi.Inject(pair.input, next);
    int received = 0;
    ASSERT_EQ(link.Read(buffer, 4, &received), kStatusOk);
    EXPECT_EQ(received, 4);
    ASSERT_EQ(link.Read(buffer, 4095, &received), kStatusOk);
    EXPECT_EQ(received, 0);
}

TEST_F(NimbraMidiTest, SelectingTheSelectedConnectionTouchesNothing) {
    ProbeAnswerer unit;
    const auto pair = m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    const uint32_t outOpens = m_midi.TimesOutputOpened(pair.output);
    const uint32_t inOpens = m_midi.TimesInputOpened(pair.input);
    m_midi.SetFault(platform::VirtualMidiOp::OpenOutput, pair.output, platform::kMidiErrError);
    m_midi.SetFault(platform::VirtualMidiOp::ResetInput, pair.input, platform::kMidiErrError);
    EXPECT_EQ(link.SelectConnection(0), kStatusOk);
    EXPECT_EQ(m_midi.TimesOutputOpened(pair.output), outOpens);
    EXPECT_EQ(m_midi.TimesInputOpened(pair.input), inOpens);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_FALSE(Logged("midiInReset Failed! 1"));
}

TEST_F(NimbraMidiTest, FailedSelectStaysRecorded) {
    ProbeAnswerer unit;
    const auto pair = m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    m_midi.SetFault(platform::VirtualMidiOp::OpenOutput, pair.output, platform::kMidiErrAllocated);
    EXPECT_EQ(link.SelectConnection(0), kStatusFailed);
    EXPECT_TRUE(Logged("midiOutOpen [0] Failed!"));
    EXPECT_FALSE(link.IsOpen());
    uint16_t selected = 0;
    link.GetSelectedConnection(&selected);
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(link.SelectConnection(0), kStatusOk);
    EXPECT_FALSE(link.IsOpen());

    // The remote's recovery: Open and select again.
    m_midi.SetFault(platform::VirtualMidiOp::OpenOutput, pair.output, platform::kMidiNoError);
    ASSERT_EQ(link.Open(), kStatusOk);
    m_midi.SetFault(platform::VirtualMidiOp::Start, pair.input, platform::kMidiErrNotReady);
    EXPECT_EQ(link.SelectConnection(0), kStatusFailed);
    EXPECT_TRUE(Logged("CNimbraMIDI::SelectConnection: midiInStart Failed 67"));
    m_midi.SetFault(platform::VirtualMidiOp::Start, pair.input, platform::kMidiNoError);
    ASSERT_EQ(link.Open(), kStatusOk);
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
    EXPECT_EQ(link.SelectConnection(0), kStatusOk);
    EXPECT_TRUE(link.IsOpen());
    // An index beyond the table opens nothing.
    EXPECT_EQ(link.SelectConnection(64), kStatusFailed);
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, CloseLogsPortFailures) {
    ProbeAnswerer unit;
    const auto pair = m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    m_midi.SetFault(platform::VirtualMidiOp::ResetOutput, pair.output, platform::kMidiErrError);
    m_midi.SetFault(platform::VirtualMidiOp::Stop, pair.input, platform::kMidiErrNotReady);
    EXPECT_EQ(link.Close(), kStatusOk);
    EXPECT_TRUE(Logged("midiOutReset Failed! 1"));
    EXPECT_TRUE(Logged("midiInStop Failed! 67"));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, ConnectionNameIsBoundedAndReportsCapsFailures) {
    ProbeAnswerer unit;
    const auto pair = m_midi.AddPortPair("Quil USB MIDI 1 with a very long port name", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    char name[255];
    ASSERT_EQ(link.GetConnectionName(0, name, sizeof name), kStatusOk);
    EXPECT_EQ(std::string(name), std::string("Quil USB MIDI 1 with a very long port name").substr(0, 31));
    char small[5];
    ASSERT_EQ(link.GetConnectionName(0, small, sizeof small), kStatusOk);
    EXPECT_STREQ(small, "Quil");
    m_midi.SetFault(platform::VirtualMidiOp::OutputCaps, pair.output, platform::kMidiErrError);
    EXPECT_EQ(link.GetConnectionName(0, name, sizeof name), kStatusFailed);
    EXPECT_STREQ(name, "midiOutGetDevCaps Error");
}

TEST_F(NimbraMidiTest, LinkFindsVirtualQuilsAndReadsTheirIdentity) {
    sim::UnitDescription quil;
    quil.pid = sim::kPidQuil;
    quil.firmwareMajor = 7;
    quil.firmwareMinor = 2;
    sim::UnitDescription nimbra;
    nimbra.pid = sim::kPidNimbra16;
    sim::VirtualQuil first(quil);
    sim::VirtualQuil second(nimbra);
    sim::VirtualQuil loopBack(quil);
    m_midi.AddPortPair("Quil MIDI 1", &first);
    m_midi.AddPortPair("Quil Virtual MIDI", &loopBack);
    m_midi.AddPortPair("Quil MIDI 2", &second);

    CNimbraMIDI link;
    link.SetDeviceName("Quil");
    ASSERT_EQ(link.Open(), kStatusOk);
    uint16_t count = 0;
    link.GetNumberOfConnections(&count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(link.ConnectionOutputId(1), 2u);

    // Register 1 (the product identifier) of each unit.
    const Bytes request{0xF0, 0x00, 0x01, 0x54, 0x68, 0x04, 0x00, 0xF7};
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    ASSERT_EQ(link.Write(request.data(), 8), kStatusOk);
    EXPECT_EQ(ReadAll(link), OneRegisterReply(1, sim::kPidQuil));
    ASSERT_EQ(link.SelectConnection(1), kStatusOk);
    ASSERT_EQ(link.Write(request.data(), 8), kStatusOk);
    EXPECT_EQ(ReadAll(link), OneRegisterReply(1, sim::kPidNimbra16));
}

TEST_F(NimbraMidiTest, DestroyingTheLinkReleasesItsPorts) {
    ProbeAnswerer unit;
    m_midi.AddPortPair("Quil", &unit);
    {
        CNimbraMIDI link;
        ASSERT_EQ(link.Open(), kStatusOk);
        ASSERT_EQ(link.SelectConnection(0), kStatusOk);
        EXPECT_EQ(m_midi.OpenPortCount(), 2u);
    }
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

TEST_F(NimbraMidiTest, TimedOutSendOnAPortThatCannotResetIsGivenUp) {
    // The port keeps the header of a send that never ends and refuses the
    // reset: the link must not leave its header with the port.
    ProbeAnswerer unit;
    const auto pair = m_midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);
    m_midi.SetSendsNeverComplete(pair.output, true);
    m_midi.SetFault(platform::VirtualMidiOp::ResetOutput, pair.output, platform::kMidiErrError);
    const auto request = CNimbraMIDI::DiscoveryProbe(1);
    EXPECT_EQ(link.Write(request.data(), 8), kStatusFailed);
    EXPECT_TRUE(Logged("CNimbraMIDI::Write: WaitForDone Timeout!"));
    EXPECT_FALSE(m_midi.IsOutputOpen(pair.output));
    EXPECT_FALSE(link.IsOpen());
    uint16_t selected = kNoConnection;
    link.GetSelectedConnection(&selected);
    EXPECT_EQ(selected, 0);
    m_midi.SetFault(platform::VirtualMidiOp::ResetOutput, pair.output, platform::kMidiNoError);
    EXPECT_EQ(link.Close(), kStatusOk);
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);

    // The same during discovery: Open fails with every port closed.
    m_midi.SetFault(platform::VirtualMidiOp::ResetOutput, pair.output, platform::kMidiErrError);
    EXPECT_EQ(link.Open(), kStatusFailed);
    EXPECT_TRUE(Logged("CNimbraMIDI::Open: Write Failed! 00000001"));
    EXPECT_EQ(m_midi.OpenPortCount(), 0u);
}

}  // namespace
