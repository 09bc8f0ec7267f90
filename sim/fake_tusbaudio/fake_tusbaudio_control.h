// The control side of our fake USB audio driver library: besides the 27
// TUSBAUDIO_ entry points it exports these, for the demo mode and the tests
// to describe the devices it shows and the faults its DFU download runs into.
// The library keeps one state per process; Reset starts it afresh.
#pragma once

#include <cstdint>

// Faults, each with a value.
enum FakeTusbFault : uint32_t {
    kFakeTusbCustomIniMissing = 1,  // EnumerateDevices reports "custom.ini" missing (value unused)
    kFakeTusbOpenFails = 2,         // OpenDeviceByIndex answers status `value`
    kFakeTusbStatusFailures = 3,    // the first `value` GetDfuStatus calls fail
    kFakeTusbEndInState6 = 4,       // the download ends in state 6 with completion status `value`
    kFakeTusbStall = 5,             // progress stops at byte `value` and the state never ends
    kFakeTusbEndStatus = 6,         // EndDfuProc answers status `value` (else the completion status)
    kFakeTusbDeviceInUse = 7,       // SetSampleRate answers "device in use" (value unused)
    kFakeTusbNoDriverInfo = 8,      // GetDriverInfo answers status `value`
};

// Status codes of our own the fake answers with.
inline constexpr uint32_t kFakeTusbStatusBadIndex = 0xE0001003;
inline constexpr uint32_t kFakeTusbStatusBusy = 0xE0001008;
inline constexpr uint32_t kFakeTusbStatusNoImage = 0xE0001011;
inline constexpr uint32_t kFakeTusbStatusNoProcedure = 0xE0001012;
inline constexpr uint32_t kFakeTusbStatusTransfer = 0xE0001020;

// The fake's driver version (major, minor, patch; words 3 to 5 of its
// driver-information record) and API version word.
inline constexpr uint32_t kFakeTusbDriverVersion[3] = {4, 59, 0};
inline constexpr uint32_t kFakeTusbApiVersion = 0x00040002;

extern "C" {
// `count` devices, none with a fault, firmware empty, 44100 Hz, 4096 bytes
// of progress per status call.
using FakeTusbAudio_Reset_t = void (*)(uint32_t count);
// The serial-number text device `index` reports in its properties.
using FakeTusbAudio_SetDeviceSerial_t = void (*)(uint32_t index, const char* serial);
using FakeTusbAudio_SetFault_t = void (*)(uint32_t fault, uint32_t value);
using FakeTusbAudio_SetProgressStep_t = void (*)(uint32_t bytes);
// The six 32-bit words GetDriverInfo copies into its record, in record order.
using FakeTusbAudio_SetDriverInfo_t = void (*)(const uint32_t* words);
// The firmware device `index` holds: set, or read (returns its size, copies
// at most `capacity` bytes).
using FakeTusbAudio_SetImage_t = void (*)(uint32_t index, const uint8_t* data, uint32_t size);
using FakeTusbAudio_GetImage_t = uint32_t (*)(uint32_t index, uint8_t* dest, uint32_t capacity);
// Completed downloads into device `index`.
using FakeTusbAudio_Downloads_t = uint32_t (*)(uint32_t index);
// The rate device `index` runs at, in Hz.
using FakeTusbAudio_SampleRate_t = uint32_t (*)(uint32_t index);
}
