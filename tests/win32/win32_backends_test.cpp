// The Win32 back-ends of the platform seams, run under Wine. What Wine has no
// device for (MIDI ports, the maker's driver, the DNS-SD library) is tested
// for the answer the updater gets when the device is absent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/dynamic_library.h"
#include "platform/environment.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/folder_lock.h"
#include "platform/midi.h"
#include "platform/net.h"
#include "platform/program_files.h"
#include "platform/raw_midi_device.h"
#include "platform/signal_cleanup.h"
#include "platform/stop_requests.h"
#include "platform/system.h"
#include "platform/temp_dir.h"
#include "platform/udp_socket.h"
#include "platform/win32/program_files_win32.h"

namespace {

TEST(Win32System, ReportsTheNtFamilyAndAnAcLine) {
    const platform::OsVersionInfo os = platform::NativeSystem().QueryOsVersion();
    EXPECT_TRUE(os.queryOk);
    EXPECT_TRUE(os.supported);
    EXPECT_GE(os.majorVersion, 5u);
    const platform::PowerStatus power = platform::NativeSystem().QueryPowerStatus();
    EXPECT_TRUE(power.queryOk);
    EXPECT_TRUE(power.acLineStatus == platform::kAcLineOnline || power.acLineStatus == platform::kAcLineUnknown ||
                power.acLineStatus == platform::kAcLineOffline);
}

TEST(Win32Clock, TicksSleepsAndTellsTheTime) {
    // Nothing here bounds how long anything takes: under a loaded Wine a
    // sleep may last much longer than asked, and the tick may be read late.
    platform::SystemClock clock;
    platform::RaiseTimerResolution();
    platform::RaiseTimerResolution();
    // The tick never goes backwards (a difference past half the 32-bit range
    // would be a step back), and it moves while the program sleeps.
    const uint32_t first = clock.TickMs();
    uint32_t previous = first;
    int sleeps = 0;
    for (; sleeps < 10000 && previous == first; ++sleeps) {
        clock.SleepMs(1);
        const uint32_t now = clock.TickMs();
        EXPECT_LT(now - previous, 0x80000000u) << "the tick went back from " << previous << " to " << now;
        previous = now;
    }
    EXPECT_NE(previous, first) << "the tick stood still through " << sleeps << " sleeps";

    // The wall clock and the local time agree with the C library's clock read
    // just before and just after them.
    const std::time_t before = std::time(nullptr);
    const int64_t wall = platform::WallClockMicroseconds() / 1000000;
    const platform::LocalTime now = clock.Now();
    const std::time_t after = std::time(nullptr);
    EXPECT_GE(wall, static_cast<int64_t>(before) - 1);
    EXPECT_LE(wall, static_cast<int64_t>(after) + 1);
    EXPECT_GE(now.year, 2020);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    std::tm fields{};
    fields.tm_year = now.year - 1900;
    fields.tm_mon = now.month - 1;
    fields.tm_mday = now.day;
    fields.tm_hour = now.hour;
    fields.tm_min = now.minute;
    fields.tm_sec = now.second;
    fields.tm_isdst = -1;
    const std::time_t local = std::mktime(&fields);
    EXPECT_GE(local, before - 1) << now.year << '-' << now.month << '-' << now.day << ' ' << now.hour << ':'
                                 << now.minute << ':' << now.second;
    EXPECT_LE(local, after + 1);
}

TEST(Win32ProgramFiles, ComesFromTheRegistryUnlessTheEnvironmentSaysOtherwise) {
    const std::string registry = platform::RegistryProgramFilesFolder(false);
    EXPECT_EQ(registry.substr(1), ":\\Program Files");
    EXPECT_FALSE(platform::RegistryProgramFilesFolder(true).empty());
    platform::UnsetEnvironmentValue(platform::ProgramFilesVariable());
    EXPECT_EQ(platform::ProgramFilesFolder(), registry);
    ASSERT_TRUE(platform::SetEnvironmentValue(platform::ProgramFilesVariable(), "D:\\Vendor"));
    EXPECT_EQ(platform::ProgramFilesFolder(), "D:\\Vendor");
    platform::UnsetEnvironmentValue(platform::ProgramFilesVariable());
    EXPECT_STREQ(platform::LibrarySuffix(), ".dll");
}

TEST(Win32Library, AMissingLibraryOrEntryPointIsReportedNotFatal) {
    std::string error;
    EXPECT_EQ(platform::DynamicLibrary::Open("no-such-library-here.dll", error), nullptr);
    EXPECT_NE(error.find("error 126"), std::string::npos) << error;
    // dnssd.dll is not part of Windows: the Dante link is then unavailable.
    EXPECT_EQ(platform::DynamicLibrary::Open("dnssd.dll", error), nullptr);
    const auto kernel = platform::DynamicLibrary::Open("kernel32.dll", error);
    ASSERT_NE(kernel, nullptr) << error;
    EXPECT_NE(kernel->Symbol("GetTickCount"), nullptr);
    EXPECT_EQ(kernel->Symbol("NoSuchEntryPoint"), nullptr);
}

// A box waits for an answer at a console only: NUL or a pipe is none,
// though the C runtime takes NUL, a character device, for a terminal. (That
// a console is one the program test shows at a pseudo-terminal: a console
// Wine makes without a terminal has no mode.)
TEST(Win32Environment, NulOrAPipeIsNoTerminal) {
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;
    ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
    const HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const struct {
        const char* name;
        HANDLE handle;
    } cases[] = {{"NUL", nul}, {"a pipe", pipeRead}};
    const int saved = _dup(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.handle, INVALID_HANDLE_VALUE);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(c.handle), _O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(_dup2(fd, 0), 0);
        EXPECT_EQ(_isatty(0) != 0, c.handle == nul);  // the C runtime's answer
        EXPECT_FALSE(platform::IsTerminal(0));
        _close(fd);
    }
    _dup2(saved, 0);
    _close(saved);
    CloseHandle(pipeWrite);
}

