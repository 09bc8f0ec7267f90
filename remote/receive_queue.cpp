#include "remote/receive_queue.h"

#include <algorithm>
#include <cstring>

ReceiveQueue::ReceiveQueue() : buffer_(std::make_unique<uint8_t[]>(kReceiveQueueSize)) {}

bool ReceiveQueue::Put(const uint8_t* bytes, uint32_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    if (n >= kReceiveQueueSize - count_) return false;
    uint32_t done = 0;
    while (done < n) {
        const uint32_t chunk = std::min(n - done, kReceiveQueueSize - writeIndex_);
        std::memcpy(buffer_.get() + writeIndex_, bytes + done, chunk);
        done += chunk;
        writeIndex_ = (writeIndex_ + chunk) % kReceiveQueueSize;
    }
    count_ += n;
    return true;
}

bool ReceiveQueue::Take(uint8_t* dest, uint32_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    if (n > count_) return false;
    uint32_t done = 0;
    while (done < n) {
        const uint32_t chunk = std::min(n - done, kReceiveQueueSize - readIndex_);
        if (dest != nullptr) std::memcpy(dest + done, buffer_.get() + readIndex_, chunk);
        done += chunk;
        readIndex_ = (readIndex_ + chunk) % kReceiveQueueSize;
    }
    count_ -= n;
    return true;
}

bool ReceiveQueue::Find(uint8_t value, uint32_t& index) const {
    std::lock_guard<std::mutex> guard(lock_);
    uint32_t position = readIndex_;
    for (uint32_t distance = 0; distance < count_; ++distance) {
        if (buffer_[position] == value) {
            index = distance;
            return true;
        }
        position = position + 1 == kReceiveQueueSize ? 0 : position + 1;
    }
    return false;
}

void ReceiveQueue::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    count_ = 0;
    writeIndex_ = 0;
    readIndex_ = 0;
}

uint32_t ReceiveQueue::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return count_;
}
