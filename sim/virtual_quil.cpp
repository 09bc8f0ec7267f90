#include "sim/virtual_quil.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"

namespace sim {

namespace {

constexpr uint8_t kSysExStart = 0xF0;
constexpr uint8_t kSysExEnd = 0xF7;
constexpr uint8_t kManufacturer[3] = {0x00, 0x01, 0x54};

constexpr unsigned kOpWrite = 0;
constexpr unsigned kOpStatusRequest = 13;
constexpr unsigned kOpStatusReply = 14;
constexpr unsigned kOpPacket = 15;
constexpr unsigned kExtendedForm = 7;

constexpr unsigned kCmdReload = 1;
constexpr unsigned kCmdErase = 3;
constexpr unsigned kCmdPacketFollows = 4;
constexpr unsigned kCmdReadBack = 5;
constexpr unsigned kCmdBank1 = 6;
constexpr unsigned kCmdBank2 = 7;
constexpr unsigned kCmdCompleteSet = 8;
constexpr unsigned kCmdCompleteClear = 9;
constexpr unsigned kCmdStoreSerial = 10;
constexpr unsigned kCmdAbort = 11;
constexpr unsigned kCmdArm = 12;

constexpr uint32_t kRegStoreSelect = 5;
constexpr uint8_t kStoreSelectCard = 0x10;
constexpr uint32_t kRegStatus = 9;
constexpr uint32_t kRegSerial = 12;
constexpr uint32_t kRegCardType = 16;
constexpr uint32_t kRegHostReport = 27;
constexpr uint32_t kRegCardSerial = 28;
constexpr uint32_t kRegImageLength = 48;
constexpr uint32_t kRegPacketCrc = 52;
constexpr uint32_t kRegPhase = 56;
constexpr uint32_t kRegOverall = 57;
constexpr uint32_t kRegPhaseProgress = 58;
constexpr uint32_t kReadBackFirst = 128;

constexpr size_t kPacketBytes = 128;
constexpr size_t kMaxImageBytes = size_t{16} << 20;  // one flash bank
constexpr size_t kMaxRecorded = size_t{1} << 20;     // messages kept in the traffic log

// Phases the main unit reports in register 56.
constexpr uint8_t kPhaseEraseA = 2;
constexpr uint8_t kPhaseEraseB = 3;
constexpr uint8_t kPhaseProgram = 4;
constexpr uint8_t kPhaseVerify = 5;
constexpr uint8_t kPhaseComplete = 6;

// Every FPGA bitstream begins with sixteen 0xFF bytes and the sync word.
constexpr uint8_t kSyncWord[4] = {0xAA, 0x99, 0x55, 0x66};

// The check byte a command message carries: the bits of the opcode nibble
// and then of the complement byte, least significant first, through an
// 8-bit shift register with feedback 0x1D.
uint8_t CommandCheck(unsigned op, uint8_t complement) {
    unsigned c = 0xFF;
    const uint8_t bytes[2] = {static_cast<uint8_t>(op & 0x0F), complement};
    for (uint8_t byte : bytes) {
        for (int bit = 0; bit < 8; ++bit) {
            c = ((c << 1) & 0xFF) ^ (((byte >> bit) & 1) ? 0x1Du : 0u);
        }
    }
    return static_cast<uint8_t>(c);
}

// CRC-8 of a firmware packet: polynomial 0x1D, start 0xFF, data bits least
// significant first, feedback = register bit 7 XOR data bit.
struct CrcTable {
    std::array<uint8_t, 256> entries{};
    CrcTable() {
        // Feeding a byte LSB first is feeding its bit reversal MSB first.
        for (unsigned v = 0; v < 256; ++v) {
            unsigned c = v;
            for (int i = 0; i < 8; ++i) {
                c = (c & 0x80) ? ((c << 1) ^ 0x1D) : (c << 1);
                c &= 0xFF;
            }
            entries[v] = static_cast<uint8_t>(c);
        }
    }
};

uint8_t Reverse(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
    return b;
}

uint8_t PacketCrc(const uint8_t* data, size_t n) {
    static const CrcTable table;
    uint8_t c = 0xFF;
    for (size_t i = 0; i < n; ++i) {
        c = table.entries[c ^ Reverse(data[i])];
    }
    return c;
}

// A decoded message.
struct Decoded {
    MessageKind kind = MessageKind::Malformed;
    bool extended = false;
    unsigned op = 0;
    uint32_t address = 0;
    uint32_t value = 0;
    // Firmware packets: data bytes, or 0 with `packetValid` false.
    bool packetValid = false;
    size_t packetLength = 0;
};

// Unpacks the firmware packet stream that starts with the opcode nibble at
// payload[0]. Checks that the length fits a whole number of data bytes and
// that every pad bit and the trailing extra byte are zero.
bool UnpackPacket(const uint8_t* payload, size_t payloadLength, uint8_t* out, size_t& n) {
    // payloadLength = floor((4 + 8n) / 7) + 1 for n data bytes.
    if (payloadLength < 2) {
        return false;
    }
    // floor((4 + 8n) / 7) = g  <=>  7g - 4 <= 8n <= 7g + 2: at most one n.
    const size_t groups = payloadLength - 1;
    const size_t found = (7 * groups >= 4) ? (7 * groups - 4 + 7) / 8 : 0;
    if (8 * found > 7 * groups + 2 || found == 0 || found > kPacketBytes) {
        return false;
    }
    n = found;
    const size_t totalBits = 4 + 8 * n;
    const size_t usedBytes = (totalBits + 6) / 7;  // bytes that carry stream bits
    uint32_t acc = 0;
    unsigned bits = 0;
    size_t outIndex = 0;
    bool skippedOpcode = false;
    for (size_t i = 0; i < usedBytes; ++i) {
        acc = (acc << 7) | payload[i];
        bits += 7;
        if (!skippedOpcode && bits >= 4) {
            bits -= 4;
            acc &= (1u << bits) - 1;
            skippedOpcode = true;
        }
        while (bits >= 8 && outIndex < n) {
            bits -= 8;
            out[outIndex++] = static_cast<uint8_t>(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    if (outIndex != n || acc != 0) {
        return false;  // pad bits not zero
    }
    for (size_t i = usedBytes; i < payloadLength; ++i) {
        if (payload[i] != 0) {
            return false;
        }
    }
    return true;
}

// Reads one message. `packet` receives a firmware packet's data.
Decoded Decode(const uint8_t* d, size_t len, uint8_t* packet) {
    Decoded m;
    if (len < 6 || d[0] != kSysExStart || d[len - 1] != kSysExEnd ||
        std::memcmp(d + 1, kManufacturer, sizeof kManufacturer) != 0) {
        return m;
    }
    for (size_t i = 1; i + 1 < len; ++i) {
        if (d[i] & 0x80) {
            return m;
        }
    }
    const unsigned op = (d[4] >> 3) & 0x0F;
    const unsigned form = d[4] & 0x07;
    m.op = op;
    auto shortFields = [&]() {
        m.address = (form << 5) | (d[5] >> 2);
        if (d[6] & 1) {
            m.address += 256;
        }
        m.value = ((d[5] & 3u) << 6) | (d[6] >> 1);
    };
    if (op == kOpWrite) {
        if (form == kExtendedForm) {
            if (len != 10 || (d[8] & 0x0F) != 0) return m;
            m.extended = true;
            m.address = (uint32_t{d[5]} << 9) | (uint32_t{d[6]} << 2) | (d[7] >> 5);
            m.value = ((d[7] & 0x1Fu) << 3) | (d[8] >> 4);
        } else {
            if (len != 8) return m;
            shortFields();
        }
        m.kind = MessageKind::RegisterWrite;
    } else if (op == kOpStatusRequest) {
        if (form == kExtendedForm) {
            if (len != 11 || (d[9] & 0x07) != 0) return m;
            m.extended = true;
            m.address = (uint32_t{d[5]} << 9) | (uint32_t{d[6]} << 2) | (d[7] >> 5);
            m.value = ((d[7] & 0x1Fu) << 11) | (uint32_t{d[8]} << 4) | (d[9] >> 3);
        } else {
            if (len != 8) return m;
            shortFields();
        }
        m.kind = MessageKind::StatusRequest;
    } else if (op == kOpStatusReply) {
        m.kind = MessageKind::StatusReply;
    } else if (op == kOpPacket) {
        m.kind = MessageKind::FirmwarePacket;
        m.packetValid = UnpackPacket(d + 4, len - 5, packet, m.packetLength);
        m.value = static_cast<uint32_t>(m.packetLength);
    } else {
        // Commands 1..12: the short layout with the complement byte in the
        // address field and the check byte in the value field.
        if (len != 8 || (d[6] & 1) != 0) return m;
        const uint8_t complement = static_cast<uint8_t>((form << 5) | (d[5] >> 2));
        const uint8_t check = static_cast<uint8_t>(((d[5] & 3u) << 6) | (d[6] >> 1));
        const uint8_t expected = static_cast<uint8_t>(((~op) & 0x0Fu) * 0x11u);
        if (complement != expected || check != CommandCheck(op, complement)) return m;
        m.kind = MessageKind::Command;
        m.address = op;
    }
    return m;
}

// Appends `n` bytes as a reply data block: one bit stream, MSB first, in
// 7-bit groups, the last group padded with zeros.
void PackData(std::vector<uint8_t>& out, const uint8_t* data, size_t n) {
    uint32_t acc = 0;
    unsigned bits = 0;
    for (size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 7) {
            bits -= 7;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0x7F));
        }
        acc &= (1u << bits) - 1;
    }
    if (bits > 0) {
        out.push_back(static_cast<uint8_t>((acc << (7 - bits)) & 0x7F));
    }
}

bool TimeReached(uint32_t now, uint32_t at) { return static_cast<int32_t>(now - at) >= 0; }

}  // namespace

struct VirtualQuil::Impl {
    enum class Job { None, MainErase, CardErase, Flash };

