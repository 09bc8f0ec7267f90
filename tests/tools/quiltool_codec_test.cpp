// quiltool encode, crc and decode: every message of the protocol tables, the
// decode lines, and usage errors.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/tool_runner.h"
#include "tools/quiltool/commands.h"

namespace {

std::string Encode(const quiltool::Args& args) {
    const Outcome o = RunTool(quiltool::RunEncode, args);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_TRUE(o.err.empty());
    return o.out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string HexRun(size_t n, unsigned start) {
    std::string out;
    char pair[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>((start + i * 37) & 0xFF));
        out += pair;
    }
    return out;
}

}  // namespace

TEST(QuiltoolCodec, EncodesEveryCommand) {
    const char* expected[] = {
        "F0 00 01 54 0F 39 46 F7", "F0 00 01 54 16 74 7E F7", "F0 00 01 54 1E 31 2E F7", "F0 00 01 54 25 6E 22 F7",
        "F0 00 01 54 2D 2B 72 F7", "F0 00 01 54 34 66 4A F7", "F0 00 01 54 3C 23 1A F7", "F0 00 01 54 43 5F 0C F7",
        "F0 00 01 54 4B 1A 5C F7", "F0 00 01 54 52 57 64 F7", "F0 00 01 54 5A 12 34 F7", "F0 00 01 54 61 4D 38 F7",
    };
    for (int n = 1; n <= 12; ++n) {
        EXPECT_EQ(Encode({"command", std::to_string(n)}), std::string(expected[n - 1]) + "\n");
    }
    EXPECT_EQ(Encode({"command", "0xC"}), "F0 00 01 54 61 4D 38 F7\n");
}

TEST(QuiltoolCodec, EncodesRegisterMessages) {
    EXPECT_EQ(Encode({"request", "0", "127"}), "F0 00 01 54 68 01 7E F7\n");
    EXPECT_EQ(Encode({"request", "1", "24"}), "F0 00 01 54 68 04 2E F7\n");
    EXPECT_EQ(Encode({"request-ext", "1024", "2047"}), "F0 00 01 54 6F 02 00 00 3F 78 F7\n");
    EXPECT_EQ(Encode({"request-ext", "0x400", "0x7FF"}), "F0 00 01 54 6F 02 00 00 3F 78 F7\n");
    EXPECT_EQ(Encode({"write", "5", "0x10"}), "F0 00 01 54 00 14 20 F7\n");
    EXPECT_EQ(Encode({"write-ext", "517", "0xAB"}), "F0 00 01 54 07 01 01 35 30 F7\n");
    // Registers 256 and up: the high-bank bit.
    EXPECT_EQ(Encode({"write", "300", "0xC1"}), "F0 00 01 54 01 33 03 F7\n");
    EXPECT_EQ(Encode({"request", "256", "383"}), "F0 00 01 54 68 01 7F F7\n");
}

TEST(QuiltoolCodec, EncodesFirmwarePackets) {
    EXPECT_EQ(Encode({"packet", "E5 02 03"}), "F0 00 01 54 7F 14 04 03 00 F7\n");
    // Several arguments are one byte string.
    EXPECT_EQ(Encode({"packet", "E5", "0203"}), "F0 00 01 54 7F 14 04 03 00 F7\n");
    const std::string out = Encode({"packet", HexRun(128, 0x40)});
    std::istringstream tokens(out);
    std::vector<std::string> bytes;
    for (std::string token; tokens >> token;) bytes.push_back(token);
    ASSERT_EQ(bytes.size(), 152u);
    EXPECT_EQ(bytes.front(), "F0");
    EXPECT_EQ(bytes[4], "7A");  // 0x78 | 0x40 >> 5
    EXPECT_EQ(bytes.back(), "F7");
    EXPECT_EQ(out.size(), 152u * 3);  // single spaces, one line
}

TEST(QuiltoolCodec, CrcOfHexAndText) {
    EXPECT_EQ(RunTool(quiltool::RunCrc, {"--text", "123456789"}).out, "0xE9\n");
    EXPECT_EQ(RunTool(quiltool::RunCrc, {"--text", "abc"}).out, "0xEF\n");
    EXPECT_EQ(RunTool(quiltool::RunCrc, {"61 62", "63"}).out, "0xEF\n");
    EXPECT_EQ(RunTool(quiltool::RunCrc, {"--text", ""}).out, "0x1FF\n");
    EXPECT_EQ(RunTool(quiltool::RunCrc, {""}).out, "0x1FF\n");
}

