// An in-process stand-in for the maker's kernel driver, for tests and the
// demo mode: one device object under a chosen number with up to eight
// adapters, each reporting a type word and a version value and carrying a
// simulated unit's MIDI byte stream once attached. It answers the six
// requests from the records as the driver would, so the driver link is
// exercised byte for byte. A wait for an adapter's bytes sleeps on
// platform::CurrentClock() until its unit acts by itself.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/driver.h"
#include "platform/virtual_device.h"

namespace platform {

class VirtualDriverSystem final : public DriverSystem {
public:
    // The device object answers to "\\.\R9Mixer<deviceNumber>"; a number
    // outside 0..7 means that no device object exists.
    explicit VirtualDriverSystem(int deviceNumber = 0);
    // Open devices must be gone first (they hold a reference to the system).
    ~VirtualDriverSystem() override;
    VirtualDriverSystem(const VirtualDriverSystem&) = delete;
    VirtualDriverSystem& operator=(const VirtualDriverSystem&) = delete;

    void SetDeviceNumber(int deviceNumber) { m_deviceNumber = deviceNumber; }

    // Puts an adapter at `adapter` (0..7) reporting `typeWord`. `version`
    // gives the version record's value when asked (null: 0). Messages sent
    // to it go to `device` (not owned; null: nobody answers).
    void SetAdapter(uint32_t adapter, uint16_t typeWord, std::function<uint32_t()> version, VirtualDevice* device);
    void RemoveAdapter(uint32_t adapter);
    // While `failed` answers true, send and fetch on `adapter` are rejected.
    void SetFailureSwitch(uint32_t adapter, std::function<bool()> failed);
    // Every request with `code` is rejected from now on (false clears).
    void SetRequestFails(uint32_t code, bool fails);

    // What happened, for tests and diagnostics. The request log is kept
    // only while switched on (an update makes millions of requests), and
    // then holds the most recent kMaxLoggedRequests at most.
    struct RequestEntry {
        uint32_t code = 0;
        uint32_t adapter = 0;
    };
    static constexpr size_t kMaxLoggedRequests = size_t{1} << 16;
    void LogRequests(bool on) { m_logRequests = on; }
    const std::vector<RequestEntry>& Requests() const { return m_requests; }
    void ClearRequests() { m_requests.clear(); }
    // Requests since creation, logged or not.
    uint64_t RequestCount() const { return m_requestCount; }
    bool IsAttached(uint32_t adapter) const;
    uint32_t OpenDevices() const { return m_openDevices; }
    // Names Open was asked for, in order.
    const std::vector<std::string>& OpenAttempts() const { return m_openAttempts; }

    // DriverSystem
    std::unique_ptr<DriverDevice> Open(const std::string& name) override;

private:
    friend class VirtualDriverDevice;

    struct Adapter {
        bool present = false;
        uint16_t typeWord = 0;
        std::function<uint32_t()> version;
        VirtualDevice* device = nullptr;
        std::function<bool()> failed;
        bool attached = false;
        std::deque<uint8_t> received;
    };

    bool Handle(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output);
    WaitResult WaitForInput(uint32_t adapter, uint32_t timeoutMs);
    Adapter* Find(uint32_t adapter);
    static bool Failed(const Adapter& a) { return a.failed && a.failed(); }
    void Drain(Adapter& a);

    int m_deviceNumber;
    std::array<Adapter, kDriverMaxAdapters> m_adapters{};
    std::vector<uint32_t> m_failingCodes;
    bool m_logRequests = false;
    std::vector<RequestEntry> m_requests;
    uint64_t m_requestCount = 0;
    std::vector<std::string> m_openAttempts;
    uint32_t m_openDevices = 0;
    std::vector<std::vector<uint8_t>> m_replies;
};

}  // namespace platform
