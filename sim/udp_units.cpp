#include "sim/udp_units.h"

#include <algorithm>
#include <array>

#include "platform/net.h"

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
        error = "cannot serve on " + text + ":" + std::to_string(m_ports.unit) + ": " + served->unitSocket.Error();
        return false;
    }
    if (!served->cardSocket.Create(true) || !served->cardSocket.Bind(address, m_ports.card)) {
        error = "cannot serve on " + text + ":" + std::to_string(m_ports.card) + ": " + served->cardSocket.Error();
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
    const std::vector<int> sockets = Descriptors();
    std::vector<int> readable;
    int error = 0;
    if (platform::SelectReadable(sockets, waitMs * 1000, readable, error) > 0) {
        auto ready = [&](const platform::UdpSocket& socket) {
            return std::find(readable.begin(), readable.end(), socket.Descriptor()) != readable.end();
        };
        for (const auto& served : m_served) {
            if (ready(served->unitSocket)) Drain(*served, served->unitSocket, platform::Endpoint::Unit);
            if (ready(served->cardSocket)) Drain(*served, served->cardSocket, platform::Endpoint::OptionCard);
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
