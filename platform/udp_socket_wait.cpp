// The wait for one readable UDP socket, on every system: the wait for
// several with one socket.
#include <span>

#include "platform/udp_socket.h"

namespace platform {

WaitResult UdpSocket::WaitReadable(uint32_t timeoutMs) {
    const UdpSocket* self = this;
    bool ready = false;
    return WaitAnyReadable(std::span(&self, 1), std::span(&ready, 1), timeoutMs);
}

}  // namespace platform
