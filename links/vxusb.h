// CVXUSB: the VX-USB card's firmware updater. The card is a USB audio device
// of the maker's USB audio class driver; its firmware is replaced through the
// driver library's DFU download, not through SysEx. The library may be
// absent: it is looked for under the program-files folder at run time, and
// without it there is simply no VX-USB updater.
//
// The USB device index is the MIDI connection index the card was found on.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "links/tusbaudio_api.h"
#include "platform/dynamic_library.h"

// Where a download shows how far it is (the main window's progress bar).
class DfuProgressBar {
public:
    virtual ~DfuProgressBar() = default;
    virtual void SetRange(uint32_t low, uint32_t high) = 0;
    virtual void SetPos(uint32_t pos) = 0;
};

inline constexpr uint32_t kNoUsbDevice = 0xFFFFFFFF;
inline constexpr int kTUsbAudioEntryPoints = 27;
// A download whose state and progress stay unchanged this long has stalled.
inline constexpr uint32_t kDfuStallLimitMs = 10000;
// The pause after a status pass that showed no change.
inline constexpr uint32_t kDfuIdlePassMs = 10;

// The three places the library is looked for, in order, under `folder`.
std::array<std::string, 3> VxUsbLibraryPaths(const std::string& folder);

class CVXUSB {
public:
    CVXUSB() = default;
    virtual ~CVXUSB();
    CVXUSB(const CVXUSB&) = delete;
    CVXUSB& operator=(const CVXUSB&) = delete;

    // Loads the library, takes all 27 entry points and opens USB device
    // `index`. False when the library, an entry point or the device is
    // missing; whatever was loaded is left to Close.
    bool Open(uint32_t index);
    // Closes the device and unloads the library. Always true.
    bool Close();
    // Downloads `size` bytes of firmware into the opened device, moving the
    // bar from 0 to size. The outcome is the library's EndDfuProc status.
    bool DownloadFirmware(uint32_t size, const uint8_t* image, DfuProgressBar& bar);

    // The sample-rate entry points, on the opened device.
    TUsbAudioStatus SetSampleRate(uint32_t rateHz);
    TUsbAudioStatus GetCurrentSampleRate(uint32_t* rateHz);

    uint32_t DeviceIndex() const { return m_deviceIndex; }

private:
    // "%s\t\t= 0x%08lX" with the library's text for `status`; nothing for 0.
    void WriteStatusLine(TUsbAudioStatus status);
    bool Resolve();

    uint32_t m_deviceIndex = kNoUsbDevice;
    std::unique_ptr<platform::DynamicLibrary> m_library;
    TUsbAudioHandle m_device = nullptr;

    TUSBAUDIO_GetApiVersion_t m_GetApiVersion = nullptr;
    TUSBAUDIO_CheckApiVersion_t m_CheckApiVersion = nullptr;
    TUSBAUDIO_EnumerateDevices_t m_EnumerateDevices = nullptr;
    TUSBAUDIO_GetDeviceCount_t m_GetDeviceCount = nullptr;
    TUSBAUDIO_GetDriverInfo_t m_GetDriverInfo = nullptr;
    TUSBAUDIO_OpenDeviceByIndex_t m_OpenDeviceByIndex = nullptr;
    TUSBAUDIO_CloseDevice_t m_CloseDevice = nullptr;
    TUSBAUDIO_GetDeviceProperties_t m_GetDeviceProperties = nullptr;
    TUSBAUDIO_GetSupportedSampleRates_t m_GetSupportedSampleRates = nullptr;
    TUSBAUDIO_GetCurrentSampleRate_t m_GetCurrentSampleRate = nullptr;
    TUSBAUDIO_SetSampleRate_t m_SetSampleRate = nullptr;
    TUSBAUDIO_GetUsbStreamingMode_t m_GetUsbStreamingMode = nullptr;
    TUSBAUDIO_SetUsbStreamingMode_t m_SetUsbStreamingMode = nullptr;
    TUSBAUDIO_GetASIOBufferSize_t m_GetASIOBufferSize = nullptr;
    TUSBAUDIO_SetASIOBufferSize_t m_SetASIOBufferSize = nullptr;
    TUSBAUDIO_LoadFirmwareImageFromBuffer_t m_LoadFirmwareImageFromBuffer = nullptr;
    TUSBAUDIO_LoadFirmwareImageFromFile_t m_LoadFirmwareImageFromFile = nullptr;
    TUSBAUDIO_GetFirmwareImageSize_t m_GetFirmwareImageSize = nullptr;
    TUSBAUDIO_UnloadFirmwareImage_t m_UnloadFirmwareImage = nullptr;
    TUSBAUDIO_GetFirmwareImage_t m_GetFirmwareImage = nullptr;
    TUSBAUDIO_StartDfuDownload_t m_StartDfuDownload = nullptr;
    TUSBAUDIO_StartDfuUpload_t m_StartDfuUpload = nullptr;
    TUSBAUDIO_StartDfuRevertToFactoryImage_t m_StartDfuRevertToFactoryImage = nullptr;
    TUSBAUDIO_GetDfuStatus_t m_GetDfuStatus = nullptr;
    TUSBAUDIO_EndDfuProc_t m_EndDfuProc = nullptr;
    TUSBAUDIO_StatusCodeStringW_t m_StatusCodeStringW = nullptr;
    TUSBAUDIO_StatusCodeStringA_t m_StatusCodeStringA = nullptr;
};
