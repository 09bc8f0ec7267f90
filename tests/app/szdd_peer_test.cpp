// Our SZDD expander and compressor against peers we did not write: Debian's
// mscompress/msexpand and 7-Zip. Their containers expand identically with
// ours, ours identically with theirs. Skipped only where a tool is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/szdd.h"
#include "platform/temp_dir.h"
#include "resources/firmware_resources.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Runs a shell command whose output the command itself redirects.
bool Shell(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

// Inputs of at least 16 bytes: mscompress writes a wrong stream for shorter ones.
std::vector<Bytes> SampleInputs() {
    std::vector<Bytes> inputs;
    std::mt19937 rng(42);
    inputs.push_back(Bytes(16, 'a'));
    inputs.push_back(Bytes(5000, ' '));
    inputs.push_back(Bytes(70001, 0x00));
    Bytes noise(30000);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    inputs.push_back(noise);
    Bytes text;
    const char* words[] = {"firmware ", "update ", "Quil ", "bank ", "packet ", "\n", "    "};
    while (text.size() < 150000) {
        const char* w = words[rng() % 7];
        text.insert(text.end(), w, w + std::char_traits<char>::length(w));
        if (rng() % 5 == 0) text.push_back(static_cast<uint8_t>(rng()));
    }
    inputs.push_back(text);
    return inputs;
}

class SzddPeers : public testing::Test {
protected:
    void SetUp() override {
        int error = 0;
        m_dir = platform::TempDir::Create("szdd-peer-", error);
        ASSERT_TRUE(m_dir) << error;
    }
    std::string File(const std::string& name) const { return m_dir->File(name); }

    std::unique_ptr<platform::TempDir> m_dir;
};

TEST_F(SzddPeers, MscompressContainersExpandIdenticallyWithOurs) {
    if (!HaveTool("mscompress")) GTEST_SKIP() << "mscompress is not installed";
    int index = 0;
    for (const Bytes& input : SampleInputs()) {
        const std::string plain = File("in" + std::to_string(index++) + ".dat");
        WriteFile(plain, input);
        ASSERT_TRUE(Shell("mscompress " + plain + " >/dev/null"));
        const Bytes container = ReadFile(plain + "_");
        Bytes image;
        const szdd::ExpandResult r = szdd::ExpandBuffer(container, image);
        EXPECT_EQ(r.status, szdd::Status::Ok) << szdd::StatusText(r.status) << " for " << input.size() << " bytes";
        EXPECT_EQ(image, input) << input.size() << " bytes";
    }
}

TEST_F(SzddPeers, OurContainersExpandIdenticallyWithMsexpand) {
    if (!HaveTool("msexpand")) GTEST_SKIP() << "msexpand is not installed";
    for (size_t maxMatch : {16u, 18u}) {
        int index = 0;
        for (const Bytes& input : SampleInputs()) {
            szdd::CompressOptions options;
            options.maxMatch = maxMatch;
            Bytes container;
            ASSERT_TRUE(szdd::Compress(input, container, options));
            const std::string packed = File("ours" + std::to_string(index++) + ".dd_");
            WriteFile(packed, container);
            ASSERT_TRUE(Shell("msexpand < " + packed + " > " + packed + ".out"));
            EXPECT_EQ(ReadFile(packed + ".out"), input) << input.size() << " bytes, matches up to " << maxMatch;
        }
    }
}

TEST_F(SzddPeers, OurContainersExpandIdenticallyWith7Zip) {
    if (!HaveTool("7zz")) GTEST_SKIP() << "7zz is not installed";
    int index = 0;
    for (const Bytes& input : SampleInputs()) {
        szdd::CompressOptions options;
        options.maxMatch = 16;  // 7-Zip refuses references of 17 and 18 bytes
        Bytes container;
        ASSERT_TRUE(szdd::Compress(input, container, options));
        const std::string packed = File("ours" + std::to_string(index++) + ".dd_");
        WriteFile(packed, container);
        ASSERT_TRUE(Shell("7zz e -so " + packed + " > " + packed + ".out"));
        EXPECT_EQ(ReadFile(packed + ".out"), input) << input.size() << " bytes";
    }
}

TEST_F(SzddPeers, EmbeddedImagesExpandIdenticallyWithEveryPeer) {
    const bool haveMsexpand = HaveTool("msexpand");
    const bool have7zz = HaveTool("7zz");
    if (!haveMsexpand && !have7zz) GTEST_SKIP() << "neither msexpand nor 7zz is installed";
    for (const resources::RawResource& r : resources::RawResources()) {
        Bytes ours;
        ASSERT_EQ(szdd::ExpandBuffer(r.bytes, ours).status, szdd::Status::Ok) << r.name;
        const std::string packed = File(std::string(r.name) + ".szdd");
        WriteFile(packed, Bytes(r.bytes.begin(), r.bytes.end()));
        // msexpand reads and writes a byte per system call: it takes many
        // seconds over the 5 MB image, which 7-Zip covers.
        if (haveMsexpand && r.bytes.size() < 1000000) {
            ASSERT_TRUE(Shell("msexpand < " + packed + " > " + packed + ".ms"));
            EXPECT_TRUE(ReadFile(packed + ".ms") == ours) << r.name << " differs from msexpand's";
        }
        if (have7zz) {
            ASSERT_TRUE(Shell("7zz e -so " + packed + " > " + packed + ".7z"));
            EXPECT_TRUE(ReadFile(packed + ".7z") == ours) << r.name << " differs from 7-Zip's";
        }
    }
}

}  // namespace
