// Feeds arbitrary host messages to a virtual Quil. The input is cut into
// messages after every 0xF7; the one byte after each cut is a control byte,
// not part of the next message: bit 7 sends the message to the option card's
// endpoint, bits 5..0 move the virtual clock on by that many milliseconds. Every reply the
// unit sends must be a well-formed SysEx message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/clock.h"
#include "sim/builtin_set.h"
#include "sim/virtual_quil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scoped(clock);
    sim::UnitDescription description = *sim::BuiltinSet()[0].unit;
    description.eraseMs = 40;
    description.programMs = 40;
    description.verifyMs = 40;
    description.cardEraseMs = 40;
    sim::VirtualQuil unit(description);
    unit.SetRecordTraffic(false);
    std::vector<std::vector<uint8_t>> replies;
    size_t pos = 0;
    while (pos < size) {
        size_t end = pos;
        while (end + 1 < size && data[end] != 0xF7) ++end;
        const uint8_t control = end + 1 < size ? data[end + 1] : 0;
        unit.ReceiveMessage(data + pos, end + 1 - pos,
                            (control & 0x80) ? platform::Endpoint::OptionCard : platform::Endpoint::Unit);
        clock.Advance(control & 0x3F);
        unit.TakeReplies(replies);
        for (const auto& reply : replies) {
            if (reply.size() < 10 || reply.front() != 0xF0 || reply.back() != 0xF7) std::abort();
            for (size_t j = 1; j + 1 < reply.size(); ++j) {
                if (reply[j] & 0x80) std::abort();
            }
        }
        replies.clear();
        pos = end + 2;  // the control byte is not part of the next message
    }
    return 0;
}
