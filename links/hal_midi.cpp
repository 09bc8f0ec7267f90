#include "links/hal_midi.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

using platform::DriverAdapterRecord;
using platform::DriverQueryRecord;
using platform::DriverTransferRecord;
using platform::DriverVersionRecord;

namespace {

// The type words of the units this link serves: a Thunderbolt interface with
// no model code reported, or one of the converter models.
constexpr std::array<uint16_t, 5> kAcceptedTypes = {0x0014, 0x2614, 0x2714, 0x3114, 0x6014};

}  // namespace

CHalMIDI::CHalMIDI() = default;

CHalMIDI::~CHalMIDI() {
    if (m_device) Close();
}

bool CHalMIDI::IsAcceptedType(uint16_t typeWord) {
    return std::find(kAcceptedTypes.begin(), kAcceptedTypes.end(), typeWord) != kAcceptedTypes.end();
}

uint16_t CHalMIDI::AdapterNumber(uint16_t index) const {
    return index < kMaxAdapters ? m_adapterNumbers[index] : kNoConnection;
}

bool CHalMIDI::QueryAdapter(uint32_t adapter, uint16_t& typeWord) {
    if (!m_device) return false;
    std::array<uint8_t, DriverQueryRecord::kSize> in{};
    std::array<uint8_t, DriverQueryRecord::kSize> out{};
    platform::PutLe32(in, DriverQueryRecord::kAdapter, adapter);
    if (!m_device->Request(platform::kDriverQueryAdapter, in, out)) return false;
    typeWord = platform::GetLe16(out, DriverQueryRecord::kTypeWord);
    return true;
}

bool CHalMIDI::AdapterRequest(uint32_t code, uint32_t adapter) {
    if (!m_device) return false;
    std::array<uint8_t, DriverAdapterRecord::kSize> in{};
    platform::PutLe32(in, DriverAdapterRecord::kAdapter, adapter);
    return m_device->Request(code, in, {});
}

NimbraStatus CHalMIDI::Open() {
    m_adapterCount = 0;
    m_selectedConnection = kNoConnection;
    if (!m_device) {
        platform::DriverSystem& driver = platform::CurrentDriverSystem();
        for (int n = 0; n < kMaxDevices && !m_device; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "\\\\.\\R9Mixer%d", n);
            m_device = driver.Open(name);
        }
        if (!m_device) return kStatusFailed;
    }
    for (uint16_t adapter = 0; adapter < kMaxAdapters; ++adapter) {
        uint16_t typeWord = 0;
        if (!QueryAdapter(adapter, typeWord)) typeWord = 0;
        if (IsAcceptedType(typeWord)) m_adapterNumbers[m_adapterCount++] = adapter;
    }
    if (m_adapterCount == 0) {
        Close();
        return kStatusFailed;
    }
    return kStatusOk;
}

NimbraStatus CHalMIDI::Close() {
    for (uint16_t i = 0; i < m_adapterCount && m_device; ++i)
        AdapterRequest(platform::kDriverReleaseAdapter, m_adapterNumbers[i]);
    m_device.reset();
    m_selectedConnection = kNoConnection;
    return kStatusOk;
}

void CHalMIDI::SetDeviceName(const char* /*name*/) {}

bool CHalMIDI::IsOpen() { return m_device != nullptr; }

NimbraStatus CHalMIDI::GetNumberOfConnections(uint16_t* count) {
    if (count != nullptr) *count = m_adapterCount;
    return kStatusOk;
}

NimbraStatus CHalMIDI::SelectConnection(uint16_t index) {
    // Bit 15 is not part of the index.
    index &= 0x7FFF;
    if (index == m_selectedConnection) return kStatusOk;
    // An index past the adapters found would attach whatever adapter number
    // the list held from an earlier Open.
    if (index >= m_adapterCount) return kStatusFailed;
    // A failed release or attach shows later as silence from the unit.
    if (HasSelection()) AdapterRequest(platform::kDriverReleaseAdapter, m_adapterNumbers[m_selectedConnection]);
    m_selectedConnection = index;
    if (HasSelection()) AdapterRequest(platform::kDriverAttachAdapter, m_adapterNumbers[m_selectedConnection]);
    return kStatusOk;
}

NimbraStatus CHalMIDI::GetSelectedConnection(uint16_t* index) {
    if (index != nullptr) *index = m_selectedConnection;
    return kStatusOk;
}

