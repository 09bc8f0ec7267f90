// Kernel-driver seam: the maker's driver for converters behind a Thunderbolt
// interface. One device object is opened by name; every exchange with it is
// a synchronous request with an input and an output buffer. The request codes
// and record layouts are the driver's and are declared here once, for the
// driver link and for the virtual driver alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/wait.h"

namespace platform {

// Request codes: device type 0x1D, buffered transfer, function and access as
// the driver defines them.
inline constexpr uint32_t kDriverQueryAdapter = 0x001D8FCC;    // function 0x3F3, write
inline constexpr uint32_t kDriverAttachAdapter = 0x001D4C80;   // function 0x320, read
inline constexpr uint32_t kDriverReleaseAdapter = 0x001D4C84;  // function 0x321, read
inline constexpr uint32_t kDriverFetchBytes = 0x001D4C88;      // function 0x322, read
inline constexpr uint32_t kDriverSendBytes = 0x001D8C8C;       // function 0x323, write
inline constexpr uint32_t kDriverReadVersion = 0x001D4C40;     // function 0x310, read

// Adapters behind one device object, numbered 0 to 7 by the driver.
inline constexpr uint32_t kDriverMaxAdapters = 8;

// Query adapter: in, uint32 adapter number then zeros; out, the type word at
// bytes 4-5.
struct DriverQueryRecord {
    static constexpr size_t kSize = 16;
    static constexpr size_t kAdapter = 0;
    static constexpr size_t kTypeWord = 4;
};

// Attach and release: uint32 adapter number only.
struct DriverAdapterRecord {
    static constexpr size_t kSize = 4;
    static constexpr size_t kAdapter = 0;
};

// Fetch and send: the whole record travels in both directions whatever the
// count.
struct DriverTransferRecord {
    static constexpr size_t kSize = 2056;
    static constexpr size_t kAdapter = 0;  // uint32
    static constexpr size_t kCount = 4;    // uint32
    static constexpr size_t kData = 8;
    static constexpr size_t kDataSize = 2048;
};

// Version record: the driver fills the value; byte 0 of the value is the
// unit's firmware major version, byte 1 its hardware revision byte.
struct DriverVersionRecord {
    static constexpr size_t kSize = 20;
    static constexpr size_t kAdapter = 0;    // uint16
    static constexpr size_t kWord1 = 2;      // uint16 0x0030
    static constexpr size_t kWord2 = 4;      // uint16 0x0033
    static constexpr size_t kWord3 = 6;      // uint16 0x00F2
    static constexpr size_t kWord4 = 8;      // uint16 0
    static constexpr size_t kReserved = 10;  // uint16 0
    static constexpr size_t kLength = 12;    // uint32 4
    static constexpr size_t kValue = 16;     // uint32, filled by the driver
    static constexpr uint16_t kWord1Value = 0x0030;
    static constexpr uint16_t kWord2Value = 0x0033;
    static constexpr uint16_t kWord3Value = 0x00F2;
    static constexpr uint32_t kLengthValue = 4;
};

// Little-endian fields of the records. Reads beyond the span give 0; writes
// beyond it are dropped.
uint16_t GetLe16(std::span<const uint8_t> record, size_t offset);
uint32_t GetLe32(std::span<const uint8_t> record, size_t offset);
void PutLe16(std::span<uint8_t> record, size_t offset, uint16_t value);
void PutLe32(std::span<uint8_t> record, size_t offset, uint32_t value);

// One open device object. Closing is destroying it.
class DriverDevice {
public:
    virtual ~DriverDevice() = default;
    // Issues request `code` and waits for it: `input` goes to the driver,
    // `output` receives what it returns. False when the driver rejects the
    // request.
    virtual bool Request(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output) = 0;
    // Blocks until the attached adapter `adapter` may have received bytes
    // for a fetch, or `timeoutMs` have passed (platform/wait.h). Failed when
    // the adapter is not attached or the device cannot be waited on.
    virtual WaitResult WaitForInput(uint32_t adapter, uint32_t timeoutMs) = 0;
};

class DriverSystem {
public:
    virtual ~DriverSystem() = default;
    // Opens the device object of this name (as the system names it,
    // "\\.\R9Mixer0"); null when there is none.
    virtual std::unique_ptr<DriverDevice> Open(const std::string& name) = 0;
};

// The system's own driver access (device nodes on Linux, CreateFile and
// DeviceIoControl on Windows).
DriverSystem& NativeDriverSystem();

// The process-wide driver access: the native back-end unless a test or the
// demo mode installs another one.
DriverSystem& CurrentDriverSystem();

// Installs a driver system for the lifetime of this object.
class ScopedDriverSystem {
public:
    explicit ScopedDriverSystem(DriverSystem& system);
    ~ScopedDriverSystem();
    ScopedDriverSystem(const ScopedDriverSystem&) = delete;
    ScopedDriverSystem& operator=(const ScopedDriverSystem&) = delete;

private:
    DriverSystem* m_previous;
};

}  // namespace platform
