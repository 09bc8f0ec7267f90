// The console's views of an update of every unit: the summary table, the
// JSON lines (escaping, progress fields, at most one progress line every
// 100 ms on the virtual clock) and what a sequence's progress counts.
#include "ui/batch_views.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "app/firmware_image.h"
#include "platform/clock.h"
#include "tests/ui/json_value.h"

namespace {

BatchEntry Entry(int number, uint8_t device, bool card, uint32_t serial, uint16_t before, uint16_t image,
                 BatchResult result, std::string reason = {}) {
    BatchEntry e;
    e.entry = number;
    e.device = device;
    e.card = card;
    e.serial = serial;
    e.unitSerial = serial;
    e.before = before;
    e.image = image;
    e.plan = result == BatchResult::Skipped ? BatchPlan::Skip : BatchPlan::Update;
    e.result = result;
    e.reason = std::move(reason);
    e.description = "Quil connected via Quil MIDI " + std::to_string(number);
    e.imageBytes = 1000;
    return e;
}

TEST(BatchViews, SummaryTableAndPowerCycleLine) {
    BatchSummary summary;
    summary.entries = {Entry(1, kDeviceVxHd, true, 0x18130B2Bu, 200, kVersionNone, BatchResult::Skipped, "no image"),
                       Entry(0, kDeviceQuil, false, 0x31120001u, 702, 803, BatchResult::Updated),
                       Entry(5, kDeviceVxUsb, true, 0xFFFFFFFFu, kVersionNone, 1000, BatchResult::Failed, "broke"),
                       Entry(4, kDeviceVxDante, true, 0x31120001u, 101, 102, BatchResult::NotReached, "stopped")};
    summary.powerCycle = {0x31120001u};
    summary.stoppedBy = "SIGTERM";
    EXPECT_EQ(ui::BatchSummaryText(summary),
              "Summary:\n"
              "Entry  Device    Serial      Before       After  Result\n"
              "1      VX-HD     1801482859  2.0          2.0    skipped: no image\n"
              "0      Quil      3101320001  7.2          8.3    updated\n"
              "5      VX-USB    none        Not Present  ?      failed: broke\n"
              "4      VX-DANTE  3101320001  1.1          1.1    not reached: stopped\n"
              "Stopped by SIGTERM before the next unit.\n"
              "To complete the update, POWER OFF each updated Quil using the main power switch on the back of the "
              "unit: 3101320001.\n");
    EXPECT_EQ(ui::BatchSummaryText(BatchSummary{}),
              "Summary:\nEntry  Device  Serial  Before  After  Result\nNo unit was found.\n");
}

TEST(BatchViews, JsonTextsAreEscapedSoThatEveryLineParses) {
    struct Case {
        std::string text;
        const char* quoted;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"line\nnext", R"("line\nnext")"},
        {std::string("tab\tnul\0end", 11), R"("tab\u0009nul\u0000end")"},
        {"\x7f", R"("\u007f")"},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
        {"\xF0\x9F\x8E\xB5", "\"\xF0\x9F\x8E\xB5\""},
        // The edges kept: U+07FF, U+10FFFF.
        {"\xDF\xBF", "\"\xDF\xBF\""},
        {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
        // Not UTF-8: a lone continuation, a cut sequence, an overlong form,
        // a surrogate, a code point past U+10FFFF.
        {"\x80", R"("\u0080")"},
        {"\xC3", R"("\u00c3")"},
        {"\xE0\x80\x80", R"("\u00e0\u0080\u0080")"},
        {"\xED\xA0\x80", R"("\u00ed\u00a0\u0080")"},
        {"\xF4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},
        {"\xF0\x80\x80\x80", R"("\u00f0\u0080\u0080\u0080")"},
        {"\xC1\xBF", R"("\u00c1\u00bf")"},
        // Continuations without a lead, a lead past U+10FFFF, a third byte
        // that does not continue.
        {"\x80\x80\x80\x80", R"("\u0080\u0080\u0080\u0080")"},
        {"\xF5\x80\x80\x80", R"("\u00f5\u0080\u0080\u0080")"},
        {"\xE2\x82"
         "A",
         R"("\u00e2\u0082A")"},
    };
    for (const Case& c : cases) EXPECT_EQ(ui::JsonQuoted(c.text), c.quoted);

    ui::JsonEvent event("x");
    event.Text("t", "v").Number("n", -3).Bool("y", true).Bool("f", false).Null("z").Real("r", 2.25).Raw("a", "[1]");
    EXPECT_EQ(event.Line(), R"({"event":"x","t":"v","n":-3,"y":true,"f":false,"z":null,"r":2.2,"a":[1]})");
    EXPECT_EQ(ui::JsonEvent().Number("k", 1).Line(), R"({"k":1})");
    EXPECT_EQ(ui::JsonArrayOf({}), "[]");
    EXPECT_EQ(ui::JsonArrayOf({"1", "\"a\""}), R"([1,"a"])");

    std::ostringstream out;
    ui::JsonEventWriter writer(out);
    writer.Write(ui::JsonEvent("one"));
    EXPECT_TRUE(writer.Good());
    out.setstate(std::ios::badbit);
    writer.Write(ui::JsonEvent("two"));
    EXPECT_FALSE(writer.Good());
    out.clear();
    writer.Write(ui::JsonEvent("three"));
    EXPECT_EQ(out.str(), "{\"event\":\"one\"}\n");
}

// A sequence's calls, and the progress lines they give: one every 100 ms at
// most, each with the step's counts.
TEST(BatchViews, JsonProgressCountsPacketsAndBytesAtMostTenLinesASecond) {
    platform::VirtualClock clock;
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scopedClock(clock);
    std::ostringstream out;
    ui::JsonEventWriter writer(out);
    ui::JsonBatchView view(writer);
    BatchEntry entry = Entry(2, kDeviceQuil, false, 0x31120001u, 702, 803, BatchResult::Pending);
    entry.imageBytes = 1000;  // 8 packets, the last one 104 bytes
    ProgrammingDisplay& display = view.Display(entry);
    display.SetStatusLine("Downloading...");
    display.SetProgressRange(0, 100);
    for (uint32_t i = 0; i <= 8; ++i) {
        display.ReportProgress(TransferDetail(i, 8));
        clock.Advance(50);
    }
    display.SetStatusLine("Erasing...");
    clock.Advance(100);
    display.ReportProgress(PhaseDetail("Erasing", 40));
    display.SetStatusLine("Programming XSlot Firmware...");
    display.SetProgressRange(0, 8);
    clock.Advance(100);
    display.SetProgressPos(3);

    std::istringstream lines(out.str());
    std::string line;
    std::vector<JsonValue> events;
    while (std::getline(lines, line)) {
        const auto value = JsonReader::Parse(line);
        ASSERT_TRUE(value.has_value()) << line;
        events.push_back(*value);
    }
    // The status line first; then every other 50 ms step; the erase; the
    // card's packets.
    struct Want {
        const char* phase;
        int percent, packets, bytes, rate;
    };
    const Want want[] = {
        {"Downloading", -1, -1, -1, -1},
        {"Downloading", 25, 2, 256, 2560},
        {"Downloading", 50, 4, 512, 2560},
        {"Downloading", 75, 6, 768, 2560},
        {"Downloading", 100, 8, 1000, 2500},
        {"Erasing", 40, -1, -1, -1},
        {"Programming XSlot Firmware", 37, 3, 384, -1},
    };
    ASSERT_EQ(events.size(), std::size(want)) << out.str();
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        const JsonValue& e = events[i];
        EXPECT_EQ(e["event"].text, "progress");
        EXPECT_EQ(e["entry"].number, 2);
        EXPECT_EQ(e["phase"].text, want[i].phase);
        const auto expectNumber = [&e](const char* key, int value) {
            if (value < 0) {
                EXPECT_EQ(e[key].kind, JsonValue::Kind::Null) << key;
            } else {
                EXPECT_EQ(e[key].number, value) << key;
            }
        };
        expectNumber("percent", want[i].percent);
        expectNumber("packets", want[i].packets);
        expectNumber("total_packets", want[i].packets < 0 ? -1 : 8);
        expectNumber("bytes", want[i].bytes);
        expectNumber("total_bytes", want[i].bytes < 0 ? -1 : 1000);
        expectNumber("rate", want[i].rate);
    }
    EXPECT_EQ(events[4]["seconds_left"].number, 0);
    EXPECT_EQ(events[2]["seconds_left"].number, 1);
}

// What a step counts, from the calls a sequence makes.
class ProgressProbe final : public ui::BatchProgress {
    void Changed() override {}
};

TEST(BatchViews, ProgressCountsWhatEachStepMeasures) {
    using Snapshot = ui::BatchProgress::Snapshot;
    struct Case {
        const char* name;
        uint32_t imageBytes;
        std::function<void(ProgrammingDisplay&)> calls;
        Snapshot want;
    };
    const Case cases[] = {
        {"a status alone",
         1024,
         [](ProgrammingDisplay& d) { d.SetStatusLine("Downloading..."); },
         {"Downloading", -1, -1, -1, -1, -1}},
        {"the bar of the last step is forgotten",
         1024,
         [](ProgrammingDisplay& d) {
             d.SetStatusLine("Erasing...");
             d.SetProgressRange(0, 100);
             d.SetProgressPos(70);
             d.SetStatusLine("Programming...");
         },
         {"Programming", -1, -1, -1, -1, -1}},
        {"an empty bar",
         1024,
         [](ProgrammingDisplay& d) {
             d.SetProgressRange(5, 5);
             d.SetProgressPos(5);
         },
         {"", -1, -1, -1, -1, -1}},
        {"a transfer of nothing",
         1024,
         [](ProgrammingDisplay& d) { d.ReportProgress(TransferDetail(0, 0)); },
         {"", 0, 0, 0, 0, 1024}},
        {"a phase past 100",
         1024,
         [](ProgrammingDisplay& d) { d.ReportProgress(PhaseDetail("Verifying", 150)); },
         {"Verifying", 100, -1, -1, -1, -1}},
        {"the card's packets on the bar",
         1024,
         [](ProgrammingDisplay& d) {
             d.SetStatusLine("Verifying XSlot Firmware...");
             d.SetProgressRange(0, 8);
             d.SetProgressPos(3);
         },
         {"Verifying XSlot Firmware", 37, 3, 8, 384, 1024}},
        {"a bar that is not the packets",
         1024,
         [](ProgrammingDisplay& d) {
             d.SetProgressRange(0, 9);
             d.SetProgressPos(3);
         },
         {"", 33, -1, -1, -1, -1}},
        {"the VX-USB card's bytes on the bar",
         49408,
         [](ProgrammingDisplay& d) {
             d.SetStatusLine("Programming...");
             d.SetProgressRange(0, 49408);
             d.SetProgressPos(12352);
         },
         {"Programming", 25, -1, -1, 12352, 49408}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressProbe probe;
        BatchEntry entry;
        entry.imageBytes = c.imageBytes;
        probe.Begin(entry);
        c.calls(probe);
        const Snapshot got = probe.Now();
        EXPECT_EQ(got.phase, c.want.phase);
        EXPECT_EQ(got.percent, c.want.percent);
        EXPECT_EQ(got.packets, c.want.packets);
        EXPECT_EQ(got.totalPackets, c.want.totalPackets);
        EXPECT_EQ(got.bytes, c.want.bytes);
        EXPECT_EQ(got.totalBytes, c.want.totalBytes);
    }
}

TEST(BatchViews, TextViewPrintsEachEntryItsStepsAndResults) {
    std::ostringstream out;
    ui::TextBatchView view(out, false);
    BatchEntry skipped = Entry(3, kDeviceVxHd, true, 0x18130B2Bu, 200, kVersionNone, BatchResult::Skipped,
                               "no firmware image for the VX-HD card");
    view.UnitFound(skipped);
    BatchEntry entry = Entry(0, kDeviceQuil, false, 0x31120001u, 702, 803, BatchResult::Pending);
    view.UnitFound(entry);
    view.SequenceStarted(entry);
    ProgrammingDisplay& display = view.Display(entry);
    display.SetStatusLine("Verifying...");
    display.SetProgressRange(0, 100);
    display.SetProgressPos(50);
    entry.result = BatchResult::Failed;
    entry.reason = "Wait for Programming Complete Failed! PGMERR";
    view.Finished(entry);
    EXPECT_FALSE(view.OutputGone());
    EXPECT_EQ(out.str(),
              "Entry 3: Quil connected via Quil MIDI 3, serial 1801482859, runs 2.0, image none: skipped, no "
              "firmware image for the VX-HD card\n"
              "Entry 0: Quil connected via Quil MIDI 0, serial 3101320001, runs 7.2, image 8.3: to update\n"
              "== Entry 0: Quil connected via Quil MIDI 0 (3101320001), 7.2 -> 8.3 ==\n"
              "Verifying...\n"
              "Verifying...  [#####.....] 50%\n"
              "Entry 0: failed: Wait for Programming Complete Failed! PGMERR\n");
    out.setstate(std::ios::failbit);
    EXPECT_TRUE(view.OutputGone());
}

}  // namespace
