// quiltool's --json documents: valid JSON with the fields of the text lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/tools/tool_runner.h"
#include "tools/quiltool/commands.h"
#include "tools/quiltool/json_output.h"

namespace {

// Python's own parser judges the document: exit 0 when it is valid JSON
// whose top level is a list.
bool IsJsonList(const std::string& text) {
    std::FILE* pipe =
        ::popen("python3 -c 'import json,sys; sys.exit(0 if isinstance(json.load(sys.stdin), list) else 3)'", "w");
    if (pipe == nullptr) return false;
    std::fwrite(text.data(), 1, text.size(), pipe);
    return ::pclose(pipe) == 0;
}

TEST(QuiltoolText, NamesFromTheNetworkAreEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"Quil 1", "Quil 1"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"back\\slash", "back\\\\slash"},  // so that no escape can be forged
        {std::string("\x1b[2J\x00\x7f", 6), "\\x1b[2J\\x00\\x7f"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},  // UTF-8 kept
        {"csi\xC2\x9B"
         "2J",
         "csi\\xc2\\x9b2J"},                                               // a C1 control in UTF-8
        {"nbsp\xC2\xA0x", "nbsp\xC2\xA0x"},                                // the character after the C1 block is kept
        {"bad \xFF\xC3", "bad \\xff\\xc3"},                                // not UTF-8
        {"\xED\xA0\x80|\xE0\x80\xAF", "\\xed\\xa0\\x80|\\xe0\\x80\\xaf"},  // a surrogate, an overlong '/'
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(quiltool::EscapedText(text), want) << text;
}

TEST(QuiltoolJson, ListingCommandsPrintOneDocument) {
    const Outcome identify = RunTool(quiltool::RunIdentify, {"--simulate", "--json"});
    EXPECT_EQ(identify.code, 0) << identify.err;
    EXPECT_TRUE(IsJsonList(identify.out)) << identify.out;
    for (const char* field : {"\"serial\":\"3118220001\"", "\"description\":\"Quil connected via Quil USB MIDI 1\"",
                              "\"pid\":\"0x31\"", "\"firmware\":\"7.2\"", "\"revision\":\"B\"", "\"card\":\"VX-DANTE\"",
                              "\"card-firmware\":\"1.1\"", "\"answered\":true"}) {
        EXPECT_NE(identify.out.find(field), std::string::npos) << field;
    }

    const Outcome probe = RunTool(quiltool::RunProbe, {"--json", "--simulate"});
    EXPECT_EQ(probe.code, 0);
    EXPECT_TRUE(IsJsonList(probe.out)) << probe.out;
    EXPECT_NE(probe.out.find("{\"connection\":0,\"in\":0,\"out\":0,\"name\":\"Quil USB MIDI 1\"}"), std::string::npos)
        << probe.out;

    const Outcome ports = RunTool(quiltool::RunPorts, {"--simulate", "--json"});
    EXPECT_EQ(ports.code, 0);
    EXPECT_TRUE(IsJsonList(ports.out)) << ports.out;
    EXPECT_NE(ports.out.find("\"direction\":\"out\",\"id\":4,\"name\":\"Quil Software Synth\""), std::string::npos);
    EXPECT_NE(ports.out.find("\"candidate\":false"), std::string::npos);

    // A command that finds nothing still prints a document, and says why on
    // stderr.
    const Outcome none = RunTool(quiltool::RunIdentify, {"--json", "--connection", "9", "--simulate"});
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.out, "[]\n");
    EXPECT_FALSE(none.err.empty());
}

}  // namespace