    UnitDescription desc;
    std::array<uint8_t, kRegisterCount> regs{};
    std::array<uint8_t, 4> storedSerial{};
    std::array<uint8_t, 4> storedCardSerial{};
    std::vector<uint8_t> banks[2];
    std::vector<uint8_t> card;
    std::vector<size_t> cardPacketEnds;  // end offset of each stored packet
    size_t readCursor = 0;               // next packet command 5 returns
    bool cardWritable = false;           // erased since the last completion
    uint8_t cardStatus = 0;              // register 9 of the card's own endpoint

    int selectedBank = 1;
    bool armed = false;
    bool packetExpected = false;

    // Main-store transfer, and the image the running flash work programs
    // (its own copy: a new announcement must not cut it short).
    std::vector<uint8_t> staging;
    std::vector<uint8_t> flashImage;
    bool mainReceiving = true;
    uint32_t mainPacketIndex = 0;
    uint32_t cardPacketIndex = 0;

    // Timed work.
    Job job = Job::None;
    platform::Endpoint jobEndpoint = platform::Endpoint::Unit;  // where the job was started, and reports
    uint32_t jobStart = 0;  // start of the job (erase) or of the current phase (flash)
    uint8_t phase = 0;
    int jobBank = 1;

    // Replies and traffic.
    std::vector<std::vector<uint8_t>> pending;
    std::vector<ReceivedMessage> received;
    bool record = true;
    uint64_t repliesSent = 0;
    std::array<uint8_t, kPacketBytes + 8> packetBuffer{};

