// quilupdate --update --all as a user and a script run it, on the built-in
// virtual units: which entries are updated and which skipped, the summary,
// the exit status, each flash bank and card store against its image, several
// FILE=, --json parsed line by line (also for one unit), usage errors, a
// fault, a stop request and a reader that goes away. The units' flash work
// runs with --sim-quick.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ui/json_value.h"
#include "tests/ui/program_runner.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kAllUnits = {"3118220001", "3119100042", "3120030043", "2617050007"};

class QuilUpdateBatch : public ProgramTest {
protected:
    // Runs quilupdate with `args` after the options every run shares.
    ProgramRun Run(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {},
                   const std::string& link = "--simulate") {
        std::vector<std::string> all = {"--console", link, "--sim-quick", "--update", "--all"};
        all.insert(all.end(), args.begin(), args.end());
        return Finish(Spawn(all, kQuilUpdate, {}, -1, prefix));
    }

    std::string Extract(const char* name) {
        const fs::path path = m_dir / (std::string("builtin-") + name);
        const ProgramRun extract = Start({"extract", name, path.string()}, kQuiltool);
        EXPECT_EQ(extract.code, 0) << extract.err;
        return ReadAll(path);
    }

    // A small image for FILE=; a Quil's begins like an FPGA bitstream.
    std::string MakeImage(const std::string& name, int seed) {
        std::string content(1000 + 64 * seed, '\0');
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + 3 + seed);
        std::fill_n(content.begin(), 16, '\xFF');
        content.replace(16, 4, "\xAA\x99\x55\x66");
        std::ofstream(m_dir / name, std::ios::binary) << content;
        return content;
    }

    // Every bank and card store of the saved units that is not in `written`
    // is empty; those in it hold exactly their content.
    void ExpectStores(const fs::path& state, const std::map<std::string, std::string>& written) {
        for (const std::string& unit : kAllUnits) {
            for (const char* store : {"bank1.bin", "bank2.bin", "card.bin"}) {
                const std::string key = unit + "/" + store;
                const std::string got = ReadAll(state / unit / store);
                const auto want = written.find(key);
                if (want == written.end()) {
                    EXPECT_TRUE(got.empty()) << key << " holds " << got.size() << " bytes";
                } else {
                    EXPECT_TRUE(got == want->second)
                        << key << ": " << got.size() << " bytes, expected " << want->second.size();
                }
            }
        }
    }

    static size_t Count(const std::string& text, const std::string& needle) {
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    }
};

// The summary's rows, each as the table prints it.
std::string Row(const char* entry, const char* device, const char* serial, const char* before, const char* after,
                const std::string& result) {
    char text[400];
    std::snprintf(text, sizeof text, "%-5s  %-8s  %-10s  %-6s  %-5s  %s\n", entry, device, serial, before, after,
                  result.c_str());
    return text;
}

const std::string kDanteOverMidi =
    "skipped: the VX-DANTE card's store is written only over the Dante link, not over MIDI";
const std::string kNoHdImage = "skipped: no firmware image for the VX-HD card";
const std::string kCurrent = "skipped: already current (runs 8.3, image 8.3)";

