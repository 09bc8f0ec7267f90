// Feeds arbitrary link bytes through the receive queue, the splitter, the
// reply parser (in the normal and the transfer poll mode) and the diagnostic
// decoder. The first input byte picks the poll mode and how the rest is cut
// into link reads.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "remote/receive_queue.h"
#include "remote/sysex_codec.h"

namespace {

class FuzzSink : public ReplySink {
public:
    const std::array<uint8_t, 3>& ManufacturerId() const override { return kManufacturerId; }
    void CountReply() override { ++replies; }
    uint8_t CurrentPollMode() const override { return pollMode; }
    NimbraStatus StoreRegisterData(const uint8_t* data, uint32_t first, uint32_t count) override {
        if (count == 0 || count >= kMessageWorkArea) std::abort();
        // Touch every byte handed over so a bad span shows up.
        uint32_t sum = first;
        for (uint32_t i = 0; i < count; ++i) sum += data[i];
        checksum += sum;
        return kStatusOk;
    }

    uint8_t pollMode = 0;
    uint32_t replies = 0;
    uint32_t checksum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    const std::span<const uint8_t> input(data + 1, size - 1);

    // The whole input as one message, as a link could hand it over.
    FuzzSink sink;
    sink.pollMode = (control & 1) != 0 ? 3 : 0;
    if (input.size() < kMessageWorkArea) {
        ParseMessage(static_cast<uint32_t>(input.size()), sink, input.data());
    }
    const DecodedMessage whole = DecodeMessage(input);
    if (whole.kind == MessageKind::Invalid && whole.reason.empty()) std::abort();

    // The same bytes arriving in reads of varying size.
    ReceiveQueue queue;
    bool inside = false;
    const size_t readSize = 1 + (control >> 1);
    for (size_t offset = 0; offset < input.size(); offset += readSize) {
        const size_t n = std::min(readSize, input.size() - offset);
        queue.Put(input.data() + offset, static_cast<uint32_t>(n));
        SplitMessages(queue, inside, sink);
        if (queue.Count() >= ReceiveQueue::Size()) std::abort();
    }

    // And once more through the cutter, decoding every message.
    queue.Clear();
    inside = false;
    queue.Put(input.data(), static_cast<uint32_t>(std::min<size_t>(input.size(), ReceiveQueue::Size() - 1)));
    std::array<uint8_t, kMessageWorkArea> work{};
    uint32_t length = 0;
    while (TakeNextMessage(queue, inside, work, length)) {
        if (length == 0 || length > kMaxMessageLength) std::abort();
        const DecodedMessage d = DecodeMessage(std::span<const uint8_t>(work.data(), length));
        if (d.kind == MessageKind::FirmwarePacket && (d.count == 0 || d.count > kMaxPacketData)) std::abort();
        if (d.kind == MessageKind::StatusReply && d.data.size() != d.count) std::abort();
    }
    return 0;
}
