// Hostile MIDI input: the input-buffer queue of the back-ends and the MIDI
// link's Read, with the bytes arriving in chunks and the reads asking sizes
// that the input picks. Nothing read may exceed what was asked or what
// arrived, and every byte that comes out came in, in order.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "links/nimbra_midi.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/midi_buffers.h"
#include "platform/midi_virtual.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Answers the discovery probe, then hands over the fuzzer's chunks as they
// are released.
class HostileUnit final : public platform::VirtualDevice {
public:
    void ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint) override {
        if (length == 8 && !m_answered) {
            m_out.push_back(
                {0xF0, 0x00, 0x01, 0x54, static_cast<uint8_t>(data[4] + 8), data[5], 0x00, 0x18, 0x40, 0xF7});
            m_answered = true;
        }
    }
    void TakeReplies(std::vector<Bytes>& replies) override {
        for (Bytes& r : m_out) replies.push_back(std::move(r));
        m_out.clear();
    }
    void Release(Bytes chunk) { m_out.push_back(std::move(chunk)); }

private:
    std::vector<Bytes> m_out;
    bool m_answered = false;
};

// The buffer queue on its own: headers of the sizes the input names.
void FuzzInputBuffers(const uint8_t* data, size_t size) {
    platform::MidiInputBuffers buffers;
    std::array<std::array<uint8_t, 64>, 4> storage{};
    std::array<platform::MidiHeader, 4> headers{};
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i].data = storage[i].data();
        headers[i].bufferLength = 1 + (i * 21) % 64;
        platform::PrepareMidiHeader(headers[i]);
        buffers.Add(headers[i]);
    }
    buffers.Start();
    size_t pos = 0;
    while (pos < size) {
        const uint8_t control = data[pos++];
        const size_t n = std::min<size_t>(control & 0x3F, size - pos);
        buffers.Deliver(std::span<const uint8_t>(data + pos, n));
        pos += n;
        if ((control & 0x40) != 0) buffers.DiscardPartialMessage();
        for (platform::MidiHeader& h : headers) {
            if (h.bytesRecorded > h.bufferLength) std::abort();
            if ((h.flags & platform::kMidiHeaderDone) != 0 && (control & 0x80) != 0) {
                h.bytesRecorded = 0;
                h.flags = 0;
                platform::PrepareMidiHeader(h);
                buffers.Add(h);
            }
        }
    }
    buffers.Reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInputBuffers(data, size);

    static const bool quiet = [] {
        SetLogFilePath("/dev/null");
        return true;
    }();
    (void)quiet;
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scopedClock(clock);
    platform::VirtualMidiSystem midi;
    platform::ScopedMidiSystem scopedMidi(midi);
    HostileUnit unit;
    midi.AddPortPair("Quil", &unit);
    CNimbraMIDI link;
    if (link.Open() != kStatusOk || link.SelectConnection(0) != kStatusOk) std::abort();

    // Each chunk: a control byte (its low six bits the chunk length, bit 6
    // a read between chunks), then the chunk. Reads ask 1 to 64 bytes or the
    // link's full 4095.
    Bytes delivered;
    Bytes read;
    std::array<uint8_t, 4095> buffer{};
    size_t pos = 0;
    uint32_t readSize = 4095;
    const auto drain = [&] {
        for (int guard = 0; guard < 64; ++guard) {
            int received = -1;
            if (link.Read(buffer.data(), static_cast<int>(readSize), &received) != kStatusOk) std::abort();
            if (received < 0 || static_cast<uint32_t>(received) > readSize) std::abort();
            if (received == 0) break;
            read.insert(read.end(), buffer.begin(), buffer.begin() + received);
        }
    };
    while (pos < size) {
        const uint8_t control = data[pos++];
        const size_t n = std::min<size_t>(control & 0x3F, size - pos);
        Bytes chunk(data + pos, data + pos + n);
        pos += n;
        delivered.insert(delivered.end(), chunk.begin(), chunk.end());
        if (!chunk.empty()) unit.Release(std::move(chunk));
        clock.Advance(1);
        readSize = (control & 0x80) != 0 ? 1u + (control & 0x3F) : 4095u;
        if ((control & 0x40) != 0) drain();
    }
    clock.Advance(1);
    drain();
    // What was read is what arrived, minus what a full read buffer cut off.
    if (read.size() > delivered.size()) std::abort();
    link.Close();
    return 0;
}