TEST(Win32Midi, NoDevicesMeansNoPortsAndABadDeviceId) {
    platform::MidiSystem& midi = platform::NativeMidiSystem();
    const uint32_t outputs = midi.OutputCount();
    const uint32_t inputs = midi.InputCount();
    std::unique_ptr<platform::MidiInPort> in;
    EXPECT_EQ(midi.OpenInput(inputs, in), platform::kMidiErrBadDeviceId);
    std::unique_ptr<platform::MidiOutPort> out;
    EXPECT_EQ(midi.OpenOutput(outputs + 16, out), platform::kMidiErrBadDeviceId);
    platform::MidiPortCaps caps;
    EXPECT_EQ(midi.InputCaps(inputs, caps), platform::kMidiErrBadDeviceId);
}

TEST(Win32Driver, AnAbsentDeviceObjectOpensNothing) {
    EXPECT_EQ(platform::NativeDriverSystem().Open("\\\\.\\R9Mixer0"), nullptr);
    EXPECT_EQ(platform::NativeDriverSystem().Open("\\\\.\\R9Mixer7"), nullptr);
}

// A console control event wakes the wait; quil_sim_test.sh sends one (a
// Ctrl-C) to quil-sim.exe. Here: the wait runs to its time-out, and raw MIDI
// devices are refused.
TEST(Win32StopRequests, WaitUntilTheirTimeOutAndNoRawMidiDeviceOpens) {
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    const platform::ScopedClock scoped(clock);
    platform::StopRequests stop;
    std::string error;
    EXPECT_EQ(stop.Wait(100), platform::WaitResult::Failed);
    ASSERT_TRUE(stop.Catch(error)) << error;
    platform::StopRequests other;
    EXPECT_FALSE(other.Catch(error));
    const uint32_t start = clock.Peek();
    EXPECT_EQ(stop.Wait(250), platform::WaitResult::TimedOut);
    EXPECT_EQ(clock.Peek() - start, 250u);
    EXPECT_EQ(stop.Requested(), platform::StopRequest::None);

    EXPECT_FALSE(platform::RawMidiDevicesServed());
    platform::RawMidiDevice device;
    EXPECT_FALSE(device.Open("COM3", error));
    EXPECT_EQ(error, "raw MIDI devices are served on Linux only");
}

