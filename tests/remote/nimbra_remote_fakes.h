// Test doubles for the remote-control engine: a scripted link with a small
// register-file unit behind it, a factory that hands such links out, and a
// view that records message boxes. The unit here decodes requests and builds
// replies on its own, bit by bit, without the engine's codec.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "links/link_factory.h"
#include "links/nimbra_interface.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"
#include "tests/temp_log.h"

namespace enginetest {

using Bytes = std::vector<uint8_t>;

// A message the unit side decoded.
struct WireMessage {
    enum Kind { Other, Write, Request, Command, Packet } kind = Other;
    bool extended = false;
    uint32_t reg = 0;     // write: register; request: first register
    uint32_t span = 0;    // request: last - first
    uint8_t value = 0;    // write: value
    uint8_t command = 0;  // command: opcode
    Bytes raw;
};

inline WireMessage DecodeWire(const Bytes& m) {
    WireMessage w;
    w.raw = m;
    if (m.size() < 8 || m[0] != 0xF0 || m[1] != 0x00 || m[2] != 0x01 || m[3] != 0x54 || m.back() != 0xF7) return w;
    const uint8_t op = (m[4] >> 3) & 0x0F;
    const uint8_t form = m[4] & 0x07;
    if (op == 15) {
        w.kind = WireMessage::Packet;
        return w;
    }
    if (op >= 1 && op <= 12) {
        w.kind = WireMessage::Command;
        w.command = op;
        return w;
    }
    if (op != 0 && op != 13) return w;
    w.kind = op == 0 ? WireMessage::Write : WireMessage::Request;
    if (form == 7) {
        w.extended = true;
        if (op == 0 && m.size() == 10) {
            w.reg = (uint32_t(m[5]) << 9) | (uint32_t(m[6]) << 2) | (m[7] >> 5);
            w.value = uint8_t(((m[7] & 0x1F) << 3) | (m[8] >> 4));
        } else if (op == 13 && m.size() == 11) {
            w.reg = (uint32_t(m[5]) << 9) | (uint32_t(m[6]) << 2) | (m[7] >> 5);
            w.span = (uint32_t(m[7] & 0x1F) << 11) | (uint32_t(m[8]) << 4) | (m[9] >> 3);
        } else {
            w.kind = WireMessage::Other;
        }
        return w;
    }
    w.reg = (uint32_t(form) << 5) | (m[5] >> 2);
    if (m[6] & 1) w.reg += 256;
    const uint8_t field = uint8_t(((m[5] & 3) << 6) | (m[6] >> 1));
    if (op == 0)
        w.value = field;
    else
        w.span = field;
    return w;
}

// Packs bytes most significant bit first into 7-bit groups.
inline void AppendSevenBit(Bytes& out, const uint8_t* data, size_t n) {
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 7) {
            out.push_back(uint8_t((acc >> (bits - 7)) & 0x7F));
            bits -= 7;
        }
    }
    if (bits > 0) out.push_back(uint8_t((acc << (7 - bits)) & 0x7F));
}

// A status reply for registers first..first+data.size()-1.
inline Bytes BuildReply(uint32_t first, const Bytes& data, bool extended) {
    Bytes m{0xF0, 0x00, 0x01, 0x54};
    const uint32_t span = uint32_t(data.size()) - 1;
    if (extended) {
        m.push_back(0x77);
        m.push_back(uint8_t((first >> 9) & 0x7F));
        m.push_back(uint8_t((first >> 2) & 0x7F));
        m.push_back(uint8_t(((first & 3) << 5) | ((span >> 11) & 0x1F)));
        m.push_back(uint8_t((span >> 4) & 0x7F));
        m.push_back(uint8_t((span & 0x0F) << 3));
    } else {
        const uint32_t a = first & 0xFF;
        m.push_back(uint8_t(0x70 | (a >> 5)));
        m.push_back(uint8_t(((a & 0x1F) << 2) | ((span >> 6) & 3)));
        m.push_back(uint8_t(((span & 0x3F) << 1) | (first >= 256 ? 1 : 0)));
    }
    AppendSevenBit(m, data.data(), data.size());
    m.push_back(0xF7);
    return m;
}

// The unit behind a fake link: a register file that answers status requests
// in the form they came in and stores register writes.
struct FakeUnit {
    std::array<uint8_t, 2048> regs{};
    bool silent = false;
    // When set, replies claim to start this many registers later.
    uint32_t firstOffset = 0;
    // Register writes to these registers are not stored (a serial number that
    // never reads back).
    bool ignoreSerialWrites = false;
    // Answers commands 4 (after its packet) and 3 with a register-9 report.
    bool reportStatusAfterPacket = false;
    uint8_t reportedStatus = 0;
    // Replies carry at most this many data bytes.
    uint32_t maxReplyBytes = 2048;

