// Raw MIDI devices that a program serves byte by byte, as a unit on a MIDI
// cable would: the device side of a USB-MIDI gadget, an ALSA raw MIDI node,
// a serial MIDI interface, a pseudo-terminal. Each is a file opened for
// reading and writing without blocking. Linux only: Windows names no such
// files, so there RawMidiDevicesServed() is false and Open fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/stop_requests.h"
#include "platform/wait.h"

namespace platform {

// False where this system has no raw MIDI devices to serve.
bool RawMidiDevicesServed();

// A wait without a time limit.
inline constexpr uint32_t kNoTimeLimit = UINT32_MAX;

enum class DeviceInput : uint8_t {
    None,     // nothing to read
    Waiting,  // bytes wait to be read
    Gone,     // the device hung up or failed, with nothing left to read
};

class RawMidiDevice {
public:
    RawMidiDevice() = default;
    ~RawMidiDevice();
    RawMidiDevice(const RawMidiDevice&) = delete;
    RawMidiDevice& operator=(const RawMidiDevice&) = delete;

    // False, with the system's reason in `error`, when the device cannot be
    // opened for reading and writing.
    bool Open(const std::string& path, std::string& error);
    // Reads what is waiting, without waiting: the count, 0 when nothing is
    // waiting, -1 when the device has failed for good or closed, with the
    // reason ("closed" or the system's text) in `error`.
    long Read(uint8_t* buffer, size_t size, std::string& error);
    // Writes all of `bytes`, waiting while the device cannot take more;
    // false, with the reason in `error`, when the device fails.
    bool Write(std::span<const uint8_t> bytes, std::string& error);

    // Waits until one of `devices` has input or has gone, a stop request
    // comes, or `timeoutMs` of CurrentClock() pass (kNoTimeLimit: no limit).
    // Ready with `input[i]` telling devices[i]'s state (`input` has room for
    // every device); TimedOut; Failed when the devices cannot be waited on.
    static WaitResult WaitForInput(std::span<RawMidiDevice* const> devices, std::span<DeviceInput> input,
                                   StopRequests& stop, uint32_t timeoutMs);

private:
    int m_fd = -1;
};

}  // namespace platform
