#include "platform/driver_linux.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/descriptor_wait.h"

namespace platform {

namespace {

class LinuxDriverDevice final : public DriverDevice {
public:
    explicit LinuxDriverDevice(int fd) : m_fd(fd) {}
    ~LinuxDriverDevice() override { ::close(m_fd); }
    LinuxDriverDevice(const LinuxDriverDevice&) = delete;
    LinuxDriverDevice& operator=(const LinuxDriverDevice&) = delete;

    bool Request(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output) override {
        // The largest record is the transfer record; it lives on the stack.
        std::array<uint8_t, DriverTransferRecord::kSize> record{};
        if (input.size() > record.size() || output.size() > record.size()) return false;
        std::copy(input.begin(), input.end(), record.begin());
        int result = 0;
        do {
            result = ::ioctl(m_fd, static_cast<unsigned long>(code), record.data());
        } while (result < 0 && errno == EINTR);
        if (result < 0) return false;
        std::copy_n(record.begin(), output.size(), output.begin());
        if (code == kDriverFetchBytes) {
            // A device that said it was readable and then had nothing does
            // not tell readiness (a driver without poll support is always
            // readable): it is waited on by the clock from then on.
            const bool empty = GetLe32(record, DriverTransferRecord::kCount) == 0;
            if (m_readyAtOnce && empty) m_pollUseless = true;
            m_readyAtOnce = false;
        }
        return true;
    }

    WaitResult WaitForInput(uint32_t /*adapter*/, uint32_t timeoutMs) override {
        if (m_pollUseless) {
            if (timeoutMs > 0) CurrentClock().SleepMs(1);
            return WaitResult::Ready;
        }
        pollfd fd{m_fd, POLLIN, 0};
        const uint32_t start = CurrentClock().TickMs();
        const int n = PollFor(std::span(&fd, 1), timeoutMs);
        if (n < 0 || (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return WaitResult::Failed;
        if (n == 0) return WaitResult::TimedOut;
        m_readyAtOnce = timeoutMs > 0 && CurrentClock().TickMs() == start;
        return WaitResult::Ready;
    }

private:
    int m_fd;
    bool m_readyAtOnce = false;
    bool m_pollUseless = false;
};

}  // namespace

LinuxDriverSystem::LinuxDriverSystem(std::string deviceDir) : m_deviceDir(std::move(deviceDir)) {}

std::string LinuxDriverSystem::NodeName(const std::string& name) {
    constexpr char kPrefix[] = "\\\\.\\";
    const size_t prefixLength = sizeof kPrefix - 1;
    if (name.size() <= prefixLength || name.compare(0, prefixLength, kPrefix) != 0) return {};
    std::string node = name.substr(prefixLength);
    if (node.find_first_of("/\\") != std::string::npos) return {};
    for (char& ch : node) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return node;
}

std::unique_ptr<DriverDevice> LinuxDriverSystem::Open(const std::string& name) {
    const std::string node = NodeName(name);
    if (node.empty()) return nullptr;
    const std::string path = m_deviceDir + "/" + node;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<LinuxDriverDevice>(fd);
}

DriverSystem& NativeDriverSystem() {
    static LinuxDriverSystem systemDriver;
    return systemDriver;
}

}  // namespace platform