    void SetQuil(uint8_t major, uint8_t minor = 0, uint8_t revision = 1) {
        regs[1] = 0x31;
        SetFirmware(major, minor, revision);
    }
    void SetFirmware(uint8_t major, uint8_t minor, uint8_t revision) {
        regs[10] = uint8_t((major & 0x3F) | ((minor & 3) << 6));
        regs[11] = uint8_t(((minor >> 2) & 0x0F) | (revision << 4));
    }

    // Appends the replies a message brings.
    void Answer(const Bytes& message, std::deque<Bytes>& replies) {
        if (silent) return;
        const WireMessage w = DecodeWire(message);
        if (w.kind == WireMessage::Request) {
            const uint32_t first = w.reg;
            const uint32_t count = std::min({w.span + 1, 2048 - std::min<uint32_t>(first, 2048), maxReplyBytes});
            if (count == 0) return;
            Bytes data(regs.begin() + first, regs.begin() + first + count);
            replies.push_back(BuildReply(first + firstOffset, data, w.extended));
        } else if (w.kind == WireMessage::Write) {
            const bool serial = (w.reg >= 12 && w.reg <= 15) || (w.reg >= 28 && w.reg <= 31);
            if (w.reg < 2048 && !(serial && ignoreSerialWrites)) regs[w.reg] = w.value;
        } else if (w.kind == WireMessage::Packet && reportStatusAfterPacket) {
            replies.push_back(BuildReply(9, Bytes{reportedStatus}, false));
        }
    }
};

// A scripted link: a fixed list of connections, one FakeUnit per connection,
// replies handed back by Read one message per call.
class FakeLink : public CNimbraInterface {
public:
    struct Log {
        std::vector<Bytes> writes;
        std::vector<uint16_t> selects;
        std::vector<uint8_t> xslotTargets;
        int opens = 0;
        int closes = 0;
        int reads = 0;
        std::string deviceName;
        bool destroyed = false;
    };

    FakeLink(std::vector<std::string> names, std::vector<FakeUnit>* units, Log* log)
        : m_names(std::move(names)), m_units(units), m_log(log) {}
    ~FakeLink() override { m_log->destroyed = true; }

    NimbraStatus Open() override {
        ++m_log->opens;
        if (failOpen) return kStatusFailed;
        m_selected = kNoConnection;
        return m_names.empty() ? kStatusFailed : kStatusOk;
    }
    NimbraStatus Close() override {
        ++m_log->closes;
        m_open = false;
        m_selected = kNoConnection;
        m_replies.clear();
        return kStatusOk;
    }
    void SetDeviceName(const char* name) override { m_log->deviceName = name; }
    bool IsOpen() override { return m_open; }
    NimbraStatus GetNumberOfConnections(uint16_t* count) override {
        *count = uint16_t(m_names.size());
        return kStatusOk;
    }
    NimbraStatus SelectConnection(uint16_t index) override {
        m_log->selects.push_back(index);
        if (index == m_selected) return kStatusOk;
        m_selected = index;
        if (failSelect) return kStatusFailed;
        m_open = true;
        return kStatusOk;
    }
    NimbraStatus GetSelectedConnection(uint16_t* index) override {
        *index = m_selected;
        return kStatusOk;
    }
    NimbraStatus GetConnectionName(uint16_t index, char* buffer, int size) override {
        const std::string name = index < m_names.size() ? m_names[index] : "none";
        std::snprintf(buffer, size_t(size), "%s", name.c_str());
        return kStatusOk;
    }
    NimbraStatus SetXSlotTarget(uint8_t on) override {
        m_log->xslotTargets.push_back(on);
        return kStatusOk;
    }
    NimbraStatus Write(const uint8_t* data, int length) override {
        if (!m_open) return kStatusFailed;
        Bytes message(data, data + length);
        m_log->writes.push_back(message);
        if (failWrite) return kStatusFailed;
        if (m_selected < m_units->size()) (*m_units)[m_selected].Answer(message, m_replies);
        return kStatusOk;
    }
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override {
        ++m_log->reads;
        *received = 0;
        if (failRead) return kStatusFailed;
        if (!m_open) return kStatusFailed;
        if (m_replies.empty()) return kStatusOk;
        const Bytes reply = std::move(m_replies.front());
        m_replies.pop_front();
        const size_t n = std::min(reply.size(), size_t(size));
        std::memcpy(buffer, reply.data(), n);
        *received = int(n);
        return kStatusOk;
    }

    // Bytes that arrive as if the unit had sent them.
    void Inject(const Bytes& bytes) { m_replies.push_back(bytes); }

    bool failOpen = false;
    bool failSelect = false;
    bool failWrite = false;
    bool failRead = false;

private:
    std::vector<std::string> m_names;
    std::vector<FakeUnit>* m_units;
    Log* m_log;
    bool m_open = false;
    uint16_t m_selected = kNoConnection;
    std::deque<Bytes> m_replies;
};