    // Faults.
    unsigned dropCount = 0;
    unsigned corruptCount = 0;
    ReplyCorruption corruption = ReplyCorruption::WrongFirstRegister;
    bool silent = false;
    bool silentForGood = false;
    uint32_t silentUntil = 0;
    bool silenceAfterPacketSet = false;
    uint32_t silenceAfterPacketIndex = 0;
    uint32_t silenceAfterPacketMs = 0;
    bool failPacketSet = false;
    uint32_t failPacketIndex = 0;
    uint8_t failPacketBits = 0;
    bool eraseOverride = false;
    uint32_t eraseOverrideMs = 0;
    bool quickFlash = false;
    uint32_t quickFlashMs = 0;
    bool eraseNeverEnds = false;
    uint8_t stallPhase = 0;
    uint8_t stallPercent = 0;
    bool corruptReadBackSet = false;
    uint32_t corruptReadBackIndex = 0;
    bool serialStuck = false;
    bool linkFailed = false;

    explicit Impl(const UnitDescription& d) : desc(d) {
        PresetRegisters(desc, regs);
        std::copy_n(regs.begin() + kRegSerial, 4, storedSerial.begin());
        std::copy_n(regs.begin() + kRegCardSerial, 4, storedCardSerial.begin());
        staging.reserve(kPacketBytes * 64);
    }

    uint8_t Pid() const { return EffectivePid(regs[1], regs[6]); }
    bool ChecksCrc() const { return Pid() == kPidQuil || Pid() == kPidNimbraN; }
    bool HasDanteCard() const { return regs[kRegCardType] == kCardVxDante; }
    uint32_t AnnouncedLength() const {
        return uint32_t{regs[kRegImageLength]} | (uint32_t{regs[kRegImageLength + 1]} << 8) |
               (uint32_t{regs[kRegImageLength + 2]} << 16) | (uint32_t{regs[kRegImageLength + 3]} << 24);
    }
    bool CardTarget(platform::Endpoint endpoint) const {
        return endpoint == platform::Endpoint::OptionCard || (regs[kRegStoreSelect] & kStoreSelectCard) != 0;
    }

    uint32_t WorkMs(uint32_t described) const { return quickFlash ? quickFlashMs : described; }
    uint32_t EraseMs(uint32_t described) const { return eraseOverride ? eraseOverrideMs : WorkMs(described); }

    // ---- replies ---------------------------------------------------------

    bool SilentNow() {
        if (!silent) return false;
        if (silentForGood) return true;
        if (TimeReached(platform::CurrentClock().TickMs(), silentUntil)) {
            silent = false;
            return false;
        }
        return true;
    }

    void Emit(std::vector<uint8_t>&& reply) {
        if (SilentNow()) return;
        if (dropCount > 0) {
            --dropCount;
            return;
        }
        if (corruptCount > 0) {
            --corruptCount;
            Corrupt(reply);
        }
        ++repliesSent;
        pending.push_back(std::move(reply));
    }

    void Corrupt(std::vector<uint8_t>& reply) {
        const bool extended = (reply[4] & 0x07) == kExtendedForm;
        const size_t dataStart = extended ? 10 : 7;
        switch (corruption) {
        case ReplyCorruption::WrongFirstRegister: {
            if (extended) {
                uint32_t first = (uint32_t{reply[5]} << 9) | (uint32_t{reply[6]} << 2) | (reply[7] >> 5);
                ++first;
                reply[5] = static_cast<uint8_t>((first >> 9) & 0x7F);
                reply[6] = static_cast<uint8_t>((first >> 2) & 0x7F);
                reply[7] = static_cast<uint8_t>(((first & 3) << 5) | (reply[7] & 0x1F));
            } else {
                unsigned first = ((reply[4] & 7u) << 5) | (reply[5] >> 2);
                first = (first + 1) & 0xFF;
                reply[4] = static_cast<uint8_t>((reply[4] & 0x78) | (first >> 5));
                reply[5] = static_cast<uint8_t>(((first & 0x1F) << 2) | (reply[5] & 3));
            }
            break;
        }
        case ReplyCorruption::BadLength:
            if (reply.size() > dataStart + 1) {
                reply.erase(reply.end() - 2);
            }
            break;
        case ReplyCorruption::FlippedData:
            if (reply.size() > dataStart + 1) {
                reply[dataStart] ^= 0x40;
            }
            break;
        }
    }

