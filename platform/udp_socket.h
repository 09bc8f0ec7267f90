// UDP sockets for the Dante link and the virtual units' UDP transport: IPv4
// datagrams, a wait for readability (platform/wait.h), one datagram per
// receive. Addresses are IPv4 in network byte order; ports in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/wait.h"

namespace platform {

// Binding to every local address.
inline constexpr uint32_t kAnyAddress = 0;

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // A new IPv4 datagram socket; false when the system refuses one.
    bool Create(bool nonBlocking);
    // Binds to ADDRESS:PORT (INADDR_ANY for every local address); false when
    // the port is taken or the address is not local.
    bool Bind(uint32_t address, uint16_t port);
    // The system's text for the last failure of Create or Bind ("Address
    // already in use").
    const std::string& Error() const { return m_error; }
    // One datagram; false on any send error, including would-block.
    bool SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length);
    // Ready once a datagram waits (or an error is pending: the receive
    // reports it), TimedOut after `timeoutMs` of the clock, Failed when the
    // socket is closed or cannot be waited on.
    WaitResult WaitReadable(uint32_t timeoutMs);
    // The same for several sockets: `ready[i]` tells whether sockets[i] is
    // readable (`ready` has room for every socket).
    static WaitResult WaitAnyReadable(std::span<const UdpSocket* const> sockets, std::span<bool> ready,
                                      uint32_t timeoutMs);
    // One datagram of at most `size` bytes: its length, or -1 on error.
    // `from` (when given) receives the sender's address.
    long Receive(uint8_t* buffer, size_t size, uint32_t* from = nullptr);
    // The same without waiting: kNothingWaiting when no datagram is there.
    static constexpr long kNothingWaiting = -2;
    long ReceiveWaiting(uint8_t* buffer, size_t size, uint32_t* from = nullptr);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }

private:
    int m_fd = -1;
    // Created blocking: a wait that had to make it non-blocking (Windows'
    // socket events do) makes it blocking again.
    bool m_blocking = false;
    std::string m_error;
};

// Dotted-decimal text of an address in network order.
std::string Ipv4Text(uint32_t address);
// Parses "a.b.c.d" into network order; false for anything else.
bool ParseIpv4(const std::string& text, uint32_t& address);

}  // namespace platform
