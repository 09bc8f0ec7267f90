// The wait for input on the MIDI-port link (virtual ports) and the driver
// link (virtual driver): on the virtual clock it returns the moment the
// unit's answer is in, at its modelled time, and otherwise runs out at the
// time-out without real time passing; on the real clock a wait with nothing
// coming takes no processor time.
#include <gtest/gtest.h>
#include <time.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "links/hal_midi.h"
#include "links/nimbra_midi.h"
#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/midi.h"
#include "remote/sysex_codec.h"
#include "sim/virtual_driver_setup.h"
#include "sim/virtual_midi_setup.h"
#include "tests/temp_log.h"

namespace {

constexpr uint32_t kEraseMs = 1234;
constexpr uint32_t kLatencyMs = 3;  // within the 5 ms a short message may take to go out

sim::UnitDescription Unit() {
    sim::UnitDescription unit;
    unit.firmwareMajor = 8;
    unit.serial = sim::PackSerial(sim::kPidQuil, 19, 10, 42);
    unit.eraseMs = kEraseMs;
    return unit;
}

// One unit on one link of each kind, selected and ready.
struct LinkCase {
    std::string name;
    // Makes the link to a fresh unit; the link model adds `latencyMs` to
    // every message each way where the link has one.
    std::function<std::unique_ptr<CNimbraInterface>(uint32_t latencyMs)> open;
};

class Links {
public:
    std::unique_ptr<CNimbraInterface> Midi(uint32_t latencyMs) {
        m_midi = std::make_unique<sim::VirtualMidiSetup>();
        m_midi->AddPort("Quil MIDI 1", sim::PortTechnology::Hardware, Unit(),
                        platform::VirtualMidiLinkModel{latencyMs, 0});
        m_scopedMidi = std::make_unique<platform::ScopedMidiSystem>(m_midi->System());
        auto link = std::make_unique<CNimbraMIDI>();
        link->SetDeviceName("Quil");
        if (link->Open() != kStatusOk || link->SelectConnection(0) != kStatusOk) return nullptr;
        return link;
    }
    std::unique_ptr<CNimbraInterface> Driver(uint32_t) {
        m_driver = std::make_unique<sim::VirtualDriverSetup>();
        m_driver->AddAdapter(0x3114, Unit());
        m_scopedDriver = std::make_unique<platform::ScopedDriverSystem>(m_driver->System());
        auto link = std::make_unique<CHalMIDI>();
        if (link->Open() != kStatusOk || link->SelectConnection(0) != kStatusOk) return nullptr;
        return link;
    }

private:
    std::unique_ptr<sim::VirtualMidiSetup> m_midi;
    std::unique_ptr<platform::ScopedMidiSystem> m_scopedMidi;
    std::unique_ptr<sim::VirtualDriverSetup> m_driver;
    std::unique_ptr<platform::ScopedDriverSystem> m_scopedDriver;
};

std::vector<uint8_t> Command(uint8_t op) {
    std::array<uint8_t, 16> message{};
    return std::vector<uint8_t>(message.begin(), message.begin() + BuildCommand(message.data(), op));
}

// Reads one whole message, if the link has one.
std::vector<uint8_t> ReadMessage(CNimbraInterface& link) {
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 4096> buffer{};
    for (int received = 1; received > 0;) {
        if (link.Read(buffer.data(), 4095, &received) != kStatusOk) break;
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + received);
    }
    return bytes;
}

// The virtual clock, counting how often a wait put itself to sleep: a wait
// that looks again every millisecond would sleep hundreds of times.
class CountingClock final : public platform::Clock {
public:
    CountingClock() { m_clock.SetSpinReadsPerMs(0); }
    uint32_t TickMs() override { return m_clock.TickMs(); }
    void SleepMs(uint32_t ms) override {
        ++sleeps;
        m_clock.SleepMs(ms);
    }
    platform::LocalTime Now() override { return m_clock.Now(); }
    bool IsVirtual() const override { return true; }
    uint32_t Peek() const { return m_clock.Peek(); }
    int sleeps = 0;

private:
    platform::VirtualClock m_clock{1000};
};

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

class LinkWait : public ::testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<CNimbraInterface> Open(uint32_t latencyMs = 0) {
        return GetParam() == "midi" ? links.Midi(latencyMs) : links.Driver(latencyMs);
    }
    TempLog log;
    Links links;
};

TEST_P(LinkWait, ReturnsTheMomentTheAnswerIsInOnTheVirtualClock) {
    CountingClock clock;
    platform::ScopedClock scoped(clock);
    const uint32_t latency = GetParam() == "midi" ? kLatencyMs : 0;
    std::unique_ptr<CNimbraInterface> link = Open(latency);
    ASSERT_TRUE(link);

    // A status request: the answer is in after the link's latency both
    // ways, and the wait ends then, not a tick later.
    const std::vector<uint8_t> request = {0xF0, 0x00, 0x01, 0x54, 0x68, 0x24, 0x00, 0xF7};
    uint32_t start = clock.Peek();
    ASSERT_EQ(link->Write(request.data(), static_cast<int>(request.size())), kStatusOk);
    EXPECT_EQ(link->WaitForInput(5000), platform::WaitResult::Ready);
    EXPECT_EQ(clock.Peek() - start, 2 * latency);
    EXPECT_EQ(ReadMessage(*link).size(), 10u);

    // The unit's erase reports when it ends: the wait sleeps to that moment.
    for (uint8_t op : {uint8_t{12}, uint8_t{3}}) {
        const std::vector<uint8_t> command = Command(op);
        ASSERT_EQ(link->Write(command.data(), static_cast<int>(command.size())), kStatusOk);
    }
    start = clock.Peek();
    clock.sleeps = 0;
    EXPECT_EQ(link->WaitForInput(5000), platform::WaitResult::Ready);
    EXPECT_EQ(clock.Peek() - start, kEraseMs + latency);
    EXPECT_LE(clock.sleeps, 2);
    EXPECT_EQ(ReadMessage(*link).size(), 10u);

    // Nothing more is coming: the wait runs out at its time-out.
    start = clock.Peek();
    clock.sleeps = 0;
    EXPECT_EQ(link->WaitForInput(250), platform::WaitResult::TimedOut);
    EXPECT_EQ(clock.Peek() - start, 250u);
    EXPECT_EQ(clock.sleeps, 1);
    EXPECT_TRUE(ReadMessage(*link).empty());

    // No connection, nothing to wait on.
    link->Close();
    EXPECT_EQ(link->WaitForInput(10), platform::WaitResult::Failed);
}

TEST_P(LinkWait, TakesNoProcessorTimeWhileNothingComesOnTheRealClock) {
    std::unique_ptr<CNimbraInterface> link = Open();
    ASSERT_TRUE(link);
    const uint32_t start = platform::CurrentClock().TickMs();
    const double cpu = ThreadCpuMs();
    EXPECT_EQ(link->WaitForInput(300), platform::WaitResult::TimedOut);
    const double cpuMs = ThreadCpuMs() - cpu;
    const uint32_t wallMs = platform::CurrentClock().TickMs() - start;
    EXPECT_GE(wallMs, 300u);
    EXPECT_LT(cpuMs, 0.05 * wallMs) << cpuMs << " ms of processor time in " << wallMs << " ms";
}

INSTANTIATE_TEST_SUITE_P(Links, LinkWait, ::testing::Values("midi", "driver"));

}  // namespace
