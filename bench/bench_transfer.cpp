// A whole main-unit download through the engine, the MIDI-port link and the
// virtual MIDI ports to a virtual Quil: the app's packet loop, 128-byte
// packets, each with its CRC write and the unit's acknowledgement through
// register 9.
//
// BM_TransferImage runs over a zero-latency link and measures what the host
// side costs (packets_per_second). BM_PredictedUpdateTime tells how long the
// same download takes over a real cable: from the bytes on the wire per
// packet and the link model (predicted_s), and from a short run of the same
// sequence on the virtual clock with that model applied, scaled up to the
// whole image (modelled_s). BM_TransferCpuShare runs packets in real time
// over the USB-MIDI model and reports the share of one core the host spends
// meanwhile (cpu_share, CPU time over wall time): the waits for the unit must
// not spin.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "app/firmware_buffer.h"
#include "app/programming_display.h"
#include "app/programming_sequences.h"
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

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double WallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The link of this build with the CPU time its Write spends counted: the
// MIDI-port link waits there, polling, until the port has sent the message,
// so the share of the host's own waits can be told from the link's.
class TimedLink final : public CNimbraInterface {
public:
    TimedLink(std::unique_ptr<CNimbraInterface> link, double& writeCpu)
        : m_link(std::move(link)), m_writeCpu(writeCpu) {}
    NimbraStatus Open() override { return m_link->Open(); }
    NimbraStatus Close() override { return m_link->Close(); }
    void SetDeviceName(const char* name) override { m_link->SetDeviceName(name); }
    bool IsOpen() override { return m_link->IsOpen(); }
    NimbraStatus GetNumberOfConnections(uint16_t* count) override { return m_link->GetNumberOfConnections(count); }
    NimbraStatus SelectConnection(uint16_t index) override { return m_link->SelectConnection(index); }
    NimbraStatus GetSelectedConnection(uint16_t* index) override { return m_link->GetSelectedConnection(index); }
    NimbraStatus GetConnectionName(uint16_t index, char* buffer, int size) override {
        return m_link->GetConnectionName(index, buffer, size);
    }
    NimbraStatus SetXSlotTarget(uint8_t on) override { return m_link->SetXSlotTarget(on); }
    NimbraStatus Write(const uint8_t* data, int length) override {
        const double start = CpuSeconds();
        const NimbraStatus status = m_link->Write(data, length);
        m_writeCpu += CpuSeconds() - start;
        return status;
    }
    NimbraStatus Read(uint8_t* buffer, int size, int* received) override {
        return m_link->Read(buffer, size, received);
    }

private:
    std::unique_ptr<CNimbraInterface> m_link;
    double& m_writeCpu;
};

class TimedLinks final : public LinkFactory {
public:
    std::unique_ptr<CNimbraInterface> CreateLink(uint16_t linkType) override {
        std::unique_ptr<CNimbraInterface> link = DefaultLinks().CreateLink(linkType);
        if (!link) return link;
        return std::make_unique<TimedLink>(std::move(link), writeCpu);
    }
    double writeCpu = 0;  // seconds
};

// A virtual Quil on its own ports, reached by an engine through the
// MIDI-port link.
class Bench {
public:
    explicit Bench(platform::VirtualMidiLinkModel model) {
        m_unit = m_setup.AddPort("Quil MIDI 1", sim::PortTechnology::Hardware, BenchUnit(), model);
        m_unit->SetRecordTraffic(false);
        m_scoped = std::make_unique<platform::ScopedMidiSystem>(m_setup.System());
        m_remote = std::make_unique<CNimbraRemote>(m_links);
        m_remote->SetDeviceName("Quil");
        m_ready = m_remote->Open() == kStatusOk && m_remote->SelectConnection(0) == kStatusOk;
    }
    ~Bench() {
        if (m_remote) m_remote->Close();
    }

    bool Ready() const { return m_ready; }
    CNimbraRemote& Remote() { return *m_remote; }
    sim::VirtualQuil& Unit() { return *m_unit; }
    // CPU seconds spent in the link's Write so far.
    double WriteCpuSeconds() const { return m_links.writeCpu; }

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

    // The app's packet loop over `image`; false on a failure or time-out.
    bool SendPackets(const FirmwareBuffer& image) {
        NullProgrammingDisplay display;
        return SendFirmwarePackets(*m_remote, image, display);
    }

private:
    TimedLinks m_links;
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
    const FirmwareBuffer buffer(image);
    size_t packets = 0;
    for (auto _ : state) {
        bench.Begin(image.size());
        if (!bench.SendPackets(buffer)) {
            state.SkipWithError("packet refused");
            return;
        }
        packets += kPackets;

        // The unit's flash work takes no time here: it is done once due.
        state.PauseTiming();
        bench.Unit().RunDueWork();
        const auto bank = bench.Unit().Bank(2);
        const bool same = bank.size() == image.size() && std::equal(bank.begin(), bank.end(), image.begin());
        state.ResumeTiming();
        if (bench.Unit().Busy() || !same) {
            state.SkipWithError("the bank does not hold the image");
            return;
        }
    }
    state.counters["packets_per_second"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
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
        const FirmwareBuffer sample{std::span<const uint8_t>(image).first(kSample * kPacketSize)};
        const uint32_t start = clock.Peek();
        if (!bench.SendPackets(sample)) {
            state.SkipWithError("packet refused");
            return;
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

// Packets in real time (the system clock) over the USB-MIDI model: the
// host mostly waits for the cable and the unit, and those waits must leave
// the core to others. Target: at most a tenth of one core.
void BM_TransferCpuShare(benchmark::State& state) {
    QuietLog();
    const size_t packets = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t>& image = Image();
    const FirmwareBuffer buffer{std::span<const uint8_t>(image).first(packets * kPacketSize)};
    // The MIDI-port link allows a short message 5 ms to leave; on a machine
    // busy with other work the process can be off the core for longer, and
    // the send fails. Such a run starts over from a new announcement.
    constexpr int kAttempts = 10;
    double cpuShare = 0;
    double waitShare = 0;
    double perPacketMs = 0;
    int attempts = 0;
    for (auto _ : state) {
        Bench bench(kUsbMidi);
        if (!bench.Ready()) {
            state.SkipWithError("no virtual unit");
            return;
        }
        bool sent = false;
        while (!sent && attempts < kAttempts) {
            ++attempts;
            bench.Begin(buffer.Size());
            const double cpu0 = CpuSeconds();
            const double write0 = bench.WriteCpuSeconds();
            const double wall0 = WallSeconds();
            sent = bench.SendPackets(buffer);
            const double wall = WallSeconds() - wall0;
            const double cpu = CpuSeconds() - cpu0;
            const double writeCpu = bench.WriteCpuSeconds() - write0;
            cpuShare = cpu / wall;
            waitShare = (cpu - writeCpu) / wall;
            perPacketMs = wall * 1000.0 / static_cast<double>(packets);
        }
        if (!sent) {
            state.SkipWithError("packet refused in every attempt");
            return;
        }
    }
    state.counters["attempts"] = attempts;
    state.counters["packets"] = static_cast<double>(packets);
    state.counters["cpu_share"] = cpuShare;
    // The same without the link's sends: the packet acknowledgements and the
    // rest of the host's work.
    state.counters["cpu_share_outside_sends"] = waitShare;
    state.counters["ms_per_packet"] = perPacketMs;
}
BENCHMARK(BM_TransferCpuShare)->Arg(512)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
