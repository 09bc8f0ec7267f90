// Raw MIDI devices on Windows: there are none. Windows reaches MIDI
// interfaces only through its MIDI ports (WinMM), not as files a program
// could serve, so every device fails to open and nothing can be waited on.
#include "platform/raw_midi_device.h"

namespace platform {

bool RawMidiDevicesServed() { return false; }

RawMidiDevice::~RawMidiDevice() = default;

bool RawMidiDevice::Open(const std::string&, std::string& error) {
    error = "raw MIDI devices are served on Linux only";
    return false;
}

long RawMidiDevice::Read(uint8_t*, size_t, std::string& error) {
    error = "not open";
    return -1;
}

bool RawMidiDevice::Write(std::span<const uint8_t>, std::string& error) {
    error = "not open";
    return false;
}

WaitResult RawMidiDevice::WaitForInput(std::span<RawMidiDevice* const>, std::span<DeviceInput>, StopRequests&,
                                       uint32_t) {
    return WaitResult::Failed;
}

}  // namespace platform