    // A register status reply for `count` registers from `first`.
    void Reply(uint32_t first, size_t count, bool extended) {
        if (first >= kRegisterCount || count == 0) return;
        count = std::min(count, kRegisterCount - first);
        Reply(first, regs.data() + first, count, extended);
    }

    void Reply(uint32_t first, const uint8_t* data, size_t count, bool extended) {
        std::vector<uint8_t> out;
        out.reserve(12 + (count * 8 + 6) / 7);
        out.push_back(kSysExStart);
        out.insert(out.end(), std::begin(kManufacturer), std::end(kManufacturer));
        const uint32_t span = static_cast<uint32_t>(count - 1);
        if (!extended && first >= 512) extended = true;  // no short form for these
        if (extended) {
            out.push_back(static_cast<uint8_t>((kOpStatusReply << 3) | kExtendedForm));
            out.push_back(static_cast<uint8_t>((first >> 9) & 0x7F));
            out.push_back(static_cast<uint8_t>((first >> 2) & 0x7F));
            out.push_back(static_cast<uint8_t>(((first & 3) << 5) | ((span >> 11) & 0x1F)));
            out.push_back(static_cast<uint8_t>((span >> 4) & 0x7F));
            out.push_back(static_cast<uint8_t>((span & 0x0F) << 3));
        } else {
            const bool high = first >= 256;
            const uint32_t address = first & 0xFF;
            const uint32_t value = span & 0xFF;
            out.push_back(static_cast<uint8_t>((kOpStatusReply << 3) | (address >> 5)));
            out.push_back(static_cast<uint8_t>(((address & 0x1F) << 2) | (value >> 6)));
            out.push_back(static_cast<uint8_t>(((value & 0x3F) << 1) | (high ? 1 : 0)));
        }
        PackData(out, data, count);
        out.push_back(kSysExEnd);
        Emit(std::move(out));
    }

    // Register 9 as the endpoint that is addressed sees it: the option
    // card's own endpoint has a programming status of its own, so that the
    // card's completion never marks the unit's flash bank.
    uint8_t& Status(platform::Endpoint endpoint) {
        return endpoint == platform::Endpoint::OptionCard ? cardStatus : regs[kRegStatus];
    }

    // A status reply for `count` registers from `first` as `endpoint` sees them.
    void ReplyTo(platform::Endpoint endpoint, uint32_t first, size_t count, bool extended) {
        const bool coversStatus = first <= kRegStatus && first + count > kRegStatus;
        if (endpoint != platform::Endpoint::OptionCard || !coversStatus) {
            Reply(first, count, extended);
            return;
        }
        count = std::min(count, kRegisterCount - first);
        std::vector<uint8_t> view(regs.begin() + first, regs.begin() + static_cast<std::ptrdiff_t>(first + count));
        view.at(kRegStatus - first) = cardStatus;
        Reply(first, view.data(), view.size(), extended);
    }

    // The report of register 9 after a packet, an erase or a store, from the
    // endpoint that did the work.
    void ReportStatus(uint8_t bits, platform::Endpoint endpoint) {
        uint8_t& status = Status(endpoint);
        status = static_cast<uint8_t>((status & kStatusActiveBank) | (job != Job::None ? kStatusPip : 0) | bits);
        ReplyTo(endpoint, kRegStatus, 1, false);
    }

    // ---- received messages -----------------------------------------------

    void Receive(const uint8_t* data, size_t length, platform::Endpoint endpoint) {
        if (data == nullptr) length = 0;
        const Decoded m = Decode(data, length, packetBuffer.data());
        ReceivedMessage* log = nullptr;
        if (record) {
            ReceivedMessage entry;
            entry.kind = m.kind;
            entry.endpoint = endpoint;
            entry.extended = m.extended;
            entry.address = static_cast<uint16_t>(m.address);
            entry.value = static_cast<uint16_t>(m.value);
            entry.raw.assign(data, data + length);
            if (received.size() >= kMaxRecorded) {
                // A long demo run keeps the most recent half.
                received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(kMaxRecorded / 2));
            }
            received.push_back(std::move(entry));
            log = &received.back();
        }
        if (SilentNow()) {
            return;  // lost on the way in
        }
        RunDueWork();
        const bool wasArmed = armed;
        armed = false;
        bool accepted = false;
        switch (m.kind) {
        case MessageKind::RegisterWrite: accepted = Write(m.address, static_cast<uint8_t>(m.value), endpoint); break;
        case MessageKind::StatusRequest:
            if (m.address < kRegisterCount) {
                const size_t count = m.extended ? size_t{m.value} + 1 : size_t{m.value & 0xFF} + 1;
                ReplyTo(endpoint, m.address, count, m.extended);
                accepted = true;
            }
            break;
        case MessageKind::Command: accepted = Command(m.address, wasArmed, endpoint); break;
        case MessageKind::FirmwarePacket: accepted = Packet(m, endpoint); break;
        case MessageKind::StatusReply:
        case MessageKind::Malformed: break;
        }
        if (log != nullptr) {
            log->accepted = accepted;
        }
    }

