// Each link with the built-in units, as --simulate, --simulate=dante and
// --simulate=driver reach them, in real time:
//
// BM_RawRoundTrip: one status request and its reply, straight through the
// link (Write, then WaitForInput and Read until the reply is in).
// BM_PacketWithAck: firmware packets as the update sends them (arm, packet
// follows, its CRC, the packet), each with the wait for the unit's report,
// through the engine and the update's own packet loop, 64 to an iteration;
// s_per_packet is to be set beside the raw round trip of the same link.
// Both report cpu_share (the process's processor time over the wall time,
// the simulated unit's share included) and host_cpu_share (the calling
// thread's alone). On the in-process units the answer is there at once, so
// the host never waits; over UDP the unit is served by a thread of its own.
// Run where the Dante ports are free (a private network namespace).
#include <benchmark/benchmark.h>

#include <time.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_buffer.h"
#include "app/programming_display.h"
#include "app/programming_sequences.h"
#include "platform/log.h"
#include "remote/nimbra_remote.h"
#include "sim/virtual_midi_setup.h"

namespace {

constexpr uint8_t kRequest[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x24, 0x00, 0xF7};
constexpr uint32_t kAnswerLimitMs = 1000;
constexpr uint32_t kPacketsPerIteration = 64;
// Iterations per announcement of the image. The unit starts its flash work
// once as many bytes as announced are in, so more is announced than is sent.
constexpr uint32_t kIterationsPerImage = 1000;

double Seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct LinkSetup {
    sim::BuiltinTransport transport;
    uint32_t mask;
};

// The built-in units on one transport, the engine on the first Quil.
class Units {
public:
    explicit Units(LinkSetup setup) : m_units(setup.transport) {
        static const bool quiet = [] {
            SetLogFilePath("/dev/null");
            return true;
        }();
        (void)quiet;
        m_remote.SetLinkMask(setup.mask);
        m_remote.SetDeviceName("Quil");
        m_ready = m_remote.Open() == kStatusOk && m_remote.SelectConnection(0) == kStatusOk && m_remote.IsQuil();
    }
    ~Units() { m_remote.Close(); }
    bool Ready() const { return m_ready; }
    CNimbraRemote& Remote() { return m_remote; }

private:
    sim::ScopedBuiltinUnits m_units;
    CNimbraRemote m_remote;
    bool m_ready = false;
};

class CpuShare {
public:
    CpuShare()
        : m_wall(Seconds(CLOCK_MONOTONIC)),
          m_process(Seconds(CLOCK_PROCESS_CPUTIME_ID)),
          m_thread(Seconds(CLOCK_THREAD_CPUTIME_ID)) {}
    void Report(benchmark::State& state) const {
        const double wall = Seconds(CLOCK_MONOTONIC) - m_wall;
        state.counters["cpu_share"] = (Seconds(CLOCK_PROCESS_CPUTIME_ID) - m_process) / wall;
        state.counters["host_cpu_share"] = (Seconds(CLOCK_THREAD_CPUTIME_ID) - m_thread) / wall;
    }

private:
    double m_wall;
    double m_process;
    double m_thread;
};

// True once a whole message (its 0xF7) has come in through `link`.
bool AwaitReply(CNimbraInterface& link) {
    std::array<uint8_t, 4096> buffer{};
    const uint32_t start = platform::CurrentClock().TickMs();
    while (platform::CurrentClock().TickMs() - start <= kAnswerLimitMs) {
        int received = 0;
        if (link.Read(buffer.data(), 4095, &received) != kStatusOk) return false;
        for (int i = 0; i < received; ++i) {
            if (buffer[static_cast<size_t>(i)] == 0xF7) return true;
        }
        if (received == 0) link.WaitForInput(kAnswerLimitMs);
    }
    return false;
}

void BM_RawRoundTrip(benchmark::State& state, LinkSetup setup) {
    Units units(setup);
    if (!units.Ready()) {
        state.SkipWithError("no unit on this link");
        return;
    }
    CNimbraInterface& link = *units.Remote().Link();
    const CpuShare cpu;
    for (auto _ : state) {
        if (link.Write(kRequest, sizeof kRequest) != kStatusOk || !AwaitReply(link)) {
            state.SkipWithError("the request was not answered");
            return;
        }
    }
    cpu.Report(state);
}

void BM_PacketWithAck(benchmark::State& state, LinkSetup setup) {
    Units units(setup);
    if (!units.Ready()) {
        state.SkipWithError("no unit on this link");
        return;
    }
    CNimbraRemote& remote = units.Remote();
    const std::vector<uint8_t> image(kPacketsPerIteration * 128, 0x5A);
    const FirmwareBuffer packets(image);
    NullProgrammingDisplay display;
    const CpuShare cpu;
    uint32_t iteration = 0;
    for (auto _ : state) {
        if (iteration++ % kIterationsPerImage == 0) {
            state.PauseTiming();
            remote.SetHostReportMode(0);
            remote.SetPollMode(kPollTransfer);
            remote.SelectXSlotFirmware(0);
            remote.SetFirmwareSize((kIterationsPerImage + 1) * static_cast<uint32_t>(image.size()));
            remote.SelectBank(1);
            state.ResumeTiming();
        }
        if (!SendFirmwarePackets(remote, packets, display)) {
            state.SkipWithError("packet refused");
            return;
        }
    }
    cpu.Report(state);
    state.counters["s_per_packet"] = benchmark::Counter(static_cast<double>(state.iterations()) * kPacketsPerIteration,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

constexpr LinkSetup kMidi{sim::BuiltinTransport::Midi, kLinkMaskMidi};
constexpr LinkSetup kDante{sim::BuiltinTransport::Dante, kLinkMaskDante};
constexpr LinkSetup kDriver{sim::BuiltinTransport::Driver, kLinkMaskDriver};

BENCHMARK_CAPTURE(BM_RawRoundTrip, virtual_midi, kMidi)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PacketWithAck, virtual_midi, kMidi)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawRoundTrip, dante_udp, kDante)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PacketWithAck, dante_udp, kDante)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawRoundTrip, virtual_driver, kDriver)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PacketWithAck, virtual_driver, kDriver)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
