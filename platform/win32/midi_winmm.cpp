// MIDI ports on Windows through the multimedia services (WinMM). Ports are
// opened with an event as their callback, so a port's readiness is a waitable
// handle; nothing runs on a thread of ours. A long message is copied into a
// MIDIHDR of the port and sent with midiOutLongMsg; its header is done once
// WinMM hands the MIDIHDR back. Input runs through a ring of the port's own
// MIDIHDRs; what they bring is fed, in arrival order, into the caller's
// queued buffers by the shared bookkeeping, so both systems behave alike.
#include <windows.h>
// after windows.h
#include <mmsystem.h>

#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <span>
#include <vector>

#include "platform/midi.h"
#include "platform/midi_buffers.h"
#include "platform/win32/handle_wait.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

constexpr size_t kInputRing = 8;
constexpr size_t kInputBufferBytes = 4096;

MidiError FromWinmm(MMRESULT result) {
    // The multimedia codes are the seam's own numbers.
    return static_cast<MidiError>(result);
}

// A port's event, which WinMM sets for every buffer it hands back, wakes
// its waits (platform/wait.h).
WaitResult WaitForPortEvent(HANDLE event, uint32_t timeoutMs, const std::function<bool()>& ready) {
    return win32::WaitForHandles(std::span(&event, 1), timeoutMs, ready);
}

class WinmmOutPort final : public MidiOutPort {
public:
    WinmmOutPort(HMIDIOUT handle, HANDLE event) : m_handle(handle), m_event(event) {}
    ~WinmmOutPort() override {
        if (m_handle != nullptr) {
            Reset();
            Close();
        }
        CloseHandle(m_event);
    }
    WinmmOutPort(const WinmmOutPort&) = delete;
    WinmmOutPort& operator=(const WinmmOutPort&) = delete;

    MidiError PrepareHeader(MidiHeader& header) override {
        return m_handle == nullptr ? kMidiErrInvalidHandle : PrepareMidiHeader(header);
    }
    MidiError UnprepareHeader(MidiHeader& header) override {
        return m_handle == nullptr ? kMidiErrInvalidHandle : UnprepareMidiHeader(header);
    }
    MidiError SendLong(MidiHeader& header) override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        if ((header.flags & kMidiHeaderPrepared) == 0) return kMidiErrUnprepared;
        if ((header.flags & kMidiHeaderInQueue) != 0) return kMidiErrStillPlaying;
        auto send = std::make_unique<Send>();
        send->owner = &header;
        send->bytes.assign(header.data, header.data + header.bufferLength);
        send->hdr.lpData = reinterpret_cast<LPSTR>(send->bytes.data());
        send->hdr.dwBufferLength = static_cast<DWORD>(send->bytes.size());
        MMRESULT result = midiOutPrepareHeader(m_handle, &send->hdr, sizeof send->hdr);
        if (result == MMSYSERR_NOERROR) {
            result = midiOutLongMsg(m_handle, &send->hdr, sizeof send->hdr);
            if (result != MMSYSERR_NOERROR) midiOutUnprepareHeader(m_handle, &send->hdr, sizeof send->hdr);
        }
        if (result != MMSYSERR_NOERROR) return FromWinmm(result);
        header.flags = (header.flags & ~kMidiHeaderDone) | kMidiHeaderInQueue;
        m_sends.push_back(std::move(send));
        return kMidiNoError;
    }
    MidiError Reset() override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        const MMRESULT result = midiOutReset(m_handle);
        Poll();
        // Whatever WinMM still holds is abandoned: its owners get their
        // headers back.
        for (auto& send : m_sends) MarkMidiHeaderDone(*send->owner);
        return FromWinmm(result);
    }
    MidiError Close() override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        Poll();
        if (!m_sends.empty()) return kMidiErrStillPlaying;
        const MMRESULT result = midiOutClose(m_handle);
        m_handle = nullptr;
        return FromWinmm(result);
    }
    void Poll() override {
        for (auto it = m_sends.begin(); it != m_sends.end();) {
            Send& send = **it;
            if ((send.hdr.dwFlags & MHDR_DONE) == 0 && m_handle != nullptr) {
                ++it;
                continue;
            }
            if (m_handle != nullptr) midiOutUnprepareHeader(m_handle, &send.hdr, sizeof send.hdr);
            MarkMidiHeaderDone(*send.owner);
            it = m_sends.erase(it);
        }
    }
    WaitResult WaitForSend(uint32_t timeoutMs) override {
        if (m_handle == nullptr) return WaitResult::Failed;
        const size_t before = m_sends.size();
        return WaitForPortEvent(m_event, timeoutMs, [&] {
            Poll();
            return m_sends.empty() || m_sends.size() != before;
        });
    }

private:
    struct Send {
        MidiHeader* owner = nullptr;
        std::vector<uint8_t> bytes;
        MIDIHDR hdr{};
    };
    HMIDIOUT m_handle;
    HANDLE m_event;
    std::list<std::unique_ptr<Send>> m_sends;
};

