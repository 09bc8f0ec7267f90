// The programming sequences the Update command runs, and the handshake they
// share. One implementation each: the main window, the tools, the benchmarks
// and the tests all call these.
#pragma once

#include <cstdint>
#include <string>

#include "app/firmware_buffer.h"
#include "app/programming_display.h"

class CNimbraRemote;

struct CompletionResult {
    bool ok = false;
    uint8_t status = 0;  // the programming status on failure (0x20: TIMEOUT)
};

// Waits for the unit's answer to the last step: one reply, then register 9
// clear within `limitMs`. Fails with PGMERR or TXERR as the unit reports
// them, or with TIMEOUT (0x20).
CompletionResult WaitForCompletion(CNimbraRemote& remote, uint32_t limitMs);

// Appends "\nPIP", "\nPGMERR", "\nTXERR", "\nPAKRDY", "\nTIMEOUT" for each of
// bits 0, 1, 2, 3 and 5 set in `status`, in that order.
void AppendStatusNames(std::string& text, uint8_t status);

// The main unit: the image goes in 128-byte packets into flash bank `bank`
// (0 = PROM 1, 1 = PROM 2), then the unit erases, programs and verifies it
// while the display follows its phases. Shows its own failure message and
// returns false on failure.
bool ProgramEEPROM(CNimbraRemote& remote, const FirmwareBuffer& image, uint8_t bank, ProgrammingDisplay& display);

// A VX-DANTE card: erase, packets, read-back of every packet compared with
// the image, completion. `xslotTarget` chooses the firmware store addressed
// (1 for the card). Shows its own failure message and returns false on
// failure; the unit's own store is selected again on every way out.
bool ProgramXSlotEEPROM(CNimbraRemote& remote, const FirmwareBuffer& image, bool xslotTarget,
                        ProgrammingDisplay& display);