// The kernel-driver flavour: also tells the adapter's type and version.
class FakeDriverLink final : public FakeLink, public DriverAdapterInfo {
public:
    using FakeLink::FakeLink;
    uint16_t GetAdapterType() override {
        ++typeQueries;
        return adapterType;
    }
    NimbraStatus ReadAdapterVersion(uint32_t* value) override {
        ++versionQueries;
        *value = adapterVersion;
        return kStatusOk;
    }
    uint16_t adapterType = 0;
    uint32_t adapterVersion = 0;
    int typeQueries = 0;
    int versionQueries = 0;
};

// Hands out one FakeLink per CreateLink for the MIDI kind (or the kinds
// listed in `kinds`), remembering what was asked.
class FakeLinkFactory final : public LinkFactory {
public:
    std::unique_ptr<CNimbraInterface> CreateLink(uint16_t linkType) override {
        requested.push_back(linkType);
        if (std::find(kinds.begin(), kinds.end(), linkType) == kinds.end()) return nullptr;
        std::unique_ptr<FakeLink> link;
        if (linkType == kLinkTypeDriver) {
            auto driver = std::make_unique<FakeDriverLink>(names, &units, &log);
            lastDriver = driver.get();
            link = std::move(driver);
        } else {
            link = std::make_unique<FakeLink>(names, &units, &log);
        }
        link->failOpen = std::find(failingKinds.begin(), failingKinds.end(), linkType) != failingKinds.end();
        last = link.get();
        return link;
    }
    VXUSBHandle OpenUsbCard(uint16_t connection) override {
        usbOpens.push_back(connection);
        if (!usbCardAvailable) return VXUSBHandle{};
        // The engine only holds the updater; a marker object stands in for it
        // and its deleter counts the deletions.
        return VXUSBHandle(reinterpret_cast<CVXUSB*>(&usbMarker), VXUSBDeleter{&CountUsbDelete});
    }
    static void CountUsbDelete(CVXUSB*) { ++usbDeletes; }

    std::vector<uint16_t> kinds{kLinkTypeMidi};
    std::vector<uint16_t> failingKinds;
    std::vector<uint16_t> requested;
    std::vector<std::string> names{"Quil Port A", "Quil Port B"};
    std::vector<FakeUnit> units = std::vector<FakeUnit>(2);
    FakeLink::Log log;
    FakeLink* last = nullptr;
    FakeDriverLink* lastDriver = nullptr;
    bool usbCardAvailable = true;
    std::vector<uint16_t> usbOpens;
    int usbMarker = 0;
    static inline int usbDeletes = 0;
};

// Records every box and every "handle one message" call.
class RecordingUi final : public platform::UserInterface {
public:
    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override {
        boxes.push_back(box);
        return platform::BoxAnswer::Ok;
    }
    bool HandleOnePendingMessage() override {
        ++handled;
        if (onMessage) onMessage();
        return false;
    }
    std::vector<platform::MessageBoxRequest> boxes;
    int handled = 0;
    std::function<void()> onMessage;
};

// Decoded writes of a link log, optionally from index `from` on.
inline std::vector<WireMessage> Traffic(const FakeLink::Log& log, size_t from = 0) {
    std::vector<WireMessage> out;
    for (size_t i = from; i < log.writes.size(); ++i) out.push_back(DecodeWire(log.writes[i]));
    return out;
}

// An engine on a virtual clock, with a recording view, a private log and
// scripted links (two connections, both empty units until a test fills them).
class EngineTest : public ::testing::Test {
protected:
    platform::VirtualClock clock{5000};
    platform::ScopedClock scopedClock{clock};
    RecordingUi ui;
    platform::ScopedUi scopedUi{ui};
    TempLog log;
    FakeLinkFactory links;
    std::unique_ptr<CNimbraRemote> remote = std::make_unique<CNimbraRemote>(links);

    FakeUnit& Unit(size_t i = 0) { return links.units[i]; }
    FakeLink& Link() { return *links.last; }
    const FakeLink::Log& LinkLog() const { return links.log; }
    size_t Sent() const { return links.log.writes.size(); }

    void OpenRemote() { ASSERT_EQ(remote->Open(), kStatusOk); }
    // Opens and selects connection `index` of a Quil with firmware `major`.
    void SelectQuil(uint16_t index = 0, uint8_t major = 7) {
        Unit(index).SetQuil(major);
        OpenRemote();
        ASSERT_EQ(remote->SelectConnection(index), kStatusOk);
    }
    uint8_t Reg(uint16_t r) {
        uint8_t v = 0;
        remote->GetRegister(r, &v);
        return v;
    }
};

}  // namespace enginetest
