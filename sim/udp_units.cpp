#include "sim/udp_units.h"

#include <poll.h>

#include <array>

namespace sim {

namespace {

// Larger than any message of the protocol; a longer datagram is cut and
// then fails the unit's own checks.
constexpr size_t kMaxDatagram = 2048;

}  // namespace

UdpUnitServer::UdpUnitServer(UdpUnitPorts ports) : m_ports(ports) {}

UdpUnitServer::~UdpUnitServer() = default;

bool UdpUnitServer::Add(uint32_t address, VirtualQuil& unit, std::string& error) {
    auto served = std::make_unique<Served>();
    served->unit = &unit;
    served->address = address;
    const std::string text = platform::Ipv4Text(address);
    if (!served->unitSocket.Create(true) || !served->unitSocket.Bind(address, m_ports.unit)) {
        error = "cannot serve on " + text + ":" + std::to_string(m_ports.unit);
        return false;
    }
    if (!served->cardSocket.Create(true) || !served->cardSocket.Bind(address, m_ports.card)) {
        error = "cannot serve on " + text + ":" + std::to_string(m_ports.card);
        return false;
    }
    m_served.push_back(std::move(served));
    return true;
}

std::vector<int> UdpUnitServer::Descriptors() const {
    std::vector<int> fds;
    for (const auto& served : m_served) {
        fds.push_back(served->unitSocket.Descriptor());
        fds.push_back(served->cardSocket.Descriptor());
    }
    return fds;
}

void UdpUnitServer::Drain(Served& served, platform::UdpSocket& socket, platform::Endpoint endpoint) {
    std::array<uint8_t, kMaxDatagram> buffer{};
    for (;;) {
        uint32_t from = 0;
        const long n = socket.Receive(buffer.data(), buffer.size(), &from);
        if (n < 0) return;
        m_active = true;
        served.host = from;
        if (n > 0) served.unit->ReceiveMessage(buffer.data(), static_cast<size_t>(n), endpoint);
    }
}

void UdpUnitServer::Service(int waitMs) {
    std::vector<pollfd> fds;
    for (const int fd : Descriptors()) fds.push_back(pollfd{fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), waitMs) > 0) {
        for (size_t i = 0; i < m_served.size(); ++i) {
            Served& served = *m_served[i];
            if ((fds[2 * i].revents & POLLIN) != 0) Drain(served, served.unitSocket, platform::Endpoint::Unit);
            if ((fds[2 * i + 1].revents & POLLIN) != 0)
                Drain(served, served.cardSocket, platform::Endpoint::OptionCard);
        }
    }
    if (!m_active) return;
    for (const auto& served : m_served) {
        served->unit->TakeReplies(m_replies);
        if (served->host != 0 && !served->unit->LinkFailed()) {
            for (const std::vector<uint8_t>& reply : m_replies) {
                served->unitSocket.SendTo(served->host, m_ports.reply, reply.data(), reply.size());
            }
        }
        m_replies.clear();
    }
}

}  // namespace sim
