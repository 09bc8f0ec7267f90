// The update of every unit: which entries it updates and why it skips the
// others, the images one per device kind, the exit status and the units to
// switch off, and whole runs on the built-in virtual units (a stop request
// between two units, a declined confirmation).
#include "app/batch_update.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "platform/interruptions.h"
#include "platform/ui.h"
#include "sim/virtual_midi_setup.h"
#include "tests/temp_log.h"

namespace {

TEST(BatchUpdate, PlanUpdatesOnlyWhatIsOlderThanItsImageUnlessForced) {
    struct Case {
        uint8_t device;
        bool card;
        uint16_t before, image;
        bool force, reachable;
        BatchPlan plan;
        const char* reason;
    };
    const Case cases[] = {
        {kDeviceQuil, false, 702, 803, false, true, BatchPlan::Update, ""},
        {kDeviceQuil, false, 802, 803, false, true, BatchPlan::Update, ""},
        {kDeviceQuil, false, 803, 803, false, true, BatchPlan::Skip, "already current (runs 8.3, image 8.3)"},
        {kDeviceQuil, false, 804, 803, false, true, BatchPlan::Skip, "newer than the image (runs 8.4, image 8.3)"},
        {kDeviceQuil, false, 803, 803, true, true, BatchPlan::Update, ""},
        {kDeviceQuil, false, 900, 803, true, true, BatchPlan::Update, ""},
        // No firmware at all: anything is newer.
        {kDeviceQuil, false, kVersionNone, 803, false, true, BatchPlan::Update, ""},
        {kDeviceVxUsb, true, 905, 1000, false, true, BatchPlan::Update, ""},
        {kDeviceVxUsb, true, 1000, 1000, false, true, BatchPlan::Skip, "already current (runs 10.0, image 10.0)"},
        {kDeviceVxHd, true, 200, kVersionNone, false, true, BatchPlan::Skip, "no firmware image for the VX-HD card"},
        {kDeviceVxHd, true, 200, kVersionNone, true, true, BatchPlan::Skip, "no firmware image for the VX-HD card"},
        {kDeviceVxDante, true, 101, 102, false, false, BatchPlan::Skip,
         "the VX-DANTE card's store is written only over the Dante link, not over MIDI"},
        {kDeviceVxDante, true, 101, 102, true, false, BatchPlan::Skip,
         "the VX-DANTE card's store is written only over the Dante link, not over MIDI"},
        {kDeviceVxDante, true, 102, 102, false, true, BatchPlan::Skip, "already current (runs 1.2, image 1.2)"},
    };
    for (const Case& c : cases) {
        BatchEntry entry;
        entry.device = c.device;
        entry.card = c.card;
        entry.before = c.before;
        entry.image = c.image;
        entry.link = "MIDI";
        entry.reason = "left over";
        PlanBatchEntry(entry, c.force, c.reachable);
        SCOPED_TRACE(std::to_string(c.before) + " -> " + std::to_string(c.image) + (c.force ? " forced" : ""));
        EXPECT_EQ(entry.plan, c.plan);
        EXPECT_EQ(entry.result, c.plan == BatchPlan::Update ? BatchResult::Pending : BatchResult::Skipped);
        EXPECT_EQ(entry.reason, c.reason);
    }
}

// A blank firmware register (major 63) and 0.0 run no firmware at all.
TEST(BatchUpdate, VersionNumbersOfBlankRegistersAndNoFirmwareAreNone) {
    const struct {
        uint8_t major, minor;
        uint16_t number;
    } cases[] = {
        {63, 0, kVersionNone}, {63, 5, kVersionNone}, {0, 0, kVersionNone}, {0, 5, 5}, {1, 0, 100}, {8, 3, 803}};
    for (const auto& c : cases)
        EXPECT_EQ(BatchVersionNumber(c.major, c.minor), c.number) << int{c.major} << '.' << int{c.minor};
}

TEST(BatchUpdate, ImagesAreSortedByTheirDeviceOnePerKind) {
    struct Case {
        std::vector<std::string> paths;
        bool ok;
        const char* error;
        const char *quil, *dante, *usb;
    };
    const Case cases[] = {
        {{}, true, "", "", "", ""},
        {{"/x/QUIL0900A.BIN", "vxdnt0103.bin", "d/VXUSB10V07.BIN"},
         true,
         "",
         "/x/QUIL0900A.BIN",
         "vxdnt0103.bin",
         "d/VXUSB10V07.BIN"},
        {{"QUIL0900A.BIN", "quil0901.bin"},
         false,
         "FILE=quil0901.bin: a second Quil image (FILE=QUIL0900A.BIN); give one image per device",
         "",
         "",
         ""},
        {{"VXUSB10V07.BIN", "VXUSB10V08.BIN"},
         false,
         "FILE=VXUSB10V08.BIN: a second VX-USB image (FILE=VXUSB10V07.BIN); give one image per device",
         "",
         "",
         ""},
        {{"NOPE0100.BIN"},
         false,
         "FILE=NOPE0100.BIN: the file name does not say which device the image is for",
         "",
         "",
         ""},
        {{"VXHD0201.BIN"},
         false,
         "FILE=VXHD0201.BIN: an image for the VX-HD card, which this program cannot update",
         "",
         "",
         ""},
        {{"VXMA0201.BIN"},
         false,
         "FILE=VXMA0201.BIN: an image for the VX-MADI card, which this program cannot update",
         "",
         "",
         ""},
        {{"VXFW0201.BIN"},
         false,
         "FILE=VXFW0201.BIN: an image for the VX-FW card, which this program cannot update",
         "",
         "",
         ""},
    };
    for (const Case& c : cases) {
        BatchImages images;
        std::string error;
        EXPECT_EQ(SortBatchImages(c.paths, images, error), c.ok) << error;
        EXPECT_EQ(error, c.error);
        if (!c.ok) continue;
        EXPECT_EQ(images.quil.value_or(""), c.quil);
        EXPECT_EQ(images.vxDante.value_or(""), c.dante);
        EXPECT_EQ(images.vxUsb.value_or(""), c.usb);
        EXPECT_EQ(images.For(kDeviceQuil), &images.quil);
        EXPECT_EQ(images.For(kDeviceVxDante), &images.vxDante);
        EXPECT_EQ(images.For(kDeviceVxUsb), &images.vxUsb);
        EXPECT_EQ(images.For(kDeviceVxHd), nullptr);
    }
}

TEST(BatchUpdate, ExitStatusIsZeroOnlyWhenEveryNeededUpdateWasMade) {
    const auto entry = [](BatchPlan plan, BatchResult result, uint32_t unit) {
        BatchEntry e;
        e.plan = plan;
        e.result = result;
        e.unitSerial = unit;
        return e;
    };
    struct Case {
        std::vector<BatchEntry> entries;
        int status;
        std::vector<uint32_t> powerCycle;
    };
    const Case cases[] = {
        {{}, 1, {}},
        {{entry(BatchPlan::Skip, BatchResult::Skipped, 1)}, 0, {}},
        {{entry(BatchPlan::Update, BatchResult::Updated, 7), entry(BatchPlan::Update, BatchResult::Updated, 7),
          entry(BatchPlan::Update, BatchResult::Updated, 3)},
         0,
         {7, 3}},
        {{entry(BatchPlan::Update, BatchResult::Updated, 7), entry(BatchPlan::Update, BatchResult::Failed, 3)}, 1, {7}},
        {{entry(BatchPlan::Update, BatchResult::NotReached, 7), entry(BatchPlan::Skip, BatchResult::Skipped, 3)},
         1,
         {}},
        {{entry(BatchPlan::Update, BatchResult::Pending, 7)}, 1, {}},
    };
    for (const Case& c : cases) {
        BatchSummary summary;
        summary.entries = c.entries;
        summary.powerCycle = {99};
        CompleteBatchSummary(summary);
        EXPECT_EQ(summary.exitStatus, c.status);
        EXPECT_EQ(summary.powerCycle, c.powerCycle);
    }
    EXPECT_STREQ(BatchResultName(BatchResult::Pending), "");
    EXPECT_STREQ(BatchResultName(BatchResult::NotReached), "not reached");
    EXPECT_EQ(BatchVersionText(905), "9.5");
    EXPECT_EQ(BatchVersionText(1000), "10.0");
    EXPECT_EQ(BatchVersionText(kVersionNone), "Not Present");
}

// Records what the run tells its view; a hook runs when an entry is done.
class RecordingView final : public BatchView {
public:
    void UnitFound(const BatchEntry& entry) override {
        events.push_back("unit " + std::to_string(entry.entry));
        if (onFound) onFound(entry);
    }
    void SequenceStarted(const BatchEntry& entry) override { events.push_back("start " + std::to_string(entry.entry)); }
    ProgrammingDisplay& Display(const BatchEntry&) override { return m_display; }
    void Finished(const BatchEntry& entry) override {
        events.push_back(std::string(BatchResultName(entry.result)) + " " + std::to_string(entry.entry));
        if (onFinished) onFinished(entry);
    }
    void Summary(const BatchSummary& done) override {
        events.push_back("summary");
        summary = done;
    }
    std::vector<std::string> events;
    BatchSummary summary;
    std::function<void(const BatchEntry&)> onFinished;
    std::function<void(const BatchEntry&)> onFound;

private:
    NullProgrammingDisplay m_display;
};

// Answers every box with `answer` for a box with a choice, OK otherwise.
class AnsweringUi final : public platform::UserInterface {
public:
    explicit AnsweringUi(platform::BoxAnswer answer) : m_answer(answer) {}
    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override {
        texts.push_back(box.text);
        boxes.push_back(box);
        return box.buttons == platform::BoxButtons::Ok ? platform::BoxAnswer::Ok : m_answer;
    }
    bool HandleOnePendingMessage() override { return false; }
    std::vector<std::string> texts;
    std::vector<platform::MessageBoxRequest> boxes;

private:
    platform::BoxAnswer m_answer;
};

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        // Without the USB audio library the VX-USB card is not listed.
        for (sim::VirtualQuil* unit : m_units.Units()) unit->SetQuickFlash(5);
    }
    TempLog m_log;
    sim::ScopedBuiltinUnits m_units{sim::BuiltinTransport::Midi};
    platform::VirtualInterruptions m_interruptions;
    platform::ScopedInterruptions m_scopedInterruptions{m_interruptions};
};

