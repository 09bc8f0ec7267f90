#include "platform/driver_virtual.h"

#include <algorithm>
#include <cstdio>

#include "platform/clock.h"

namespace platform {

class VirtualDriverDevice final : public DriverDevice {
public:
    explicit VirtualDriverDevice(VirtualDriverSystem& system) : m_system(system) { ++m_system.m_openDevices; }
    ~VirtualDriverDevice() override { --m_system.m_openDevices; }
    VirtualDriverDevice(const VirtualDriverDevice&) = delete;
    VirtualDriverDevice& operator=(const VirtualDriverDevice&) = delete;

    bool Request(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output) override {
        return m_system.Handle(code, input, output);
    }
    WaitResult WaitForInput(uint32_t adapter, uint32_t timeoutMs) override {
        return m_system.WaitForInput(adapter, timeoutMs);
    }

private:
    VirtualDriverSystem& m_system;
};

VirtualDriverSystem::VirtualDriverSystem(int deviceNumber) : m_deviceNumber(deviceNumber) {}
VirtualDriverSystem::~VirtualDriverSystem() = default;

void VirtualDriverSystem::SetAdapter(uint32_t adapter, uint16_t typeWord, std::function<uint32_t()> version,
                                     VirtualDevice* device) {
    if (adapter >= kDriverMaxAdapters) return;
    Adapter& a = m_adapters[adapter];
    a = Adapter{};
    a.present = true;
    a.typeWord = typeWord;
    a.version = std::move(version);
    a.device = device;
}

void VirtualDriverSystem::RemoveAdapter(uint32_t adapter) {
    if (adapter < kDriverMaxAdapters) m_adapters[adapter] = Adapter{};
}

void VirtualDriverSystem::SetFailureSwitch(uint32_t adapter, std::function<bool()> failed) {
    if (adapter < kDriverMaxAdapters) m_adapters[adapter].failed = std::move(failed);
}

void VirtualDriverSystem::SetRequestFails(uint32_t code, bool fails) {
    std::erase(m_failingCodes, code);
    if (fails) m_failingCodes.push_back(code);
}

bool VirtualDriverSystem::IsAttached(uint32_t adapter) const {
    return adapter < kDriverMaxAdapters && m_adapters[adapter].attached;
}

std::unique_ptr<DriverDevice> VirtualDriverSystem::Open(const std::string& name) {
    m_openAttempts.push_back(name);
    if (m_deviceNumber < 0 || m_deviceNumber >= static_cast<int>(kDriverMaxAdapters)) return nullptr;
    char own[32];
    std::snprintf(own, sizeof own, "\\\\.\\R9Mixer%d", m_deviceNumber);
    if (name != own) return nullptr;
    return std::make_unique<VirtualDriverDevice>(*this);
}

VirtualDriverSystem::Adapter* VirtualDriverSystem::Find(uint32_t adapter) {
    if (adapter >= kDriverMaxAdapters || !m_adapters[adapter].present) return nullptr;
    return &m_adapters[adapter];
}

// Replies the unit has produced join the adapter's received bytes.
void VirtualDriverSystem::Drain(Adapter& a) {
    if (a.device == nullptr) return;
    m_replies.clear();
    a.device->TakeReplies(m_replies);
    for (const std::vector<uint8_t>& reply : m_replies) a.received.insert(a.received.end(), reply.begin(), reply.end());
}

WaitResult VirtualDriverSystem::WaitForInput(uint32_t adapter, uint32_t timeoutMs) {
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    bool dueBefore = false;
    for (;;) {
        Adapter* a = Find(adapter);
        if (a == nullptr || !a->attached) return WaitResult::Failed;
        // A failing adapter is ready: the fetch reports the failure.
        if (Failed(*a)) return WaitResult::Ready;
        Drain(*a);
        if (!a->received.empty()) return WaitResult::Ready;
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) return WaitResult::TimedOut;
        uint32_t step = timeoutMs - elapsed;
        uint32_t at = 0;
        if (a->device != nullptr && a->device->NextEvent(at)) {
            const uint32_t now = clock.TickMs();
            const uint32_t in = static_cast<int32_t>(at - now) > 0 ? at - now : 0;
            // Due now: the next drain takes it; still due after that, a
            // millisecond passes so that the wait moves on.
            if (in == 0 && !dueBefore) {
                dueBefore = true;
                continue;
            }
            step = std::min(step, in);
        }
        dueBefore = false;
        clock.SleepMs(std::max<uint32_t>(step, 1));
    }
}

bool VirtualDriverSystem::Handle(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output) {
    const uint32_t adapterNumber =
        code == kDriverReadVersion ? GetLe16(input, DriverVersionRecord::kAdapter) : GetLe32(input, 0);
    ++m_requestCount;
    if (m_logRequests) {
        if (m_requests.size() >= kMaxLoggedRequests) {
            m_requests.erase(m_requests.begin(), m_requests.begin() + kMaxLoggedRequests / 2);
        }
        m_requests.push_back({code, adapterNumber});
    }
    if (std::find(m_failingCodes.begin(), m_failingCodes.end(), code) != m_failingCodes.end()) return false;
    Adapter* a = Find(adapterNumber);
    if (a == nullptr) return false;

    switch (code) {
    case kDriverQueryAdapter:
        if (input.size() < DriverQueryRecord::kSize || output.size() < DriverQueryRecord::kSize) return false;
        std::fill(output.begin(), output.end(), uint8_t{0});
        PutLe16(output, DriverQueryRecord::kTypeWord, a->typeWord);
        return true;
    case kDriverAttachAdapter:
        if (input.size() < DriverAdapterRecord::kSize) return false;
        a->attached = true;
        return true;
    case kDriverReleaseAdapter:
        if (input.size() < DriverAdapterRecord::kSize) return false;
        // What the unit said meanwhile is lost with the stream.
        Drain(*a);
        a->received.clear();
        a->attached = false;
        return true;
    case kDriverFetchBytes: {
        if (input.size() < DriverTransferRecord::kSize || output.size() < DriverTransferRecord::kSize) return false;
        if (!a->attached || Failed(*a)) return false;
        Drain(*a);
        const size_t count = std::min(a->received.size(), DriverTransferRecord::kDataSize);
        std::copy(input.begin(), input.begin() + DriverTransferRecord::kSize, output.begin());
        PutLe32(output, DriverTransferRecord::kCount, static_cast<uint32_t>(count));
        std::copy_n(a->received.begin(), count, output.begin() + DriverTransferRecord::kData);
        a->received.erase(a->received.begin(), a->received.begin() + static_cast<std::ptrdiff_t>(count));
        return true;
    }
    case kDriverSendBytes: {
        if (input.size() < DriverTransferRecord::kSize) return false;
        if (!a->attached || Failed(*a)) return false;
        const uint32_t count = GetLe32(input, DriverTransferRecord::kCount);
        if (count > DriverTransferRecord::kDataSize) return false;
        if (a->device != nullptr && count > 0)
            a->device->ReceiveMessage(input.data() + DriverTransferRecord::kData, count, Endpoint::Unit);
        return true;
    }
    case kDriverReadVersion:
        if (input.size() < DriverVersionRecord::kSize || output.size() < DriverVersionRecord::kSize) return false;
        std::copy(input.begin(), input.begin() + DriverVersionRecord::kSize, output.begin());
        PutLe32(output, DriverVersionRecord::kValue, a->version ? a->version() : 0);
        return true;
    default: return false;
    }
}

}  // namespace platform
