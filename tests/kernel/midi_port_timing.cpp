// Timing and loss of the MIDI-port link against the real sequencer, for the
// kernel test: the raw round trip of one request over the port a unit
// answers on, and what reaches the unit of a burst sent with and without
// the program's pacing.
//
// usage: midi_port_timing round-trip PORT COUNT
//        midi_port_timing burst PORT COUNT
//        midi_port_timing link-burst PORT COUNT
// round-trip times one request and its reply, and the four messages of a
// firmware packet (arm, packet follows, its CRC, the packet) with the
// unit's report; burst sends COUNT requests to the sequencer as fast as it
// takes them, link-burst through the program's link, and both count the
// answers.
// PORT is part of the port's name. Prints one line of figures; exits 0 when
// the figures could be taken, 1 otherwise.
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "links/nimbra_midi.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/midi.h"
#include "platform/midi_alsa.h"
#include "remote/sysex_codec.h"

namespace {

// A status request for register 9 alone, and the length of its reply.
constexpr uint8_t kRequest[] = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x24, 0x00, 0xF7};
constexpr uint32_t kAnswerWaitMs = 3000;

double NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Counts complete messages (their 0xF7) in what `read` hands over until
// `wanted` are in or the answer window has passed.
template <typename Read, typename Wait>
int CountAnswers(int wanted, Read read, Wait wait) {
    int answers = 0;
    const double start = NowMs();
    while (answers < wanted && NowMs() - start < kAnswerWaitMs) {
        std::vector<uint8_t> bytes = read();
        if (bytes.empty()) {
            wait(static_cast<uint32_t>(kAnswerWaitMs - (NowMs() - start)) + 1);
            continue;
        }
        for (uint8_t b : bytes) answers += b == 0xF7 ? 1 : 0;
    }
    return answers;
}

struct Link {
    CNimbraMIDI midi;
    bool Open(const char* port) {
        midi.SetDeviceName(port);
        return midi.Open() == kStatusOk && midi.SelectConnection(0) == kStatusOk;
    }
    std::vector<uint8_t> Read() {
        uint8_t buffer[4096];
        int received = 0;
        if (midi.Read(buffer, 4095, &received) != kStatusOk) return {};
        return std::vector<uint8_t>(buffer, buffer + received);
    }
};

int RoundTrip(const char* port, int count) {
    Link link;
    if (!link.Open(port)) {
        std::fprintf(stderr, "midi_port_timing: no unit answers on %s\n", port);
        return 1;
    }
    // The messages of one firmware packet, as the engine sends them.
    std::vector<std::vector<uint8_t>> packet;
    uint8_t message[kPacketMessageArea];
    uint8_t data[128] = {};
    packet.emplace_back(message, message + BuildCommand(message, 12));
    packet.emplace_back(message, message + BuildCommand(message, 4));
    packet.emplace_back(message,
                        message + BuildRegisterMessage(message, 52, kOpcodeRegisterWrite,
                                                       static_cast<uint8_t>(PacketCrc(data, 128) & 0xFF), false));
    packet.emplace_back(message, message + BuildFirmwarePacket(message, data, 128));
    const std::vector<std::vector<uint8_t>> request = {std::vector<uint8_t>(std::begin(kRequest), std::end(kRequest))};
    double times[2] = {};
    for (int i = 0; i < 2 * count; ++i) {
        const std::vector<std::vector<uint8_t>>& messages = i % 2 == 0 ? request : packet;
        const double start = NowMs();
        for (const std::vector<uint8_t>& m : messages) {
            if (link.midi.Write(m.data(), static_cast<int>(m.size())) != kStatusOk) return 1;
        }
        if (CountAnswers(
                1, [&] { return link.Read(); }, [&](uint32_t ms) { link.midi.WaitForInput(ms); }) != 1) {
            std::fprintf(stderr, "midi_port_timing: exchange %d was not answered\n", i);
            return 1;
        }
        times[i % 2] += NowMs() - start;
    }
    std::printf("raw round trip: %.3f ms (%d requests); the four messages of a packet and the report: %.3f ms\n",
                times[0] / count, count, times[1] / count);
    link.midi.Close();
    return 0;
}

