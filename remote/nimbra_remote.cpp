#include "remote/nimbra_remote.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "links/vxusb.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/ui.h"

namespace {

// Commands (opcodes 1..12).
constexpr uint8_t kCmdEraseStore = 3;
constexpr uint8_t kCmdPacketFollows = 4;
constexpr uint8_t kCmdSendPacketBack = 5;
constexpr uint8_t kCmdSelectBank1 = 6;
constexpr uint8_t kCmdSelectBank2 = 7;
constexpr uint8_t kCmdCompleteBankSet = 8;
constexpr uint8_t kCmdCompleteBankClear = 9;
constexpr uint8_t kCmdStoreSerial = 10;
constexpr uint8_t kCmdAbort = 11;
constexpr uint8_t kCmdArm = 12;

constexpr uint32_t kPollIntervalMonitorMs = 100;
constexpr uint32_t kPollIntervalIdentityMs = 50;
constexpr uint32_t kPollIntervalIdleMs = 3000;
constexpr uint32_t kPollIntervalProgressMs = 100;
constexpr uint32_t kPumpMessagesMs = 250;
constexpr uint32_t kSiblingWaitSleepMs = 5;
// How often a wait tries again to open a link that is closed.
constexpr uint32_t kReopenIntervalMs = 100;
constexpr int kLinkReadSize = 4095;

// Register date words of firmware that predates the date registers, by major
// version 0..5, then 6.0, 6.1 and 6.2.
constexpr uint16_t kOldFirmwareDates[] = {0xC101, 0xC201, 0xC20F, 0xC21B, 0xC403, 0xCB0E};
constexpr uint16_t kFirmware6Dates[] = {0xE31A, 0xE409, 0xEC09};

const char* ModelName(uint8_t pid) {
    switch (pid) {
    case kPidNimbra16: return "Nimbra 16";
    case kPidNimbra8: return "Nimbra 8";
    case kPidQuil: return "Quil";
    case kPidNimbraN: return "Nimbra(n)";
    case kPidTonelink: return "Harken Tonelink 4x4";
    default: return "Unknown!";
    }
}

void CopyName(std::array<char, 256>& dest, const char* name) {
    dest.fill('\0');
    if (name == nullptr) return;
    const size_t n = strnlen(name, dest.size() - 1);
    std::memcpy(dest.data(), name, n);
}

// Packs week, year, unit registers (in unit register order 12..15: week,
// year, unit low, unit high) under `owner`.
uint32_t PackSerialNumber(uint8_t owner, uint8_t week, uint8_t year, uint8_t unitLo, uint8_t unitHi) {
    return (static_cast<uint32_t>(owner) << 24) | (static_cast<uint32_t>(year & 0x0F) << 20) |
           (static_cast<uint32_t>((year >> 4) & 0x03) << 18) | (static_cast<uint32_t>(week & 0x3F) << 12) |
           (static_cast<uint32_t>(unitHi & 0x0F) << 8) | unitLo;
}

struct SerialRegisterValues {
    uint8_t week;
    uint8_t year;
    uint8_t unitLo;
    uint8_t unitHi;
};

SerialRegisterValues SplitSerialNumber(uint32_t serial) {
    return SerialRegisterValues{
        static_cast<uint8_t>((serial >> 12) & 0x3F),
        static_cast<uint8_t>((((serial >> 18) & 0x03) << 4) | ((serial >> 20) & 0x0F)),
        static_cast<uint8_t>(serial & 0xFF),
        static_cast<uint8_t>((serial >> 8) & 0x0F),
    };
}

long SerialYear(uint32_t serial) { return static_cast<long>((((serial >> 18) & 0x03) << 4) | ((serial >> 20) & 0x0F)); }
long SerialWeek(uint32_t serial) { return static_cast<long>((serial >> 12) & 0x3F); }
long SerialUnit(uint32_t serial) { return static_cast<long>(serial & 0x0FFF); }
unsigned long SerialOwner(uint32_t serial) { return serial >> 24; }

}  // namespace

CNimbraRemote::CNimbraRemote(LinkFactory& links) : m_links(links) {
    m_lastPollTime = Now();
    m_lastReceiveTime = m_lastPollTime;
}

CNimbraRemote::~CNimbraRemote() {
    m_changeCallback = nullptr;
    m_pVXUSB.reset();
    if (m_pMidiIF) {
        if (m_extendedAddressing) SetHostReportMode(0);
        m_pMidiIF->Close();
        m_pMidiIF.reset();
    }
}

uint32_t CNimbraRemote::Now() const { return platform::CurrentClock().TickMs(); }

void CNimbraRemote::Warn(const char* text) {
    platform::ShowOkBox(text, "CNimbraRemote", platform::BoxIcon::Warning, false);
}

// ---------------------------------------------------------------------------
// Set-up and links

