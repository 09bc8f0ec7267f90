// The driver link: converters behind a Thunderbolt interface, reached
// through the maker's kernel driver. One device object ("\\.\R9Mixer0" to
// "\\.\R9Mixer7", the first that opens) carries up to eight adapters; each
// adapter whose type word names a Thunderbolt interface becomes one
// connection. All traffic is synchronous driver requests; the link logs
// nothing, failures show only as status results.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "links/link_factory.h"
#include "links/nimbra_interface.h"
#include "platform/driver.h"

class CHalMIDI final : public CNimbraInterface, public DriverAdapterInfo {
public:
    static constexpr int kMaxDevices = 8;
    static constexpr uint16_t kMaxAdapters = 8;
    // Low byte of a type word: the interface kind.
    static constexpr uint8_t kInterfaceThunderbolt = 0x14;
    // The longest message one send carries.
    static constexpr int kMaxMessage = static_cast<int>(platform::DriverTransferRecord::kDataSize);

    CHalMIDI();
    // Releases the adapters and the device when the owner did not Close.
    ~CHalMIDI() override;
    CHalMIDI(const CHalMIDI&) = delete;
    CHalMIDI& operator=(const CHalMIDI&) = delete;

    NimbraStatus Open() override;
    NimbraStatus Close() override;
    void SetDeviceName(const char* name) override;
    bool IsOpen() override;
    NimbraStatus GetNumberOfConnections(uint16_t* count) override;
    NimbraStatus SelectConnection(uint16_t index) override;
    NimbraStatus GetSelectedConnection(uint16_t* index) override;
    NimbraStatus GetConnectionName(uint16_t index, char* buffer, int size) override;
    NimbraStatus Write(const uint8_t* data, int length) override;
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override;
    platform::WaitResult WaitForInput(uint32_t timeoutMs) override;

    // DriverAdapterInfo
    uint16_t GetAdapterType() override;
    NimbraStatus ReadAdapterVersion(uint32_t* value) override;

    // Whether an adapter reporting `typeWord` carries a unit this link serves.
    static bool IsAcceptedType(uint16_t typeWord);
    // The driver's number of the adapter behind connection `index`.
    uint16_t AdapterNumber(uint16_t index) const;

private:
    // Query adapter for `adapter`; false when the request fails.
    bool QueryAdapter(uint32_t adapter, uint16_t& typeWord);
    // Attach or release `adapter`.
    bool AdapterRequest(uint32_t code, uint32_t adapter);
    // The selected connection's list entry exists (the list has eight).
    bool HasSelection() const { return m_selectedConnection < kMaxAdapters && m_device != nullptr; }

    uint16_t m_selectedConnection = kNoConnection;
    uint16_t m_adapterCount = 0;
    std::array<uint16_t, kMaxAdapters> m_adapterNumbers{};
    std::unique_ptr<platform::DriverDevice> m_device;
};
