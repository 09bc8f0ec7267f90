// What the programming-sequence tests share: a display that records what it
// was told, a private log read back as text, and images and units for the
// virtual Quil.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/programming_display.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "sim/unit_description.h"
#include "tests/temp_log.h"

namespace programmingtest {

using Bytes = std::vector<uint8_t>;

// An image the virtual unit takes for an FPGA bitstream.
inline Bytes BitstreamImage(size_t size) {
    Bytes image(size);
    uint32_t x = 0x13572468;
    for (uint8_t& b : image) {
        x = x * 1664525 + 1013904223;
        b = static_cast<uint8_t>(x >> 24);
    }
    std::fill_n(image.begin(), 16, uint8_t{0xFF});
    const uint8_t sync[] = {0xAA, 0x99, 0x55, 0x66};
    std::copy(std::begin(sync), std::end(sync), image.begin() + 16);
    return image;
}

// A Quil with firmware 7.2 and a VX-DANTE card.
inline sim::UnitDescription QuilWithDanteCard(unsigned unitNumber) {
    sim::UnitDescription unit;
    unit.pid = sim::kPidQuil;
    unit.firmwareMajor = 7;
    unit.firmwareMinor = 2;
    unit.boardRevision = 2;
    unit.serial = sim::PackSerial(sim::kPidQuil, 18, 22, unitNumber);
    unit.card.type = sim::kCardVxDante;
    unit.card.firmwareMajor = 1;
    unit.card.firmwareMinor = 1;
    unit.card.revision = 1;
    unit.card.serial = sim::PackSerial(sim::kCardVxDante, 18, 22, unitNumber + 1);
    unit.eraseMs = 2000;
    unit.programMs = 2000;
    unit.verifyMs = 2000;
    unit.cardEraseMs = 3000;
    return unit;
}

class RecordingDisplay final : public ProgrammingDisplay {
public:
    struct Position {
        uint32_t atMs;
        int pos;
        size_t statusLine;  // how many status lines had been set
    };
    void SetStatusLine(const std::string& text) override {
        statusLines.push_back(text);
        if (onStatusLine) onStatusLine(text);
    }
    void SetProgressRange(int low, int high) override { ranges.emplace_back(low, high); }
    void SetProgressPos(int pos) override {
        positions.push_back({platform::CurrentClock().TickMs(), pos, statusLines.size()});
    }
    void ReportProgress(const platform::ProgressDetail& detail) override { details.push_back(detail); }

    std::vector<std::string> statusLines;
    std::vector<std::pair<int, int>> ranges;
    std::vector<Position> positions;
    std::vector<platform::ProgressDetail> details;
    std::function<void(const std::string&)> onStatusLine;
};

}  // namespace programmingtest
