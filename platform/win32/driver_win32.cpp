// The maker's kernel driver on Windows: the device object opened by name with
// CreateFileW, each request one DeviceIoControl with the input record in and
// the output record back.
#include <windows.h>

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

class WindowsDriverDevice final : public DriverDevice {
public:
    explicit WindowsDriverDevice(HANDLE device) : m_device(device) {}
    ~WindowsDriverDevice() override { CloseHandle(m_device); }
    WindowsDriverDevice(const WindowsDriverDevice&) = delete;
    WindowsDriverDevice& operator=(const WindowsDriverDevice&) = delete;

    bool Request(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output) override {
        DWORD returned = 0;
        return DeviceIoControl(m_device, code, const_cast<uint8_t*>(input.data()), static_cast<DWORD>(input.size()),
                               output.data(), static_cast<DWORD>(output.size()), &returned, nullptr) != FALSE;
    }
    // The driver's fetch returns at once and tells no readiness of its own:
    // the link looks again after a millisecond. (A fetch issued overlapped,
    // completing when bytes come, would let this wait on its event.)
    WaitResult WaitForInput(uint32_t /*adapter*/, uint32_t timeoutMs) override {
        if (timeoutMs > 0) CurrentClock().SleepMs(1);
        return WaitResult::Ready;
    }

private:
    HANDLE m_device;
};

class WindowsDriverSystem final : public DriverSystem {
public:
    std::unique_ptr<DriverDevice> Open(const std::string& name) override {
        const HANDLE device = CreateFileW(win32::Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) return nullptr;
        return std::make_unique<WindowsDriverDevice>(device);
    }
};

}  // namespace

DriverSystem& NativeDriverSystem() {
    static WindowsDriverSystem system;
    return system;
}

}  // namespace platform
