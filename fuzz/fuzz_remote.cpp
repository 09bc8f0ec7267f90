// The engine's own handling of what a unit says: a real CNimbraRemote on a
// link that answers every request with the fuzzer's bytes, cut into reads the
// input picks. Selection, every poll mode's service pass, the verified
// requests, the read-back buffer and the serial and identity getters run on
// whatever the parser makes of them.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "links/link_factory.h"
#include "links/nimbra_interface.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"

namespace {

// Hands out the input a few bytes per read, as a link with hostile chunking
// would; every read size is taken from the input itself.
class HostileLink final : public CNimbraInterface {
public:
    explicit HostileLink(std::span<const uint8_t> input) : m_input(input) {}
    NimbraStatus Open() override { return kStatusOk; }
    NimbraStatus Close() override {
        m_open = false;
        return kStatusOk;
    }
    void SetDeviceName(const char*) override {}
    bool IsOpen() override { return m_open; }
    NimbraStatus GetNumberOfConnections(uint16_t* count) override {
        *count = 2;
        return kStatusOk;
    }
    NimbraStatus SelectConnection(uint16_t) override {
        m_open = true;
        return kStatusOk;
    }
    NimbraStatus GetSelectedConnection(uint16_t* index) override {
        *index = 0;
        return kStatusOk;
    }
    NimbraStatus GetConnectionName(uint16_t, char* buffer, int size) override {
        if (size > 0) buffer[0] = '\0';
        return kStatusOk;
    }
    NimbraStatus SetXSlotTarget(uint8_t) override { return kStatusOk; }
    NimbraStatus Write(const uint8_t*, int length) override {
        if (length <= 0) std::abort();
        return kStatusOk;
    }
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override {
        *received = 0;
        if (m_pos >= m_input.size() || size <= 0) return kStatusOk;
        const size_t chunk = 1 + m_input[m_pos] % 97;
        const size_t n = std::min({chunk, m_input.size() - m_pos, static_cast<size_t>(size)});
        std::copy_n(m_input.begin() + static_cast<long>(m_pos), n, buffer);
        m_pos += n;
        *received = static_cast<int>(n);
        return kStatusOk;
    }
    bool Exhausted() const { return m_pos >= m_input.size(); }

private:
    std::span<const uint8_t> m_input;
    size_t m_pos = 0;
    bool m_open = false;
};

class HostileFactory final : public LinkFactory {
public:
    explicit HostileFactory(std::span<const uint8_t> input) : m_input(input) {}
    std::unique_ptr<CNimbraInterface> CreateLink(uint16_t linkType) override {
        if (linkType != kLinkTypeMidi) return nullptr;
        auto link = std::make_unique<HostileLink>(m_input);
        last = link.get();
        return link;
    }
    HostileLink* last = nullptr;

private:
    std::span<const uint8_t> m_input;
};

class SilentUi final : public platform::UserInterface {
public:
    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest&) override { return platform::BoxAnswer::Ok; }
    bool HandleOnePendingMessage() override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        SetLogFilePath("/dev/null");
        return true;
    }();
    (void)quiet;
    if (size < 2) return 0;
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(1);
    platform::ScopedClock scopedClock(clock);
    SilentUi ui;
    platform::ScopedUi scopedUi(ui);
    const uint8_t control = data[0];
    HostileFactory links(std::span<const uint8_t>(data + 1, size - 1));
    CNimbraRemote remote(links);
    if (remote.Open() != kStatusOk) std::abort();
    remote.SelectConnection(0);

    // Every poll mode in turn, a few passes each, until the input runs out.
    static constexpr uint8_t kModes[] = {kPollMonitor,  kPollIdentity, kPollIdle,
                                         kPollTransfer, kPollReadBack, kPollProgress};
    for (int round = 0; round < 64 && !links.last->Exhausted(); ++round) {
        remote.SetPollMode(kModes[(control + round) % 6]);
        for (int pass = 0; pass < 4; ++pass) {
            clock.Advance(1 + ((control >> 3) & 0x7F));
            remote.Service();
        }
        if ((round & 3) == 1) remote.RequestRegisterStatusVerified(static_cast<uint16_t>(control * 7), 24);
    }

    std::array<uint8_t, kVerifyBufferSize> verify{};
    if (remote.ReadVerifyPacket(verify.data(), kVerifyBufferSize) != kStatusOk) std::abort();
    uint8_t value = 0;
    for (uint16_t r = 0; r < kRegisterImageSize; r = static_cast<uint16_t>(r + 97)) remote.GetRegister(r, &value);
    if (remote.GetRegister(kRegisterImageSize, &value) != kStatusOutOfRange) std::abort();
    uint32_t serial = 0;
    remote.GetSerialNumber(&serial);
    remote.GetXSlotSerialNumber(&serial);
    uint8_t pid = 0;
    remote.GetPID(&pid);
    std::array<char, 260> description{};
    remote.GetConnectionDescription(0, description.data(), description.size(), &pid);
    if (description.back() != '\0') std::abort();
    return 0;
}