TEST(Win32Sockets, UdpOnLoopbackWithWaitsAndWouldBlock) {
    uint32_t loopback = 0;
    ASSERT_TRUE(platform::ParseIpv4("127.0.0.1", loopback));
    EXPECT_EQ(platform::Ipv4Text(loopback), "127.0.0.1");
    EXPECT_FALSE(platform::ParseIpv4("127.0.0", loopback) && platform::Ipv4Text(loopback) == "127.0.0");
    platform::UdpSocket receiver;
    ASSERT_TRUE(receiver.Create(true));
    uint16_t port = 0;
    for (port = 47600; port < 47700 && !receiver.Bind(loopback, port); ++port) {
    }
    ASSERT_LT(port, 47700);
    platform::UdpSocket taken;
    ASSERT_TRUE(taken.Create(true));
    EXPECT_FALSE(taken.Bind(loopback, port)) << "a bound port is not shared";

    std::array<uint8_t, 64> buffer{};
    EXPECT_EQ(receiver.Receive(buffer.data(), buffer.size()), -1) << "non-blocking: nothing waits";
    EXPECT_EQ(platform::LastSocketError(), 10035);  // WSAEWOULDBLOCK
    EXPECT_EQ(receiver.WaitReadable(10), platform::WaitResult::TimedOut);

    platform::UdpSocket sender;
    ASSERT_TRUE(sender.Create(false));
    const uint8_t message[] = {0xF0, 0x00, 0x01, 0x54, 0xF7};
    ASSERT_TRUE(sender.SendTo(loopback, port, message, sizeof message));
    EXPECT_EQ(receiver.WaitReadable(2000), platform::WaitResult::Ready);
    std::vector<int> readable;
    int error = 0;
    const int ids[] = {receiver.Descriptor(), taken.Descriptor()};
    EXPECT_EQ(platform::SelectReadable(ids, 0, readable, error), 1);
    EXPECT_EQ(readable, std::vector<int>{receiver.Descriptor()});
    EXPECT_EQ(platform::PeekSocket(receiver.Descriptor()), 1);
    uint32_t from = 0;
    EXPECT_EQ(receiver.Receive(buffer.data(), buffer.size(), &from), static_cast<long>(sizeof message));
    EXPECT_EQ(from, loopback);
    EXPECT_EQ(buffer[4], 0xF7);
    EXPECT_EQ(platform::PeekSocket(receiver.Descriptor()), -1);
}

// Several sockets are waited on at once: the wait wakes when a datagram
// comes to one of them and tells which; a socket made blocking is blocking
// again after the wait.
TEST(Win32Sockets, AWaitOnSeveralSocketsWakesForTheOneADatagramComesTo) {
    uint32_t loopback = 0;
    ASSERT_TRUE(platform::ParseIpv4("127.0.0.1", loopback));
    platform::UdpSocket quiet;
    platform::UdpSocket busy;
    ASSERT_TRUE(quiet.Create(true));
    ASSERT_TRUE(busy.Create(false));
    uint16_t quietPort = 47700;
    for (; quietPort < 47750 && !quiet.Bind(loopback, quietPort); ++quietPort) {
    }
    uint16_t busyPort = 47750;
    for (; busyPort < 47800 && !busy.Bind(loopback, busyPort); ++busyPort) {
    }
    ASSERT_LT(quietPort, 47750);
    ASSERT_LT(busyPort, 47800);
    const platform::UdpSocket* both[] = {&quiet, &busy};
    bool ready[2] = {true, true};
    EXPECT_EQ(platform::UdpSocket::WaitAnyReadable(both, ready, 10), platform::WaitResult::TimedOut);

    platform::UdpSocket sender;
    ASSERT_TRUE(sender.Create(true));
    const uint8_t message[] = {0xF0, 0x00, 0x01, 0x54, 0xF7};
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sender.SendTo(loopback, busyPort, message, sizeof message);
    });
    EXPECT_EQ(platform::UdpSocket::WaitAnyReadable(both, ready, 60000), platform::WaitResult::Ready);
    late.join();
    EXPECT_FALSE(ready[0]);
    EXPECT_TRUE(ready[1]);
    // What is there before a wait begins is seen at once.
    EXPECT_EQ(busy.WaitReadable(0), platform::WaitResult::Ready);
    std::array<uint8_t, 16> buffer{};
    EXPECT_EQ(busy.Receive(buffer.data(), buffer.size()), static_cast<long>(sizeof message));

    // Blocking: the receive waits for the next datagram instead of saying
    // that nothing is there.
    EXPECT_EQ(busy.WaitReadable(10), platform::WaitResult::TimedOut);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sender.SendTo(loopback, busyPort, message, sizeof message);
    });
    EXPECT_EQ(busy.Receive(buffer.data(), buffer.size()), static_cast<long>(sizeof message));
    later.join();
}

