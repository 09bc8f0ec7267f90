// The abstract link between the remote-control engine and one converter: it
// finds the connections that lead to a unit, selects one, sends one complete
// SysEx message at a time and hands back whatever bytes have arrived.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/wait.h"

// 0 success, 1 failure or refusal, 2 argument out of range; callers look only
// at the low 16 bits.
using NimbraStatus = uint16_t;

inline constexpr NimbraStatus kStatusOk = 0;
inline constexpr NimbraStatus kStatusFailed = 1;
inline constexpr NimbraStatus kStatusOutOfRange = 2;

inline constexpr uint16_t kNoConnection = 0xFFFF;

// Link kind codes the remote reports.
inline constexpr uint16_t kLinkTypeDriver = 2;
inline constexpr uint16_t kLinkTypeMidi = 3;
inline constexpr uint16_t kLinkTypeDante = 5;

// The operations keep their slot order: destructor, Open, Close,
// SetDeviceName, IsOpen, GetNumberOfConnections, SelectConnection,
// GetSelectedConnection, GetConnectionName, SetXSlotTarget, Write, Read; the
// wait for input follows them.
class CNimbraInterface {
public:
    // The owner calls Close before deleting a link it has used.
    virtual ~CNimbraInterface() = default;
    virtual NimbraStatus Open() = 0;
    virtual NimbraStatus Close() = 0;
    virtual void SetDeviceName(const char* name) = 0;
    virtual bool IsOpen() = 0;
    virtual NimbraStatus GetNumberOfConnections(uint16_t* count) = 0;
    virtual NimbraStatus SelectConnection(uint16_t index) = 0;
    virtual NimbraStatus GetSelectedConnection(uint16_t* index) = 0;
    virtual NimbraStatus GetConnectionName(uint16_t index, char* buffer, int size) = 0;
    // Directs the following writes to the option card's own endpoint; only the
    // Dante link supports it.
    virtual NimbraStatus SetXSlotTarget(uint8_t /*on*/) { return kStatusFailed; }
    virtual NimbraStatus Write(const uint8_t* data, int length) = 0;
    // Copies what has arrived; never waits.
    virtual NimbraStatus Read(uint8_t* buffer, int size, int* received) = 0;
    // Blocks until Read may have bytes for the selected connection, or until
    // `timeoutMs` have passed, as platform/wait.h describes: the link asks
    // the object its bytes come through to wait, so nothing spins. Failed
    // when the link has nothing to wait on (closed, nothing selected). A
    // link that cannot tell when bytes arrive looks again after a
    // millisecond.
    virtual platform::WaitResult WaitForInput(uint32_t timeoutMs) {
        if (timeoutMs > 0) platform::CurrentClock().SleepMs(1);
        return platform::WaitResult::Ready;
    }
};