// Names the selected adapter whatever index is asked for: callers select the
// connection first.
NimbraStatus CHalMIDI::GetConnectionName(uint16_t /*index*/, char* buffer, int size) {
    uint16_t typeWord = 0;
    if (!HasSelection() || !QueryAdapter(m_adapterNumbers[m_selectedConnection], typeWord)) return kStatusFailed;
    const char* name = (typeWord & 0xFF) == kInterfaceThunderbolt ? "Thunderbolt" : "Unknown!";
    if (buffer != nullptr && size > 0) {
        // The terminator only when it fits.
        const size_t length = std::min(std::strlen(name) + 1, static_cast<size_t>(size));
        std::memcpy(buffer, name, length);
    }
    return kStatusOk;
}

NimbraStatus CHalMIDI::Write(const uint8_t* data, int length) {
    if (!HasSelection()) return kStatusOk;
    if (length < 0 || length > kMaxMessage || (data == nullptr && length > 0)) return kStatusFailed;
    std::array<uint8_t, DriverTransferRecord::kSize> record{};
    platform::PutLe32(record, DriverTransferRecord::kAdapter, m_adapterNumbers[m_selectedConnection]);
    platform::PutLe32(record, DriverTransferRecord::kCount, static_cast<uint32_t>(length));
    if (length > 0) std::memcpy(record.data() + DriverTransferRecord::kData, data, static_cast<size_t>(length));
    return m_device->Request(platform::kDriverSendBytes, record, {}) ? kStatusOk : kStatusFailed;
}

// One fetch: the driver hands over what it holds at once, count 0 when
// nothing is waiting. Waiting for bytes is WaitForInput's, on the driver's
// readiness, instead of asking again until the millisecond clock moves.
NimbraStatus CHalMIDI::Read(uint8_t* buffer, int size, int* received) {
    if (received != nullptr) *received = 0;
    if (!HasSelection()) return kStatusOk;
    std::array<uint8_t, DriverTransferRecord::kSize> request{};
    std::array<uint8_t, DriverTransferRecord::kSize> reply{};
    platform::PutLe32(request, DriverTransferRecord::kAdapter, m_adapterNumbers[m_selectedConnection]);
    platform::PutLe32(request, DriverTransferRecord::kCount, static_cast<uint32_t>(DriverTransferRecord::kDataSize));
    if (!m_device->Request(platform::kDriverFetchBytes, request, reply)) return kStatusFailed;
    const uint32_t count = std::min<uint32_t>(platform::GetLe32(reply, DriverTransferRecord::kCount),
                                              static_cast<uint32_t>(DriverTransferRecord::kDataSize));
    // Bytes beyond the caller's buffer are dropped.
    const size_t taken = std::min<size_t>(count, size > 0 ? static_cast<size_t>(size) : 0);
    if (buffer != nullptr && taken > 0) std::memcpy(buffer, reply.data() + DriverTransferRecord::kData, taken);
    if (received != nullptr) *received = static_cast<int>(taken);
    return kStatusOk;
}

platform::WaitResult CHalMIDI::WaitForInput(uint32_t timeoutMs) {
    if (!HasSelection()) return platform::WaitResult::Failed;
    return m_device->WaitForInput(m_adapterNumbers[m_selectedConnection], timeoutMs);
}

uint16_t CHalMIDI::GetAdapterType() {
    uint16_t typeWord = 0;
    if (!HasSelection() || !QueryAdapter(m_adapterNumbers[m_selectedConnection], typeWord)) return 0;
    return typeWord;
}

NimbraStatus CHalMIDI::ReadAdapterVersion(uint32_t* value) {
    std::array<uint8_t, DriverVersionRecord::kSize> record{};
    std::array<uint8_t, DriverVersionRecord::kSize> reply{};
    bool ok = HasSelection();
    if (ok) {
        platform::PutLe16(record, DriverVersionRecord::kAdapter, m_adapterNumbers[m_selectedConnection]);
        platform::PutLe16(record, DriverVersionRecord::kWord1, DriverVersionRecord::kWord1Value);
        platform::PutLe16(record, DriverVersionRecord::kWord2, DriverVersionRecord::kWord2Value);
        platform::PutLe16(record, DriverVersionRecord::kWord3, DriverVersionRecord::kWord3Value);
        platform::PutLe32(record, DriverVersionRecord::kLength, DriverVersionRecord::kLengthValue);
        ok = m_device->Request(platform::kDriverReadVersion, record, reply);
    }
    if (value != nullptr) *value = ok ? platform::GetLe32(reply, DriverVersionRecord::kValue) : 0;
    return ok ? kStatusOk : kStatusFailed;
}