TEST_F(BatchRun, AStopRequestBetweenTwoUnitsEndsTheRunBeforeTheNext) {
    AnsweringUi ui(platform::BoxAnswer::Ok);
    platform::ScopedUi scopedUi(ui);
    RecordingView view;
    int hostReports = -1;
    view.onFinished = [this, &hostReports](const BatchEntry& entry) {
        if (entry.entry != 0) return;
        hostReports = m_units.Units()[0]->Register(27);
        m_interruptions.Deliver(platform::StopRequest::Interrupt);
    };
    EXPECT_EQ(RunBatchUpdate(BatchOptions{}, view), 1);
    const std::vector<std::string> expected = {"unit 1", "unit 0",  "unit 3",    "unit 2",
                                               "unit 4", "start 0", "updated 0", "summary"};
    EXPECT_EQ(view.events, expected);
    EXPECT_EQ(m_interruptions.Printed(),
              "quilupdate: SIGINT: no unit is being written; the update stops before the next unit.\n");
    EXPECT_FALSE(m_interruptions.Held());
    EXPECT_EQ(m_interruptions.Holds(), 1);
    EXPECT_EQ(view.summary.stoppedBy, "SIGINT");
    ASSERT_EQ(view.summary.entries.size(), 5u);
    EXPECT_EQ(view.summary.entries[1].result, BatchResult::Updated);
    EXPECT_EQ(view.summary.entries[4].result, BatchResult::NotReached);
    EXPECT_EQ(view.summary.entries[4].reason, "stopped by SIGINT before this unit");
    EXPECT_EQ(view.summary.powerCycle, std::vector<uint32_t>{view.summary.entries[1].unitSerial});
    EXPECT_FALSE(m_units.Units()[0]->Bank(2).empty());
    EXPECT_EQ(hostReports, 0);  // off while the unit was written, as the update asks
    EXPECT_TRUE(m_units.Units()[2]->Bank(2).empty());
    EXPECT_EQ(m_log.Count("Update all: stopping on SIGINT before entry 4\n"), 1u);
    EXPECT_EQ(m_log.Count("Update all: entry 0, Quil connected via Quil USB MIDI 1, to 8.3\n"), 1u);
}

