// A stand-in for the USB audio driver's application library: devices that
// are VX-USB cards, each with a firmware store, and a DFU download that moves
// by a fixed step per status call, so that tests are deterministic and the
// demo's download runs as fast as the updater polls.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "links/tusbaudio_api.h"
#include "sim/fake_tusbaudio/fake_tusbaudio_control.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct Device {
    std::string serial = "0000000000";
    std::vector<uint8_t> firmware;
    uint32_t downloads = 0;
    uint32_t rate = 44100;
    bool open = false;
};

// DFU state while the card takes the image.
constexpr uint32_t kStateDownloadBusy = 4;

struct Library {
    std::vector<Device> devices;
    uint32_t step = 4096;
    bool customIniMissing = false;
    uint32_t openStatus = 0;
    uint32_t statusFailures = 0;
    bool endInState6 = false;
    uint32_t completionStatus = 0;
    bool stall = false;
    uint32_t stallAt = 0;
    bool endStatusSet = false;
    uint32_t endStatus = 0;
    bool deviceInUse = false;
    uint32_t driverInfoStatus = 0;
    std::array<uint32_t, 6> driverInfo{kFakeTusbApiVersion >> 16, kFakeTusbApiVersion & 0xFFFF,
                                       kFakeTusbDriverVersion[0], kFakeTusbDriverVersion[1],
                                       kFakeTusbDriverVersion[2], 0};

    std::vector<uint8_t> image;
    bool imageLoaded = false;
    bool running = false;
    uint32_t target = 0;
    uint32_t state = 0;
    uint32_t progress = 0;
    uint32_t completion = 0;
};

Library g_library;  // one driver per process, like the real one

Device* FromHandle(TUsbAudioHandle handle) {
    for (Device& d : g_library.devices) {
        if (&d == handle && d.open) return &d;
    }
    return nullptr;
}

void Copy16(char16_t (&dest)[kTUsbAudioStringChars], const std::string& text) {
    size_t i = 0;
    for (; i < text.size() && i + 1 < kTUsbAudioStringChars; ++i) dest[i] = static_cast<unsigned char>(text[i]);
    dest[i] = 0;
}

}  // namespace

// --- Control ---

FAKE_EXPORT void FakeTusbAudio_Reset(uint32_t count) {
    g_library = Library{};
    g_library.devices.resize(count);
}

FAKE_EXPORT void FakeTusbAudio_SetDeviceSerial(uint32_t index, const char* serial) {
    if (index < g_library.devices.size() && serial != nullptr) g_library.devices[index].serial = serial;
}

FAKE_EXPORT void FakeTusbAudio_SetFault(uint32_t fault, uint32_t value) {
    Library& l = g_library;
    switch (fault) {
    case kFakeTusbCustomIniMissing: l.customIniMissing = true; break;
    case kFakeTusbOpenFails: l.openStatus = value; break;
    case kFakeTusbStatusFailures: l.statusFailures = value; break;
    case kFakeTusbEndInState6: l.endInState6 = true, l.completionStatus = value; break;
    case kFakeTusbStall: l.stall = true, l.stallAt = value; break;
    case kFakeTusbEndStatus: l.endStatusSet = true, l.endStatus = value; break;
    case kFakeTusbDeviceInUse: l.deviceInUse = true; break;
    case kFakeTusbNoDriverInfo: l.driverInfoStatus = value; break;
    default: break;
    }
}

FAKE_EXPORT void FakeTusbAudio_SetProgressStep(uint32_t bytes) { g_library.step = std::max<uint32_t>(bytes, 1); }

FAKE_EXPORT void FakeTusbAudio_SetDriverInfo(const uint32_t* words) {
    std::copy_n(words, g_library.driverInfo.size(), g_library.driverInfo.begin());
}

FAKE_EXPORT void FakeTusbAudio_SetImage(uint32_t index, const uint8_t* data, uint32_t size) {
    if (index >= g_library.devices.size()) return;
    g_library.devices[index].firmware.assign(data, data + size);
}

FAKE_EXPORT uint32_t FakeTusbAudio_GetImage(uint32_t index, uint8_t* dest, uint32_t capacity) {
    if (index >= g_library.devices.size()) return 0;
    const std::vector<uint8_t>& fw = g_library.devices[index].firmware;
    if (dest != nullptr && !fw.empty()) std::memcpy(dest, fw.data(), std::min<size_t>(capacity, fw.size()));
    return static_cast<uint32_t>(fw.size());
}

FAKE_EXPORT uint32_t FakeTusbAudio_Downloads(uint32_t index) {
    return index < g_library.devices.size() ? g_library.devices[index].downloads : 0;
}

FAKE_EXPORT uint32_t FakeTusbAudio_SampleRate(uint32_t index) {
    return index < g_library.devices.size() ? g_library.devices[index].rate : 0;
}

