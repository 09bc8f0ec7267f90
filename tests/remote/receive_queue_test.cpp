// The receive queue's limits: what fits, wrap-around, and the lock.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "remote/receive_queue.h"

namespace {

std::vector<uint8_t> Sequence(size_t n, uint8_t start) {
    std::vector<uint8_t> out(n);
    std::iota(out.begin(), out.end(), start);
    return out;
}

}  // namespace

TEST(ReceiveQueue, HoldsAtMostOneByteLessThanItsSize) {
    ReceiveQueue queue;
    const std::vector<uint8_t> full = Sequence(8192, 0);
    EXPECT_FALSE(queue.Put(full.data(), 8192));
    EXPECT_TRUE(queue.Empty());
    ASSERT_TRUE(queue.Put(full.data(), 8191));
    EXPECT_EQ(queue.Count(), 8191u);
    EXPECT_FALSE(queue.Put(full.data(), 1));
    EXPECT_EQ(queue.Count(), 8191u);

    // n must be less than the free space, not equal to it.
    ASSERT_TRUE(queue.Take(nullptr, 100));
    EXPECT_FALSE(queue.Put(full.data(), 101));
    EXPECT_EQ(queue.Count(), 8091u);
    EXPECT_TRUE(queue.Put(full.data() + 7, 100));
    EXPECT_EQ(queue.Count(), 8191u);

    // A failed Put wrote nothing: the bytes come out as they went in.
    std::vector<uint8_t> out(8191);
    ASSERT_TRUE(queue.Take(out.data(), 8191));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 8091, full.begin() + 100));
    EXPECT_TRUE(std::equal(out.begin() + 8091, out.end(), full.begin() + 7));
}

TEST(ReceiveQueue, WrapsAroundTheEndOfItsBuffer) {
    ReceiveQueue queue;
    std::vector<uint8_t> first(5000, 0x11);
    first[4995] = 0x22;
    ASSERT_TRUE(queue.Put(first.data(), 5000));
    ASSERT_TRUE(queue.Take(nullptr, 4990));
    // 10 bytes held near the end; 6000 more run over the buffer's end, with
    // a marker that lands past the wrap.
    std::vector<uint8_t> second = Sequence(6000, 0x80);
    for (uint8_t& byte : second) byte &= 0x7F;
    second[4000] = 0xF0;
    ASSERT_TRUE(queue.Put(second.data(), 6000));
    EXPECT_EQ(queue.Count(), 6010u);

    uint32_t index = 0;
    ASSERT_TRUE(queue.Find(0xF0, index));
    EXPECT_EQ(index, 4010u);
    ASSERT_TRUE(queue.Find(0x22, index));
    EXPECT_EQ(index, 5u);

    std::vector<uint8_t> out(6010);
    ASSERT_TRUE(queue.Take(out.data(), 6010));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10, first.begin() + 4990));
    EXPECT_TRUE(std::equal(out.begin() + 10, out.end(), second.begin()));
    EXPECT_TRUE(queue.Empty());
}

TEST(ReceiveQueue, TakeAndFindSeeOnlyHeldBytes) {
    ReceiveQueue queue;
    const std::vector<uint8_t> bytes{0x10, 0xF0, 0x20, 0xF7, 0xF0};
    ASSERT_TRUE(queue.Put(bytes.data(), 5));
    uint8_t out[8] = {};
    EXPECT_FALSE(queue.Take(out, 6));
    EXPECT_EQ(queue.Count(), 5u);

    uint32_t index = 99;
    ASSERT_TRUE(queue.Find(0xF0, index));
    EXPECT_EQ(index, 1u);
    ASSERT_TRUE(queue.Take(out, 2));
    EXPECT_EQ(out[0], 0x10);
    EXPECT_EQ(out[1], 0xF0);
    ASSERT_TRUE(queue.Find(0xF0, index));
    EXPECT_EQ(index, 2u);
    EXPECT_FALSE(queue.Find(0x10, index));  // taken bytes are gone

    ASSERT_TRUE(queue.Take(nullptr, 3));
    EXPECT_TRUE(queue.Empty());
    EXPECT_FALSE(queue.Find(0xF0, index));  // stale bytes in the buffer are not held
    EXPECT_TRUE(queue.Take(out, 0));
}

TEST(ReceiveQueue, ClearEmptiesAndRestartsAtTheFront) {
    ReceiveQueue queue;
    const std::vector<uint8_t> bytes = Sequence(8000, 1);
    ASSERT_TRUE(queue.Put(bytes.data(), 8000));
    ASSERT_TRUE(queue.Take(nullptr, 7000));
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    uint32_t index = 0;
    EXPECT_FALSE(queue.Find(bytes[7500], index));
    // Full capacity is available again.
    const std::vector<uint8_t> fresh = Sequence(8191, 3);
    ASSERT_TRUE(queue.Put(fresh.data(), 8191));
    std::vector<uint8_t> out(8191);
    ASSERT_TRUE(queue.Take(out.data(), 8191));
    EXPECT_EQ(out, fresh);
}

TEST(ReceiveQueue, BytesFromAnotherThreadArriveInOrder) {
    ReceiveQueue queue;
    constexpr uint32_t kTotal = 200000;
    std::thread producer([&queue] {
        uint8_t chunk[97];
        uint32_t sent = 0;
        while (sent < kTotal) {
            const uint32_t n = std::min<uint32_t>(sizeof chunk, kTotal - sent);
            for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) % 251);
            if (queue.Put(chunk, n)) {
                sent += n;
            } else {
                std::this_thread::yield();
            }
        }
    });
    uint32_t received = 0;
    bool inOrder = true;
    uint8_t out[61];
    while (received < kTotal) {
        const uint32_t n = std::min<uint32_t>(std::min<uint32_t>(sizeof out, kTotal - received), queue.Count());
        if (n == 0 || !queue.Take(out, n)) {
            std::this_thread::yield();
            continue;
        }
        for (uint32_t i = 0; i < n; ++i) inOrder = inOrder && out[i] == (received + i) % 251;
        received += n;
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(queue.Empty());
}