TEST(QuiltoolCodec, DecodesAStreamAsTheQueueCutsIt) {
    const Outcome o = RunTool(quiltool::RunDecode,
                              {"01 02",                                         // discarded before the first F0
                               "F0 00 01 54 00 14 20 F7", "F00001540133 03F7",  // writes, short and high bank
                               "F0 00 01 54 07 01 01 35 30 F7",                 // extended write
                               "F0 00 01 54 68 04 2E F7 F0 00 01 54 6F 02 00 00 3F 78 F7",
                               "F0 00 01 54 34 66 4A F7",                 // command 6
                               "F0 00 01 54 70 04 06 18 40 00 50 00 F7",  // reply 1..4
                               "F0 00 01 54 7F 14 04 03 00 F7"});         // packet E5 02 03
    EXPECT_EQ(o.code, 0) << o.err;
    const std::vector<std::string> expected = {
        "write register=5 value=0x10",
        "write register=300 value=0xC1",
        "write register=517 value=0xAB",
        "request first=1 last=24",
        "request first=1024 last=2047",
        "command 6",
        "reply first=1 count=4 data=31 00 05 00",
    };
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), expected.size() + 1) << o.out;
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
    const std::string crc = RunTool(quiltool::RunCrc, {"E50203"}).out;
    EXPECT_EQ(lines.back(), "packet length=3 crc=" + crc.substr(0, crc.size() - 1) + " data=E5 02 03");
}

TEST(QuiltoolCodec, DecodeReportsInvalidMessagesAndLeftovers) {
    Outcome o = RunTool(quiltool::RunDecode, {"F0 00 01 54 34 66 4C F7"});
    EXPECT_EQ(o.code, 1);
    ASSERT_EQ(Lines(o.out).size(), 1u);
    EXPECT_EQ(Lines(o.out)[0].rfind("invalid: command 6 check byte 0xA6", 0), 0u) << o.out;

    o = RunTool(quiltool::RunDecode, {"F0 00 01 54 61 4D 38 F7 F0 00 01 54 70"});
    EXPECT_EQ(o.code, 1);
    ASSERT_EQ(Lines(o.out).size(), 2u);
    EXPECT_EQ(Lines(o.out)[0], "command 12");
    EXPECT_EQ(Lines(o.out)[1], "invalid: message of 5 bytes has no F7");

    o = RunTool(quiltool::RunDecode, {"01 02 03"});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "invalid: 3 bytes without F0\n");

    // A message longer than 4095 bytes is cut there, its rest discarded.
    std::string overlong = "F0" + std::string(2 * 4200, '1') + "F7";
    o = RunTool(quiltool::RunDecode, {overlong, "F0 00 01 54 2D 2B 72 F7"});
    ASSERT_EQ(Lines(o.out).size(), 2u) << o.out;
    EXPECT_EQ(Lines(o.out)[0], "invalid: does not end with F7");
    EXPECT_EQ(Lines(o.out)[1], "command 5");

    // More bytes than the queue holds at once still decode in order.
    std::string many;
    for (int i = 0; i < 1500; ++i) many += "F0 00 01 54 43 5F 0C F7 ";
    o = RunTool(quiltool::RunDecode, {many});
    EXPECT_EQ(o.code, 0);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 1500u);
    EXPECT_EQ(lines.front(), "command 8");
    EXPECT_EQ(lines.back(), "command 8");
}

TEST(QuiltoolCodec, UsageErrorsExitWithTwo) {
    const std::vector<quiltool::Args> badEncodes = {
        {},
        {"command"},
        {"command", "0"},
        {"command", "13"},
        {"command", "six"},
        {"write", "512", "1"},
        {"write", "5", "256"},
        {"write", "5"},
        {"write-ext", "65536", "1"},
        {"request", "512", "513"},
        {"request", "10", "9"},
        {"request", "0", "256"},
        {"request-ext", "5", "4"},
        {"packet"},
        {"packet", ""},
        {"packet", "0G"},
        {"packet", "123"},
        {"packet", HexRun(129, 0)},
        {"nonsense"},
    };
    for (const quiltool::Args& args : badEncodes) {
        const Outcome o = RunTool(quiltool::RunEncode, args);
        EXPECT_EQ(o.code, 2) << testing::PrintToString(args);
        EXPECT_TRUE(o.out.empty());
        EXPECT_FALSE(o.err.empty());
    }
    for (const quiltool::Args& args : std::vector<quiltool::Args>{{}, {"--text"}, {"XYZ"}, {"--text", "a", "b"}}) {
        const Outcome o = RunTool(quiltool::RunCrc, args);
        EXPECT_EQ(o.code, 2) << testing::PrintToString(args);
        EXPECT_FALSE(o.err.empty());
    }
    for (const quiltool::Args& args : std::vector<quiltool::Args>{{}, {""}, {"F0 0"}, {"0xF0"}}) {
        const Outcome o = RunTool(quiltool::RunDecode, args);
        EXPECT_EQ(o.code, 2) << testing::PrintToString(args);
        EXPECT_FALSE(o.err.empty());
    }
}

