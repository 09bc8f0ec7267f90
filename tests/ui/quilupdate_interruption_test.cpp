// quilupdate interrupted while it writes a unit: a standard output whose
// reader goes away, and a SIGINT during a card's erase. The update runs to
// its end, the store holds the image, and the log says what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/ui/program_runner.h"

namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

using QuilUpdateInterrupted = ProgramTest;

TEST_F(QuilUpdateInterrupted, AReaderThatGoesAwayDuringTheDownloadChangesNothing) {
    const fs::path image = m_dir / "image.bin";
    ASSERT_EQ(Start({"extract", "QUIL0803C.BIN", image.string()}, kQuiltool).code, 0);
    const fs::path state = m_dir / "state";
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid =
        Spawn({"--console", "--simulate", "--sim-quick", "--update", "--yes", "--sim-state", state.string()},
              kQuilUpdate, {}, out[1]);
    std::string seen;
    EXPECT_TRUE(ReadUntil(out[0], seen, "Downloading...")) << seen;
    ::close(out[0]);  // the pager quits
    const ProgramRun run = Finish(pid);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(ReadAll(state / "3118220001" / "bank2.bin") == ReadAll(image));
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    EXPECT_EQ(Count(log, "Console: the output can no longer be written; what follows is only logged\n"), 1u);
    EXPECT_NE(log.find("Programming Complete\n"), std::string::npos);
    EXPECT_NE(log.find("Exiting\n"), std::string::npos);
}

// A script whose reader is gone before the update is confirmed
// (quilupdate ... | true): the confirmation is not granted, nothing is
// written, and the status is 1, not a SIGPIPE; with text and with events.
TEST_F(QuilUpdateInterrupted, AReaderGoneBeforeTheConfirmationStartsNothing) {
    const fs::path image = m_dir / "image.bin";
    ASSERT_EQ(Start({"extract", "QUIL0803C.BIN", image.string()}, kQuiltool).code, 0);
    for (const char* view : {"--console", "--json"}) {
        SCOPED_TRACE(view);
        const fs::path state = m_dir / (std::string("state") + view);
        std::vector<std::string> args = {"--console", "--simulate",  "--sim-quick", "--update",
                                         "--yes",     "--sim-state", state.string()};
        if (std::string(view) == "--json") args.push_back(view);
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        ::close(out[0]);
        const ProgramRun run = Finish(Spawn(args, kQuilUpdate, {}, out[1]));
        EXPECT_EQ(run.code, 1) << run.err;
        EXPECT_FALSE(ReadAll(state / "3118220001" / "bank2.bin") == ReadAll(image));
        const std::string log = ReadAll(m_dir / "QuilUpdate.log");
        EXPECT_NE(log.find("Console: \"Firmware Update Confirmation\" was asked after the output went away: Cancel\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("Downloading"), std::string::npos);
        fs::remove(m_dir / "QuilUpdate.log");
    }
}

TEST_F(QuilUpdateInterrupted, SigintDuringTheCardsEraseWaitsForTheEndOfTheUpdate) {
    const fs::path image = m_dir / "image.bin";
    ASSERT_EQ(Start({"extract", "VXDNT0102NC.BIN", image.string()}, kQuiltool).code, 0);
    std::string padded = ReadAll(image);
    padded.resize((padded.size() + 127) / 128 * 128, '\0');
    const fs::path state = m_dir / "state";
    // The card is written over the Dante link, in a network of its own so
    // that other runs can use the Dante ports meanwhile.
    if (::geteuid() != 0 || Start({"-n", "true"}, "unshare").code != 0)
        GTEST_SKIP() << "the Dante run needs a private network namespace (root and unshare)";
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    // The card's erase takes its three seconds here.
    const pid_t pid =
        Spawn({"--console", "--simulate=dante", "--unit", "1", "--update", "--yes", "--sim-state", state.string()},
              kQuilUpdate, {}, out[1], {"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\""});
    std::string seen;
    // The first line of the erase's progress: the erase has begun.
    EXPECT_TRUE(ReadUntil(out[0], seen, "Erasing 0%")) << seen;
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    Drain(out[0], seen);
    const ProgramRun run = Finish(pid);
    EXPECT_EQ(run.code, 0) << seen << run.err;
    EXPECT_EQ(run.err,
              "quilupdate: SIGINT: the VX-DANTE card is being written; the program will stop when that is safe.\n");
    EXPECT_NE(seen.find("Verifying XSlot Firmware..."), std::string::npos);
    EXPECT_TRUE(ReadAll(state / "3118220001" / "card.bin") == padded);
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    EXPECT_NE(log.find("SIGINT arrived while the VX-DANTE card was being written; held back until it was done\n"),
              std::string::npos);
    EXPECT_NE(log.find("Stopping on SIGINT now that the update has succeeded\n"), std::string::npos);
}

}  // namespace
