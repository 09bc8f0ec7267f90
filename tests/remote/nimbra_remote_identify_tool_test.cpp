// quiltool identify on the built-in virtual set.
#include <gtest/gtest.h>

#include <string>

#include "tests/remote/nimbra_remote_fakes.h"
#include "tools/quiltool/commands.h"

namespace enginetest {
namespace {

class IdentifyToolTest : public ::testing::Test {
protected:
    int Run(const quiltool::Args& args) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = quiltool::RunIdentify(args);
        out = ::testing::internal::GetCapturedStdout();
        err = ::testing::internal::GetCapturedStderr();
        return code;
    }
    platform::VirtualClock clock{1000};
    platform::ScopedClock scopedClock{clock};
    TempLog log;
    std::string out;
    std::string err;
};

const char kLine0[] =
    "connection 0: Quil connected via Quil USB MIDI 1 pid=0x31 firmware=7.2 revision=B serial=3118220001 "
    "card=VX-DANTE card-firmware=1.1\n";
const char kLine1[] =
    "connection 1: Quil connected via Quil MIDI 2 pid=0x31 firmware=8.3 revision=C serial=3119100042 "
    "card=VX-HD card-firmware=2.0\n";
const char kLine2[] =
    "connection 2: Nimbra 16 connected via Quil MIDI 3 pid=0x26 firmware=17.1 revision=A serial=2617050007 "
    "card=none card-firmware=0.0\n";
const char kLine3[] =
    "connection 3: Quil connected via Quil USB MIDI 4 pid=0x31 firmware=8.2 revision=C serial=3120030043 "
    "card=VX-USB card-firmware=9.5\n";

TEST_F(IdentifyToolTest, ListsEveryConnectionOfTheBuiltInSet) {
    EXPECT_EQ(Run({"--simulate"}), 0);
    EXPECT_EQ(out, std::string(kLine0) + kLine1 + kLine2 + kLine3);
}

TEST_F(IdentifyToolTest, OneConnection) {
    EXPECT_EQ(Run({"--simulate", "--connection", "1"}), 0);
    EXPECT_EQ(out, kLine1);
    EXPECT_EQ(Run({"--connection", "0x2", "--simulate"}), 0);
    EXPECT_EQ(out, kLine2);
    EXPECT_EQ(Run({"--connection", "65534", "--simulate"}), 1);
}

TEST_F(IdentifyToolTest, BadArgumentsAndMissingConnections) {
    EXPECT_EQ(Run({"--simulate", "--connection", "7"}), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "quiltool: no connection 7 (4 found)\n");
    EXPECT_EQ(Run({"--simulate", "--connection"}), 2);
    EXPECT_EQ(Run({"--connection", "65535", "--simulate"}), 2);
    EXPECT_EQ(err, "quiltool: identify: --connection takes a connection number from 0 to 65534\n");
    EXPECT_EQ(Run({"--simulate", "--connection", "one"}), 2);
    EXPECT_EQ(Run({"--verbose"}), 2);
}

}  // namespace
}  // namespace enginetest
