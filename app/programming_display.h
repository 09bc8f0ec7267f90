// Where a programming sequence shows how far it is: the main window's status
// line (text 1014) and progress bar (1008), or nothing at all (tools and
// benchmarks). Sequences handle one pending window message per pass through
// platform::CurrentUi(), so the window keeps painting while they run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dialog.h"

class ProgrammingDisplay {
public:
    virtual ~ProgrammingDisplay() = default;
    virtual void SetStatusLine(const std::string& text) = 0;
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPos(int pos) = 0;
    // Packet counts and phases for views that print them (the console).
    virtual void ReportProgress(const platform::ProgressDetail& detail) { (void)detail; }
};

// The detail of a download: `done` of `total` packets sent.
inline platform::ProgressDetail TransferDetail(uint32_t done, uint32_t total) {
    platform::ProgressDetail detail;
    detail.kind = platform::ProgressDetail::Kind::Transfer;
    detail.done = done;
    detail.total = total;
    return detail;
}

// The detail of a named step ("Erasing", "Programming", "Verifying").
inline platform::ProgressDetail PhaseDetail(const char* phase, int percent) {
    platform::ProgressDetail detail;
    detail.kind = platform::ProgressDetail::Kind::Phase;
    detail.phase = phase;
    detail.percent = percent;
    return detail;
}

// Shows nothing.
class NullProgrammingDisplay final : public ProgrammingDisplay {
public:
    void SetStatusLine(const std::string&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
};

// The main window's status line and progress bar.
class WindowProgrammingDisplay final : public ProgrammingDisplay {
public:
    WindowProgrammingDisplay(platform::DialogWindow& window, int statusLineId, int progressId)
        : m_window(window), m_statusLineId(statusLineId), m_progressId(progressId) {}
    void SetStatusLine(const std::string& text) override { m_window.SetText(m_statusLineId, text); }
    void SetProgressRange(int low, int high) override { m_window.ProgressSetRange(m_progressId, low, high); }
    void SetProgressPos(int pos) override { m_window.ProgressSetPos(m_progressId, pos); }
    void ReportProgress(const platform::ProgressDetail& detail) override { m_window.ReportProgress(detail); }

private:
    platform::DialogWindow& m_window;
    int m_statusLineId;
    int m_progressId;
};
