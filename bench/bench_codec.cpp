// Cost of the codec's per-packet and per-reply work.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "remote/receive_queue.h"
#include "remote/sysex_codec.h"

namespace {

std::array<uint8_t, kMaxPacketData> PacketData() {
    std::array<uint8_t, kMaxPacketData> data{};
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    return data;
}

class CountingSink : public ReplySink {
public:
    const std::array<uint8_t, 3>& ManufacturerId() const override { return kManufacturerId; }
    void CountReply() override { ++replies; }
    uint8_t CurrentPollMode() const override { return 0; }
    NimbraStatus StoreRegisterData(const uint8_t* data, uint32_t first, uint32_t count) override {
        image[first % 2048] = data[count - 1];
        return kStatusOk;
    }
    uint32_t replies = 0;
    std::array<uint8_t, 2048> image{};
};

// The unit's answer to the periodic request for registers 0..125.
std::vector<uint8_t> RegisterReply() {
    std::array<uint8_t, 126> registers{};
    for (size_t i = 0; i < registers.size(); ++i) registers[i] = static_cast<uint8_t>(i * 3);
    std::vector<uint8_t> reply{0xF0, 0x00, 0x01, 0x54, 0x70, 0x01, 0x7A};  // first 0, span 125
    // The data block as the unit packs it: 7 bits a wire byte, MSB first.
    uint32_t accumulator = 0;
    int bits = 0;
    for (uint8_t byte : registers) {
        accumulator = accumulator << 8 | byte;
        bits += 8;
        while (bits >= 7) {
            reply.push_back(static_cast<uint8_t>((accumulator >> (bits - 7)) & 0x7F));
            bits -= 7;
        }
    }
    if (bits > 0) reply.push_back(static_cast<uint8_t>((accumulator << (7 - bits)) & 0x7F));
    reply.push_back(0xF7);
    return reply;
}

void BM_PacketCrc128(benchmark::State& state) {
    const auto data = PacketData();
    for (auto _ : state) {
        benchmark::DoNotOptimize(PacketCrc(data.data(), static_cast<uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128);
}
BENCHMARK(BM_PacketCrc128);

void BM_BuildFirmwarePacket128(benchmark::State& state) {
    const auto data = PacketData();
    std::array<uint8_t, kPacketMessageArea> message{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildFirmwarePacket(message.data(), data.data(), kMaxPacketData));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 128);
}
BENCHMARK(BM_BuildFirmwarePacket128);

// Replies to 0..125 arriving through the queue, `range(0)` per link read.
void BM_SplitRegisterReplies(benchmark::State& state) {
    const std::vector<uint8_t> reply = RegisterReply();
    std::vector<uint8_t> read;
    for (int64_t i = 0; i < state.range(0); ++i) read.insert(read.end(), reply.begin(), reply.end());
    ReceiveQueue queue;
    CountingSink sink;
    bool inside = false;
    for (auto _ : state) {
        queue.Put(read.data(), static_cast<uint32_t>(read.size()));
        benchmark::DoNotOptimize(SplitMessages(queue, inside, sink));
    }
    if (sink.replies != state.iterations() * static_cast<uint64_t>(state.range(0))) {
        state.SkipWithError("replies lost");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * read.size()));
}
BENCHMARK(BM_SplitRegisterReplies)->Arg(1)->Arg(8);

}  // namespace
