// quiltool expand, compress, name, serial, images and extract.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/szdd.h"
#include "platform/temp_dir.h"
#include "tests/tools/tool_runner.h"
#include "tools/quiltool/commands.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

class QuiltoolImages : public testing::Test {
protected:
    void SetUp() override {
        int error = 0;
        m_dir = platform::TempDir::Create("quiltool-images-", error);
        ASSERT_TRUE(m_dir);
    }
    std::string File(const std::string& name) const { return m_dir->File(name); }
    std::unique_ptr<platform::TempDir> m_dir;
};

TEST_F(QuiltoolImages, NameReportsDeviceAndVersionOrTheFailureText) {
    struct Case {
        const char* name;
        int code;
        const char* out;
    };
    const Case cases[] = {
        {"QUIL0803C.BIN", 0, "device=0x31 version=803\n"},
        {"quil0900a.bin", 0, "device=0x31 version=900\n"},
        {"/some/folder/VXUSB10V05.BIN", 0, "device=0x32 version=1005\n"},
        {"VXDNT0102NC.BIN", 0, "device=0x15 version=102\n"},
        {"VXHD0110", 0, "device=0x18 version=110\n"},
        {"FIRMWARE.BIN", 1, "Unable to determine DeviceID from File Name\n"},
    };
    for (const Case& c : cases) {
        const Outcome o = RunTool(quiltool::RunName, {c.name});
        EXPECT_EQ(o.code, c.code) << c.name;
        EXPECT_EQ(o.out, c.out) << c.name;
    }
    EXPECT_EQ(RunTool(quiltool::RunName, {}).code, 2);
}

TEST_F(QuiltoolImages, SerialReportsFieldsOrInvalid) {
    Outcome o = RunTool(quiltool::RunSerial, {"3118220001"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out, "valid 0x31256001 model=0x31 year=18 week=22 unit=1\n");
    o = RunTool(quiltool::RunSerial, {"1318220001"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out, "valid 0x13256001 model=0x13 year=18 week=22 unit=1\n");
    for (const char* text : {"3118540001", "3318220001", "311822000"}) {
        o = RunTool(quiltool::RunSerial, {text});
        EXPECT_EQ(o.code, 1) << text;
        EXPECT_EQ(o.out, "invalid\n") << text;
    }
}

TEST_F(QuiltoolImages, ImagesListsEveryEmbeddedImage) {
    const Outcome o = RunTool(quiltool::RunImages, {});
    ASSERT_EQ(o.code, 0) << o.err;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = o.out.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(o.out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_TRUE(lines[0].starts_with("QUIL0803C.BIN device=0x31 version=803 stored=")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" expanded=5346254")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("VXDNT0102NC.BIN device=0x15 version=102 stored=")) << lines[1];
    EXPECT_TRUE(lines[1].ends_with(" expanded=340884")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("VXUSB10V00.BIN device=0x32 version=1000 stored=")) << lines[2];
    EXPECT_TRUE(lines[2].ends_with(" expanded=49408")) << lines[2];
}

TEST_F(QuiltoolImages, ExtractWritesTheExpandedImage) {
    const std::string out = File("usb.bin");
    Outcome o = RunTool(quiltool::RunExtract, {"vxusb10v00.bin", out});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(ReadFile(out).size(), 49408u);

    o = RunTool(quiltool::RunExtract, {"QUIL0900A.BIN", File("none.bin")});
    EXPECT_EQ(o.code, 1);
    EXPECT_FALSE(std::filesystem::exists(File("none.bin")));
}

TEST_F(QuiltoolImages, CompressThenExpandGivesTheInputBack) {
    Bytes input;
    for (uint32_t i = 0; i < 50000; ++i) input.push_back(static_cast<uint8_t>((i * i) >> 5));
    WriteFile(File("data.bin"), input);

    Outcome o = RunTool(quiltool::RunCompress, {"--max-match", "16", File("data.bin"), File("data.bi_")});
    ASSERT_EQ(o.code, 0) << o.err;
    const Bytes container = ReadFile(File("data.bi_"));
    szdd::Header header;
    ASSERT_EQ(szdd::ReadHeader(container, header), szdd::Status::Ok);
    EXPECT_EQ(header.missingChar, 'n');
    EXPECT_LT(container.size(), input.size());

    o = RunTool(quiltool::RunExpand, {File("data.bi_"), File("back.bin")});
    ASSERT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(ReadFile(File("back.bin")), input);

    // Plain data goes through unchanged, with a note.
    o = RunTool(quiltool::RunExpand, {File("data.bin"), File("copy.bin")});
    EXPECT_EQ(o.code, 0);
    EXPECT_NE(o.err.find("not an SZDD container"), std::string::npos);
    EXPECT_EQ(ReadFile(File("copy.bin")), input);

    EXPECT_EQ(RunTool(quiltool::RunCompress, {"--max-match", "19", File("data.bin"), File("x")}).code, 2);
}

TEST_F(QuiltoolImages, BrokenContainerFailsAndLeavesNoOutput) {
    Bytes container;
    ASSERT_TRUE(szdd::Compress(Bytes(10000, 'q'), container));
    container.pop_back();
    WriteFile(File("cut.bi_"), container);
    const Outcome o = RunTool(quiltool::RunExpand, {File("cut.bi_"), File("out.bin")});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("cut.bi_: "), std::string::npos) << o.err;
    EXPECT_FALSE(std::filesystem::exists(File("out.bin")));
    EXPECT_FALSE(std::filesystem::exists(File("out.bin.part")));

    EXPECT_EQ(RunTool(quiltool::RunExpand, {File("missing"), File("out.bin")}).code, 1);
}

}  // namespace
