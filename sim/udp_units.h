// The virtual units' UDP transport, as a VX-DANTE card answers on a Dante
// network: each unit listens on ADDRESS:5645, its option card on
// ADDRESS:5647, one message per datagram, and replies go to the sender's
// port 5646.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/udp_socket.h"
#include "sim/virtual_quil.h"

namespace sim {

struct UdpUnitPorts {
    uint16_t unit = 5645;
    uint16_t reply = 5646;
    uint16_t card = 5647;
};

class UdpUnitServer {
public:
    explicit UdpUnitServer(UdpUnitPorts ports = {});
    ~UdpUnitServer();
    UdpUnitServer(const UdpUnitServer&) = delete;
    UdpUnitServer& operator=(const UdpUnitServer&) = delete;

    // Serves `unit` on `address` (network order). False, with the reason in
    // `error`, when either port cannot be bound there.
    bool Add(uint32_t address, VirtualQuil& unit, std::string& error);
    // Waits for traffic, at most `waitMs` and no longer than until a unit
    // acts by itself, hands every waiting datagram to its unit, runs the
    // units' due work and sends what they have to say to the host that spoke
    // to them last.
    void Service(uint32_t waitMs);
    // False until the first datagram has come in: the units are left alone
    // until then.
    bool Active() const { return m_active; }

private:
    struct Served {
        VirtualQuil* unit = nullptr;
        uint32_t address = 0;
        platform::UdpSocket unitSocket;
        platform::UdpSocket cardSocket;
        uint32_t host = 0;  // the last sender, 0 while none has spoken
    };
    void Drain(Served& served, platform::UdpSocket& socket, platform::Endpoint endpoint);

    UdpUnitPorts m_ports;
    std::vector<std::unique_ptr<Served>> m_served;
    std::vector<std::vector<uint8_t>> m_replies;
    bool m_active = false;
};

}  // namespace sim