class WinmmInPort final : public MidiInPort {
public:
    WinmmInPort(HMIDIIN handle, HANDLE event) : m_handle(handle), m_event(event) {
        for (Ring& r : m_ring) {
            r.hdr.lpData = reinterpret_cast<LPSTR>(r.bytes.data());
            r.hdr.dwBufferLength = static_cast<DWORD>(r.bytes.size());
            if (midiInPrepareHeader(m_handle, &r.hdr, sizeof r.hdr) == MMSYSERR_NOERROR &&
                midiInAddBuffer(m_handle, &r.hdr, sizeof r.hdr) == MMSYSERR_NOERROR) {
                m_order.push_back(&r);
            }
        }
    }
    ~WinmmInPort() override {
        if (m_handle != nullptr) {
            Reset();
            Close();
        }
        CloseHandle(m_event);
    }
    WinmmInPort(const WinmmInPort&) = delete;
    WinmmInPort& operator=(const WinmmInPort&) = delete;

    MidiError PrepareHeader(MidiHeader& header) override {
        return m_handle == nullptr ? kMidiErrInvalidHandle : PrepareMidiHeader(header);
    }
    MidiError UnprepareHeader(MidiHeader& header) override {
        return m_handle == nullptr ? kMidiErrInvalidHandle : UnprepareMidiHeader(header);
    }
    MidiError AddBuffer(MidiHeader& header) override {
        return m_handle == nullptr ? kMidiErrInvalidHandle : m_buffers.Add(header);
    }
    MidiError Start() override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        m_buffers.Start();
        return FromWinmm(midiInStart(m_handle));
    }
    MidiError Stop() override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        Poll();
        m_buffers.Stop();
        return FromWinmm(midiInStop(m_handle));
    }
    MidiError Reset() override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        const MMRESULT result = midiInReset(m_handle);
        m_buffers.Reset();
        return FromWinmm(result);
    }
    MidiError Close() override {
        if (m_handle == nullptr) return kMidiErrInvalidHandle;
        if (m_buffers.HasQueued()) return kMidiErrStillPlaying;
        midiInReset(m_handle);
        for (Ring& r : m_ring) midiInUnprepareHeader(m_handle, &r.hdr, sizeof r.hdr);
        const MMRESULT result = midiInClose(m_handle);
        m_handle = nullptr;
        m_order.clear();
        return FromWinmm(result);
    }
    void Poll() override {
        // The ring's buffers come back in the order they were added.
        while (m_handle != nullptr && !m_order.empty() && (m_order.front()->hdr.dwFlags & MHDR_DONE) != 0) {
            Ring* r = m_order.front();
            m_order.pop_front();
            m_buffers.Deliver(std::span<const uint8_t>(r->bytes.data(), r->hdr.dwBytesRecorded));
            r->hdr.dwBytesRecorded = 0;
            if (midiInAddBuffer(m_handle, &r->hdr, sizeof r->hdr) == MMSYSERR_NOERROR) m_order.push_back(r);
        }
    }
    WaitResult WaitForInput(uint32_t timeoutMs) override {
        if (m_handle == nullptr) return WaitResult::Failed;
        const uint64_t before = m_buffers.Arrived();
        return WaitForPortEvent(m_event, timeoutMs, [&] {
            Poll();
            return m_buffers.Arrived() != before;
        });
    }

private:
    struct Ring {
        std::array<uint8_t, kInputBufferBytes> bytes{};
        MIDIHDR hdr{};
    };
    HMIDIIN m_handle;
    HANDLE m_event;
    std::array<Ring, kInputRing> m_ring;
    std::deque<Ring*> m_order;
    MidiInputBuffers m_buffers;
};

// Port technologies as WinMM reports them are the seam's own numbers.
class WinmmMidiSystem final : public MidiSystem {
public:
    uint32_t OutputCount() override { return midiOutGetNumDevs(); }
    uint32_t InputCount() override { return midiInGetNumDevs(); }

    MidiError OutputCaps(uint32_t id, MidiPortCaps& caps) override {
        MIDIOUTCAPSW c{};
        const MMRESULT result = midiOutGetDevCapsW(id, &c, sizeof c);
        if (result != MMSYSERR_NOERROR) return FromWinmm(result);
        caps.name = MidiPortName(win32::Narrow(c.szPname));
        caps.technology = c.wTechnology;
        return kMidiNoError;
    }
    MidiError InputCaps(uint32_t id, MidiPortCaps& caps) override {
        MIDIINCAPSW c{};
        const MMRESULT result = midiInGetDevCapsW(id, &c, sizeof c);
        if (result != MMSYSERR_NOERROR) return FromWinmm(result);
        caps.name = MidiPortName(win32::Narrow(c.szPname));
        caps.technology = 0;
        return kMidiNoError;
    }
    MidiError OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) override {
        const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (event == nullptr) return kMidiErrNoMemory;
        HMIDIOUT handle = nullptr;
        const MMRESULT result = midiOutOpen(&handle, id, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
        if (result != MMSYSERR_NOERROR) {
            CloseHandle(event);
            return FromWinmm(result);
        }
        port = std::make_unique<WinmmOutPort>(handle, event);
        return kMidiNoError;
    }
    MidiError OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) override {
        const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (event == nullptr) return kMidiErrNoMemory;
        HMIDIIN handle = nullptr;
        const MMRESULT result = midiInOpen(&handle, id, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
        if (result != MMSYSERR_NOERROR) {
            CloseHandle(event);
            return FromWinmm(result);
        }
        port = std::make_unique<WinmmInPort>(handle, event);
        return kMidiNoError;
    }
};

}  // namespace

MidiSystem& NativeMidiSystem() {
    static WinmmMidiSystem system;
    return system;
}

}  // namespace platform