    bool Write(uint32_t r, uint8_t value, platform::Endpoint endpoint) {
        if (r >= kRegisterCount) return false;
        if (r == kRegStatus && endpoint == platform::Endpoint::OptionCard) {
            cardStatus = value;
            return true;
        }
        const bool serialRegister =
            (r >= kRegSerial && r < kRegSerial + 4) || (r >= kRegCardSerial && r < kRegCardSerial + 4);
        if (serialRegister && serialStuck) {
            return true;  // taken, but the number never changes
        }
        regs[r] = value;
        if (r >= kRegImageLength && r < kRegImageLength + 4) {
            // A new image is announced: the main-store transfer starts over.
            staging.clear();
            mainReceiving = true;
            mainPacketIndex = 0;
        }
        return true;
    }

    bool Command(unsigned op, bool wasArmed, platform::Endpoint endpoint) {
        if (op != kCmdArm) {
            packetExpected = false;
        }
        switch (op) {
        case kCmdArm: armed = true; return true;
        case kCmdErase:
        case kCmdPacketFollows:
        case kCmdStoreSerial:
            if (!wasArmed) {
                ReportStatus(kStatusTxErr, endpoint);
                return false;
            }
            if (op == kCmdPacketFollows) {
                packetExpected = true;
                return true;
            }
            if (op == kCmdStoreSerial) {
                std::copy_n(regs.begin() + kRegSerial, 4, storedSerial.begin());
                std::copy_n(regs.begin() + kRegCardSerial, 4, storedCardSerial.begin());
                ReportStatus(0, endpoint);
                return true;
            }
            return Erase(endpoint);
        case kCmdReadBack: return ReadBack(endpoint);
        case kCmdBank1:
        case kCmdBank2: selectedBank = op == kCmdBank1 ? 1 : 2; return true;
        case kCmdCompleteSet:
        case kCmdCompleteClear:
            if (op == kCmdCompleteSet) {
                Status(endpoint) |= kStatusActiveBank;
            } else {
                Status(endpoint) &= static_cast<uint8_t>(~kStatusActiveBank);
            }
            cardWritable = false;
            return true;
        case kCmdAbort:
            job = Job::None;
            staging.clear();
            mainReceiving = true;
            mainPacketIndex = 0;
            Status(endpoint) &= kStatusActiveBank;
            regs[kRegPhase] = regs[kRegOverall] = regs[kRegPhaseProgress] = 0;
            return true;
        case kCmdReload:
            // Serial numbers that were written but never stored are lost.
            std::copy(storedSerial.begin(), storedSerial.end(), regs.begin() + kRegSerial);
            std::copy(storedCardSerial.begin(), storedCardSerial.end(), regs.begin() + kRegCardSerial);
            return true;
        default:  // command 2: no effect
            return true;
        }
    }

    bool Erase(platform::Endpoint endpoint) {
        if (job != Job::None) {
            ReportStatus(kStatusTxErr, endpoint);
            return false;
        }
        if (CardTarget(endpoint)) {
            if (!HasDanteCard()) {
                ReportStatus(kStatusTxErr, endpoint);
                return false;
            }
            card.clear();
            cardPacketEnds.clear();
            readCursor = 0;
            cardPacketIndex = 0;
            cardWritable = true;
            StartJob(Job::CardErase, endpoint);
        } else {
            // Erasing the bank also drops a transfer that was under way.
            staging.clear();
            mainReceiving = true;
            mainPacketIndex = 0;
            banks[selectedBank - 1].clear();
            jobBank = selectedBank;
            StartJob(Job::MainErase, endpoint);
        }
        return true;
    }

    bool ReadBack(platform::Endpoint endpoint) {
        if (!CardTarget(endpoint) || !HasDanteCard() || job == Job::CardErase) {
            ReportStatus(kStatusTxErr, endpoint);
            return false;
        }
        std::array<uint8_t, kPacketBytes> out;
        out.fill(0xFF);  // erased flash beyond the last packet
        const size_t index = readCursor;
        if (index < cardPacketEnds.size()) {
            const size_t begin = index == 0 ? 0 : cardPacketEnds[index - 1];
            const size_t end = cardPacketEnds[index];
            std::fill(out.begin(), out.end(), uint8_t{0});
            std::copy(card.begin() + static_cast<std::ptrdiff_t>(begin),
                      card.begin() + static_cast<std::ptrdiff_t>(end), out.begin());
        }
        ++readCursor;
        if (corruptReadBackSet && corruptReadBackIndex == index) {
            corruptReadBackSet = false;
            out[index % kPacketBytes] ^= 0x01;
        }
        Reply(kReadBackFirst, out.data(), out.size(), false);
        return true;
    }