TEST(Win32Sockets, TheInterfaceListHasTheLoopback) {
    std::vector<platform::NetInterface> interfaces;
    int error = 0;
    ASSERT_TRUE(platform::ListNetInterfaces(interfaces, error)) << error;
    bool loopback = false;
    for (const platform::NetInterface& i : interfaces) {
        if (i.loopback) {
            loopback = true;
            EXPECT_EQ(i.kind, platform::NetInterface::Kind::Loopback);
            EXPECT_EQ(platform::Ipv4Text(i.address), "127.0.0.1");
            EXPECT_EQ(platform::Ipv4Text(i.netmask), "255.0.0.0");
        }
    }
    EXPECT_TRUE(loopback);
}

TEST(Win32Files, TemporaryFoldersAndOutputFilesThatReplaceOnlyWhenComplete) {
    int error = 0;
    std::string folder;
    {
        const auto dir = platform::TempDir::Create("quil-test-", error);
        ASSERT_NE(dir, nullptr) << error;
        folder = dir->Path();
        EXPECT_EQ(folder.back(), '\\');
        EXPECT_EQ(folder.rfind(platform::TempParent(), 0), 0u);
        const std::string target = dir->File("image.bin");
        std::ofstream(target, std::ios::binary) << "old";
        std::string why;
        {
            auto out = platform::OutputFile::Open(target, why);
            ASSERT_NE(out, nullptr) << why;
            const uint8_t bytes[] = {'n', 'e', 'w', '\n', 0};
            ASSERT_TRUE(out->Write(bytes));
            // Not committed: the old file stays, the temporary goes.
        }
        std::vector<uint8_t> data;
        ASSERT_EQ(platform::ReadWholeFile(target, 100, data, why), platform::ReadStatus::Ok);
        EXPECT_EQ(std::string(data.begin(), data.end()), "old");
        {
            auto out = platform::OutputFile::Open(target, why);
            ASSERT_NE(out, nullptr) << why;
            const uint8_t bytes[] = {'n', 'e', 'w', '\n', 0};
            ASSERT_TRUE(out->Write(bytes));
            ASSERT_TRUE(out->Commit()) << out->Error();
        }
        ASSERT_EQ(platform::ReadWholeFile(target, 100, data, why), platform::ReadStatus::Ok);
        EXPECT_EQ(data, (std::vector<uint8_t>{'n', 'e', 'w', '\n', 0})) << "binary, no line-end translation";
        EXPECT_EQ(platform::ReadWholeFile(target, 2, data, why), platform::ReadStatus::TooLarge);
        EXPECT_TRUE(platform::SameFile(target, dir->File("IMAGE.BIN")));
        EXPECT_TRUE(platform::FileLastWriteTime(target).has_value());
        EXPECT_FALSE(platform::FileLastWriteTime(dir->File("missing")).has_value());
        size_t entries = 0;
        for (const auto& e : std::filesystem::directory_iterator(folder)) entries += e.exists() ? 1 : 0;
        EXPECT_EQ(entries, 1u) << "no temporary is left beside the target";
    }
    EXPECT_FALSE(std::filesystem::exists(folder)) << "the folder goes with its owner";
}

