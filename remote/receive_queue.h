// The byte ring buffer that collects what the link delivers until the
// splitter cuts it into messages. Every operation holds the queue's lock for
// its whole run, so a link could deliver bytes from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

inline constexpr uint32_t kReceiveQueueSize = 8192;

class ReceiveQueue {
public:
    ReceiveQueue();
    ReceiveQueue(const ReceiveQueue&) = delete;
    ReceiveQueue& operator=(const ReceiveQueue&) = delete;

    // Appends n bytes; succeeds only when n is less than the free space, so
    // the queue never holds more than kReceiveQueueSize - 1 bytes. Writes
    // nothing on failure.
    bool Put(const uint8_t* bytes, uint32_t n);
    // Removes n bytes from the front, copying them to dest unless dest is
    // null. Fails, removing nothing, when fewer than n bytes are held.
    bool Take(uint8_t* dest, uint32_t n);
    // Distance from the front of the first held byte equal to value; false
    // when there is none.
    bool Find(uint8_t value, uint32_t& index) const;
    // Drops everything held (after a link error or when the unit is dropped).
    void Clear();

    uint32_t Count() const;
    bool Empty() const { return Count() == 0; }
    static constexpr uint32_t Size() { return kReceiveQueueSize; }

private:
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t count_ = 0;
    uint32_t writeIndex_ = 0;
    uint32_t readIndex_ = 0;
    mutable std::mutex lock_;
};
