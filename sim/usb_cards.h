// The VX-USB cards of the virtual units, served by our fake of the USB audio
// driver's library (sim/fake_tusbaudio/). The updater loads that library
// itself, from the program-files folder; this side opens the same file to
// describe the devices and to read back what a download wrote.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "sim/fake_tusbaudio/fake_tusbaudio_control.h"
#include "sim/virtual_quil.h"

namespace sim {

// The program-files folder of this build tree that holds the fake, where
// the updater finds it first ("Velk/Quil USB Audio Driver/QuilUSBapi.so").
std::string FakeUsbProgramFiles();
std::string FakeUsbLibraryPath();

class FakeUsbAudio {
public:
    // Null, with the loader's reason in `error`, when the library cannot be
    // opened or is not our fake.
    static std::unique_ptr<FakeUsbAudio> Open(const std::string& path, std::string& error);

    void Reset(uint32_t deviceCount) { m_reset(deviceCount); }
    void SetDeviceSerial(uint32_t index, const std::string& serial) { m_setSerial(index, serial.c_str()); }
    void SetFault(FakeTusbFault fault, uint32_t value = 0) { m_setFault(fault, value); }
    void SetProgressStep(uint32_t bytes) { m_setStep(bytes); }
    // The driver-information record's six words, in record order.
    void SetDriverInfo(const std::array<uint32_t, 6>& words) { m_setDriverInfo(words.data()); }
    void SetImage(uint32_t index, std::span<const uint8_t> image);
    std::vector<uint8_t> Image(uint32_t index) const;
    uint32_t Downloads(uint32_t index) const { return m_downloads(index); }
    uint32_t SampleRate(uint32_t index) const { return m_sampleRate(index); }

private:
    explicit FakeUsbAudio(std::unique_ptr<platform::DynamicLibrary> library) : m_library(std::move(library)) {}
    std::unique_ptr<platform::DynamicLibrary> m_library;
    FakeTusbAudio_Reset_t m_reset = nullptr;
    FakeTusbAudio_SetDeviceSerial_t m_setSerial = nullptr;
    FakeTusbAudio_SetFault_t m_setFault = nullptr;
    FakeTusbAudio_SetProgressStep_t m_setStep = nullptr;
    FakeTusbAudio_SetDriverInfo_t m_setDriverInfo = nullptr;
    FakeTusbAudio_SetImage_t m_setImage = nullptr;
    FakeTusbAudio_GetImage_t m_getImage = nullptr;
    FakeTusbAudio_Downloads_t m_downloads = nullptr;
    FakeTusbAudio_SampleRate_t m_sampleRate = nullptr;
};

// One USB device per unit, in the order the MIDI-port link numbers the
// units' connections: the updater opens the USB device whose index is the
// card's MIDI connection, so each card sits at its unit's index. A VX-USB
// card's device reports the card's serial number and holds its card store.
void PresentUsbCards(FakeUsbAudio& fake, const std::vector<VirtualQuil*>& units);

// Puts what a download wrote into a VX-USB card back into its unit's card
// store, so that it is saved with the unit.
void CollectUsbCards(FakeUsbAudio& fake, const std::vector<VirtualQuil*>& units);

}  // namespace sim
