// Raw MIDI devices on Linux: the device file opened non-blocking, waited on
// with poll(2) together with the stop requests' signal descriptor.
#include "platform/raw_midi_device.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/descriptor_wait.h"

namespace platform {

namespace {
// The longest a write waits for the device to take more before it tries again.
constexpr int kWriteRetryMs = 100;
}  // namespace

bool RawMidiDevicesServed() { return true; }

RawMidiDevice::~RawMidiDevice() {
    if (m_fd >= 0) close(m_fd);
}

bool RawMidiDevice::Open(const std::string& path, std::string& error) {
    if (m_fd >= 0) close(m_fd);
    m_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (m_fd < 0) error = std::strerror(errno);
    return m_fd >= 0;
}

long RawMidiDevice::Read(uint8_t* buffer, size_t size, std::string& error) {
    for (;;) {
        const ssize_t n = read(m_fd, buffer, size);
        if (n > 0) return static_cast<long>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        error = n == 0 ? "closed" : std::strerror(errno);
        return -1;
    }
}

bool RawMidiDevice::Write(std::span<const uint8_t> bytes, std::string& error) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{m_fd, POLLOUT, 0};
            poll(&ready, 1, kWriteRetryMs);
            continue;
        }
        error = n == 0 ? "the device took nothing" : std::strerror(errno);
        return false;
    }
    return true;
}

WaitResult RawMidiDevice::WaitForInput(std::span<RawMidiDevice* const> devices, std::span<DeviceInput> input,
                                       StopRequests& stop, uint32_t timeoutMs) {
    if (stop.Source() < 0 || input.size() < devices.size()) return WaitResult::Failed;
    std::vector<pollfd> fds;
    fds.push_back(pollfd{static_cast<int>(stop.Source()), POLLIN, 0});
    for (const RawMidiDevice* device : devices) {
        if (device == nullptr || device->m_fd < 0) return WaitResult::Failed;
        fds.push_back(pollfd{device->m_fd, POLLIN, 0});
    }
    int n = 0;
    if (timeoutMs == kNoTimeLimit && !CurrentClock().IsVirtual()) {
        do {
            n = poll(fds.data(), fds.size(), -1);
        } while (n < 0 && errno == EINTR);
    } else {
        n = PollFor(fds, timeoutMs);
    }
    if (n < 0) return WaitResult::Failed;
    if (n == 0) return WaitResult::TimedOut;
    for (size_t i = 0; i < devices.size(); ++i) {
        const short events = fds[i + 1].revents;
        if ((events & POLLIN) != 0) {
            input[i] = DeviceInput::Waiting;
        } else if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            input[i] = DeviceInput::Gone;
        } else {
            input[i] = DeviceInput::None;
        }
    }
    return WaitResult::Ready;
}

}  // namespace platform
