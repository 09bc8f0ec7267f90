// How the console shows an update of every unit (--all): as screen text
// (the units found, each sequence's status and progress line, each result
// and the summary table) or, with --json, as one JSON object per line.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "app/batch_update.h"
#include "ui/console_ui.h"
#include "ui/json_event_writer.h"

namespace ui {

// The running sequence's status line, bar and packet counts, as the
// sequence sets them; Changed() runs after each change.
class BatchProgress : public ProgrammingDisplay {
public:
    void Begin(const BatchEntry& entry);
    void SetStatusLine(const std::string& text) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int pos) override;
    void ReportProgress(const platform::ProgressDetail& detail) override;

    // What the progress shows now.
    struct Snapshot {
        std::string phase;     // "Downloading", "Erasing XSlot Firmware", ...
        int percent = -1;      // -1: nothing to measure yet
        int64_t packets = -1;  // -1: the step does not count packets
        int64_t totalPackets = -1;
        int64_t bytes = -1;  // -1: the step does not count bytes
        int64_t totalBytes = -1;
    };
    Snapshot Now() const;
    const std::string& Status() const { return m_status; }
    int BarPercent() const;
    const platform::ProgressDetail& Detail() const { return m_detail; }

protected:
    virtual void Changed() = 0;

private:
    std::string m_status;
    int m_low = 0;
    int m_high = 0;
    int m_pos = 0;
    bool m_barSet = false;
    platform::ProgressDetail m_detail;
    uint32_t m_imageBytes = 0;
    uint32_t m_packets = 0;
};

// Screen text.
class TextBatchView final : public BatchView, private BatchProgress {
public:
    TextBatchView(std::ostream& out, bool terminal) : m_out(out), m_line(out, terminal) {}
    void UnitFound(const BatchEntry& entry) override;
    void SequenceStarted(const BatchEntry& entry) override;
    ProgrammingDisplay& Display(const BatchEntry& entry) override;
    void Finished(const BatchEntry& entry) override;
    void Summary(const BatchSummary& summary) override;
    bool OutputGone() const override;

private:
    void Changed() override;
    std::ostream& m_out;
    ConsoleProgressLine m_line;
};

// One JSON object per line. Progress comes at most every 100 ms. The
// one-unit run tells the same events (no summary); its "unit" events say
// which entry is selected instead of a plan.
class JsonBatchView final : public BatchView, private BatchProgress {
public:
    enum class Run : uint8_t { EveryUnit, OneUnit };
    explicit JsonBatchView(JsonEventWriter& events, Run run = Run::EveryUnit) : m_events(events), m_run(run) {}
    void UnitFound(const BatchEntry& entry) override;
    void SequenceStarted(const BatchEntry& entry) override;
    ProgrammingDisplay& Display(const BatchEntry& entry) override;
    void Finished(const BatchEntry& entry) override;
    void Summary(const BatchSummary& summary) override;
    bool OutputGone() const override { return !m_events.Good(); }

private:
    void Changed() override;
    JsonEventWriter& m_events;
    Run m_run;
    int m_entry = 0;
    bool m_emitted = false;
    uint32_t m_lastEmitMs = 0;
    // Where the rate is measured from: the phase's first byte count.
    std::string m_ratePhase;
    uint32_t m_rateStartMs = 0;
    int64_t m_rateStartBytes = 0;
};

// The summary table as the text view prints it.
std::string BatchSummaryText(const BatchSummary& summary);

}  // namespace ui
