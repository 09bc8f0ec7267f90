#include "ui/batch_views.h"

#include <algorithm>
#include <ostream>

#include "app/firmware_image.h"
#include "app/serial_number.h"
#include "platform/clock.h"

namespace ui {

namespace {

constexpr uint32_t kJsonProgressIntervalMs = 100;

std::string SerialText(uint32_t serial) { return serial == 0xFFFFFFFF ? "none" : FormatSerialNumber(serial); }

// The version the entry runs once the run is over, as far as is known: the
// image's after an update, unknown after a failure (the store may be erased
// or partly written), what it ran otherwise.
std::string AfterText(const BatchEntry& entry) {
    switch (entry.result) {
    case BatchResult::Updated: return BatchVersionText(entry.image);
    case BatchResult::Failed: return "?";
    default: return BatchVersionText(entry.before);
    }
}

std::string ResultText(const BatchEntry& entry) {
    std::string text = BatchResultName(entry.result);
    if (!entry.reason.empty()) text += ": " + entry.reason;
    return text;
}

std::string PowerCycleText(const std::vector<uint32_t>& units) {
    std::string list;
    for (uint32_t serial : units) {
        if (!list.empty()) list += ", ";
        list += SerialText(serial);
    }
    return "To complete the update, POWER OFF each updated Quil using the main power switch on the back of the "
           "unit: " +
           list + ".\n";
}

std::string PhaseOf(const std::string& status) {
    std::string phase = status;
    while (!phase.empty() && phase.back() == '.') phase.pop_back();
    return phase;
}

JsonEvent& EntryFields(JsonEvent& event, const BatchEntry& entry) {
    event.Number("entry", entry.entry)
        .Text("description", entry.description)
        .Text("device", BatchDeviceName(entry.device))
        .Bool("card", entry.card)
        .Text("serial", SerialText(entry.serial));
    return event;
}

void VersionField(JsonEvent& event, const char* key, const std::string& text) {
    if (text == "Not Present" || text == "?") {
        event.Null(key);
    } else {
        event.Text(key, text);
    }
}

}  // namespace

// --- BatchProgress ---

void BatchProgress::Begin(const BatchEntry& entry) {
    m_status.clear();
    m_low = m_high = m_pos = 0;
    m_barSet = false;
    m_detail = {};
    m_imageBytes = entry.imageBytes;
    m_packets = (entry.imageBytes + 127) / 128;
}

void BatchProgress::SetStatusLine(const std::string& text) {
    if (text == m_status) return;
    m_status = text;
    // A new step: the bar and counts still belong to the last one.
    m_detail = {};
    m_barSet = false;
    Changed();
}

void BatchProgress::SetProgressRange(int low, int high) {
    m_low = low;
    m_high = high;
}

void BatchProgress::SetProgressPos(int pos) {
    m_pos = pos;
    m_barSet = true;
    Changed();
}

void BatchProgress::ReportProgress(const platform::ProgressDetail& detail) {
    m_detail = detail;
    Changed();
}

int BatchProgress::BarPercent() const {
    if (!m_barSet || m_high <= m_low) return -1;
    return static_cast<int>(std::clamp<int64_t>(int64_t{m_pos - m_low} * 100 / (m_high - m_low), 0, 100));
}

BatchProgress::Snapshot BatchProgress::Now() const {
    Snapshot now;
    now.phase = m_detail.kind == platform::ProgressDetail::Kind::Phase ? m_detail.phase : PhaseOf(m_status);
    now.percent = BarPercent();
    if (m_detail.kind == platform::ProgressDetail::Kind::Transfer) {
        now.packets = m_detail.done;
        now.totalPackets = m_detail.total;
        now.percent = m_detail.total != 0 ? static_cast<int>(uint64_t{m_detail.done} * 100 / m_detail.total) : 0;
    } else if (m_detail.kind == platform::ProgressDetail::Kind::Phase) {
        now.percent = std::clamp(m_detail.percent, 0, 100);
    }
    // The card's writing and read-back move the bar packet by packet, the
    // VX-USB download byte by byte.
    if (now.packets < 0 && m_barSet && m_low == 0 && m_packets > 0 && m_high == static_cast<int>(m_packets) &&
        m_detail.kind != platform::ProgressDetail::Kind::Phase) {
        now.packets = m_pos;
        now.totalPackets = m_high;
    }
    if (now.packets >= 0) {
        now.totalBytes = m_imageBytes;
        now.bytes = std::min<int64_t>(now.packets * 128, m_imageBytes);
    } else if (m_barSet && m_low == 0 && m_imageBytes > 0 && m_high == static_cast<int>(m_imageBytes)) {
        now.bytes = m_pos;
        now.totalBytes = m_imageBytes;
    }
    return now;
}

// --- TextBatchView ---

void TextBatchView::UnitFound(const BatchEntry& entry) {
    m_out << "Entry " << entry.entry << ": " << entry.description << ", serial " << SerialText(entry.serial)
          << ", runs " << BatchVersionText(entry.before) << ", image "
          << (entry.image == kVersionNone ? std::string("none") : BatchVersionText(entry.image)) << ": "
          << (entry.plan == BatchPlan::Update ? std::string("to update") : "skipped, " + entry.reason) << '\n'
          << std::flush;
}

void TextBatchView::SequenceStarted(const BatchEntry& entry) {
    m_line.Reset();
    m_out << "== Entry " << entry.entry << ": " << entry.description << " (" << SerialText(entry.serial) << "), "
          << BatchVersionText(entry.before) << " -> " << BatchVersionText(entry.image) << " ==\n"
          << std::flush;
}

ProgrammingDisplay& TextBatchView::Display(const BatchEntry& entry) {
    Begin(entry);
    return *this;
}

bool TextBatchView::OutputGone() const { return m_out.fail(); }

void TextBatchView::Changed() { m_line.Update(Status(), BarPercent(), Detail()); }

void TextBatchView::Finished(const BatchEntry& entry) {
    m_line.Reset();
    m_out << "Entry " << entry.entry << ": " << ResultText(entry) << '\n' << std::flush;
}

std::string BatchSummaryText(const BatchSummary& summary) {
    struct Row {
        std::string cells[6];
    };
    std::vector<Row> rows;
    rows.push_back({{"Entry", "Device", "Serial", "Before", "After", "Result"}});
    for (const BatchEntry& entry : summary.entries) {
        rows.push_back({{std::to_string(entry.entry), BatchDeviceName(entry.device), SerialText(entry.serial),
                         BatchVersionText(entry.before), AfterText(entry), ResultText(entry)}});
    }
    size_t width[6] = {};
    for (const Row& row : rows) {
        for (size_t c = 0; c < 5; ++c) width[c] = std::max(width[c], row.cells[c].size());
    }
    std::string text = "Summary:\n";
    for (const Row& row : rows) {
        std::string line;
        for (size_t c = 0; c < 6; ++c) {
            line += row.cells[c];
            if (c < 5) line += std::string(width[c] - row.cells[c].size() + 2, ' ');
        }
        text += line + '\n';
    }
    if (summary.entries.empty()) text += "No unit was found.\n";
    if (!summary.stoppedBy.empty()) text += "Stopped by " + summary.stoppedBy + " before the next unit.\n";
    if (!summary.powerCycle.empty()) text += PowerCycleText(summary.powerCycle);
    return text;
}

void TextBatchView::Summary(const BatchSummary& summary) {
    m_line.Reset();
    m_out << BatchSummaryText(summary) << std::flush;
}

// --- JsonBatchView ---

void JsonBatchView::UnitFound(const BatchEntry& entry) {
    JsonEvent event("unit");
    EntryFields(event, entry).Text("link", entry.link);
    VersionField(event, "version", BatchVersionText(entry.before));
    VersionField(event, "new_version", BatchVersionText(entry.image));
    if (entry.imageName.empty()) {
        event.Null("image");
    } else {
        event.Text("image", entry.imageName);
    }
    if (m_run == Run::OneUnit) {
        event.Bool("selected", entry.selected);
    } else {
        event.Text("plan", entry.plan == BatchPlan::Update ? "update" : "skip").Text("reason", entry.reason);
    }
    m_events.Write(event);
}

void JsonBatchView::SequenceStarted(const BatchEntry& entry) {
    JsonEvent event("start");
    EntryFields(event, entry);
    VersionField(event, "version", BatchVersionText(entry.before));
    VersionField(event, "new_version", BatchVersionText(entry.image));
    event.Text("image", entry.imageName);
    m_events.Write(event);
}

ProgrammingDisplay& JsonBatchView::Display(const BatchEntry& entry) {
    m_entry = entry.entry;
    m_ratePhase.clear();
    Begin(entry);
    return *this;
}

void JsonBatchView::Changed() {
    const uint32_t now = platform::CurrentClock().TickMs();
    const Snapshot snapshot = BatchProgress::Now();
    // The rate is measured over the step's bytes so far.
    if (snapshot.phase != m_ratePhase && snapshot.bytes >= 0) {
        m_ratePhase = snapshot.phase;
        m_rateStartMs = now;
        m_rateStartBytes = snapshot.bytes;
    }
    if (m_emitted && now - m_lastEmitMs < kJsonProgressIntervalMs) return;
    if (snapshot.phase.empty() && snapshot.percent < 0) return;
    m_emitted = true;
    m_lastEmitMs = now;

    JsonEvent event("progress");
    event.Number("entry", m_entry).Text("phase", snapshot.phase);
    const auto numberOrNull = [&event](const char* key, int64_t value) {
        if (value < 0) {
            event.Null(key);
        } else {
            event.Number(key, value);
        }
    };
    numberOrNull("percent", snapshot.percent);
    numberOrNull("packets", snapshot.packets);
    numberOrNull("total_packets", snapshot.totalPackets);
    numberOrNull("bytes", snapshot.bytes);
    numberOrNull("total_bytes", snapshot.totalBytes);
    const uint32_t elapsed = now - m_rateStartMs;
    const int64_t sent = snapshot.bytes - m_rateStartBytes;
    if (snapshot.bytes >= 0 && snapshot.phase == m_ratePhase && elapsed > 0 && sent > 0) {
        const int64_t rate = sent * 1000 / elapsed;
        event.Number("rate", rate);
        const int64_t left = std::max<int64_t>(snapshot.totalBytes - snapshot.bytes, 0);
        event.Number("seconds_left", rate > 0 ? (left + rate - 1) / rate : 0);
    } else {
        event.Null("rate").Null("seconds_left");
    }
    m_events.Write(event);
}

void JsonBatchView::Finished(const BatchEntry& entry) {
    JsonEvent event("result");
    EntryFields(event, entry);
    VersionField(event, "version_before", BatchVersionText(entry.before));
    VersionField(event, "version_after", AfterText(entry));
    event.Text("result", BatchResultName(entry.result)).Text("reason", entry.reason);
    m_events.Write(event);
}

void JsonBatchView::Summary(const BatchSummary& summary) {
    std::vector<std::string> rows;
    for (const BatchEntry& entry : summary.entries) {
        JsonEvent row;
        EntryFields(row, entry);
        VersionField(row, "version_before", BatchVersionText(entry.before));
        VersionField(row, "version_after", AfterText(entry));
        row.Text("result", BatchResultName(entry.result)).Text("reason", entry.reason);
        rows.push_back(row.Line());
    }
    std::vector<std::string> units;
    for (uint32_t serial : summary.powerCycle) units.push_back(JsonQuoted(SerialText(serial)));
    JsonEvent event("summary");
    event.Raw("entries", JsonArrayOf(rows)).Raw("power_cycle", JsonArrayOf(units));
    if (summary.stoppedBy.empty()) {
        event.Null("stopped_by");
    } else {
        event.Text("stopped_by", summary.stoppedBy);
    }
    event.Number("exit_status", summary.exitStatus);
    m_events.Write(event);
}

}  // namespace ui