// Every message of the protocol's tables and worked examples, both ways: the
// encoder prints the unit's exact bytes and the decoder names them again.
TEST(QuiltoolCodec, EveryTableMessageEncodesAndDecodesBack) {
    struct Row {
        quiltool::Args encode;
        std::string bytes;
        std::string decoded;
    };
    const std::vector<Row> table = {
        {{"command", "1"}, "F0 00 01 54 0F 39 46 F7", "command 1"},
        {{"command", "2"}, "F0 00 01 54 16 74 7E F7", "command 2"},
        {{"command", "3"}, "F0 00 01 54 1E 31 2E F7", "command 3"},
        {{"command", "4"}, "F0 00 01 54 25 6E 22 F7", "command 4"},
        {{"command", "5"}, "F0 00 01 54 2D 2B 72 F7", "command 5"},
        {{"command", "6"}, "F0 00 01 54 34 66 4A F7", "command 6"},
        {{"command", "7"}, "F0 00 01 54 3C 23 1A F7", "command 7"},
        {{"command", "8"}, "F0 00 01 54 43 5F 0C F7", "command 8"},
        {{"command", "9"}, "F0 00 01 54 4B 1A 5C F7", "command 9"},
        {{"command", "10"}, "F0 00 01 54 52 57 64 F7", "command 10"},
        {{"command", "11"}, "F0 00 01 54 5A 12 34 F7", "command 11"},
        {{"command", "12"}, "F0 00 01 54 61 4D 38 F7", "command 12"},
        {{"request", "0", "127"}, "F0 00 01 54 68 01 7E F7", "request first=0 last=127"},
        {{"request", "1", "24"}, "F0 00 01 54 68 04 2E F7", "request first=1 last=24"},
        {{"request-ext", "1024", "2047"}, "F0 00 01 54 6F 02 00 00 3F 78 F7", "request first=1024 last=2047"},
        {{"write", "5", "0x10"}, "F0 00 01 54 00 14 20 F7", "write register=5 value=0x10"},
        {{"write-ext", "517", "0xAB"}, "F0 00 01 54 07 01 01 35 30 F7", "write register=517 value=0xAB"},
        {{"write", "256", "0"}, "F0 00 01 54 00 00 01 F7", "write register=256 value=0x00"},
        {{"packet", "E5 02 03"}, "F0 00 01 54 7F 14 04 03 00 F7", "packet length=3 crc=0x"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.bytes);
        EXPECT_EQ(Encode(row.encode), row.bytes + "\n");
        const Outcome o = RunTool(quiltool::RunDecode, {row.bytes});
        EXPECT_EQ(o.code, 0) << o.err;
        EXPECT_EQ(o.out.rfind(row.decoded, 0), 0u) << o.out;
        EXPECT_EQ(Lines(o.out).size(), 1u);
    }
}

TEST(QuiltoolCodec, DecodesRepliesInBothFormsAndRefusesWrongLengths) {
    // Byte 4 with its low three bits set: the 16-bit form, first register 1,
    // one data byte 0x31.
    Outcome o = RunTool(quiltool::RunDecode, {"F0 00 01 54 77 00 00 20 00 00 18 40 F7"});
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, "reply first=1 count=1 data=31\n");

    // One data-block byte too many, and one too few.
    o = RunTool(quiltool::RunDecode, {"F0 00 01 54 70 04 06 18 40 00 50 00 05 F7"});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out.rfind("invalid: reply of 4 data bytes", 0), 0u) << o.out;
    o = RunTool(quiltool::RunDecode, {"F0 00 01 54 70 04 06 18 40 00 50 F7"});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out.rfind("invalid: reply of 4 data bytes", 0), 0u) << o.out;
}

TEST(QuiltoolCodec, DecodeReportsLongRunsWithoutStart) {
    // The queue drops such a run once it outgrows the longest message; the
    // tool must still say it was there.
    Outcome o = RunTool(quiltool::RunDecode, {std::string(2 * 5000, '1')});
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "invalid: 5000 bytes without F0\n");

    // An unterminated message followed by more bytes than the queue holds:
    // every byte is accounted for.
    o = RunTool(quiltool::RunDecode, {"F0" + std::string(2 * 9000, '1') + "F7"});
    EXPECT_EQ(o.code, 1);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_EQ(lines[0], "invalid: does not end with F7");
    EXPECT_EQ(lines[1], "invalid: 4096 bytes without F0");
    EXPECT_EQ(lines[2], "invalid: 811 bytes without F0");
}

TEST(QuiltoolCodec, ShortFormsThatReadAsTheWideFormCarryANote) {
    // Address bits 7..5 of registers 224..255 fill the form bits with 7.
    for (const quiltool::Args& args : std::vector<quiltool::Args>{
             {"write", "224", "1"}, {"write", "511", "255"}, {"request", "240", "250"}, {"request", "480", "481"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome o = RunTool(quiltool::RunEncode, args);
        EXPECT_EQ(o.code, 0);
        EXPECT_EQ(o.out.substr(0, 14), "F0 00 01 54 " + std::string(args[0] == "write" ? "07" : "6F"));
        EXPECT_NE(o.err.find("-ext"), std::string::npos) << o.err;
    }
    EXPECT_EQ(RunTool(quiltool::RunEncode, {"write", "223", "1"}).err, "");
    EXPECT_EQ(RunTool(quiltool::RunEncode, {"request", "479", "480"}).err, "");
}