    bool Packet(const Decoded& m, platform::Endpoint endpoint) {
        const bool expected = packetExpected;
        packetExpected = false;
        const bool toCard = CardTarget(endpoint);
        uint32_t& index = toCard ? cardPacketIndex : mainPacketIndex;
        if (!expected || !m.packetValid) {
            ReportStatus(kStatusTxErr, endpoint);
            return false;
        }
        const uint8_t* data = packetBuffer.data();
        const size_t n = m.packetLength;
        if (ChecksCrc() && PacketCrc(data, n) != regs[kRegPacketCrc]) {
            ReportStatus(kStatusTxErr, endpoint);
            return false;
        }
        if (toCard) {
            if (!HasDanteCard() || job == Job::CardErase) {
                ReportStatus(kStatusTxErr, endpoint);
                return false;
            }
        } else if (job != Job::None || !mainReceiving) {
            ReportStatus(kStatusTxErr, endpoint);
            return false;
        }
        const uint32_t thisIndex = index++;
        // Falls silent once this packet has been answered.
        struct SilenceAfter {
            Impl& unit;
            bool armed;
            ~SilenceAfter() {
                if (!armed) return;
                unit.silenceAfterPacketSet = false;
                unit.silent = true;
                unit.silentForGood = unit.silenceAfterPacketMs == 0;
                unit.silentUntil = platform::CurrentClock().TickMs() + unit.silenceAfterPacketMs;
            }
        } silenceAfter{*this, silenceAfterPacketSet && silenceAfterPacketIndex == thisIndex};
        if (failPacketSet && failPacketIndex == thisIndex) {
            failPacketSet = false;
            ReportStatus(failPacketBits, endpoint);
            return false;
        }
        if (toCard) {
            if (!cardWritable) {
                ReportStatus(kStatusPgmErr, endpoint);  // flash not erased
                return false;
            }
            card.insert(card.end(), data, data + n);
            cardPacketEnds.push_back(card.size());
            readCursor = 0;
            ReportStatus(0, endpoint);
            return true;
        }
        if (staging.size() + n > kMaxImageBytes) {
            ReportStatus(kStatusPgmErr, endpoint);
            return false;
        }
        staging.insert(staging.end(), data, data + n);
        ReportStatus(0, endpoint);
        const uint32_t length = AnnouncedLength();
        if (length > 0 && staging.size() >= length) {
            staging.resize(length);
            mainReceiving = false;
            flashImage = staging;
            jobBank = selectedBank;
            StartJob(Job::Flash, endpoint);
        }
        return true;
    }

    // ---- timed work ------------------------------------------------------

    void StartJob(Job j, platform::Endpoint endpoint) {
        job = j;
        jobEndpoint = endpoint;
        jobStart = platform::CurrentClock().TickMs();
        uint8_t& status = Status(endpoint);
        status = static_cast<uint8_t>((status & kStatusActiveBank) | kStatusPip);
        if (j == Job::Flash) {
            EnterPhase(kPhaseEraseA);
            SetProgress(0);
        }
    }

    uint32_t PhaseMs(uint8_t p) const {
        const uint32_t erase = EraseMs(desc.eraseMs);
        switch (p) {
        case kPhaseEraseA: return erase / 2;
        case kPhaseEraseB: return erase - erase / 2;
        case kPhaseProgram: return WorkMs(desc.programMs);
        case kPhaseVerify: return WorkMs(desc.verifyMs);
        default: return 0;
        }
    }

    void EnterPhase(uint8_t p) {
        phase = p;
        if (p == kPhaseEraseA) {
            banks[jobBank - 1].clear();
        }
    }

    void SetProgress(unsigned percent) {
        const uint8_t overall = static_cast<uint8_t>(phase >= kPhaseComplete ? 100 : ((phase - 2) * 100 + percent) / 4);
        const bool changed =
            regs[kRegPhase] != phase || regs[kRegPhaseProgress] != percent || regs[kRegOverall] != overall;
        regs[kRegPhase] = phase;
        regs[kRegPhaseProgress] = static_cast<uint8_t>(percent);
        regs[kRegOverall] = overall;
        if (changed && regs[kRegHostReport] != 0) {
            Reply(kRegPhase, 3, false);  // the unit reports its progress to a listening host
        }
    }

    // Programs the bank up to `percent` of the image.
    void ProgramUpTo(unsigned percent) {
        auto& bank = banks[jobBank - 1];
        const size_t target = flashImage.size() * percent / 100;
        if (bank.size() < target) {
            bank.insert(bank.end(), flashImage.begin() + static_cast<std::ptrdiff_t>(bank.size()),
                        flashImage.begin() + static_cast<std::ptrdiff_t>(target));
        }
    }

    bool ImageLooksLikeBitstream(const std::vector<uint8_t>& image) const {
        if (image.size() < 20) return false;
        for (size_t i = 0; i < 16; ++i) {
            if (image[i] != 0xFF) return false;
        }
        return std::memcmp(image.data() + 16, kSyncWord, sizeof kSyncWord) == 0;
    }

