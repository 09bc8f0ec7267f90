#include "platform/midi.h"

#include <algorithm>
#include <cstring>

#include "platform/midi_buffers.h"

namespace platform {

namespace {
MidiSystem* g_midiOverride = nullptr;
}  // namespace

MidiSystem& CurrentMidiSystem() { return g_midiOverride != nullptr ? *g_midiOverride : NativeMidiSystem(); }

ScopedMidiSystem::ScopedMidiSystem(MidiSystem& system) : m_previous(g_midiOverride) { g_midiOverride = &system; }
ScopedMidiSystem::~ScopedMidiSystem() { g_midiOverride = m_previous; }

std::array<char, kMidiPortNameSize> MidiPortName(const std::string& name) {
    std::array<char, kMidiPortNameSize> out{};
    const size_t length = std::min(name.size(), kMidiPortNameSize - 1);
    std::memcpy(out.data(), name.data(), length);
    return out;
}

MidiError PrepareMidiHeader(MidiHeader& header) {
    if (header.data == nullptr || header.bufferLength == 0) return kMidiErrInvalidParam;
    header.flags |= kMidiHeaderPrepared;
    return kMidiNoError;
}

MidiError UnprepareMidiHeader(MidiHeader& header) {
    if ((header.flags & kMidiHeaderInQueue) != 0) return kMidiErrStillPlaying;
    header.flags &= ~kMidiHeaderPrepared;
    return kMidiNoError;
}

MidiError MidiInputBuffers::Add(MidiHeader& header) {
    if ((header.flags & kMidiHeaderPrepared) == 0) return kMidiErrUnprepared;
    if ((header.flags & kMidiHeaderInQueue) != 0) return kMidiErrStillPlaying;
    if (header.data == nullptr || header.bufferLength == 0) return kMidiErrInvalidParam;
    header.bytesRecorded = 0;
    header.flags = (header.flags & ~kMidiHeaderDone) | kMidiHeaderInQueue;
    m_queue.push_back(&header);
    if (m_pendingStart < m_pending.size()) {
        m_pendingStart += Fill(std::span(m_pending).subspan(m_pendingStart));
        if (m_pendingStart == m_pending.size()) {
            m_pending.clear();
            m_pendingStart = 0;
        }
    }
    return kMidiNoError;
}

void MidiInputBuffers::Reset() {
    m_started = false;
    m_pending.clear();
    m_pendingStart = 0;
    for (MidiHeader* header : m_queue) MarkMidiHeaderDone(*header);
    m_queue.clear();
}

size_t MidiInputBuffers::Fill(std::span<const uint8_t> bytes) {
    size_t taken = 0;
    while (taken < bytes.size() && !m_queue.empty()) {
        MidiHeader& header = *m_queue.front();
        const size_t room = header.bufferLength - header.bytesRecorded;
        const std::span<const uint8_t> rest = bytes.subspan(taken, std::min(room, bytes.size() - taken));
        // A message ends with its 0xF7: the buffer goes back with it.
        const auto end = std::find(rest.begin(), rest.end(), uint8_t{0xF7});
        const size_t count = end == rest.end() ? rest.size() : static_cast<size_t>(end - rest.begin()) + 1;
        std::memcpy(header.data + header.bytesRecorded, rest.data(), count);
        header.bytesRecorded += static_cast<uint32_t>(count);
        taken += count;
        if (header.bytesRecorded == header.bufferLength || end != rest.end()) {
            MarkMidiHeaderDone(header);
            m_queue.pop_front();
        }
    }
    return taken;
}

void MidiInputBuffers::DiscardPartialMessage() {
    if (m_pendingStart < m_pending.size()) {
        // Buffers are handed back at each 0xF7, so the partial message is
        // whatever waits after the last one.
        const auto waiting = std::span(m_pending).subspan(m_pendingStart);
        const auto last = std::find(waiting.rbegin(), waiting.rend(), uint8_t{0xF7});
        m_pending.resize(m_pendingStart + static_cast<size_t>(waiting.rend() - last));
    } else if (!m_queue.empty()) {
        m_queue.front()->bytesRecorded = 0;
    }
    m_skipToStart = true;
}

void MidiInputBuffers::Deliver(std::span<const uint8_t> bytes) {
    if (!m_started || bytes.empty()) return;
    if (m_skipToStart) {
        const auto start = std::find(bytes.begin(), bytes.end(), uint8_t{0xF0});
        if (start == bytes.end()) return;
        m_skipToStart = false;
        bytes = bytes.subspan(static_cast<size_t>(start - bytes.begin()));
    }
    m_arrived += bytes.size();
    size_t taken = 0;
    if (m_pendingStart == m_pending.size()) taken = Fill(bytes);
    const std::span<const uint8_t> rest = bytes.subspan(taken);
    if (rest.empty()) return;
    if (m_pendingStart > 0) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(m_pendingStart));
        m_pendingStart = 0;
    }
    const size_t keep = std::min(rest.size(), kPendingLimit - std::min(kPendingLimit, m_pending.size()));
    m_pending.insert(m_pending.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(keep));
    m_overflowed += rest.size() - keep;
}

}  // namespace platform
