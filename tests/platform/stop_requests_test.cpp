// Stop requests on Linux wake a serving loop's wait for its raw MIDI devices
// at once, and end nothing by themselves: the loop reads the first one. Time
// is the virtual clock's.
#include "platform/stop_requests.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/raw_midi_device.h"

namespace {

using platform::DeviceInput;
using platform::StopRequest;
using platform::WaitResult;

// Opens `device` on a pseudo-terminal's far side, in raw mode, and returns
// its near side, the test's (-1 when that fails).
int OpenTerminal(platform::RawMidiDevice& device) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string error;
    termios raw{};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !device.Open(ptsname(master), error) ||
        tcgetattr(master, &raw) != 0) {
        return -1;
    }
    cfmakeraw(&raw);
    return tcsetattr(master, TCSANOW, &raw) == 0 ? master : -1;
}

TEST(StopRequestsTest, ARequestWakesTheDevicesWaitAndTheFirstOneIsKept) {
    const struct {
        const char* name;
        int signal;         // raised before the wait, 0 for none
        const char* bytes;  // written to the device before the wait
        bool hangUp;        // the device's other side closes
        uint32_t timeoutMs;
        WaitResult result;
        DeviceInput input;
        uint32_t elapsedMs;  // of the virtual clock
        StopRequest requested;
        long read;  // what a read then gives
    } cases[] = {
        {"nothing comes", 0, "", false, 300, WaitResult::TimedOut, DeviceInput::None, 300, StopRequest::None, 0},
        {"bytes", 0, "\xF0\x7E", false, 300, WaitResult::Ready, DeviceInput::Waiting, 0, StopRequest::None, 2},
        {"SIGTERM", SIGTERM, "", false, 300, WaitResult::Ready, DeviceInput::None, 0, StopRequest::Terminate, 0},
        {"SIGINT, no limit", SIGINT, "", false, platform::kNoTimeLimit, WaitResult::Ready, DeviceInput::None, 0,
         StopRequest::Interrupt, 0},
        {"SIGHUP and bytes", SIGHUP, "\xF8", false, 300, WaitResult::Ready, DeviceInput::Waiting, 0,
         StopRequest::HangUp, 1},
        // A terminal whose other side closed reads as closed.
        {"the other side closes", 0, "", true, 300, WaitResult::Ready, DeviceInput::Waiting, 0, StopRequest::None, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::VirtualClock clock;
        clock.SetSpinReadsPerMs(0);
        platform::ScopedClock scoped(clock);
        platform::RawMidiDevice device;
        const int master = OpenTerminal(device);
        ASSERT_GE(master, 0);
        std::string error;
        const std::string bytes = c.bytes;
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        if (c.hangUp) close(master);

        platform::StopRequests stop;
        ASSERT_TRUE(stop.Catch(error)) << error;
        if (c.signal != 0) raise(c.signal);
        const uint32_t start = clock.Peek();
        platform::RawMidiDevice* devices[] = {&device};
        std::array<DeviceInput, 1> input{};
        EXPECT_EQ(platform::RawMidiDevice::WaitForInput(devices, input, stop, c.timeoutMs), c.result);
        EXPECT_EQ(clock.Peek() - start, c.elapsedMs);
        if (c.result == WaitResult::Ready) {
            EXPECT_EQ(input[0], c.input);
        }
        EXPECT_EQ(stop.Requested(), c.requested);
        // A later request does not replace the first.
        if (c.signal != 0) raise(c.signal == SIGINT ? SIGTERM : SIGINT);
        EXPECT_EQ(stop.Requested(), c.requested);
        uint8_t buffer[8];
        EXPECT_EQ(device.Read(buffer, sizeof buffer, error), c.read);
        if (c.read < 0) {
            EXPECT_EQ(error, "closed");
        }
        // A write goes through, or fails (and does not wait) once the other
        // side has closed.
        const uint8_t timingClock[] = {0xF8};
        EXPECT_EQ(device.Write(timingClock, error), !c.hangUp);
        if (c.hangUp) {
            EXPECT_EQ(error, "Input/output error");
        }
        if (!c.hangUp) close(master);
    }
}

TEST(StopRequestsTest, WaitsAloneAndOneObjectCatchesAtATime) {
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scoped(clock);
    platform::StopRequests stop;
    std::string error;
    EXPECT_EQ(stop.Wait(100), WaitResult::Failed);
    ASSERT_TRUE(stop.Catch(error)) << error;
    EXPECT_TRUE(stop.Catch(error));
    platform::StopRequests other;
    EXPECT_FALSE(other.Catch(error));
    EXPECT_EQ(error, "stop requests are caught elsewhere in this program");

    const uint32_t start = clock.Peek();
    EXPECT_EQ(stop.Wait(250), WaitResult::TimedOut);
    EXPECT_EQ(clock.Peek() - start, 250u);
    raise(SIGHUP);
    EXPECT_EQ(stop.Wait(250), WaitResult::Ready);
    EXPECT_EQ(clock.Peek() - start, 250u);
    EXPECT_EQ(stop.Requested(), StopRequest::HangUp);
}

// A request sent to the whole process while the wait blocks (as kill(1)
// sends it, here from another thread) wakes the wait long before its end.
TEST(StopRequestsTest, ARequestSentWhileTheWaitBlocksWakesIt) {
    for (const bool withDevice : {false, true}) {
        SCOPED_TRACE(withDevice ? "with a device" : "alone");
        platform::VirtualClock clock;
        clock.SetSpinReadsPerMs(0);
        platform::ScopedClock scoped(clock);
        platform::RawMidiDevice device;
        const int master = OpenTerminal(device);
        ASSERT_GE(master, 0);
        std::string error;
        platform::StopRequests stop;
        ASSERT_TRUE(stop.Catch(error)) << error;
        // Started after Catch, the thread has the signals blocked too.
        std::thread sender([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            kill(getpid(), SIGTERM);
        });
        const uint32_t start = clock.Peek();
        platform::RawMidiDevice* devices[] = {&device};
        std::array<DeviceInput, 1> input{};
        const WaitResult result =
            withDevice ? platform::RawMidiDevice::WaitForInput(devices, input, stop, 600000) : stop.Wait(600000);
        sender.join();
        EXPECT_EQ(result, WaitResult::Ready);
        EXPECT_LT(clock.Peek() - start, 600000u);
        EXPECT_EQ(input[0], DeviceInput::None);
        EXPECT_EQ(stop.Requested(), StopRequest::Terminate);
        close(master);
    }
}

}  // namespace
