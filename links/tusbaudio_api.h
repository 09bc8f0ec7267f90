// The USB audio driver's application library as the VX-USB updater calls it:
// the 27 entry points by name, their argument order and the records they fill.
// Status codes are 32-bit, 0 meaning success; only two other codes carry a
// meaning of their own here.
#pragma once

#include <cstddef>
#include <cstdint>

using TUsbAudioStatus = uint32_t;
using TUsbAudioHandle = void*;

inline constexpr TUsbAudioStatus kTUsbAudioOk = 0;
// EnumerateDevices: the driver's "custom.ini" file was not found.
inline constexpr TUsbAudioStatus kTUsbAudioCustomIniMissing = 0xE0001006;
// SetSampleRate: the rate cannot change while the device is in use.
inline constexpr TUsbAudioStatus kTUsbAudioDeviceInUse = 0xE0001001;

// DFU states that end a download.
inline constexpr uint32_t kDfuStateFinished = 5;
inline constexpr uint32_t kDfuStateEndedWithStatus = 6;

// Filled by GetDriverInfo: six 32-bit words, of which words 3, 4 and 5
// (counting from 1) are the driver version's major, minor and patch parts.
struct TUsbAudioDriverInfo {
    uint32_t apiVersionMajor;     // word 1
    uint32_t apiVersionMinor;     // word 2
    uint32_t driverVersionMajor;  // word 3
    uint32_t driverVersionMinor;  // word 4
    uint32_t driverVersionPatch;  // word 5
    uint32_t flags;               // word 6
};
static_assert(sizeof(TUsbAudioDriverInfo) == 6 * sizeof(uint32_t));
static_assert(offsetof(TUsbAudioDriverInfo, driverVersionMajor) == 2 * sizeof(uint32_t));

// Filled by GetDeviceProperties: 1040 bytes, three strings of 128 UTF-16
// characters at byte offsets 12, 268 and 524.
inline constexpr int kTUsbAudioStringChars = 128;
struct TUsbAudioDeviceProperties {
    uint32_t usbVendorId;
    uint32_t usbProductId;
    uint32_t usbRevisionId;
    char16_t serialNumber[kTUsbAudioStringChars];  // offset 12
    char16_t manufacturer[kTUsbAudioStringChars];  // offset 268
    char16_t product[kTUsbAudioStringChars];       // offset 524
    uint8_t reserved[260];
};
static_assert(sizeof(TUsbAudioDeviceProperties) == 1040);

extern "C" {
using TUSBAUDIO_GetApiVersion_t = uint32_t (*)();
using TUSBAUDIO_CheckApiVersion_t = uint32_t (*)(uint32_t major, uint32_t minor);
using TUSBAUDIO_EnumerateDevices_t = TUsbAudioStatus (*)();
using TUSBAUDIO_GetDeviceCount_t = uint32_t (*)();
using TUSBAUDIO_GetDriverInfo_t = TUsbAudioStatus (*)(TUsbAudioDriverInfo* info);
using TUSBAUDIO_OpenDeviceByIndex_t = TUsbAudioStatus (*)(uint32_t index, TUsbAudioHandle* handle);
using TUSBAUDIO_CloseDevice_t = TUsbAudioStatus (*)(TUsbAudioHandle handle);
using TUSBAUDIO_GetDeviceProperties_t = TUsbAudioStatus (*)(TUsbAudioHandle handle,
                                                            TUsbAudioDeviceProperties* properties);
using TUSBAUDIO_GetSupportedSampleRates_t = TUsbAudioStatus (*)(TUsbAudioHandle handle, uint32_t capacity,
                                                                uint32_t* rates, uint32_t* count);
using TUSBAUDIO_GetCurrentSampleRate_t = TUsbAudioStatus (*)(TUsbAudioHandle handle, uint32_t* rate);
using TUSBAUDIO_SetSampleRate_t = TUsbAudioStatus (*)(TUsbAudioHandle handle, uint32_t rate);
using TUSBAUDIO_GetUsbStreamingMode_t = TUsbAudioStatus (*)(TUsbAudioHandle handle, uint32_t* mode);
using TUSBAUDIO_SetUsbStreamingMode_t = TUsbAudioStatus (*)(TUsbAudioHandle handle, uint32_t mode);
using TUSBAUDIO_GetASIOBufferSize_t = TUsbAudioStatus (*)(uint32_t* size);
using TUSBAUDIO_SetASIOBufferSize_t = TUsbAudioStatus (*)(uint32_t size);
using TUSBAUDIO_LoadFirmwareImageFromBuffer_t = TUsbAudioStatus (*)(const uint8_t* image, uint32_t size,
                                                                    uint32_t flags);
using TUSBAUDIO_LoadFirmwareImageFromFile_t = TUsbAudioStatus (*)(const char16_t* path, uint32_t flags);
using TUSBAUDIO_GetFirmwareImageSize_t = TUsbAudioStatus (*)(uint32_t* size);
using TUSBAUDIO_UnloadFirmwareImage_t = TUsbAudioStatus (*)();
using TUSBAUDIO_GetFirmwareImage_t = TUsbAudioStatus (*)(uint8_t* buffer, uint32_t size);
using TUSBAUDIO_StartDfuDownload_t = TUsbAudioStatus (*)(uint32_t deviceIndex, uint32_t flags1, uint32_t flags2);
using TUSBAUDIO_StartDfuUpload_t = TUsbAudioStatus (*)(uint32_t deviceIndex, uint32_t flags1, uint32_t flags2);
using TUSBAUDIO_StartDfuRevertToFactoryImage_t = TUsbAudioStatus (*)(uint32_t deviceIndex, uint32_t flags1,
                                                                     uint32_t flags2);
using TUSBAUDIO_GetDfuStatus_t = TUsbAudioStatus (*)(uint32_t* state, uint32_t* progress, uint32_t* third,
                                                     uint32_t* completion);
using TUSBAUDIO_EndDfuProc_t = TUsbAudioStatus (*)();
using TUSBAUDIO_StatusCodeStringW_t = const char16_t* (*)(TUsbAudioStatus status);
using TUSBAUDIO_StatusCodeStringA_t = const char* (*)(TUsbAudioStatus status);
}