TEST_F(QuilUpdateBatch, UpdatesTheUnitsThatNeedItAndSkipsTheOthersWithTheirReasons) {
    const std::string quil = Extract("QUIL0803C.BIN");
    const std::string usb = Extract("VXUSB10V00.BIN");
    ASSERT_EQ(quil.size(), 5346254u);
    const fs::path state = m_dir / "state";
    const ProgramRun run = Run({"--yes", "--sim-state", state.string()});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    // Each card before its unit; the confirmation lists the three writes.
    for (const std::string& text :
         {std::string("[Firmware Update Confirmation] About to program:\n"
                      "the Quil connected via Quil USB MIDI 1 with Firmware Version 8.3\n"
                      "the VX-USB in Quil connected via Quil USB MIDI 4 with Firmware Version 10.0\n"
                      "the Quil connected via Quil USB MIDI 4 with Firmware Version 8.3\n"),
          std::string("-> OK (--yes)\n"),
          "Summary:\n" + Row("Entry", "Device", "Serial", "Before", "After", "Result") +
              Row("1", "VX-DANTE", "1518220002", "1.1", "1.1", kDanteOverMidi) +
              Row("0", "Quil", "3118220001", "7.2", "8.3", "updated") +
              Row("3", "VX-HD", "1819100043", "2.0", "2.0", kNoHdImage) +
              Row("2", "Quil", "3119100042", "8.3", "8.3", kCurrent) +
              Row("5", "VX-USB", "3220030044", "9.5", "10.0", "updated") +
              Row("4", "Quil", "3120030043", "8.2", "8.3", "updated") +
              "To complete the update, POWER OFF each updated Quil using the main power switch on the back of the "
              "unit: 3118220001, 3120030043.\n"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n---\n" << run.out;
    }
    // Each sequence shows its own status texts, as in a one-unit update.
    EXPECT_EQ(Count(run.out, "Downloading...\n"), 2u);
    EXPECT_EQ(Count(run.out, "Erasing...\n"), 2u);
    ExpectStores(state, {{"3118220001/bank2.bin", quil}, {"3120030043/bank2.bin", quil}, {"3120030043/card.bin", usb}});
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    EXPECT_NE(log.find("Update all: done, exit status 0\n"), std::string::npos);
}

TEST_F(QuilUpdateBatch, AFaultedUnitFailsAndTheOthersAreStillUpdated) {
    const std::string quil = Extract("QUIL0803C.BIN");
    const std::string usb = Extract("VXUSB10V00.BIN");
    const fs::path state = m_dir / "state";
    const ProgramRun run = Run({"--yes", "--sim-state", state.string(), "--sim-fault", "pgmerr@100"});
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    for (const std::string& text :
         {std::string("[Quil Firmware Update] Wait for Write Firmware Packet Failed!\n\nPGMERR\n"),
          std::string("[EEPROM Programming Failure] Updating the Firmware on the Quil FAILED!\n"),
          Row("0", "Quil", "3118220001", "7.2", "?", "failed: Wait for Write Firmware Packet Failed! PGMERR"),
          Row("5", "VX-USB", "3220030044", "9.5", "10.0", "updated"),
          Row("4", "Quil", "3120030043", "8.2", "8.3", "updated"),
          std::string("the back of the unit: 3120030043.\n")}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n---\n" << run.out;
    }
    ExpectStores(state, {{"3120030043/bank2.bin", quil}, {"3120030043/card.bin", usb}});
}

TEST_F(QuilUpdateBatch, OneFileImagePerDeviceKindAndForce) {
    const std::string quil = MakeImage("QUIL0901A.BIN", 1);
    const std::string usb = MakeImage("VXUSB10V07.BIN", 2);
    const std::string usbBuiltin = Extract("VXUSB10V00.BIN");
    MakeImage("VXDNT0103.BIN", 3);
    const fs::path state = m_dir / "state";
    // Names in any case and order; the VX-DANTE image finds no card it can
    // reach over MIDI.
    const ProgramRun run =
        Run({"--yes", "--sim-state", state.string(), "file=" + (m_dir / "VXUSB10V07.BIN").string(),
             "FILE=" + (m_dir / "VXDNT0103.BIN").string(), "FILE=" + (m_dir / "QUIL0901A.BIN").string(), "PROM=1"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    for (const std::string& text : {Row("1", "VX-DANTE", "1518220002", "1.1", "1.1", kDanteOverMidi),
                                    Row("0", "Quil", "3118220001", "7.2", "9.1", "updated"),
                                    Row("2", "Quil", "3119100042", "8.3", "9.1", "updated"),
                                    Row("5", "VX-USB", "3220030044", "9.5", "10.7", "updated"),
                                    Row("4", "Quil", "3120030043", "8.2", "9.1", "updated")}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n---\n" << run.out;
    }
    ExpectStores(state, {{"3118220001/bank1.bin", quil},
                         {"3119100042/bank1.bin", quil},
                         {"3120030043/bank1.bin", quil},
                         {"3120030043/card.bin", usb}});

    // An older image is not newer than what the units run: only --force
    // writes it there.
    const std::string older = MakeImage("QUIL0800A.BIN", 4);
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "--force" : "no --force");
        const fs::path folder = m_dir / (force ? "forced" : "plain");
        std::vector<std::string> args = {"--yes", "--sim-state", folder.string(),
                                         "FILE=" + (m_dir / "QUIL0800A.BIN").string()};
        if (force) args.push_back("--force");
        const ProgramRun older8 = Run(args);
        EXPECT_EQ(older8.code, 0) << older8.out;
        for (const std::string& text :
             {Row("0", "Quil", "3118220001", "7.2", "8.0", "updated"),
              force
                  ? Row("2", "Quil", "3119100042", "8.3", "8.0", "updated")
                  : Row("2", "Quil", "3119100042", "8.3", "8.3", "skipped: newer than the image (runs 8.3, image 8.0)"),
              force
                  ? Row("4", "Quil", "3120030043", "8.2", "8.0", "updated")
                  : Row("4", "Quil", "3120030043", "8.2", "8.2", "skipped: newer than the image (runs 8.2, image 8.0)"),
              Row("3", "VX-HD", "1819100043", "2.0", "2.0", kNoHdImage),
              Row("1", "VX-DANTE", "1518220002", "1.1", "1.1", kDanteOverMidi)}) {
            EXPECT_NE(older8.out.find(text), std::string::npos) << text << "\n---\n" << older8.out;
        }
        std::map<std::string, std::string> written = {{"3118220001/bank2.bin", older},
                                                      {"3120030043/card.bin", usbBuiltin}};
        if (force) {
            written["3119100042/bank2.bin"] = older;
            written["3120030043/bank2.bin"] = older;
        }
        ExpectStores(folder, written);
    }
}

TEST_F(QuilUpdateBatch, UsageErrorsChangeNothing) {
    MakeImage("QUIL0901A.BIN", 1);
    MakeImage("NOPE0100.BIN", 1);
    MakeImage("VXHD0201.BIN", 1);
    const std::string a = (m_dir / "QUIL0901A.BIN").string();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--console", "--simulate", "--update", "--all", "FILE=" + a, "FILE=" + a},
         "a second Quil image (FILE=" + a + "); give one image per device"},
        {{"--console", "--simulate", "--update", "--all", "FILE=" + (m_dir / "NOPE0100.BIN").string()},
         "the file name does not say which device the image is for"},
        {{"--console", "--simulate", "--update", "--all", "FILE=" + (m_dir / "VXHD0201.BIN").string()},
         "an image for the VX-HD card, which this program cannot update"},
        {{"--console", "--simulate", "--all"}, "option '--all' goes with '--update'"},
        {{"--simulate", "--all"}, "option '--all' goes with '--update'"},
        {{"--console", "--simulate", "--update", "--all", "--unit", "1"}, "options '--all' and '--unit' exclude"},
        {{"--console", "--simulate", "--update", "--all", "SN=3121070011"}, "keyword 'SN=' names one unit"},
        {{"--console", "--simulate", "--update", "--all", "xslot"}, "keyword 'XSLOT' selects one card"},
        {{"--console", "--simulate", "--update", "--all", "GETSN"}, "keyword 'GETSN' asks for one unit"},
        {{"--console", "--simulate", "--update", "--force"}, "option '--force' goes with '--all'"},
        {{"--simulate", "--json"}, "option '--json' goes with the console view ('--console' or '--update')"},
        {{"--console", "--simulate", "--update", "--all", "--json=1"}, "option '--json' takes no value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const ProgramRun run = Start(c.args);
        EXPECT_EQ(run.code, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Try 'quilupdate --help'"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(m_dir / "QuilUpdate.log"));
    const ProgramRun help = Start({"--help"});
    for (const char* word : {"--all", "--force", "--json", "one FILE= per device kind"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

// Every line of `out` is one JSON object with an "event"; `order` gets the
// events other than progress, each with its entry, and each progress line
// carries every field.
void ParseEvents(const std::string& out, std::vector<JsonValue>& events, std::vector<std::string>& order) {
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const std::optional<JsonValue> value = JsonReader::Parse(line);
        ASSERT_TRUE(value.has_value()) << line;
        ASSERT_EQ(value->kind, JsonValue::Kind::Object) << line;
        ASSERT_EQ((*value)["event"].kind, JsonValue::Kind::String) << line;
        events.push_back(*value);
    }
    for (const JsonValue& e : events) {
        const std::string& name = e["event"].text;
        if (name == "progress") {
            for (const char* key : {"entry", "phase", "percent", "packets", "total_packets", "bytes", "total_bytes",
                                    "rate", "seconds_left"})
                EXPECT_TRUE(e.Has(key)) << key;
            continue;
        }
        std::string label = name;
        if (e.Has("entry")) {
            label += ' ';
            label += std::to_string(static_cast<int>(e["entry"].number));
        }
        order.push_back(label);
    }
}

// The "unit" event of the VX-DANTE card of the first Quil, over MIDI.
void ExpectFirstCardFound(const JsonValue& unit) {
    EXPECT_EQ(unit["description"].text, "VX-DANTE in Quil connected via Quil USB MIDI 1");
    EXPECT_EQ(unit["device"].text, "VX-DANTE");
    EXPECT_TRUE(unit["card"].boolean);
    EXPECT_EQ(unit["link"].text, "MIDI");
    EXPECT_EQ(unit["serial"].text, "1518220002");
    EXPECT_EQ(unit["version"].text, "1.1");
    EXPECT_EQ(unit["new_version"].text, "1.2");
}

// Every line of a whole run is one JSON object; the events come in the order
// of the run and carry their fields.
TEST_F(QuilUpdateBatch, JsonPrintsOneObjectPerLineForAWholeRun) {
    const fs::path state = m_dir / "state";
    const ProgramRun run = Run({"--yes", "--json", "--sim-state", state.string(), "--sim-fault", "pgmerr@100"});
    EXPECT_EQ(run.code, 1) << run.err;
    std::vector<JsonValue> events;
    std::vector<std::string> order;
    ASSERT_NO_FATAL_FAILURE(ParseEvents(run.out, events, order));
    ASSERT_GE(events.size(), 13u) << run.out;
    const std::vector<std::string> expected = {"unit 1",   "unit 0",  "unit 3",   "unit 2", "unit 5",   "unit 4",
                                               "box",      "start 0", "box",      "box",    "result 0", "start 5",
                                               "result 5", "start 4", "result 4", "summary"};
    EXPECT_EQ(order, expected) << run.out;

    const JsonValue& skipped = events[0];
    ExpectFirstCardFound(skipped);
    EXPECT_EQ(skipped["plan"].text, "skip");
    EXPECT_EQ(skipped["reason"].text, "the VX-DANTE card's store is written only over the Dante link, not over MIDI");
    const JsonValue& hd = events[2];
    EXPECT_EQ(hd["new_version"].kind, JsonValue::Kind::Null);
    EXPECT_EQ(hd["image"].kind, JsonValue::Kind::Null);

    const JsonValue* confirm = nullptr;
    const JsonValue* failure = nullptr;
    for (const JsonValue& e : events) {
        if (e["event"].text != "box") continue;
        if (confirm == nullptr) {
            confirm = &e;
        } else if (failure == nullptr) {
            failure = &e;
        }
    }
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ((*confirm)["caption"].text, "Firmware Update Confirmation");
    EXPECT_EQ((*confirm)["answer"].text, "OK");
    EXPECT_EQ((*confirm)["answered_by"].text, "--yes");
    ASSERT_EQ((*confirm)["buttons"].items.size(), 2u);
    EXPECT_EQ((*confirm)["buttons"].items[1].text, "Cancel");
    EXPECT_EQ((*failure)["text"].text, "Wait for Write Firmware Packet Failed!\n\nPGMERR");
    EXPECT_EQ((*failure)["answered_by"].text, "default");

    // The download's progress counts packets and bytes of the image.
    bool sawDownload = false;
    for (const JsonValue& e : events) {
        if (e["event"].text != "progress" || e["phase"].text != "Downloading") continue;
        sawDownload = true;
        EXPECT_EQ(e["total_packets"].number, 41768);
        EXPECT_EQ(e["total_bytes"].number, 5346254);
        EXPECT_LE(e["bytes"].number, 5346254);
        EXPECT_GE(e["percent"].number, 0);
        EXPECT_LE(e["percent"].number, 100);
    }
    EXPECT_TRUE(sawDownload) << run.out;

    const JsonValue& summary = events.back();
    EXPECT_EQ(summary["exit_status"].number, 1);
    EXPECT_EQ(summary["stopped_by"].kind, JsonValue::Kind::Null);
    ASSERT_EQ(summary["power_cycle"].items.size(), 1u);
    EXPECT_EQ(summary["power_cycle"].items[0].text, "3120030043");
    ASSERT_EQ(summary["entries"].items.size(), 6u);
    const JsonValue& failed = summary["entries"].items[1];
    EXPECT_EQ(failed["serial"].text, "3118220001");
    EXPECT_EQ(failed["result"].text, "failed");
    EXPECT_EQ(failed["version_before"].text, "7.2");
    EXPECT_EQ(failed["version_after"].kind, JsonValue::Kind::Null);
    EXPECT_EQ(failed["reason"].text, "Wait for Write Firmware Packet Failed! PGMERR");
    const JsonValue& usb = summary["entries"].items[4];
    EXPECT_EQ(usb["result"].text, "updated");
    EXPECT_EQ(usb["version_after"].text, "10.0");
}

// --json for one unit: the units found, the confirmation, the start, the
// progress and the result of the selected entry, every line parsed; no
// screen text and no summary.
TEST_F(QuilUpdateBatch, JsonForOneUnitTellsTheSameEvents) {
    const fs::path state = m_dir / "state";
    const ProgramRun run = Finish(Spawn({"--console", "--simulate", "--sim-quick", "--update", "--yes", "--unit", "4",
                                         "--json", "--sim-state", state.string()},
                                        kQuilUpdate));
    EXPECT_EQ(run.code, 0) << run.err;
    std::vector<JsonValue> events;
    std::vector<std::string> order;
    ASSERT_NO_FATAL_FAILURE(ParseEvents(run.out, events, order));
    const std::vector<std::string> expected = {"unit 0", "unit 1", "unit 2",  "unit 3",  "unit 4",
                                               "unit 5", "box",    "start 4", "result 4"};
    EXPECT_EQ(order, expected) << run.out;
    ASSERT_GT(events.size(), order.size()) << "no progress line:\n" << run.out;

    const JsonValue& card = events[1];
    ExpectFirstCardFound(card);
    EXPECT_EQ(card["selected"].kind, JsonValue::Kind::Bool);
    EXPECT_FALSE(card["selected"].boolean);
    EXPECT_FALSE(card.Has("plan"));
    EXPECT_TRUE(events[4]["selected"].boolean);
    EXPECT_EQ(events[5]["device"].text, "VX-USB");

    const JsonValue& confirm = events[6];
    EXPECT_EQ(confirm["caption"].text, "Firmware Update Confirmation");
    EXPECT_EQ(confirm["answer"].text, "OK");
    EXPECT_EQ(confirm["answered_by"].text, "--yes");
    const JsonValue& start = events[7];
    EXPECT_EQ(start["serial"].text, "3120030043");
    EXPECT_EQ(start["version"].text, "8.2");
    EXPECT_EQ(start["new_version"].text, "8.3");
    EXPECT_EQ(start["image"].text, "QUIL0803C.BIN");
    EXPECT_FALSE(start["card"].boolean);
    const JsonValue& result = events.back();
    EXPECT_EQ(result["result"].text, "updated");
    EXPECT_EQ(result["version_before"].text, "8.2");
    EXPECT_EQ(result["version_after"].text, "8.3");
    EXPECT_EQ(result["reason"].text, "");
    // The download counts the image's packets and bytes.
    bool sawDownload = false;
    for (const JsonValue& e : events) {
        if (e["event"].text != "progress") continue;
        EXPECT_EQ(e["entry"].number, 4);
        if (e["phase"].text != "Downloading") continue;
        sawDownload = true;
        EXPECT_EQ(e["total_packets"].number, 41768);
        EXPECT_EQ(e["total_bytes"].number, 5346254);
        EXPECT_LE(e["bytes"].number, 5346254);
    }
    EXPECT_TRUE(sawDownload) << run.out;
    EXPECT_TRUE(ReadAll(state / "3120030043" / "bank2.bin") == Extract("QUIL0803C.BIN"));

    // The units found alone, with nothing to update.
    const ProgramRun list = Finish(Spawn({"--console", "--simulate", "--json", "--unit", "2"}, kQuilUpdate));
    EXPECT_EQ(list.code, 0) << list.err;
    std::vector<JsonValue> found;
    std::vector<std::string> listed;
    ASSERT_NO_FATAL_FAILURE(ParseEvents(list.out, found, listed));
    EXPECT_EQ(listed, (std::vector<std::string>{"unit 0", "unit 1", "unit 2", "unit 3", "unit 4", "unit 5"}));
    ASSERT_EQ(found.size(), 6u);
    for (size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i]["selected"].boolean, i == 2) << i;
}

// A unit that fails its update: the failure box and a failed result with the
// sequence's first message, exit status 1, every line still parsed.
TEST_F(QuilUpdateBatch, JsonForOneUnitThatFails) {
    const ProgramRun run = Finish(
        Spawn({"--console", "--simulate", "--sim-quick", "--update", "--yes", "--json", "--sim-fault", "pgmerr@100"},
              kQuilUpdate));
    EXPECT_EQ(run.code, 1) << run.err;
    std::vector<JsonValue> events;
    std::vector<std::string> order;
    ASSERT_NO_FATAL_FAILURE(ParseEvents(run.out, events, order));
    const std::vector<std::string> expected = {"unit 0", "unit 1",  "unit 2", "unit 3", "unit 4",  "unit 5",
                                               "box",    "start 0", "box",    "box",    "result 0"};
    EXPECT_EQ(order, expected) << run.out;
    const JsonValue& result = events.back();
    EXPECT_EQ(result["serial"].text, "3118220001");
    EXPECT_EQ(result["result"].text, "failed");
    EXPECT_EQ(result["version_before"].text, "7.2");
    EXPECT_EQ(result["version_after"].kind, JsonValue::Kind::Null);
    EXPECT_EQ(result["reason"].text, "Wait for Write Firmware Packet Failed! PGMERR");
    // The failure at packet 100 comes within the first tenth of a second:
    // one progress line, the step named before the sequence runs.
    size_t progress = 0;
    for (const JsonValue& e : events) {
        if (e["event"].text != "progress") continue;
        ++progress;
        EXPECT_EQ(e["entry"].number, 0);
        EXPECT_EQ(e["phase"].text, "Programming");
    }
    EXPECT_GE(progress, 1u) << run.out;
    EXPECT_EQ(run.out.find("=="), std::string::npos) << "screen text in the events:\n" << run.out;

    // Without --yes the confirmation takes its default, Cancel: nothing is
    // started and the result says why.
    const ProgramRun declined = Finish(Spawn({"--console", "--simulate", "--update", "--json"}, kQuilUpdate));
    EXPECT_EQ(declined.code, 1) << declined.err;
    std::vector<JsonValue> declinedEvents;
    std::vector<std::string> declinedOrder;
    ASSERT_NO_FATAL_FAILURE(ParseEvents(declined.out, declinedEvents, declinedOrder));
    ASSERT_EQ(declinedOrder.size(), 8u) << declined.out;
    EXPECT_EQ(declinedOrder[6], "box");
    EXPECT_EQ(declinedEvents[6]["answer"].text, "Cancel");
    EXPECT_EQ(declinedEvents[6]["answered_by"].text, "default");
    EXPECT_EQ(declinedOrder[7], "result 0");
    EXPECT_EQ(declinedEvents[7]["result"].text, "not reached");
    EXPECT_EQ(declinedEvents[7]["reason"].text, "the confirmation was declined");
    EXPECT_EQ(declinedEvents[7]["version_after"].text, "7.2");
}

// A SIGINT while the first unit is written: that unit is finished, the run
// stops before the next one and the summary says so.
TEST_F(QuilUpdateBatch, SigintDuringAUnitFinishesItAndStopsBeforeTheNext) {
    const std::string quil = Extract("QUIL0803C.BIN");
    const fs::path state = m_dir / "state";
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid =
        Spawn({"--console", "--simulate", "--sim-quick", "--update", "--all", "--yes", "--sim-state", state.string()},
              kQuilUpdate, {}, out[1]);
    std::string seen;
    EXPECT_TRUE(ReadUntil(out[0], seen, "Downloading...  [")) << seen;
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    Drain(out[0], seen);
    const ProgramRun run = Finish(pid);
    EXPECT_EQ(run.code, 1) << seen;
    EXPECT_EQ(run.err, "quilupdate: SIGINT: the unit is being written; the program will stop when that is safe.\n");
    for (const std::string& text :
         {Row("0", "Quil", "3118220001", "7.2", "8.3", "updated"),
          Row("5", "VX-USB", "3220030044", "9.5", "9.5", "not reached: stopped by SIGINT before this unit"),
          Row("4", "Quil", "3120030043", "8.2", "8.2", "not reached: stopped by SIGINT before this unit"),
          std::string("Stopped by SIGINT before the next unit.\n"),
          std::string("the back of the unit: 3118220001.\n")}) {
        EXPECT_NE(seen.find(text), std::string::npos) << text << "\n---\n" << seen;
    }
    ExpectStores(state, {{"3118220001/bank2.bin", quil}});
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    EXPECT_NE(log.find("SIGINT arrived while the unit was being written; held back until it was done\n"),
              std::string::npos);
    EXPECT_NE(log.find("Update all: stopping on SIGINT before entry 5\n"), std::string::npos);
}

// A script that reads one line and goes away (| head -1) before any unit is
// written: nothing is written and the status is 1, not a SIGPIPE.
TEST_F(QuilUpdateBatch, AReaderThatGoesAwayBeforeTheFirstUnitStopsTheRun) {
    const fs::path state = m_dir / "state";
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = Spawn({"--console", "--simulate", "--sim-quick", "--update", "--all", "--yes", "--json",
                             "--sim-state", state.string()},
                            kQuilUpdate, {}, out[1]);
    std::string seen;
    EXPECT_TRUE(ReadUntil(out[0], seen, "\n")) << seen;
    ::close(out[0]);
    const ProgramRun run = Finish(pid);
    const std::string log = ReadAll(m_dir / "QuilUpdate.log");
    // The pipe may still take every unit's line and the confirmation before
    // the reader has gone; then the first unit's lines find it gone.
    if (log.find("Update all: the output went away before any unit was written\n") != std::string::npos) {
        EXPECT_EQ(run.code, 1) << run.err;
        ExpectStores(state, {});
    } else {
        EXPECT_NE(log.find("Console: the output can no longer be written"), std::string::npos) << log;
        EXPECT_EQ(run.code, 0) << run.err;
    }
    EXPECT_NE(log.find("Exiting\n"), std::string::npos);
}

// Over the Dante link the VX-DANTE card is reached, and it and its Quil are
// both updated (a network namespace of its own: the Dante ports are the
// system's).
TEST_F(QuilUpdateBatch, DanteUpdatesTheVxDanteCardAndItsQuil) {
    if (::geteuid() != 0 || Start({"-n", "true"}, "unshare").code != 0)
        GTEST_SKIP() << "the Dante run needs a private network namespace (root and unshare)";
    const std::string quil = Extract("QUIL0803C.BIN");
    std::string dante = Extract("VXDNT0102NC.BIN");
    dante.resize((dante.size() + 127) / 128 * 128, '\0');  // the card keeps whole packets
    const fs::path state = m_dir / "state";
    const ProgramRun run =
        Run({"--yes", "--sim-state", state.string()},
            {"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\""}, "--simulate=dante");
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    for (const std::string& text : {Row("1", "VX-DANTE", "1518220002", "1.1", "1.2", "updated"),
                                    Row("0", "Quil", "3118220001", "7.2", "8.3", "updated"),
                                    std::string("the back of the unit: 3118220001.\n")}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n---\n" << run.out;
    }
    EXPECT_LT(run.out.find("== Entry 1: VX-DANTE"), run.out.find("== Entry 0: Quil"));
    EXPECT_TRUE(ReadAll(state / "3118220001" / "bank2.bin") == quil);
    EXPECT_TRUE(ReadAll(state / "3118220001" / "card.bin") == dante);
}

}  // namespace
