// A simulated unit as the virtual back-ends see it: whole messages go in,
// whole reply messages come out. The virtual Quil in sim/ implements it; the
// virtual MIDI ports (and later the virtual driver and UDP endpoints) carry
// its traffic, so the core never knows it is talking to a simulation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// Which endpoint of a unit a message is for: the converter itself or the
// option card in its slot (only the Dante link addresses the card directly).
enum class Endpoint { Unit, OptionCard };

class VirtualDevice {
public:
    virtual ~VirtualDevice() = default;
    // One complete message from the host, as it arrived on the wire.
    virtual void ReceiveMessage(const uint8_t* data, size_t length, Endpoint endpoint) = 0;
    // Runs the work that is due on the clock, then moves every reply message
    // produced since the last call to the end of `replies`, oldest first.
    virtual void TakeReplies(std::vector<std::vector<uint8_t>>& replies) = 0;
    // When the device next does something by itself (a reply waiting to be
    // taken counts as now): true with that clock tick in `tickMs`; false
    // while it only answers what the host sends. Transports wait until
    // then, not in small steps.
    virtual bool NextEvent(uint32_t& tickMs) {
        (void)tickMs;
        return false;
    }
};

}  // namespace platform