// One program at a time in a folder, which must take files; only the folder
// named is made, and it goes again when nothing was put in it.
TEST(Win32Files, FolderLockAndPlainFiles) {
    namespace fs = std::filesystem;
    int code = 0;
    const auto dir = platform::TempDir::Create("quil-test-", code);
    ASSERT_NE(dir, nullptr) << code;
    const std::string state = dir->File("state");
    using Outcome = platform::FolderLock::Outcome;
    Outcome outcome = Outcome::Failed;
    std::string error;
    {
        auto first = platform::FolderLock::Acquire(state, "first", outcome, error);
        ASSERT_NE(first, nullptr) << error;
        EXPECT_EQ(outcome, Outcome::Locked);
        EXPECT_EQ(platform::FolderLock::Acquire(state, "second", outcome, error), nullptr);
        EXPECT_EQ(outcome, Outcome::Busy);
        EXPECT_EQ(error, "first (process " + std::to_string(getpid()) + ")");
    }
    EXPECT_FALSE(fs::exists(state)) << "a folder made for a run that kept nothing goes again";
    EXPECT_EQ(platform::FolderLock::Acquire(dir->File("absent\\state"), "test", outcome, error), nullptr);
    EXPECT_EQ(outcome, Outcome::Failed);
    EXPECT_FALSE(fs::exists(dir->File("absent")));
    std::ofstream(dir->File("file")) << "x";
    EXPECT_EQ(platform::FolderLock::Acquire(dir->File("file"), "test", outcome, error), nullptr);
    EXPECT_EQ(error, dir->File("file") + ": is not a folder");

    // A new file never replaces one that is there; a plain file reads back.
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_TRUE(platform::WriteNewFile(dir->File("new.bin"), bytes, error)) << error;
    EXPECT_FALSE(platform::WriteNewFile(dir->File("new.bin"), bytes, error));
    std::vector<uint8_t> data;
    ASSERT_EQ(platform::ReadPlainFile(dir->File("new.bin"), 3, data, error), platform::ReadStatus::Ok) << error;
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(platform::ReadPlainFile(dir->File("new.bin"), 2, data, error), platform::ReadStatus::TooLarge);
    EXPECT_EQ(platform::ReadPlainFile(dir->File("missing"), 2, data, error), platform::ReadStatus::OpenFailed);
    EXPECT_EQ(platform::ReadPlainFile("", 2, data, error), platform::ReadStatus::OpenFailed);
    EXPECT_EQ(error, "empty file name");
}

// What the console's interrupt would remove: each registered temporary, a
// folder with its files; an entry given back is left alone.
TEST(Win32Files, TemporariesRegisteredForInterruptsAreRemoved) {
    namespace fs = std::filesystem;
    int code = 0;
    const auto dir = platform::TempDir::Create("quil-test-", code);
    ASSERT_NE(dir, nullptr) << code;
    dir->Keep();  // out of the table, so that only what is registered below goes
    fs::create_directory(dir->File("expanded"));
    std::ofstream(dir->File("expanded\\QUIL0803C.BIN")) << "image";
    std::ofstream(dir->File("output.tmp")) << "partial";
    std::ofstream(dir->File("kept")) << "kept";
    {
        const platform::CleanupSignalsHeld held;
        EXPECT_GE(platform::RegisterTemporary(dir->File("expanded"), platform::TemporaryKind::Folder), 0);
        EXPECT_GE(platform::RegisterTemporary(dir->File("output.tmp"), platform::TemporaryKind::File), 0);
        platform::UnregisterTemporary(platform::RegisterTemporary(dir->File("kept"), platform::TemporaryKind::File));
    }
    platform::RemoveTemporaries();
    EXPECT_FALSE(fs::exists(dir->File("expanded")));
    EXPECT_FALSE(fs::exists(dir->File("output.tmp")));
    EXPECT_TRUE(fs::exists(dir->File("kept")));
    fs::remove_all(fs::path(dir->Path()));
}

}  // namespace