// The burst through the program's own link, one message after the other.
int LinkBurst(const char* port, int count) {
    Link link;
    if (!link.Open(port)) return 1;
    const double start = NowMs();
    for (int i = 0; i < count; ++i) {
        if (link.midi.Write(kRequest, sizeof kRequest) != kStatusOk) return 1;
    }
    const double sent = NowMs() - start;
    const int answers = CountAnswers(
        count, [&] { return link.Read(); }, [&](uint32_t ms) { link.midi.WaitForInput(ms); });
    std::printf("link burst of %d requests (%zu bytes): sent in %.1f ms, %d answered\n", count, count * sizeof kRequest,
                sent, answers);
    link.midi.Close();
    return 0;
}

// The burst straight to the sequencer, drained as fast as it takes events:
// what the kernel's own flow control keeps.
int BurstUnpaced(const char* port, int count) {
    std::unique_ptr<platform::AlsaApi> alsa = platform::MakeSystemAlsaApi();
    if (alsa->Open("midi_port_timing") < 0) return 1;
    std::vector<platform::AlsaPortInfo> ports;
    alsa->ListPorts(ports);
    const platform::AlsaPortInfo* unit = nullptr;
    for (const platform::AlsaPortInfo& info : ports) {
        if (info.name.find(port) != std::string::npos && info.kernelClient) unit = &info;
    }
    if (unit == nullptr) return 1;
    const int out = alsa->CreatePort("out", platform::kAlsaCapRead | platform::kAlsaCapSubsRead, 0);
    const int in = alsa->CreatePort("in", platform::kAlsaCapWrite | platform::kAlsaCapSubsWrite, 0);
    if (out < 0 || in < 0 || alsa->ConnectTo(out, unit->client, unit->port) < 0 ||
        alsa->ConnectFrom(in, unit->client, unit->port) < 0)
        return 1;
    // The answers are counted while the burst goes, so that none is lost on
    // the way in.
    alsa->SetInputPool(platform::kAlsaInputPool);
    int answers = 0;
    const auto take = [&] {
        platform::AlsaEvent event;
        while (alsa->ReadEvent(event) > 0) {
            if (event.kind != platform::AlsaEventKind::SysEx) continue;
            for (size_t i = 0; i < event.length; ++i) answers += event.data[i] == 0xF7 ? 1 : 0;
        }
    };
    const double start = NowMs();
    for (int i = 0; i < count; ++i) {
        int result = alsa->SendSysEx(out, unit->client, unit->port, kRequest, sizeof kRequest);
        // The library's buffer is full: hand it to the sequencer, waiting
        // for room when the sequencer takes no more.
        while (result == -EAGAIN || result == -ENOSPC) {
            const int drained = alsa->Drain();
            if (drained == -EAGAIN || drained > 0) alsa->Wait(true, 1000);
            take();
            result = alsa->SendSysEx(out, unit->client, unit->port, kRequest, sizeof kRequest);
        }
        if (result < 0) return 1;
        take();
    }
    for (int drained = alsa->Drain(); drained == -EAGAIN || drained > 0; drained = alsa->Drain()) {
        alsa->Wait(true, 1000);
        take();
    }
    const double sent = NowMs() - start;
    while (answers < count && NowMs() - start < sent + kAnswerWaitMs) {
        if (alsa->Wait(false, 100) <= 0) continue;
        take();
    }
    std::printf("unpaced burst of %d requests (%zu bytes): sent in %.1f ms, %d answered\n", count,
                count * sizeof kRequest, sent, answers);
    alsa->Close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: midi_port_timing round-trip|burst|link-burst PORT COUNT\n", stderr);
        return 2;
    }
    SetLogFilePath("/tmp/midi_port_timing.log");
    const std::string command = argv[1];
    const int count = std::atoi(argv[3]);
    if (count <= 0) return 2;
    if (command == "round-trip") return RoundTrip(argv[2], count);
    if (command == "burst") return BurstUnpaced(argv[2], count);
    if (command == "link-burst") return LinkBurst(argv[2], count);
    return 2;
}
