// Constants of the MIDI-port link that the broader tests leave loose: the send
// time-out per byte on a long message, and which opcode a probe answer has.
#include <gtest/gtest.h>

#include <vector>

#include "links/nimbra_midi.h"
#include "platform/clock.h"
#include "platform/midi_virtual.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Answers the discovery probe (a one-register status request) with the
// status reply the link looks for, and takes everything else silently.
class ProbeAnswerer final : public platform::VirtualDevice {
public:
    void ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint) override {
        if (length != 8) return;
        m_out.push_back({0xF0, 0x00, 0x01, 0x54, static_cast<uint8_t>(data[4] + 8), data[5], 0x00, 0x18, 0x40, 0xF7});
    }
    void TakeReplies(std::vector<Bytes>& replies) override {
        for (Bytes& r : m_out) replies.push_back(std::move(r));
        m_out.clear();
    }

private:
    std::vector<Bytes> m_out;
};

TEST(NimbraMidiPins, APacketMayTakePointSixFourMillisecondsPerByte) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    platform::VirtualMidiSystem midi;
    platform::ScopedMidiSystem scopedMidi(midi);
    ProbeAnswerer unit;
    const auto pair = midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    ASSERT_EQ(link.Open(), kStatusOk);
    ASSERT_EQ(link.SelectConnection(0), kStatusOk);

    // A firmware packet message of 152 bytes: 152 x 0.64 = 97 ms, and a
    // message done in the pass that first sees 98 ms still counts.
    Bytes packet(152, 0x11);
    packet.front() = 0xF0;
    packet.back() = 0xF7;
    midi.SetLinkModel(pair.output, {98, 0});
    EXPECT_EQ(link.Write(packet.data(), static_cast<int>(packet.size())), kStatusOk);
    clock.Advance(10);
    midi.SetLinkModel(pair.output, {99, 0});
    EXPECT_EQ(link.Write(packet.data(), static_cast<int>(packet.size())), kStatusFailed);
}

TEST(NimbraMidiPins, OnlyAStatusReplyAnswersTheProbe) {
    // Register 0x42 in a status reply (opcode 14) names output 2; the same
    // address under the packet opcode (15) is no answer.
    const Bytes reply{0xF0, 0x00, 0x01, 0x54, 0x72, 0x08, 0x00, 0x00, 0x00, 0xF7};
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(reply.data(), 10), 2);
    Bytes packet = reply;
    packet[4] = 0x7A;
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(packet.data(), 10), -1);
    Bytes write = reply;
    write[4] = 0x02;
    EXPECT_EQ(CNimbraMIDI::ProbeAnswerOutputId(write.data(), 10), -1);
}

}  // namespace
