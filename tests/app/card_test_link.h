// A link straight to one virtual Quil that, like the Dante link, can address
// the option card's own endpoint: SetXSlotTarget(1) sends what follows to the
// card, SetXSlotTarget(0) to the unit again. The MIDI-port link cannot reach
// the card at all, so the card's sequence is tested over this one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "links/link_factory.h"
#include "links/nimbra_interface.h"
#include "platform/clock.h"
#include "sim/virtual_quil.h"

namespace programmingtest {

class CardTestLink final : public CNimbraInterface {
public:
    explicit CardTestLink(sim::VirtualQuil& unit) : m_unit(unit) {}

    NimbraStatus Open() override {
        m_open = true;
        return kStatusOk;
    }
    NimbraStatus Close() override {
        m_open = false;
        m_pending.clear();
        return kStatusOk;
    }
    void SetDeviceName(const char*) override {}
    bool IsOpen() override { return m_open; }
    NimbraStatus GetNumberOfConnections(uint16_t* count) override {
        *count = 1;
        return kStatusOk;
    }
    NimbraStatus SelectConnection(uint16_t index) override { return index == 0 ? kStatusOk : kStatusFailed; }
    NimbraStatus GetSelectedConnection(uint16_t* index) override {
        *index = 0;
        return kStatusOk;
    }
    NimbraStatus GetConnectionName(uint16_t, char* buffer, int size) override {
        std::snprintf(buffer, static_cast<size_t>(size), "Quil Dante Test");
        return kStatusOk;
    }
    NimbraStatus SetXSlotTarget(uint8_t on) override {
        targets.push_back(on);
        return kStatusOk;
    }
    NimbraStatus Write(const uint8_t* data, int length) override {
        if (!m_open) return kStatusFailed;
        if (!refused.empty() && std::equal(refused.begin(), refused.end(), data, data + length)) return kStatusFailed;
        const bool card = !targets.empty() && targets.back() != 0;
        m_unit.ReceiveMessage(data, static_cast<size_t>(length),
                              card ? platform::Endpoint::OptionCard : platform::Endpoint::Unit);
        // Late replies travel from the moment the unit made them.
        if (replyDelayMs != 0) TakeReplies();
        return kStatusOk;
    }
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override {
        *received = 0;
        if (!m_open) return kStatusFailed;
        TakeReplies();
        const uint32_t now = m_delayed.empty() ? 0 : platform::CurrentClock().TickMs();
        while (!m_delayed.empty() && now - m_delayed.front().first < 0x80000000u) {
            const std::vector<uint8_t>& r = m_delayed.front().second;
            m_pending.insert(m_pending.end(), r.begin(), r.end());
            m_delayed.pop_front();
        }
        const size_t n = std::min(m_pending.size(), static_cast<size_t>(size));
        std::copy_n(m_pending.begin(), n, buffer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        *received = static_cast<int>(n);
        return kStatusOk;
    }

    // Every SetXSlotTarget value, oldest first.
    std::vector<uint8_t> targets;
    // A message the link cannot send (it fails as a link that went away).
    std::vector<uint8_t> refused;
    // How long each reply travels back, from the moment the unit made it.
    uint32_t replyDelayMs = 0;

private:
    void TakeReplies() {
        std::vector<std::vector<uint8_t>> replies;
        m_unit.TakeReplies(replies);
        if (replyDelayMs == 0 && m_delayed.empty()) {
            for (const auto& r : replies) m_pending.insert(m_pending.end(), r.begin(), r.end());
            return;
        }
        const uint32_t due = platform::CurrentClock().TickMs() + replyDelayMs;
        for (auto& r : replies) m_delayed.emplace_back(due, std::move(r));
    }

    sim::VirtualQuil& m_unit;
    bool m_open = false;
    std::deque<uint8_t> m_pending;
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> m_delayed;  // due time, reply
};

// Makes the card link in place of the Dante link; no other kind exists.
class CardLinkFactory final : public LinkFactory {
public:
    explicit CardLinkFactory(sim::VirtualQuil& unit) : m_unit(unit) {}
    std::unique_ptr<CNimbraInterface> CreateLink(uint16_t linkType) override {
        if (linkType != kLinkTypeDante) return nullptr;
        auto link = std::make_unique<CardTestLink>(m_unit);
        last = link.get();
        return link;
    }
    CardTestLink* last = nullptr;

private:
    sim::VirtualQuil& m_unit;
};

}  // namespace programmingtest
