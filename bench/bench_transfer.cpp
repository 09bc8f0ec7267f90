// A whole main-unit download through the engine, the MIDI-port link and the
// virtual MIDI ports to a virtual Quil: 128-byte packets, each with its CRC
// write and the unit's acknowledgement through register 9.
//
// BM_TransferImage runs over a zero-latency link and measures what the host
// side costs (packets_per_second). BM_PredictedUpdateTime tells how long the
// same download takes over a real cable: from the bytes on the wire per
// packet and the link model (predicted_s), and from a short run of the same
// sequence on the virtual clock with that model applied, scaled up to the
// whole image (modelled_s).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/midi.h"
#include "platform/midi_virtual.h"
#include "remote/nimbra_remote.h"
#include "remote/sysex_codec.h"
#include "sim/virtual_midi_setup.h"

namespace {

constexpr size_t kImageSize = 5346254;
constexpr size_t kPacketSize = 128;
constexpr size_t kPackets = (kImageSize + kPacketSize - 1) / kPacketSize;
constexpr uint32_t kPacketTimeLimitMs = 1000;

// 31,250 baud, ten bits a byte on the cable.
constexpr platform::VirtualMidiLinkModel kDinMidi{0, 3125};
// A full-speed USB-MIDI class port: each message waits for the next 1 ms
// frame; SysEx travels three bytes in each four-byte event, sixteen events
// in the 64-byte packet of one frame.
constexpr platform::VirtualMidiLinkModel kUsbMidi{1, 48000};

std::vector<uint8_t> MakeImage(size_t size) {
    std::vector<uint8_t> image(size);
    uint32_t x = 0x2468ACE1;
    for (uint8_t& b : image) {
        x = x * 1664525 + 1013904223;
        b = static_cast<uint8_t>(x >> 24);
    }
    std::fill_n(image.begin(), 16, 0xFF);
    const uint8_t sync[] = {0xAA, 0x99, 0x55, 0x66};
    std::copy(std::begin(sync), std::end(sync), image.begin() + 16);
    return image;
}

const std::vector<uint8_t>& Image() {
    static const std::vector<uint8_t> image = MakeImage(kImageSize);
    return image;
}

sim::UnitDescription BenchUnit() {
    sim::UnitDescription unit;
    unit.pid = sim::kPidQuil;
    unit.firmwareMajor = 8;
    unit.firmwareMinor = 3;
    unit.serial = sim::PackSerial(sim::kPidQuil, 19, 10, 42);
    unit.eraseMs = 0;
    unit.programMs = 0;
    unit.verifyMs = 0;
    return unit;
}

// A virtual Quil on its own ports, reached by an engine through the
// MIDI-port link.
class Bench {
public:
    explicit Bench(platform::VirtualMidiLinkModel model) {
        m_unit = m_setup.AddPort("Quil MIDI 1", sim::PortTechnology::Hardware, BenchUnit(), model);
        m_unit->SetRecordTraffic(false);
        m_scoped = std::make_unique<platform::ScopedMidiSystem>(m_setup.System());
        m_remote = std::make_unique<CNimbraRemote>();
        m_remote->SetDeviceName("Quil");
        m_ready = m_remote->Open() == kStatusOk && m_remote->SelectConnection(0) == kStatusOk;
    }
    ~Bench() {
        if (m_remote) m_remote->Close();
    }

    bool Ready() const { return m_ready; }
    CNimbraRemote& Remote() { return *m_remote; }
    sim::VirtualQuil& Unit() { return *m_unit; }

    // Announces the image and selects bank 2, as the window does before the
    // first packet.
    void Begin(size_t length) {
        m_remote->SetHostReportMode(0);
        m_remote->SetPollMode(kPollTransfer);
        m_remote->SelectXSlotFirmware(0);
        m_remote->SetFirmwareSize(static_cast<uint32_t>(length));
        m_remote->SelectBank(1);
        m_remote->WaitForResponse(1);
    }

    // Packet i of the image (the last one filled up with zeros) and the wait
    // for the unit's acknowledgement. False on a failure or time-out.
    bool SendPacket(const std::vector<uint8_t>& image, size_t i) {
        uint8_t packet[kPacketSize] = {};
        const size_t offset = i * kPacketSize;
        std::copy_n(image.data() + offset, std::min(kPacketSize, image.size() - offset), packet);
        if (m_remote->WriteFirmwarePacket(packet, kPacketSize) != kStatusOk) return false;
        m_remote->WaitForResponse(1);
        platform::Clock& clock = platform::CurrentClock();
        const uint32_t start = clock.TickMs();
        for (;;) {
            uint8_t status = 0;
            m_remote->GetProgramStatus(&status);
            status &= 0x3F;
            if (status & (kPgmStatusPgmErr | kPgmStatusTxErr)) return false;
            if (status == 0) return true;
            if (clock.TickMs() - start > kPacketTimeLimitMs) return false;
        }
    }