    void RunDueWork() {
        if (job == Job::None) return;
        const uint32_t now = platform::CurrentClock().TickMs();
        if (job == Job::MainErase || job == Job::CardErase) {
            const uint32_t duration = EraseMs(job == Job::CardErase ? desc.cardEraseMs : desc.eraseMs);
            if (eraseNeverEnds || now - jobStart < duration) return;
            job = Job::None;
            ReportStatus(0, jobEndpoint);
            return;
        }
        // Flash work of the main unit, phase after phase.
        for (;;) {
            const uint32_t elapsed = now - jobStart;
            const uint32_t duration = PhaseMs(phase);
            const bool eraseStuck = eraseNeverEnds && (phase == kPhaseEraseA || phase == kPhaseEraseB);
            unsigned percent = duration == 0
                                   ? 100
                                   : static_cast<unsigned>(std::min<uint64_t>(100, uint64_t{elapsed} * 100 / duration));
            if (eraseStuck) percent = std::min(percent, 99u);
            if (stallPhase == phase) percent = std::min<unsigned>(percent, stallPercent);
            if (phase == kPhaseProgram) ProgramUpTo(percent);
            if (eraseStuck || stallPhase == phase || elapsed < duration) {
                SetProgress(percent);
                return;
            }
            // The phase is done.
            if (phase == kPhaseVerify) {
                SetProgress(100);
                job = Job::None;
                if (!ImageLooksLikeBitstream(banks[jobBank - 1])) {
                    ReportStatus(kStatusPgmErr, jobEndpoint);
                    return;
                }
                phase = kPhaseComplete;
                SetProgress(100);
                ReportStatus(0, jobEndpoint);
                return;
            }
            jobStart += duration;
            EnterPhase(static_cast<uint8_t>(phase + 1));
        }
    }

    bool NextEvent(uint32_t& tickMs) {
        RunDueWork();
        const uint32_t now = platform::CurrentClock().TickMs();
        if (!pending.empty()) {
            tickMs = now;
            return true;
        }
        if (job == Job::None) return false;
        const bool erasing = job != Job::Flash || phase == kPhaseEraseA || phase == kPhaseEraseB;
        if (eraseNeverEnds && erasing) return false;
        if (job == Job::MainErase || job == Job::CardErase) {
            tickMs = jobStart + EraseMs(job == Job::CardErase ? desc.cardEraseMs : desc.eraseMs);
            return true;
        }
        if (stallPhase == phase) return false;
        const uint32_t duration = PhaseMs(phase);
        tickMs = jobStart + duration;
        if (regs[kRegHostReport] != 0 && duration > 0) {
            // The next whole percent of the phase, which the unit reports.
            const uint64_t percent = uint64_t{now - jobStart} * 100 / duration;
            tickMs = jobStart + static_cast<uint32_t>(((percent + 1) * duration + 99) / 100);
        }
        return true;
    }
};

bool VirtualQuil::NextEvent(uint32_t& tickMs) { return m_impl->NextEvent(tickMs); }

VirtualQuil::VirtualQuil(const UnitDescription& description) : m_impl(std::make_unique<Impl>(description)) {}

VirtualQuil::~VirtualQuil() = default;

void VirtualQuil::ReceiveMessage(const uint8_t* data, size_t length, platform::Endpoint endpoint) {
    m_impl->Receive(data, length, endpoint);
}

void VirtualQuil::TakeReplies(std::vector<std::vector<uint8_t>>& replies) {
    m_impl->RunDueWork();
    for (auto& reply : m_impl->pending) {
        replies.push_back(std::move(reply));
    }
    m_impl->pending.clear();
}

void VirtualQuil::RunDueWork() { m_impl->RunDueWork(); }
bool VirtualQuil::Busy() const { return m_impl->job != Impl::Job::None; }
size_t VirtualQuil::PendingReplies() const { return m_impl->pending.size(); }

const UnitDescription& VirtualQuil::Description() const { return m_impl->desc; }
uint8_t VirtualQuil::Register(size_t r) const { return r < kRegisterCount ? m_impl->regs[r] : 0; }
std::span<const uint8_t, kRegisterCount> VirtualQuil::Registers() const { return m_impl->regs; }
void VirtualQuil::PresetRegister(size_t r, uint8_t value) {
    if (r < kRegisterCount) m_impl->regs[r] = value;
}
std::span<const uint8_t> VirtualQuil::Bank(int bank) const {
    if (bank != 1 && bank != 2) return {};
    return m_impl->banks[bank - 1];
}
std::span<const uint8_t> VirtualQuil::CardStore() const { return m_impl->card; }
size_t VirtualQuil::CardPacketCount() const { return m_impl->cardPacketEnds.size(); }
int VirtualQuil::SelectedBank() const { return m_impl->selectedBank; }
uint8_t VirtualQuil::CardStatus() const { return m_impl->cardStatus; }
bool VirtualQuil::CardStoreSelected() const { return (m_impl->regs[kRegStoreSelect] & kStoreSelectCard) != 0; }

namespace {
uint8_t CardOwner(uint8_t type) { return type == kCardVxMadiB ? kCardVxMadi : type; }
}  // namespace