// A request during the scan: no confirmation is asked, nothing is written.
TEST_F(BatchRun, AStopRequestDuringTheScanEndsTheRunBeforeTheConfirmation) {
    AnsweringUi ui(platform::BoxAnswer::Ok);
    platform::ScopedUi scopedUi(ui);
    RecordingView view;
    view.onFound = [this](const BatchEntry& entry) {
        if (entry.entry == 2) m_interruptions.Deliver(platform::StopRequest::HangUp);
    };
    EXPECT_EQ(RunBatchUpdate(BatchOptions{}, view), 1);
    EXPECT_TRUE(ui.texts.empty());
    EXPECT_EQ(view.summary.stoppedBy, "SIGHUP");
    EXPECT_EQ(view.summary.entries[1].result, BatchResult::NotReached);
    EXPECT_EQ(view.summary.entries[4].reason, "stopped by SIGHUP before this unit");
    for (sim::VirtualQuil* unit : m_units.Units()) EXPECT_TRUE(unit->Bank(2).empty());
}

// Nothing is older than its image: no confirmation, status 0. A unit whose
// firmware register is blank runs nothing, so any image is newer than it.
TEST_F(BatchRun, NothingToUpdateAsksNothingAndABlankVersionIsOlderThanAnyImage) {
    AnsweringUi ui(platform::BoxAnswer::Cancel);
    platform::ScopedUi scopedUi(ui);
    RecordingView view;
    BatchOptions options;
    options.images.quil = "QUIL0100A.BIN";  // never read: nothing is older
    EXPECT_EQ(RunBatchUpdate(options, view), 0);
    EXPECT_TRUE(ui.texts.empty());
    const std::vector<std::string> expected = {"unit 1", "unit 0", "unit 3", "unit 2", "unit 4", "summary"};
    EXPECT_EQ(view.events, expected);

    for (sim::VirtualQuil* unit : m_units.Units()) {
        const uint8_t version = unit->Register(10);
        const int minor = ((unit->Register(11) & 0x0F) << 2) | (version >> 6);
        if (unit->Register(1) == 0x31 && (version & 0x3F) == 8 && minor == 3)
            unit->PresetRegister(10, static_cast<uint8_t>(version | 0x3F));
    }
    // The image is read before anything is written; one that cannot be
    // fails its entries, and with nothing left no confirmation is asked.
    RecordingView blank;
    EXPECT_EQ(RunBatchUpdate(options, blank), 1);
    ASSERT_EQ(ui.texts.size(), 1u);
    EXPECT_EQ(ui.texts[0], "Unable to open file 'QUIL0100A.BIN'!");
    EXPECT_EQ(blank.summary.entries[3].before, kVersionNone);
    EXPECT_EQ(blank.summary.entries[3].result, BatchResult::Failed);
    EXPECT_EQ(blank.summary.entries[3].reason, "the image QUIL0100A.BIN could not be read");
    EXPECT_EQ(blank.summary.entries[3].plan, BatchPlan::Update);
}

