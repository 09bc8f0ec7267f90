// MIDI port seam: enumeration of the system's MIDI output and input ports by
// id, ports opened without a callback, long (SysEx) messages sent through a
// header whose done flag says when the bytes are out, and input buffers that
// are queued in order and handed back done in the same order.
//
// Nothing here runs on a thread of its own: a back-end moves bytes when the
// program polls a port (Poll) or waits on it (WaitForSend, WaitForInput, as
// platform/wait.h describes). Completion and arrival are seen in the headers'
// flags.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/wait.h"

namespace platform {

// Error codes of the port operations; 0 is success. The values follow the
// multimedia MIDI services so that logged numbers read the same everywhere.
using MidiError = int;
inline constexpr MidiError kMidiNoError = 0;
inline constexpr MidiError kMidiErrError = 1;          // unspecified failure
inline constexpr MidiError kMidiErrBadDeviceId = 2;    // id beyond the port count
inline constexpr MidiError kMidiErrAllocated = 4;      // port already open
inline constexpr MidiError kMidiErrInvalidHandle = 5;  // port closed
inline constexpr MidiError kMidiErrNoDriver = 6;       // the back-end is unavailable
inline constexpr MidiError kMidiErrNoMemory = 7;
inline constexpr MidiError kMidiErrInvalidParam = 11;  // bad header or length
inline constexpr MidiError kMidiErrUnprepared = 64;    // header not prepared
inline constexpr MidiError kMidiErrStillPlaying = 65;  // header still queued
inline constexpr MidiError kMidiErrNotReady = 67;

// Port technology of an output: what sits behind it.
inline constexpr uint16_t kMidiTechHardwarePort = 1;   // a MIDI connection to an instrument
inline constexpr uint16_t kMidiTechSynth = 2;          // a hardware synthesizer
inline constexpr uint16_t kMidiTechSoftwareSynth = 7;  // software: synthesizers, application ports

inline constexpr size_t kMidiPortNameSize = 32;

struct MidiPortCaps {
    // NUL-terminated, at most 31 characters.
    std::array<char, kMidiPortNameSize> name{};
    // Outputs only; inputs report 0.
    uint16_t technology = 0;
};

// Header flags.
inline constexpr uint32_t kMidiHeaderDone = 0x1;  // the port has handed the header back
inline constexpr uint32_t kMidiHeaderPrepared = 0x2;
inline constexpr uint32_t kMidiHeaderInQueue = 0x4;  // held by the port

// One buffer of a long message. The caller owns header and data; from
// SendLong or AddBuffer until the header is done (or the port is reset or
// destroyed) the port may write to them, so both must stay in place.
struct MidiHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    // Input: bytes the port stored in data.
    uint32_t bytesRecorded = 0;
    uint32_t flags = 0;
};

class MidiOutPort {
public:
    // Releases the port as Reset and Close do, ignoring failures.
    virtual ~MidiOutPort() = default;
    virtual MidiError PrepareHeader(MidiHeader& header) = 0;
    // kMidiErrStillPlaying while the message is being sent.
    virtual MidiError UnprepareHeader(MidiHeader& header) = 0;
    // Starts sending header.data[0, bufferLength); done is set once the bytes
    // are out, or in a buffer of the back-end's own that goes out at the
    // next Poll or wait of any port at the latest (messages sent one after
    // the other then leave together). The back-end does not keep the data
    // pointer.
    virtual MidiError SendLong(MidiHeader& header) = 0;
    // Abandons messages still being sent and marks their headers done.
    virtual MidiError Reset() = 0;
    // The port stays usable only for destruction afterwards, whatever the
    // result.
    virtual MidiError Close() = 0;
    // Lets the back-end finish sends and deliver arrived bytes.
    virtual void Poll() = 0;
    // Blocks until a send of this port may have finished (Ready at once
    // when none is under way) or `timeoutMs` have passed.
    virtual WaitResult WaitForSend(uint32_t timeoutMs) = 0;
    // True once the device behind the port has gone (unplugged); the port
    // is then good only for closing.
    virtual bool Unplugged() const { return false; }
};

class MidiInPort {
public:
    // Releases the port as Reset and Close do, ignoring failures.
    virtual ~MidiInPort() = default;
    virtual MidiError PrepareHeader(MidiHeader& header) = 0;
    // kMidiErrStillPlaying while the header is queued.
    virtual MidiError UnprepareHeader(MidiHeader& header) = 0;
    // Queues a prepared buffer. Received SysEx bytes fill the queued buffers
    // in the order they were added; a buffer is done when it is full or when
    // a 0xF7 has ended a message in it.
    virtual MidiError AddBuffer(MidiHeader& header) = 0;
    virtual MidiError Start() = 0;
    virtual MidiError Stop() = 0;
    // Stops input and hands every queued buffer back done, with what it holds.
    virtual MidiError Reset() = 0;
    // kMidiErrStillPlaying while buffers are queued.
    virtual MidiError Close() = 0;
    // Lets the back-end deliver arrived bytes into the queued buffers.
    virtual void Poll() = 0;
    // Blocks until bytes arrive for this port (they are in its buffers when
    // it returns Ready) or `timeoutMs` have passed. Bytes that came before
    // the call are not waited for: a caller looks at its buffers first.
    virtual WaitResult WaitForInput(uint32_t timeoutMs) = 0;
    // True once the device behind the port has gone (unplugged).
    virtual bool Unplugged() const { return false; }
};

class MidiSystem {
public:
    virtual ~MidiSystem() = default;
    // The counts take a fresh look at the ports; ids are indexes into what the
    // last count saw, 0 first.
    virtual uint32_t OutputCount() = 0;
    virtual MidiError OutputCaps(uint32_t id, MidiPortCaps& caps) = 0;
    virtual uint32_t InputCount() = 0;
    virtual MidiError InputCaps(uint32_t id, MidiPortCaps& caps) = 0;
    // Open without a callback; on success `port` holds the open port. Ports
    // must not outlive the system that opened them.
    virtual MidiError OpenOutput(uint32_t id, std::unique_ptr<MidiOutPort>& port) = 0;
    virtual MidiError OpenInput(uint32_t id, std::unique_ptr<MidiInPort>& port) = 0;
    // False with a one-line reason when the back-end cannot reach the ports
    // at all (no sequencer); it then reports no ports.
    virtual bool Available(std::string* reason) {
        (void)reason;
        return true;
    }
};

// The system's own MIDI ports (the ALSA sequencer on Linux, WinMM on
// Windows), created on first use.
MidiSystem& NativeMidiSystem();

// The process-wide MIDI system: the native back-end unless a test or the
// demo mode installs another one.
MidiSystem& CurrentMidiSystem();

// Installs a MIDI system for the lifetime of this object.
class ScopedMidiSystem {
public:
    explicit ScopedMidiSystem(MidiSystem& system);
    ~ScopedMidiSystem();
    ScopedMidiSystem(const ScopedMidiSystem&) = delete;
    ScopedMidiSystem& operator=(const ScopedMidiSystem&) = delete;

private:
    MidiSystem* m_previous;
};

// The NUL-terminated copy of `name` cut to 31 characters.
std::array<char, kMidiPortNameSize> MidiPortName(const std::string& name);

}  // namespace platform
