#include "sim/udp_units.h"

#include <algorithm>
#include <array>
#include <memory>
#include <span>

#include "platform/clock.h"

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

void UdpUnitServer::Service(uint32_t waitMs) {
    uint32_t wait = waitMs;
    if (m_active) {
        const uint32_t now = platform::CurrentClock().TickMs();
        for (const auto& served : m_served) {
            uint32_t at = 0;
            if (served->unit->NextEvent(at)) wait = std::min(wait, static_cast<int32_t>(at - now) > 0 ? at - now : 0);
        }
    }
    std::vector<const platform::UdpSocket*> sockets;
    for (const auto& served : m_served) {
        sockets.push_back(&served->unitSocket);
        sockets.push_back(&served->cardSocket);
    }
    std::unique_ptr<bool[]> ready = std::make_unique<bool[]>(sockets.size());
    if (platform::UdpSocket::WaitAnyReadable(sockets, std::span(ready.get(), sockets.size()), wait) ==
        platform::WaitResult::Ready) {
        for (size_t i = 0; i < m_served.size(); ++i) {
            Served& served = *m_served[i];
            if (ready[2 * i]) Drain(served, served.unitSocket, platform::Endpoint::Unit);
            if (ready[2 * i + 1]) Drain(served, served.cardSocket, platform::Endpoint::OptionCard);
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