TEST_F(BatchRun, ADeclinedConfirmationWritesNothing) {
    AnsweringUi ui(platform::BoxAnswer::Cancel);
    platform::ScopedUi scopedUi(ui);
    RecordingView view;
    EXPECT_EQ(RunBatchUpdate(BatchOptions{}, view), 1);
    const std::vector<std::string> expected = {"unit 1", "unit 0", "unit 3", "unit 2", "unit 4", "summary"};
    EXPECT_EQ(view.events, expected);
    ASSERT_EQ(ui.texts.size(), 1u);
    EXPECT_EQ(ui.texts[0],
              "About to program:\nthe Quil connected via Quil USB MIDI 1 with Firmware Version 8.3\n"
              "the Quil connected via Quil USB MIDI 4 with Firmware Version 8.3\n");
    // Whoever answers by default declines.
    EXPECT_EQ(ui.boxes[0].caption, "Firmware Update Confirmation");
    EXPECT_EQ(ui.boxes[0].buttons, platform::BoxButtons::OkCancel);
    EXPECT_EQ(ui.boxes[0].defaultButton, 1);
    for (int i : {1, 4}) {
        EXPECT_EQ(view.summary.entries[static_cast<size_t>(i)].result, BatchResult::NotReached);
        EXPECT_EQ(view.summary.entries[static_cast<size_t>(i)].reason, "the confirmation was declined");
    }
    for (sim::VirtualQuil* unit : m_units.Units()) EXPECT_TRUE(unit->Bank(2).empty());
    EXPECT_EQ(m_interruptions.Holds(), 1);
    EXPECT_FALSE(m_interruptions.Held());
}

}  // namespace