NimbraStatus CNimbraRemote::SetDeviceName(const char* name) {
    CopyName(m_deviceName, name);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetSecondaryName(const char* name) {
    CopyName(m_secondaryName, name);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetLinkMask(uint32_t mask) {
    m_linkMask = mask;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::Open() {
    struct Kind {
        uint32_t mask;
        uint16_t type;
    };
    constexpr Kind kOrder[] = {
        {kLinkMaskDriver, kLinkTypeDriver},
        {kLinkMaskMidi, kLinkTypeMidi},
        {kLinkMaskDante, kLinkTypeDante},
    };
    for (const Kind& kind : kOrder) {
        if (m_pMidiIF || (m_linkMask & kind.mask) == 0) continue;
        m_linkType = kind.type;
        std::unique_ptr<CNimbraInterface> link = m_links.CreateLink(kind.type);
        if (!link) continue;
        if (kind.type == kLinkTypeMidi && m_deviceName[0] != '\0') link->SetDeviceName(m_deviceName.data());
        if (link->Open() == kStatusOk) m_pMidiIF = std::move(link);
    }
    return m_pMidiIF ? kStatusOk : kStatusFailed;
}

NimbraStatus CNimbraRemote::Close() {
    if (m_pMidiIF) {
        if (m_extendedAddressing) SetHostReportMode(0);
        m_pVXUSB.reset();
        m_pMidiIF->Close();
        m_pMidiIF.reset();
        m_offline = 1;
        // A later Open finds the connections afresh; nothing is selected then.
        m_selectedConnection = kNoConnection;
    }
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetNumberOfConnections(uint16_t* count) {
    if (!m_pMidiIF || count == nullptr) return kStatusFailed;
    return m_pMidiIF->GetNumberOfConnections(count);
}

NimbraStatus CNimbraRemote::GetSelectedConnection(uint16_t* index) {
    if (!m_pMidiIF || index == nullptr) return kStatusFailed;
    return m_pMidiIF->GetSelectedConnection(index);
}

NimbraStatus CNimbraRemote::GetLinkType(uint16_t* type) {
    if (type == nullptr) return kStatusFailed;
    *type = m_linkType;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::IsOffline(uint8_t* offline) {
    if (offline == nullptr) return kStatusFailed;
    *offline = m_offline;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetPollMode(uint8_t mode) {
    m_lastReceiveTime = Now();
    m_pollMode = mode;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::ResumePolling() { return SetPollMode(kPollIdentity); }

// ---------------------------------------------------------------------------
// Selecting and identifying a unit

NimbraStatus CNimbraRemote::SelectConnection(uint16_t index) {
    if (!m_pMidiIF) return kStatusFailed;
    if (index == m_selectedConnection) return kStatusOk;
    // A caller's own choice ends the search for a dropped unit.
    if (!m_reselecting) m_lostUnit.reset();
    // The updater speaks to the USB device of its own connection: kept, it
    // would list and update another unit's card through this one's.
    if (m_pVXUSB && m_usbCardConnection != index) m_pVXUSB.reset();

    m_wantedConnection = index;
    // The link is about to move to another connection: until the unit there
    // has been identified nothing is selected, so that asking for the
    // previous connection again really goes back to it.
    m_selectedConnection = kNoConnection;
    m_extendedMixer = false;
    m_extendedAddressing = false;
    m_lastReceiveTime = Now();
    m_reselectPending = true;
    SetPollMode(kPollMonitor);

    if (m_pMidiIF->SelectConnection(index) != kStatusOk) {
        LogMessage("CNimbraRemote::SelectConnection: m_pMidiIF->SelectConnection FAILED!\n");
        ForgetUnit();
        return kStatusFailed;
    }

    if (m_linkType == kLinkTypeDriver) {
        if (auto* adapter = dynamic_cast<DriverAdapterInfo*>(m_pMidiIF.get())) {
            m_registers[REG_ASTAT_PID] = static_cast<uint8_t>(adapter->GetAdapterType() >> 8);
            m_registers[REMO_VX_TYPE] = 20;
            uint32_t version = 0;
            adapter->ReadAdapterVersion(&version);
            m_registers[REG_FW_VERSION] = static_cast<uint8_t>(version & 0xFF);
            version = 0;
            adapter->ReadAdapterVersion(&version);
            m_registers[REG_FW_REVISION] = static_cast<uint8_t>((version >> 8) & 0xFF);
        }
    }

    if (RequestRegisterStatusVerified(REG_ASTAT_PID, REMO_VX_SN_SERNUMHI) != kStatusOk) {
        LogMessage(
            "CNimbraRemote::SelectConnection: RequestRegisterStatus REG_ASTAT_PID/REMO_VX_SN_SERNUMHI FAILED!\n");
        ForgetUnit();
        return kStatusFailed;
    }

    NimbraStatus result = kStatusOk;
    if (m_registers[REMO_VX_TYPE] == kCardVxFw) result = RequestRegisterStatusVerified(32, 32);

    if (m_registers[REMO_VX_TYPE] == kCardVxUsb && m_linkType == kLinkTypeMidi && !m_pVXUSB) {
        m_pVXUSB = m_links.OpenUsbCard(index);
        m_usbCardConnection = index;
    }

    const uint8_t major = FirmwareMajor();
    if (IsQuil()) {
        SetHostReportMode(0);
        result = RequestRegisterStatusVerified(0, 127);
        if (major >= 6) {
            m_extendedAddressing = true;
            SetPollMode(kPollIdle);
            RequestRegisterStatusVerified(256, 547);
            result = RequestRegisterStatusVerified(1024, 2047);
        }
    } else if (Pid() == kPidNimbraN) {
        result = RequestRegisterStatusVerified(0, 127);
    } else if (major > 16) {
        m_extendedMixer = true;
    }

    m_selectedConnection = index;
    m_offline = 0;
    m_reselectPending = false;
    return result;
}

NimbraStatus CNimbraRemote::GetConnectionDescription(uint16_t index, char* text, size_t size, uint8_t* pid) {
    if (!m_pMidiIF) return kStatusFailed;
    if (text == nullptr || size == 0) return kStatusOutOfRange;
    SelectConnection(index);
    const uint8_t model = Pid();
    if (pid != nullptr) *pid = model;

    uint8_t variant = 0;
    const char* suffix = "";
    if (GetVariant1824(&variant) == kStatusOk && variant != 0) {
        suffix = "/1824";
    } else if (GetVariantVT(&variant) == kStatusOk && variant != 0) {
        suffix = "/VT";
    }

    std::array<char, 256> name{};
    m_pMidiIF->GetConnectionName(index, name.data(), 255);
    name.back() = '\0';
    std::snprintf(text, size, "%s%s connected via %s", ModelName(model), suffix, name.data());
    return kStatusOk;
}

uint8_t CNimbraRemote::Pid() {
    const uint8_t pid = m_registers[REG_ASTAT_PID];
    if ((pid == kPidNimbra16 || pid == kPidNimbra8) && m_registers[REG_SUB_MODEL] == kPidNimbraN) return kPidNimbraN;
    return pid;
}

NimbraStatus CNimbraRemote::GetPID(uint8_t* pid) {
    if (pid == nullptr) return kStatusFailed;
    *pid = Pid();
    return kStatusOk;
}

bool CNimbraRemote::IsQuil() { return Pid() == kPidQuil; }

bool CNimbraRemote::IsQuilOrNimbraN() {
    const uint8_t pid = Pid();
    return pid == kPidQuil || pid == kPidNimbraN;
}

NimbraStatus CNimbraRemote::GetVariant1824(uint8_t* isVariant) {
    if (isVariant == nullptr) return kStatusFailed;
    *isVariant = (FirmwareMajor() >= 18 && (m_registers[REG_DATE_LO] & 0x40) == 0) ? 1 : 0;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetVariantVT(uint8_t* isVariant) {
    if (isVariant == nullptr) return kStatusFailed;
    *isVariant = (FirmwareMajor() >= 18 && (m_registers[REG_DATE_LO] & 0x80) == 0) ? 1 : 0;
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Requests and replies

// Short forms carry address bits 7..5 in the form bits of byte 4, so a short
// message for registers 224..255 (or 480..511 in the high bank) has form 7,
// which the unit reads as the 16-bit form. The encoding is kept as the units
// expect it; the updater's own requests never start at those registers in
// the short form, and WriteRegister sends writes there in the 16-bit form or
// not at all.
NimbraStatus CNimbraRemote::SendStatusRequest(uint16_t first, uint16_t last) {
    const uint16_t span = static_cast<uint16_t>(last - first);
    if (first > 255) {
        if (m_extendedAddressing) return SendExtendedStatusRequest(m_pMidiIF.get(), span, first);
        return SendRegisterMessage(m_pMidiIF.get(), static_cast<uint8_t>(first - 256), kOpcodeStatusRequest,
                                   static_cast<uint8_t>(span), true);
    }
    return SendRegisterMessage(m_pMidiIF.get(), static_cast<uint8_t>(first), kOpcodeStatusRequest,
                               static_cast<uint8_t>(span), false);
}

NimbraStatus CNimbraRemote::RequestRegisterStatus(uint16_t first, uint16_t last) {
    return SendStatusRequest(first, last);
}

NimbraStatus CNimbraRemote::RequestRegisterStatusVerified(uint16_t first, uint16_t last) {
    if (m_verifyBusy) return kStatusFailed;
    m_verifyBusy = true;
    NimbraStatus result = kStatusFailed;
    for (int tries = 0;;) {
        // A reply must arrive for this request: one stored before it was sent
        // does not count, even when it began at the same register.
        m_lastReplyFirst = 0xFFFF;
        if (SendStatusRequest(first, last) != kStatusOk) {
            LogMessage("RequestRegisterStatusVerified: RequestRegisterStatus FAILED! %04x %04x\n", first, last);
            m_verifyBusy = false;
            return kStatusFailed;
        }
        if (WaitForResponse(1) != kStatusOk) LogMessage("RequestRegisterStatusVerified: WaitForResponse FAILED!\n");
        if (m_lastReplyFirst == first) {
            result = kStatusOk;
            break;
        }
        LogMessage("RequestRegisterStatusVerified: RETRY! Last %04x First %04x\n", m_lastReplyFirst, first);
        if (++tries >= kVerifiedRequestSends) break;
    }
    if (result != kStatusOk)
        LogMessage("RequestRegisterStatusVerified: Last %04x != First %04x\n", m_lastReplyFirst, first);
    m_verifyBusy = false;
    return result;
}

NimbraStatus CNimbraRemote::WaitForResponse(uint32_t replies) {
    if (m_pollMode == kPollTransfer || m_pollMode == kPollReadBack) return kStatusOk;
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    const uint32_t base = m_replyCount;
    for (;;) {
        const uint32_t elapsed = clock.TickMs() - start;
        if (elapsed > kReplyTimeoutMs) {
            LogMessage("CNimbraRemote::WaitForResponse TIMEOUT %ld\n", static_cast<long>(elapsed));
            return kStatusFailed;
        }
        const uint32_t before = m_replyCount;
        Service();
        if (!IsQuil()) clock.SleepMs(kSiblingWaitSleepMs);
        const bool handled = platform::CurrentUi().HandleOnePendingMessage();
        if (m_replyCount - base >= replies) return kStatusOk;
        // Until the link has bytes, a window message is due or the time
        // limit has passed.
        if (!handled && m_replyCount == before) WaitForInput(kReplyTimeoutMs - elapsed + 1);
    }
}

uint32_t CNimbraRemote::ServiceDueInMs() {
    const uint32_t now = Now();
    const auto until = [now](uint32_t since, uint32_t limit) {
        const uint32_t elapsed = now - since;
        return elapsed > limit ? 0u : limit - elapsed + 1;
    };
    uint32_t due = platform::UserInterface::kNoPumpDue;
    if (m_pMidiIF && !m_pMidiIF->IsOpen()) due = kReopenIntervalMs;
    if (m_pollMode != kPollTransfer && !m_xslotSerialWrite)
        due = std::min(due, until(m_lastReceiveTime, kSilenceLimitMs));
    if (m_reselectPending) return due;
    switch (m_pollMode) {
    case kPollMonitor: return std::min(due, until(m_lastPollTime, kPollIntervalMonitorMs));
    case kPollIdentity: return std::min(due, until(m_lastPollTime, kPollIntervalIdentityMs));
    case kPollIdle: return std::min(due, until(m_lastPollTime, kPollIntervalIdleMs));
    case kPollProgress: return std::min(due, until(m_lastPollTime, kPollIntervalProgressMs));
    default: return due;
    }
}

void CNimbraRemote::WaitForInput(uint32_t timeoutMs) {
    const uint32_t wait = std::min({timeoutMs, platform::CurrentUi().PumpDueInMs(), ServiceDueInMs()});
    if (wait == 0) return;
    // A closed link is opened again by the next pass, not before.
    if (!m_pMidiIF || !m_pMidiIF->IsOpen() || m_pMidiIF->WaitForInput(wait) == platform::WaitResult::Failed)
        platform::CurrentClock().SleepMs(std::min(wait, kReopenIntervalMs));
}

NimbraStatus CNimbraRemote::StoreRegisterData(const uint8_t* data, uint32_t first, uint32_t count) {
    m_lastReplyFirst = static_cast<uint16_t>(first);
    m_lastReplyCount = static_cast<uint16_t>(count);
    bool changed = false;
    bool packetArrived = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t reg = first + i;
        if (m_pollMode == kPollReadBack && reg >= 128) {
            // The read-back packet: registers 128..255 only; the buffer holds
            // no more than one packet.
            if (reg - 128 < kVerifyBufferSize) {
                m_verifyBuffer[reg - 128] = data[i];
                packetArrived = true;
            }
            continue;
        }
        if (reg >= kRegisterImageSize) return kStatusFailed;
        m_registers[reg] = data[i];
        if (reg == m_watchedRegisters[0] || reg == m_watchedRegisters[1]) changed = true;
        if (!IsQuilOrNimbraN()) StoreMixerTables(reg, data[i]);
    }
    if (m_pollMode == kPollReadBack && packetArrived) m_registers[REG_PGM_STATUS] |= kPgmStatusPakRdy;
    if (changed && m_changeCallback != nullptr) m_changeCallback(m_callbackUser1, m_callbackUser2);
    return kStatusOk;
}

void CNimbraRemote::StoreMixerTables(uint32_t reg, uint8_t value) {
    if (reg < 64) return;
    if (reg < 128) {
        m_tableA[reg - 64] = static_cast<uint8_t>(value >> 4);
        m_tableB[reg - 64] = static_cast<uint8_t>((value >> 3) & 1);
        return;
    }
    size_t group = 0;
    size_t k = 0;
    size_t column = 0;
    if (reg < 256) {
        const uint32_t t = reg - 128;
        group = t / 4;
        k = t % 4;
        column = k / 2;
    } else {
        const uint32_t t = reg % 256;
        group = t / 32;
        k = t % 32;
        column = k / 2 + 2;
    }
    if (k % 2 == 1) {
        m_channelTrim[group][column] = value & 0x3F;
    } else if (value == 0xFF) {
        m_channelOff[group][column] = 1;
    } else {
        m_channelOff[group][column] = 0;
        m_channelLevel[group][column] = value;
    }
}

// ---------------------------------------------------------------------------
// The service pass

NimbraStatus CNimbraRemote::Service() {
    if (!m_pMidiIF) return kStatusFailed;
    if (!m_pMidiIF->IsOpen()) {
        if (m_pMidiIF->Open() != kStatusOk) return kStatusFailed;
        if (ReselectLostUnit() != kStatusOk) return kStatusFailed;
    }

    NimbraStatus result = kStatusOk;
    std::array<uint8_t, kMessageWorkArea> buffer;
    for (;;) {
        int received = 0;
        const NimbraStatus status = m_pMidiIF->Read(buffer.data(), kLinkReadSize, &received);
        if (status != kStatusOk) {
            m_receiveQueue.Clear();
            m_insideMessage = false;
            result = status;
            break;
        }
        if (received <= 0) break;
        m_lastReceiveTime = Now();
        const uint32_t n = std::min(static_cast<uint32_t>(received), static_cast<uint32_t>(kLinkReadSize));
        m_receiveQueue.Put(buffer.data(), n);
    }

    const bool parsed = SplitMessages(m_receiveQueue, m_insideMessage, *this);

    if (m_pollMode != kPollTransfer && !m_xslotSerialWrite && Now() - m_lastReceiveTime > kSilenceLimitMs) {
        m_reselectPending = true;
        result = kStatusFailed;
    }

    if (!m_reselectPending && SendPeriodicRequest(parsed) != kStatusOk && result == kStatusOk) result = kStatusFailed;

    if (result != kStatusOk) DropUnit();
    return kStatusOk;
}

// A selection that failed: the unit identified before is no longer the one
// the link talks to, so its identity must not be reported for this
// connection (a list built from GetPID would take a dead connection for it).
void CNimbraRemote::ForgetUnit() {
    m_registers.fill(0);
    m_offline = 1;
}

NimbraStatus CNimbraRemote::ReselectLostUnit() {
    uint16_t index = m_wantedConnection;
    if (index == kNoConnection) index = m_selectedConnection;
    if (index == kNoConnection) index = 0;
    m_selectedConnection = kNoConnection;
    if (!m_lostUnit) return SelectConnection(index);

    // The old index first: it usually still names the unit. A unit without a
    // serial number cannot be told from another blank one, so it is looked
    // for there only.
    uint16_t count = 0;
    if (m_lostUnit->serial == kNoSerialNumber || m_pMidiIF->GetNumberOfConnections(&count) != kStatusOk) count = 0;
    const UnitIdentity lost = *m_lostUnit;
    m_reselecting = true;
    bool found = false;
    for (uint32_t k = 0; k <= count; ++k) {
        const uint16_t candidate = k == 0 ? index : static_cast<uint16_t>(k - 1);
        if (k > 0 && candidate == index) continue;
        uint32_t serial = kNoSerialNumber;
        found = SelectConnection(candidate) == kStatusOk && GetSerialNumber(&serial) == kStatusOk &&
                serial == lost.serial && Pid() == lost.pid;
        if (found) break;
        // Another unit: it must not pass for the lost one, not even while a
        // later candidate is being asked.
        m_selectedConnection = kNoConnection;
        ForgetUnit();
    }
    m_reselecting = false;
    if (found) {
        m_lostUnit.reset();
        return kStatusOk;
    }
    // Not there (yet): nothing is selected, the unit reads as offline, and
    // the next pass opens the link and looks again.
    m_wantedConnection = index;
    m_pMidiIF->Close();
    ForgetUnit();
    return kStatusFailed;
}

void CNimbraRemote::DropUnit() {
    // Remember who was selected; a unit dropped again while it is being
    // looked for keeps the identity it had.
    if (m_offline == 0) {
        uint32_t serial = kNoSerialNumber;
        GetSerialNumber(&serial);
        m_lostUnit = UnitIdentity{serial, Pid()};
    }
    m_selectedConnection = kNoConnection;
    if (m_pMidiIF) m_pMidiIF->Close();
    m_receiveQueue.Clear();
    m_insideMessage = false;
    m_registers.fill(0);
    m_pVXUSB.reset();
    m_offline = 1;
}

NimbraStatus CNimbraRemote::SendPeriodicRequest(bool messageParsed) {
    const uint32_t now = Now();
    const uint32_t elapsed = now - m_lastPollTime;
    switch (m_pollMode) {
    case kPollMonitor: {
        if (elapsed <= kPollIntervalMonitorMs && !messageParsed) return kStatusOk;
        m_lastPollTime = now;
        const uint8_t pid = Pid();
        if (pid == kPidQuil) return RequestRegisterStatus(0, 125);
        if (pid == kPidNimbra16 || pid == kPidNimbra8 || pid == kPidTonelink) return SendCycleRequest();
        return kStatusOk;
    }
    case kPollIdentity:
        if (elapsed <= kPollIntervalIdentityMs) return kStatusOk;
        m_lastPollTime = now;
        if (m_xslotSerialWrite) return RequestRegisterStatus(28, 31);
        if (IsQuil()) return RequestRegisterStatus(0, 125);
        return RequestRegisterStatus(1, 24);
    case kPollIdle:
        if (!IsQuilOrNimbraN() || m_registers[REMO_VX_TYPE] != kCardVxUsb || elapsed <= kPollIntervalIdleMs)
            return kStatusOk;
        m_lastPollTime = now;
        return RequestRegisterStatus(1, 31);
    case kPollProgress:
        if (elapsed <= kPollIntervalProgressMs) return kStatusOk;
        m_lastPollTime = now;
        return RequestRegisterStatus(REG_PGM_PHASE, REG_PGM_PROGRESS);
    default:
        // Transfer and read-back: the unit reports by itself.
        return kStatusOk;
    }
}

// One step of the sibling models' register cycle.
NimbraStatus CNimbraRemote::SendCycleRequest() {
    const uint32_t step = m_pollStep;
    uint16_t first = 0;
    uint16_t last = 0;
    if (m_registers[REMO_VX_TYPE] == kCardVxUsb) {
        if (step > 7) {
            m_pollStep = 0;
            return SendCycleRequest();
        }
        if (step == 0 || step == 4 || step == 6) {
            first = 1, last = 24;
        } else if (step == 2) {
            if (m_extendedMixer)
                first = 256, last = 383;
            else
                first = 64, last = 255;
        } else {
            first = 64, last = 255;
        }
        m_pollStep = step == 7 ? 0 : step + 1;
        return RequestRegisterStatus(first, last);
    }

    if (step >= 40) {
        // After the last step of the cycle: register 32 alone.
        m_pollStep = 0;
        return RequestRegisterStatus(32, 32);
    }
    if (step % 2 == 1) {
        first = 64, last = 127;
    } else if (step % 8 == 0) {
        first = 1, last = (step == 0 && m_registers[REG_ASTAT_PID] == 0) ? 125 : 24;
    } else if (step == 2 || step == 12 || step == 22 || step == 34) {
        first = 128, last = 191;
    } else if (step == 4 || step == 14 || step == 26 || step == 36) {
        first = 192, last = 255;
    } else if (step == 6 || step == 18 || step == 28 || step == 38) {
        if (m_extendedMixer)
            first = 256, last = 319;
        else
            first = 128, last = 191;
    } else {  // 10, 20, 30
        if (m_extendedMixer)
            first = 320, last = 383;
        else
            first = 192, last = 255;
    }
    m_pollStep = step + 1;
    return RequestRegisterStatus(first, last);
}

NimbraStatus CNimbraRemote::PumpMessages() {
    platform::Clock& clock = platform::CurrentClock();
    platform::UserInterface& ui = platform::CurrentUi();
    const uint32_t start = clock.TickMs();
    for (uint32_t elapsed = 0; elapsed < kPumpMessagesMs; elapsed = clock.TickMs() - start) {
        if (!ui.HandleOnePendingMessage()) clock.SleepMs(std::clamp(ui.PumpDueInMs(), 1u, kPumpMessagesMs - elapsed));
    }
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Register access

NimbraStatus CNimbraRemote::SendShortWrite(uint16_t reg, uint8_t value) {
    return SendRegisterMessage(m_pMidiIF.get(), static_cast<uint8_t>(reg & 0xFF), kOpcodeRegisterWrite, value,
                               reg > 255);
}

NimbraStatus CNimbraRemote::SendCommand(uint8_t op) { return ::SendCommand(m_pMidiIF.get(), op); }

// The short form carries eight address bits and the high-bank bit, and its
// top three address bits share byte 4 with the form bits: for registers
// 224..255 (and 480..511) they read as the 16-bit form, so the unit never
// takes such a write. Units with 16-bit addresses get that form for those
// registers and for everything above 255; the others cannot be written
// there at all.
namespace {
// The first register whose short-form write reads as the 16-bit form.
constexpr uint16_t kFirstExtendedOnlyRegister = 224;
// Registers the short form can name: 0..255, and 256..511 with the high bank.
constexpr uint16_t kShortFormRegisters = 512;
}  // namespace

bool CNimbraRemote::RegisterWritable(uint16_t reg) {
    if (reg >= kRegisterImageSize) return false;
    if (IsQuilOrNimbraN()) return true;
    return reg < kShortFormRegisters && (reg & 0xFF) < kFirstExtendedOnlyRegister;
}

NimbraStatus CNimbraRemote::WriteRegister(uint16_t reg, uint8_t value) {
    if (!RegisterWritable(reg)) return kStatusOutOfRange;
    if (IsQuilOrNimbraN() && reg >= kFirstExtendedOnlyRegister) return SendExtendedWrite(m_pMidiIF.get(), value, reg);
    return SendShortWrite(reg, value);
}

NimbraStatus CNimbraRemote::GetRegister(uint16_t reg, uint8_t* value) {
    if (reg >= kRegisterImageSize) return kStatusOutOfRange;
    if (value == nullptr) return kStatusFailed;
    *value = m_registers[reg];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetRegister(uint16_t reg, uint8_t value) {
    if (!RegisterWritable(reg)) return kStatusOutOfRange;
    m_registers[reg] = value;
    WriteRegister(reg, value);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SetHostReportMode(uint8_t value) {
    if (FirmwareMajor() >= 7)
        m_registers[REG_HOST_REPORT] = value;
    else
        m_registers[REG_HOST_REPORT] = value != 0 ? 1 : 0;
    return WriteRegister(REG_HOST_REPORT, m_registers[REG_HOST_REPORT]);
}

NimbraStatus CNimbraRemote::SetChangeCallback(uint16_t first, uint16_t second, NimbraChangeCallback callback,
                                              uint32_t user1, uint32_t user2) {
    m_watchedRegisters = {first, second};
    m_changeCallback = callback;
    m_callbackUser1 = user1;
    m_callbackUser2 = user2;
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Firmware transfer

NimbraStatus CNimbraRemote::SelectXSlotFirmware(uint8_t select) {
    uint8_t card = 0;
    GetXSlotCardType(&card);
    if (card == kCardVxDante) return m_pMidiIF ? m_pMidiIF->SetXSlotTarget(select) : kStatusFailed;
    if (select != 0)
        m_registers[REG_OPTION_SELECT] |= 0x10;
    else
        m_registers[REG_OPTION_SELECT] &= static_cast<uint8_t>(~0x10);
    return SendShortWrite(REG_OPTION_SELECT, m_registers[REG_OPTION_SELECT]);
}

NimbraStatus CNimbraRemote::SetFirmwareSize(uint32_t length) {
    if (!IsQuilOrNimbraN()) return kStatusOk;
    for (uint16_t i = 0; i < 4; ++i) {
        const uint16_t reg = static_cast<uint16_t>(REG_IMAGE_LENGTH + i);
        m_registers[reg] = static_cast<uint8_t>(length >> (8 * i));
        WriteRegister(reg, m_registers[reg]);
    }
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SelectBank(uint8_t bank) {
    if (bank == 0)
        SendCommand(kCmdSelectBank1);
    else if (bank == 1)
        SendCommand(kCmdSelectBank2);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::SelectAlternateBank() {
    const bool bank2Active = (m_registers[REG_PGM_STATUS] & kPgmStatusActiveBank) != 0;
    LogMessage("CNimbraRemote::SelectAlternateBank: Active Bank is %d, Selecting Bank %d\n", bank2Active ? 2 : 1,
               bank2Active ? 1 : 2);
    return SendCommand(bank2Active ? kCmdSelectBank1 : kCmdSelectBank2);
}

NimbraStatus CNimbraRemote::EraseEEPROM() {
    SetPollMode(kPollTransfer);
    m_registers[REG_PGM_STATUS] = kPgmStatusPip;
    SendCommand(kCmdArm);
    SendCommand(kCmdEraseStore);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::WriteFirmwarePacket(const uint8_t* data, uint32_t length) {
    if (data == nullptr || length == 0 || length > kMaxPacketData) return kStatusOutOfRange;
    m_registers[REG_PGM_STATUS] = kPgmStatusPip;
    SetPollMode(kPollTransfer);
    SendCommand(kCmdArm);
    SendCommand(kCmdPacketFollows);
    if (IsQuilOrNimbraN()) SendShortWrite(REG_PACKET_CRC, static_cast<uint8_t>(PacketCrc(data, length) & 0xFF));

    std::array<uint8_t, 130> staging{};
    std::memcpy(staging.data(), data, length);
    std::array<uint8_t, kPacketMessageArea> message;
    const size_t messageLength = BuildFirmwarePacket(message.data(), staging.data(), length);
    if (!m_pMidiIF) return kStatusFailed;
    return m_pMidiIF->Write(message.data(), static_cast<int>(messageLength));
}

NimbraStatus CNimbraRemote::GetProgramStatus(uint8_t* status) {
    Service();
    if (status == nullptr) return kStatusFailed;
    *status = m_registers[REG_PGM_STATUS];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetProgramProgress(uint8_t* phase, uint8_t* progress, uint8_t* third) {
    Service();
    if (phase == nullptr || progress == nullptr || third == nullptr) return kStatusFailed;
    *phase = m_registers[REG_PGM_PHASE];
    *progress = m_registers[REG_PGM_PROGRESS];
    *third = m_registers[REG_PGM_THIRD];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::RequestVerifyPacket() {
    m_verifyBuffer.fill(0);
    m_registers[REG_PGM_STATUS] &= static_cast<uint8_t>(~kPgmStatusPakRdy);
    SetPollMode(kPollReadBack);
    return SendCommand(kCmdSendPacketBack);
}

NimbraStatus CNimbraRemote::ReadVerifyPacket(uint8_t* dest, uint32_t length) {
    if (length == 0 || length > kVerifyBufferSize) return kStatusOutOfRange;
    if (dest == nullptr && length > 0) return kStatusFailed;
    if (length > 0) std::memcpy(dest, m_verifyBuffer.data(), length);
    return kStatusOk;
}

// A completion that could not be sent is reported: the unit never switched
// to what was written, and the caller must not call the update a success.
NimbraStatus CNimbraRemote::SetProgrammingComplete() {
    const NimbraStatus sent = SendCommand(
        (m_registers[REG_PGM_STATUS] & kPgmStatusActiveBank) != 0 ? kCmdCompleteBankSet : kCmdCompleteBankClear);
    SetPollMode(kPollMonitor);
    return sent;
}

NimbraStatus CNimbraRemote::AbortProgramming() {
    SetPollMode(kPollIdentity);
    return SendCommand(kCmdAbort);
}

// ---------------------------------------------------------------------------
// Identity

NimbraStatus CNimbraRemote::GetFirmwareMajor(uint8_t* major) {
    if (major == nullptr) return kStatusFailed;
    *major = FirmwareMajor();
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetFirmwareMinor(uint8_t* minor) {
    if (minor == nullptr) return kStatusFailed;
    *minor = static_cast<uint8_t>(((m_registers[REG_FW_REVISION] & 0x0F) << 2) | (m_registers[REG_FW_VERSION] >> 6));
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetHardwareRevision(uint8_t* revision) {
    if (revision == nullptr) return kStatusFailed;
    *revision = static_cast<uint8_t>(m_registers[REG_FW_REVISION] >> 4);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetFirmwareDate(uint16_t* date) {
    if (date == nullptr) return kStatusFailed;
    const uint8_t major = FirmwareMajor();
    if (major >= 7) {
        *date = static_cast<uint16_t>((m_registers[REG_DATE_HI] << 8) | m_registers[REG_DATE_LO]);
        return kStatusOk;
    }
    if (major < 6) {
        *date = kOldFirmwareDates[major];
        return kStatusOk;
    }
    uint8_t minor = 0;
    GetFirmwareMinor(&minor);
    // No date is known for 6.3 and later: the caller falls back to its own
    // release-date table.
    if (minor >= std::size(kFirmware6Dates)) return kStatusFailed;
    *date = kFirmware6Dates[minor];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetXSlotCardType(uint8_t* type) {
    if (type == nullptr) return kStatusFailed;
    const uint8_t card = m_registers[REMO_VX_TYPE];
    *type = card == kCardVxMadiB ? kCardVxMadi : card;
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetXSlotFirmwareVersion(uint8_t* major, uint8_t* minor) {
    if (major == nullptr) return kStatusFailed;
    *major = m_registers[REMO_VX_FW_MAJOR];
    if (minor != nullptr && IsQuilOrNimbraN()) *minor = m_registers[REMO_VX_FW_MINOR];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetXSlotHardwareRevision(uint8_t* revision) {
    if (revision == nullptr) return kStatusFailed;
    *revision = m_registers[REMO_VX_REVISION];
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetSerialNumber(uint32_t* serial) {
    if (serial == nullptr) return kStatusFailed;
    const uint8_t week = m_registers[REG_SN_WEEK];
    if (week == 0 || week == 0xFF) {
        *serial = kNoSerialNumber;
        return kStatusOk;
    }
    *serial = PackSerialNumber(Pid(), week, m_registers[REG_SN_YEAR], m_registers[REG_SN_UNIT_LO],
                               m_registers[REG_SN_UNIT_HI]);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::GetXSlotSerialNumber(uint32_t* serial) {
    if (serial == nullptr) return kStatusFailed;
    const uint8_t week = m_registers[REMO_VX_SN_WEEK];
    if (week == 0 || week == 0xFF) {
        *serial = kNoSerialNumber;
        return kStatusFailed;
    }
    uint8_t card = 0;
    GetXSlotCardType(&card);
    *serial = PackSerialNumber(card, week, m_registers[REMO_VX_SN_WEEK + 1], m_registers[REMO_VX_SN_WEEK + 2],
                               m_registers[REMO_VX_SN_WEEK + 3]);
    return kStatusOk;
}

// ---------------------------------------------------------------------------
// Serial-number writes

NimbraStatus CNimbraRemote::WriteSerialNumber(uint32_t serial) {
    SetPollMode(kPollIdentity);
    if (SerialOwner(serial) != Pid()) {
        Warn("WriteSerialNumber: SerialNumber Model does not match PID!");
        return kStatusFailed;
    }

    LogMessage("Writing Serial Number...\n");
    // The image is left alone: it must show the number only once the unit
    // reports it back.
    const SerialRegisterValues values = SplitSerialNumber(serial);
    SendShortWrite(REG_SN_WEEK, values.week);
    SendShortWrite(REG_SN_YEAR, values.year);
    SendShortWrite(REG_SN_UNIT_LO, values.unitLo);
    SendShortWrite(REG_SN_UNIT_HI, values.unitHi);

    bool matched = false;
    for (int tries = 0; tries < MAX_SN_RETIRES && !matched; ++tries) {
        if (WaitForResponse(4) != kStatusOk) {
            LogMessage("WriteSerialNumber: WaitForResponse Failed!\n");
            Warn("WriteSerialNumber WaitForResponse Failed!");
            return kStatusFailed;
        }
        uint32_t current = kNoSerialNumber;
        GetSerialNumber(&current);
        matched = current == serial;
    }
    if (!matched) {
        LogMessage("WriteSerialNumber: Timeout! (MAX_SN_RETIRES)\n");
        Warn("WriteSerialNumber Timeout!");
        return kStatusFailed;
    }

    m_registers[REG_PGM_STATUS] = kPgmStatusPip;
    SetPollMode(kPollTransfer);
    SendCommand(kCmdArm);
    SendCommand(kCmdStoreSerial);
    return kStatusOk;
}

NimbraStatus CNimbraRemote::WriteXSlotSerialNumber(uint32_t serial) {
    m_xslotSerialWrite = true;
    SetPollMode(kPollIdentity);
    uint8_t card = 0;
    GetXSlotCardType(&card);
    if (SerialOwner(serial) != card) {
        Warn("WriteXSlotSerialNumber: SerialNumber Model does not match PID!");
        m_xslotSerialWrite = false;
        return kStatusFailed;
    }
    if (m_pMidiIF) m_pMidiIF->SetXSlotTarget(1);
    auto finish = [this](NimbraStatus result) {
        if (m_pMidiIF) m_pMidiIF->SetXSlotTarget(0);
        m_xslotSerialWrite = false;
        return result;
    };

    LogMessage("WriteXSlotSerialNumber: %02lx%02ld%02ld%04ld\n", SerialOwner(serial), SerialYear(serial),
               SerialWeek(serial), SerialUnit(serial));
    const SerialRegisterValues values = SplitSerialNumber(serial);
    SendShortWrite(REMO_VX_SN_WEEK, values.week);
    SendShortWrite(REMO_VX_SN_WEEK + 1, values.year);
    SendShortWrite(REMO_VX_SN_WEEK + 2, values.unitLo);
    SendShortWrite(REMO_VX_SN_WEEK + 3, values.unitHi);

    bool matched = false;
    for (int tries = 0; tries < MAX_SN_RETIRES && !matched; ++tries) {
        if (WaitForResponse(4) != kStatusOk) {
            LogMessage("WriteXSlotSerialNumber: WaitForResponse Failed!\n");
            Warn("WriteXSlotSerialNumber WaitForResponse Failed!");
            return finish(kStatusFailed);
        }
        uint32_t current = kNoSerialNumber;
        GetXSlotSerialNumber(&current);
        LogMessage("WriteXSlotSerialNumber: GetXSlotSerialNumber %02lx%02ld%02ld%04ld\n", SerialOwner(current),
                   SerialYear(current), SerialWeek(current), SerialUnit(current));
        matched = current == serial;
    }
    if (!matched) {
        LogMessage("WriteXSlotSerialNumber: Timeout! (MAX_SN_RETIRES)\n");
        Warn("WriteXSlotSerialNumber Timeout!");
        return finish(kStatusFailed);
    }

    m_registers[REG_PGM_STATUS] = kPgmStatusPip;
    SetPollMode(kPollTransfer);
    SendCommand(kCmdArm);
    SendCommand(kCmdStoreSerial);
    return finish(kStatusOk);
}

// ---------------------------------------------------------------------------
// Sample rate: register 3 bits 6..4, or the USB card's own clock when a
// VX-USB card carries the audio.

namespace {
constexpr uint16_t REG_CLOCK = 3;
constexpr uint16_t REG_CARD_FLAGS = 19;  // bit 0: the card sets the rate
constexpr uint8_t kRateShift = 4;
constexpr uint8_t kRateMask = 0x70;
constexpr std::array<uint32_t, 6> kSampleRatesHz = {44100, 48000, 88200, 96000, 176400, 192000};
}  // namespace

NimbraStatus CNimbraRemote::SetSampleRate(uint8_t index) {
    if (m_registers[REMO_VX_TYPE] == kCardVxUsb) {
        if (!m_pVXUSB) return kStatusFailed;
        if (index >= kSampleRatesHz.size()) return kStatusOutOfRange;
        const TUsbAudioStatus status = m_pVXUSB->SetSampleRate(kSampleRatesHz[index]);
        if (status == kTUsbAudioOk) {
            m_registers[REG_CLOCK] =
                static_cast<uint8_t>((m_registers[REG_CLOCK] & ~kRateMask) | (index << kRateShift));
            PumpMessages();
            return kStatusOk;
        }
        if (status == kTUsbAudioDeviceInUse)
            platform::ShowOkBox("Cannot change Sample Rate with Active Devices!", "VX-USB", platform::BoxIcon::Warning,
                                false);
        return kStatusFailed;
    }
    if (m_registers[REG_CARD_FLAGS] & 0x01) return kStatusFailed;
    if (index >= kSampleRatesHz.size()) return kStatusOutOfRange;
    m_registers[REG_CLOCK] = static_cast<uint8_t>((m_registers[REG_CLOCK] & ~kRateMask) | (index << kRateShift));
    return WriteRegister(REG_CLOCK, m_registers[REG_CLOCK]);
}

NimbraStatus CNimbraRemote::GetSampleRate(uint8_t* index) {
    if (index == nullptr) return kStatusFailed;
    if (m_registers[REMO_VX_TYPE] == kCardVxUsb && m_pVXUSB) {
        uint32_t rate = 0;
        if (m_pVXUSB->GetCurrentSampleRate(&rate) != kTUsbAudioOk) return kStatusFailed;
        const auto* found = std::find(kSampleRatesHz.begin(), kSampleRatesHz.end(), rate);
        if (found == kSampleRatesHz.end()) return kStatusOutOfRange;
        *index = static_cast<uint8_t>(found - kSampleRatesHz.begin());
        return kStatusOk;
    }
    *index = static_cast<uint8_t>((m_registers[REG_CLOCK] & kRateMask) >> kRateShift);
    return kStatusOk;
}
