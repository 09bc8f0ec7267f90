#include "links/vxusb.h"

#include <cstdio>
#include <type_traits>

#include "platform/clock.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "platform/program_files.h"
#include "platform/ui.h"

namespace {

// The properties' strings as UTF-8, stopping at the first zero or the end.
std::string Narrow(const char16_t (&text)[kTUsbAudioStringChars]) {
    std::string out;
    for (char16_t c : text) {
        if (c == 0) break;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out += '?';  // half of a pair: not worth joining for a log line
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

std::array<std::string, 3> VxUsbLibraryPaths(const std::string& folder) {
    const std::string suffix = platform::LibrarySuffix();
    return {
        folder + "/Velk" + "/Quil USB Audio Driver" + "/" + "QuilUSBapi" + suffix,
        folder + "/Velk" + "/VX-USB Audio Driver" + "/" + "vxusbaudapi" + suffix,
        // The folder text ends in a separator and the format adds another.
        folder + "/Harken/Tonelink 4x4 Driver/" + "/" + "harkenaudapi" + suffix,
    };
}

CVXUSB::~CVXUSB() { Close(); }

bool CVXUSB::Open(uint32_t index) {
    std::string error;
    for (const std::string& path : VxUsbLibraryPaths(platform::ProgramFilesFolder())) {
        m_library = platform::DynamicLibrary::Open(path, error);
        if (m_library) break;
        LogMessage("VX-USB: Unable to locate [%s]!\n", path.c_str());
    }
    if (!m_library) return false;
    LogMessage("VX-USB: Opened [%s]", m_library->Path().c_str());

    if (!Resolve()) return false;

    if (m_EnumerateDevices() == kTUsbAudioCustomIniMissing) {
        // The driver still works without it; the user should know, though.
        LogMessage("CVXUSB::Open Failure! Unable to locate CUSTOM.INI file!");
        platform::ShowOkBox("Unable to locate \"custom.ini\" file!", "VX-USB", platform::BoxIcon::None, false);
    }

    TUsbAudioDriverInfo info{};
    if (m_GetDriverInfo(&info) == kTUsbAudioOk) {
        LogMessage("Driver %d.%d.%d", static_cast<int>(info.driverVersionMajor),
                   static_cast<int>(info.driverVersionMinor), static_cast<int>(info.driverVersionPatch));
    }

    if (index >= m_GetDeviceCount()) {
        LogMessage("CVXUSB::Open Failure! No Devices Found!");
        return false;
    }
    if (m_OpenDeviceByIndex(index, &m_device) != kTUsbAudioOk) return false;
    m_deviceIndex = index;

    TUsbAudioDeviceProperties properties{};
    if (m_GetDeviceProperties(m_device, &properties) != kTUsbAudioOk) return false;
    LogMessage("Found VX-USB [%s] [%s] [%s]", Narrow(properties.manufacturer).c_str(),
               Narrow(properties.product).c_str(), Narrow(properties.serialNumber).c_str());
    return true;
}

bool CVXUSB::Resolve() {
    const auto take = [this](const char* name, auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(m_library->Symbol(name));
        if (slot != nullptr) return true;
        platform::ShowOkBox("GetProcAddress failed", name, platform::BoxIcon::None, false);
        return false;
    };
    if (!take("TUSBAUDIO_GetApiVersion", m_GetApiVersion)) return false;
    LogMessage("APIVERSION %08lx", static_cast<unsigned long>(m_GetApiVersion()));
    return take("TUSBAUDIO_CheckApiVersion", m_CheckApiVersion) &&
           take("TUSBAUDIO_EnumerateDevices", m_EnumerateDevices) &&
           take("TUSBAUDIO_GetDeviceCount", m_GetDeviceCount) && take("TUSBAUDIO_GetDriverInfo", m_GetDriverInfo) &&
           take("TUSBAUDIO_OpenDeviceByIndex", m_OpenDeviceByIndex) && take("TUSBAUDIO_CloseDevice", m_CloseDevice) &&
           take("TUSBAUDIO_GetDeviceProperties", m_GetDeviceProperties) &&
           take("TUSBAUDIO_GetSupportedSampleRates", m_GetSupportedSampleRates) &&
           take("TUSBAUDIO_GetCurrentSampleRate", m_GetCurrentSampleRate) &&
           take("TUSBAUDIO_SetSampleRate", m_SetSampleRate) &&
           take("TUSBAUDIO_GetUsbStreamingMode", m_GetUsbStreamingMode) &&
           take("TUSBAUDIO_SetUsbStreamingMode", m_SetUsbStreamingMode) &&
           take("TUSBAUDIO_GetASIOBufferSize", m_GetASIOBufferSize) &&
           take("TUSBAUDIO_SetASIOBufferSize", m_SetASIOBufferSize) &&
           take("TUSBAUDIO_LoadFirmwareImageFromBuffer", m_LoadFirmwareImageFromBuffer) &&
           take("TUSBAUDIO_LoadFirmwareImageFromFile", m_LoadFirmwareImageFromFile) &&
           take("TUSBAUDIO_GetFirmwareImageSize", m_GetFirmwareImageSize) &&
           take("TUSBAUDIO_UnloadFirmwareImage", m_UnloadFirmwareImage) &&
           take("TUSBAUDIO_GetFirmwareImage", m_GetFirmwareImage) &&
           take("TUSBAUDIO_StartDfuDownload", m_StartDfuDownload) &&
           take("TUSBAUDIO_StartDfuUpload", m_StartDfuUpload) &&
           take("TUSBAUDIO_StartDfuRevertToFactoryImage", m_StartDfuRevertToFactoryImage) &&
           take("TUSBAUDIO_GetDfuStatus", m_GetDfuStatus) && take("TUSBAUDIO_EndDfuProc", m_EndDfuProc) &&
           take("TUSBAUDIO_StatusCodeStringW", m_StatusCodeStringW) &&
           take("TUSBAUDIO_StatusCodeStringA", m_StatusCodeStringA);
}

bool CVXUSB::Close() {
    if (m_device != nullptr && m_CloseDevice != nullptr) m_CloseDevice(m_device);
    m_device = nullptr;
    m_GetApiVersion = nullptr;
    m_CheckApiVersion = nullptr;
    m_EnumerateDevices = nullptr;
    m_GetDeviceCount = nullptr;
    m_GetDriverInfo = nullptr;
    m_OpenDeviceByIndex = nullptr;
    m_CloseDevice = nullptr;
    m_GetDeviceProperties = nullptr;
    m_GetSupportedSampleRates = nullptr;
    m_GetCurrentSampleRate = nullptr;
    m_SetSampleRate = nullptr;
    m_GetUsbStreamingMode = nullptr;
    m_SetUsbStreamingMode = nullptr;
    m_GetASIOBufferSize = nullptr;
    m_SetASIOBufferSize = nullptr;
    m_LoadFirmwareImageFromBuffer = nullptr;
    m_LoadFirmwareImageFromFile = nullptr;
    m_GetFirmwareImageSize = nullptr;
    m_UnloadFirmwareImage = nullptr;
    m_GetFirmwareImage = nullptr;
    m_StartDfuDownload = nullptr;
    m_StartDfuUpload = nullptr;
    m_StartDfuRevertToFactoryImage = nullptr;
    m_GetDfuStatus = nullptr;
    m_EndDfuProc = nullptr;
    m_StatusCodeStringW = nullptr;
    m_StatusCodeStringA = nullptr;
    m_library.reset();
    return true;
}

void CVXUSB::WriteStatusLine(TUsbAudioStatus status) {
    if (status == kTUsbAudioOk) return;
    const char* text = m_StatusCodeStringA != nullptr ? m_StatusCodeStringA(status) : nullptr;
    LogMessage("%s\t\t= 0x%08lX", text != nullptr ? text : "", static_cast<unsigned long>(status));
}

bool CVXUSB::DownloadFirmware(uint32_t size, const uint8_t* image, DfuProgressBar& bar) {
    LogMessage("ProgramEEPROM VX-USB %lu", static_cast<unsigned long>(size));
    if (m_library == nullptr || m_device == nullptr) return false;

    TUsbAudioStatus status = m_LoadFirmwareImageFromBuffer(image, size, 0);
    if (status != kTUsbAudioOk) {
        WriteStatusLine(status);
        return false;
    }
    // From the start of the download until its end, a stop request waits.
    platform::FlashWriteGuard writing("the VX-USB card");
    status = m_StartDfuDownload(m_deviceIndex, 0, 0);
    if (status != kTUsbAudioOk) {
        WriteStatusLine(status);
        return false;
    }
    bar.SetRange(0, size);

    // One request, one status poll a pass. While the download moves, the
    // library sets the pace; a pass that shows no change waits a little
    // before the next, so that a download that stops moving does not keep a
    // core busy. The library alone ends the loop, so such a download is given
    // up after a while rather than keeping the user here for good.
    platform::Clock& clock = platform::CurrentClock();
    uint32_t lastChange = clock.TickMs();
    uint32_t lastState = 0xFFFFFFFF;
    uint32_t lastProgress = 0xFFFFFFFF;
    for (;;) {
        uint32_t state = 0;
        uint32_t progress = 0;
        uint32_t third = 0;
        uint32_t completion = 0;
        status = m_GetDfuStatus(&state, &progress, &third, &completion);
        bar.SetPos(progress);
        platform::CurrentUi().HandleOnePendingMessage();
        if (status != kTUsbAudioOk) WriteStatusLine(status);
        if (state == kDfuStateFinished) break;
        if (state == kDfuStateEndedWithStatus) {
            WriteStatusLine(completion);
            break;
        }
        const uint32_t now = clock.TickMs();
        if (state != lastState || progress != lastProgress) {
            lastState = state;
            lastProgress = progress;
            lastChange = now;
        } else if (now - lastChange > kDfuStallLimitMs) {
            LogMessage("CVXUSB::DownloadFirmware: no progress for %lu ms at %lu of %lu bytes, download stalled!\n",
                       static_cast<unsigned long>(kDfuStallLimitMs), static_cast<unsigned long>(progress),
                       static_cast<unsigned long>(size));
            WriteStatusLine(m_EndDfuProc());
            return false;
        } else {
            clock.SleepMs(kDfuIdlePassMs);
        }
    }

    status = m_EndDfuProc();
    if (status != kTUsbAudioOk) {
        WriteStatusLine(status);
        return false;
    }
    LogMessage("ProgramEEPROM VX-USB Success!");
    return true;
}

TUsbAudioStatus CVXUSB::SetSampleRate(uint32_t rateHz) {
    if (m_SetSampleRate == nullptr || m_device == nullptr) return 1;
    return m_SetSampleRate(m_device, rateHz);
}

TUsbAudioStatus CVXUSB::GetCurrentSampleRate(uint32_t* rateHz) {
    if (m_GetCurrentSampleRate == nullptr || m_device == nullptr) return 1;
    return m_GetCurrentSampleRate(m_device, rateHz);
}