// --- The driver library ---

FAKE_EXPORT uint32_t TUSBAUDIO_GetApiVersion() { return kFakeTusbApiVersion; }

FAKE_EXPORT uint32_t TUSBAUDIO_CheckApiVersion(uint32_t major, uint32_t minor) {
    return major == (kFakeTusbApiVersion >> 16) && minor <= (kFakeTusbApiVersion & 0xFFFF) ? 1 : 0;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_EnumerateDevices() {
    // Without its settings file the driver still lists its devices.
    return g_library.customIniMissing ? kTUsbAudioCustomIniMissing : kTUsbAudioOk;
}

FAKE_EXPORT uint32_t TUSBAUDIO_GetDeviceCount() { return static_cast<uint32_t>(g_library.devices.size()); }

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetDriverInfo(TUsbAudioDriverInfo* info) {
    if (g_library.driverInfoStatus != 0) return g_library.driverInfoStatus;
    // The record is six words as the driver lays them out, copied word by word.
    static_assert(sizeof(*info) == sizeof(g_library.driverInfo));
    std::memcpy(info, g_library.driverInfo.data(), sizeof(g_library.driverInfo));
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_OpenDeviceByIndex(uint32_t index, TUsbAudioHandle* handle) {
    if (index >= g_library.devices.size()) return kFakeTusbStatusBadIndex;
    if (g_library.openStatus != 0) return g_library.openStatus;
    g_library.devices[index].open = true;
    *handle = &g_library.devices[index];
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_CloseDevice(TUsbAudioHandle handle) {
    Device* d = FromHandle(handle);
    if (d == nullptr) return kFakeTusbStatusBadIndex;
    d->open = false;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetDeviceProperties(TUsbAudioHandle handle, TUsbAudioDeviceProperties* p) {
    const Device* d = FromHandle(handle);
    if (d == nullptr) return kFakeTusbStatusBadIndex;
    *p = TUsbAudioDeviceProperties{};
    p->usbVendorId = 0x2A39;
    p->usbProductId = 0x0032;
    p->usbRevisionId = 0x0905;
    Copy16(p->serialNumber, d->serial);
    Copy16(p->manufacturer, "Velk");
    Copy16(p->product, "VX-USB");
    return kTUsbAudioOk;
}

namespace {
constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetSupportedSampleRates(TUsbAudioHandle handle, uint32_t capacity,
                                                              uint32_t* rates, uint32_t* count) {
    if (FromHandle(handle) == nullptr) return kFakeTusbStatusBadIndex;
    const uint32_t n = std::min<uint32_t>(capacity, 6);
    std::copy_n(kRates, n, rates);
    *count = n;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetCurrentSampleRate(TUsbAudioHandle handle, uint32_t* rate) {
    const Device* d = FromHandle(handle);
    if (d == nullptr) return kFakeTusbStatusBadIndex;
    *rate = d->rate;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_SetSampleRate(TUsbAudioHandle handle, uint32_t rate) {
    Device* d = FromHandle(handle);
    if (d == nullptr) return kFakeTusbStatusBadIndex;
    if (g_library.deviceInUse) return kTUsbAudioDeviceInUse;
    if (std::find(std::begin(kRates), std::end(kRates), rate) == std::end(kRates)) return kFakeTusbStatusBadIndex;
    d->rate = rate;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetUsbStreamingMode(TUsbAudioHandle handle, uint32_t* mode) {
    if (FromHandle(handle) == nullptr) return kFakeTusbStatusBadIndex;
    *mode = 0;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_SetUsbStreamingMode(TUsbAudioHandle handle, uint32_t) {
    return FromHandle(handle) == nullptr ? kFakeTusbStatusBadIndex : kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetASIOBufferSize(uint32_t* size) {
    *size = 512;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_SetASIOBufferSize(uint32_t) { return kTUsbAudioOk; }

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_LoadFirmwareImageFromBuffer(const uint8_t* image, uint32_t size, uint32_t) {
    if (g_library.running) return kFakeTusbStatusBusy;
    g_library.image.assign(image, image + size);
    g_library.imageLoaded = true;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_LoadFirmwareImageFromFile(const char16_t*, uint32_t) {
    return kFakeTusbStatusNoImage;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetFirmwareImageSize(uint32_t* size) {
    if (!g_library.imageLoaded) return kFakeTusbStatusNoImage;
    *size = static_cast<uint32_t>(g_library.image.size());
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_UnloadFirmwareImage() {
    g_library.image.clear();
    g_library.imageLoaded = false;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetFirmwareImage(uint8_t* buffer, uint32_t size) {
    if (!g_library.imageLoaded || size < g_library.image.size()) return kFakeTusbStatusNoImage;
    std::copy(g_library.image.begin(), g_library.image.end(), buffer);
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_StartDfuDownload(uint32_t deviceIndex, uint32_t, uint32_t) {
    Library& l = g_library;
    if (deviceIndex >= l.devices.size()) return kFakeTusbStatusBadIndex;
    if (!l.imageLoaded) return kFakeTusbStatusNoImage;
    if (l.running) return kFakeTusbStatusBusy;
    l.running = true;
    l.target = deviceIndex;
    l.state = kStateDownloadBusy;
    l.progress = 0;
    l.completion = 0;
    return kTUsbAudioOk;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_StartDfuUpload(uint32_t, uint32_t, uint32_t) { return kFakeTusbStatusBusy; }

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_StartDfuRevertToFactoryImage(uint32_t, uint32_t, uint32_t) {
    return kFakeTusbStatusBusy;
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_GetDfuStatus(uint32_t* state, uint32_t* progress, uint32_t* third,
                                                   uint32_t* completion) {
    Library& l = g_library;
    const auto report = [&](TUsbAudioStatus status) {
        *state = l.state;
        *progress = l.progress;
        *third = 0;
        *completion = l.completion;
        return status;
    };
    if (!l.running) return report(kFakeTusbStatusNoProcedure);
    if (l.statusFailures > 0) {
        --l.statusFailures;
        return report(kFakeTusbStatusTransfer);
    }
    if (l.state != kStateDownloadBusy) return report(kTUsbAudioOk);

    const uint32_t size = static_cast<uint32_t>(l.image.size());
    const uint32_t limit = l.stall ? std::min(l.stallAt, size) : size;
    l.progress = std::min(limit, l.progress + std::min(l.step, limit - l.progress));
    if (l.stall && l.progress == limit) return report(kTUsbAudioOk);
    if (l.progress < size) return report(kTUsbAudioOk);

    if (size == 0) {
        // Nothing to write is a failed download.
        l.state = kDfuStateEndedWithStatus;
        l.completion = kFakeTusbStatusNoImage;
    } else if (l.endInState6) {
        l.state = kDfuStateEndedWithStatus;
        l.completion = l.completionStatus;
    } else {
        l.state = kDfuStateFinished;
    }
    if (l.state == kDfuStateFinished || l.completion == 0) {
        Device& d = l.devices[l.target];
        d.firmware = l.image;
        ++d.downloads;
    }
    return report(kTUsbAudioOk);
}

FAKE_EXPORT TUsbAudioStatus TUSBAUDIO_EndDfuProc() {
    Library& l = g_library;
    if (!l.running) return kFakeTusbStatusNoProcedure;
    l.running = false;
    if (l.endStatusSet) return l.endStatus;
    return l.state == kDfuStateEndedWithStatus ? l.completion : kTUsbAudioOk;
}

namespace {
struct StatusText {
    uint32_t status;
    const char* text;
    const char16_t* wide;
};
constexpr StatusText kStatusTexts[] = {
    {kTUsbAudioOk, "TSTATUS_SUCCESS", u"TSTATUS_SUCCESS"},
    {kTUsbAudioDeviceInUse, "TSTATUS_DEVICE_IN_USE", u"TSTATUS_DEVICE_IN_USE"},
    {kFakeTusbStatusBadIndex, "TSTATUS_INVALID_DEVICE", u"TSTATUS_INVALID_DEVICE"},
    {kTUsbAudioCustomIniMissing, "TSTATUS_CUSTOM_INI_NOT_FOUND", u"TSTATUS_CUSTOM_INI_NOT_FOUND"},
    {kFakeTusbStatusBusy, "TSTATUS_BUSY", u"TSTATUS_BUSY"},
    {kFakeTusbStatusNoImage, "TSTATUS_NO_FIRMWARE_IMAGE", u"TSTATUS_NO_FIRMWARE_IMAGE"},
    {kFakeTusbStatusNoProcedure, "TSTATUS_NO_DFU_PROCEDURE", u"TSTATUS_NO_DFU_PROCEDURE"},
    {kFakeTusbStatusTransfer, "TSTATUS_USB_TRANSFER_FAILED", u"TSTATUS_USB_TRANSFER_FAILED"},
};
}  // namespace

FAKE_EXPORT const char* TUSBAUDIO_StatusCodeStringA(TUsbAudioStatus status) {
    for (const StatusText& s : kStatusTexts) {
        if (s.status == status) return s.text;
    }
    return "TSTATUS_UNKNOWN";
}

#ifndef FAKE_TUSBAUDIO_WITHOUT_STRINGW
FAKE_EXPORT const char16_t* TUSBAUDIO_StatusCodeStringW(TUsbAudioStatus status) {
    for (const StatusText& s : kStatusTexts) {
        if (s.status == status) return s.wide;
    }
    return u"TSTATUS_UNKNOWN";
}
#endif
