// Header bookkeeping shared by the MIDI back-ends: the prepare and unprepare
// rules, and the queue of input buffers that received SysEx bytes fill in
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "platform/midi.h"

namespace platform {

MidiError PrepareMidiHeader(MidiHeader& header);
// kMidiErrStillPlaying while the header is held by a port.
MidiError UnprepareMidiHeader(MidiHeader& header);
// Hands a header back to its owner.
inline void MarkMidiHeaderDone(MidiHeader& header) {
    header.flags = (header.flags & ~kMidiHeaderInQueue) | kMidiHeaderDone;
}

// The queued input buffers of one port. Bytes that arrive while input is
// started fill the front buffer; it is handed back done when full or when a
// 0xF7 has ended a message in it. Bytes for which no buffer is queued wait
// (up to kPendingLimit, beyond that they are lost) until the owner queues
// the next one, as a driver's own input store would keep them.
class MidiInputBuffers {
public:
    static constexpr size_t kPendingLimit = 64 * 1024;

    MidiError Add(MidiHeader& header);
    void Start() { m_started = true; }
    void Stop() { m_started = false; }
    // Stops input, forgets waiting bytes and hands back every queued buffer.
    void Reset();
    bool Started() const { return m_started; }
    bool HasQueued() const { return !m_queue.empty(); }
    // Stores arrived bytes; dropped unless input is started.
    void Deliver(std::span<const uint8_t> bytes);
    // After lost input: forgets the bytes of the message in progress and
    // drops what arrives until the next message starts (0xF0), so that no
    // message is completed with another's bytes.
    void DiscardPartialMessage();
    // Bytes lost since creation because the waiting store was full.
    uint64_t Overflowed() const { return m_overflowed; }
    // Bytes taken in since creation (stored or waiting for a buffer): a
    // change tells a wait that input has come.
    uint64_t Arrived() const { return m_arrived; }

private:
    // Fills queued buffers from `bytes`; returns how many were taken.
    size_t Fill(std::span<const uint8_t> bytes);

    std::deque<MidiHeader*> m_queue;
    std::vector<uint8_t> m_pending;
    size_t m_pendingStart = 0;
    bool m_started = false;
    bool m_skipToStart = false;
    uint64_t m_overflowed = 0;
    uint64_t m_arrived = 0;
};

}  // namespace platform