    // Follows the unit's own erase, program and verify until it is done.
    bool Finish() {
        m_remote->SetPollMode(kPollProgress);
        platform::Clock& clock = platform::CurrentClock();
        const uint32_t start = clock.TickMs();
        while (clock.TickMs() - start < 60000) {
            uint8_t phase = 0, progress = 0, third = 0;
            m_remote->GetProgramProgress(&phase, &progress, &third);
            if (phase == 6) return true;
        }
        return false;
    }

private:
    sim::VirtualMidiSetup m_setup;
    sim::VirtualQuil* m_unit = nullptr;
    std::unique_ptr<platform::ScopedMidiSystem> m_scoped;
    std::unique_ptr<CNimbraRemote> m_remote;
    bool m_ready = false;
};

// Keeps the benchmark's log out of the working directory's updater log.
void QuietLog() {
    static const bool once = [] {
        SetLogFilePath("/dev/null");
        return true;
    }();
    (void)once;
}

void BM_TransferImage(benchmark::State& state) {
    QuietLog();
    const std::vector<uint8_t>& image = Image();
    Bench bench({});
    if (!bench.Ready()) {
        state.SkipWithError("no virtual unit");
        return;
    }
    size_t packets = 0;
    for (auto _ : state) {
        bench.Begin(image.size());
        for (size_t i = 0; i < kPackets; ++i) {
            if (!bench.SendPacket(image, i)) {
                state.SkipWithError("packet refused");
                return;
            }
        }
        packets += kPackets;

        state.PauseTiming();
        const bool done = bench.Finish();
        const auto bank = bench.Unit().Bank(2);
        const bool same = bank.size() == image.size() && std::equal(bank.begin(), bank.end(), image.begin());
        state.ResumeTiming();
        if (!done || !same) {
            state.SkipWithError("the bank does not hold the image");
            return;
        }
    }
    state.counters["packets_per_second"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_TransferImage)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bytes on the wire for one packet with its handshake.
struct PacketTraffic {
    size_t messagesOut = 0;
    size_t bytesOut = 0;
    size_t messagesIn = 0;
    size_t bytesIn = 0;
};

PacketTraffic TrafficPerPacket() {
    PacketTraffic t;
    uint8_t message[kPacketMessageArea];
    const uint8_t data[kPacketSize] = {};
    t.bytesOut += BuildCommand(message, 12);
    t.bytesOut += BuildCommand(message, 4);
    t.bytesOut += BuildRegisterMessage(message, REG_PACKET_CRC, kOpcodeRegisterWrite, 0, false);
    t.bytesOut += BuildFirmwarePacket(message, data, kPacketSize);
    t.messagesOut = 4;
    // The unit's report: a status reply for register 9 alone, one data byte
    // in two wire bytes.
    t.bytesIn = kShortReplyHeader + 2 + 1;
    t.messagesIn = 1;
    return t;
}

// Seconds the packets of the whole image take on a link of this model: each
// message is on the cable for its bytes and waits the model's latency, and
// the next packet starts only after the unit's report is in.
double PredictedSeconds(const platform::VirtualMidiLinkModel& model) {
    const PacketTraffic t = TrafficPerPacket();
    const double perPacket = static_cast<double>(t.bytesOut + t.bytesIn) / model.bytesPerSecond +
                             static_cast<double>(t.messagesOut + t.messagesIn) * model.latencyMs / 1000.0;
    return perPacket * static_cast<double>(kPackets);
}

void BM_PredictedUpdateTime(benchmark::State& state, platform::VirtualMidiLinkModel model) {
    QuietLog();
    constexpr size_t kSample = 64;
    const std::vector<uint8_t>& image = Image();
    double modelled = 0;
    for (auto _ : state) {
        platform::VirtualClock clock(1000);
        platform::ScopedClock scopedClock(clock);
        Bench bench(model);
        if (!bench.Ready()) {
            state.SkipWithError("no virtual unit");
            return;
        }
        bench.Begin(image.size());
        const uint32_t start = clock.Peek();
        for (size_t i = 0; i < kSample; ++i) {
            if (!bench.SendPacket(image, i)) {
                state.SkipWithError("packet refused");
                return;
            }
        }
        const double perPacketMs = static_cast<double>(clock.Peek() - start) / kSample;
        modelled = perPacketMs * static_cast<double>(kPackets) / 1000.0;
    }
    const PacketTraffic t = TrafficPerPacket();
    state.counters["packets"] = static_cast<double>(kPackets);
    state.counters["wire_bytes_per_packet"] = static_cast<double>(t.bytesOut + t.bytesIn);
    state.counters["predicted_s"] = PredictedSeconds(model);
    state.counters["modelled_s"] = modelled;
}
BENCHMARK_CAPTURE(BM_PredictedUpdateTime, din_midi, kDinMidi)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PredictedUpdateTime, usb_midi, kUsbMidi)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