uint32_t VirtualQuil::StoredSerial() const { return SerialFromRegisters(m_impl->Pid(), m_impl->storedSerial); }
uint32_t VirtualQuil::StoredCardSerial() const {
    return SerialFromRegisters(CardOwner(m_impl->regs[kRegCardType]), m_impl->storedCardSerial);
}
uint32_t VirtualQuil::CurrentSerial() const {
    return SerialFromRegisters(m_impl->Pid(), std::span<const uint8_t, 4>(m_impl->regs.data() + kRegSerial, 4));
}
uint32_t VirtualQuil::CurrentCardSerial() const {
    return SerialFromRegisters(CardOwner(m_impl->regs[kRegCardType]),
                               std::span<const uint8_t, 4>(m_impl->regs.data() + kRegCardSerial, 4));
}
size_t VirtualQuil::ImageBytesReceived() const { return m_impl->staging.size(); }

const std::vector<ReceivedMessage>& VirtualQuil::Received() const { return m_impl->received; }
void VirtualQuil::ClearReceived() { m_impl->received.clear(); }
void VirtualQuil::SetRecordTraffic(bool on) { m_impl->record = on; }
uint64_t VirtualQuil::RepliesSent() const { return m_impl->repliesSent; }

void VirtualQuil::DropNextReplies(unsigned count) { m_impl->dropCount = count; }
void VirtualQuil::CorruptNextReplies(unsigned count, ReplyCorruption how) {
    m_impl->corruptCount = count;
    m_impl->corruption = how;
}
void VirtualQuil::FallSilent(uint32_t ms) {
    m_impl->silent = ms > 0;
    m_impl->silentForGood = false;
    m_impl->silentUntil = platform::CurrentClock().TickMs() + ms;
}
void VirtualQuil::FallSilentAfterPacket(uint32_t packet, uint32_t ms) {
    m_impl->silenceAfterPacketSet = true;
    m_impl->silenceAfterPacketIndex = packet;
    m_impl->silenceAfterPacketMs = ms;
}
void VirtualQuil::FailPacket(uint32_t packet, uint8_t statusBits) {
    m_impl->failPacketSet = true;
    m_impl->failPacketIndex = packet;
    m_impl->failPacketBits = statusBits;
}
void VirtualQuil::SetEraseDuration(uint32_t ms) {
    m_impl->eraseOverride = true;
    m_impl->eraseOverrideMs = ms;
}
void VirtualQuil::SetQuickFlash(uint32_t ms) {
    m_impl->quickFlash = true;
    m_impl->quickFlashMs = ms;
}
void VirtualQuil::SetNeverEndingErase(bool on) { m_impl->eraseNeverEnds = on; }
void VirtualQuil::StallPhase(uint8_t phase, uint8_t percent) {
    m_impl->stallPhase = phase;
    m_impl->stallPercent = std::min<uint8_t>(percent, 100);
}
void VirtualQuil::CorruptReadBack(uint32_t packet) {
    m_impl->corruptReadBackSet = true;
    m_impl->corruptReadBackIndex = packet;
}
void VirtualQuil::SetSerialNeverReadsBack(bool on) { m_impl->serialStuck = on; }
void VirtualQuil::SetLinkFailed(bool failed) { m_impl->linkFailed = failed; }
bool VirtualQuil::LinkFailed() const { return m_impl->linkFailed; }
void VirtualQuil::ClearFaults() {
    Impl& i = *m_impl;
    i.dropCount = i.corruptCount = 0;
    i.silent = false;
    i.silentForGood = false;
    i.silenceAfterPacketSet = false;
    i.failPacketSet = false;
    i.eraseOverride = false;
    i.eraseNeverEnds = false;
    i.stallPhase = 0;
    i.corruptReadBackSet = false;
    i.serialStuck = false;
    i.linkFailed = false;
}

PersistentState VirtualQuil::SaveState() const {
    const Impl& i = *m_impl;
    PersistentState s;
    s.registers = i.regs;
    // After a power cycle only the stored serial numbers remain, the
    // programming status keeps just the active bank, and no work is running.
    std::copy(i.storedSerial.begin(), i.storedSerial.end(), s.registers.begin() + kRegSerial);
    std::copy(i.storedCardSerial.begin(), i.storedCardSerial.end(), s.registers.begin() + kRegCardSerial);
    s.registers[kRegStatus] &= kStatusActiveBank;
    s.bank1 = i.banks[0];
    s.bank2 = i.banks[1];
    s.card = i.card;
    return s;
}

void VirtualQuil::RestoreState(const PersistentState& state) {
    Impl& i = *m_impl;
    i.regs = state.registers;
    i.regs[kRegStatus] &= kStatusActiveBank;
    std::copy_n(i.regs.begin() + kRegSerial, 4, i.storedSerial.begin());
    std::copy_n(i.regs.begin() + kRegCardSerial, 4, i.storedCardSerial.begin());
    i.banks[0] = state.bank1;
    i.banks[1] = state.bank2;
    i.card = state.card;
    i.cardPacketEnds.clear();
    for (size_t end = kPacketBytes; end < i.card.size() + kPacketBytes; end += kPacketBytes) {
        i.cardPacketEnds.push_back(std::min(end, i.card.size()));
    }
    i.readCursor = 0;
    i.cardWritable = false;
    i.cardStatus = 0;
    i.job = Impl::Job::None;
    i.staging.clear();
    i.mainReceiving = true;
    i.mainPacketIndex = i.cardPacketIndex = 0;
    i.armed = i.packetExpected = false;
    i.pending.clear();
}

}  // namespace sim
