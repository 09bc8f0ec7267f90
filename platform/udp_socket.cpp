// What UDP sockets do alike on every system: owning and handing over the
// socket, sending through the socket seam, and the dotted-decimal text of an
// address.
#include "platform/udp_socket.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/net.h"

namespace platform {

UdpSocket::~UdpSocket() { Close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_blocking(other.m_blocking), m_error(std::move(other.m_error)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_blocking = other.m_blocking;
        m_error = std::move(other.m_error);
    }
    return *this;
}

bool UdpSocket::SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) {
    return m_fd >= 0 && SendToSocket(m_fd, address, port, data, length) == static_cast<long>(length);
}

// Network order is the order of the bytes in memory, first byte first.
std::string Ipv4Text(uint32_t address) {
    std::array<uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) text += '.';
        text += std::to_string(bytes[i]);
    }
    return text;
}

// Exactly four decimal numbers of 0 to 255 between dots, none with a leading
// zero, nothing before or after (what inet_pton takes, on either system).
bool ParseIpv4(const std::string& text, uint32_t& address) {
    std::array<uint8_t, 4> bytes{};
    size_t at = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        const size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        bytes[i] = static_cast<uint8_t>(value);
    }
    if (at != text.size()) return false;
    std::memcpy(&address, bytes.data(), bytes.size());
    return true;
}

}  // namespace platform
