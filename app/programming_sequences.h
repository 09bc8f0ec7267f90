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

// The log line for a download that took `elapsedMs`:
// "Download took: hh:mm:ss.mmm\n".
std::string FormatDownloadTime(uint32_t elapsedMs);

// The packet loop of a main-unit download: status line "Downloading...",
// every 128-byte packet of `image` with its acknowledgement, the bar at the
// share of packets sent, then the download time in the log. Expects the
// image length and bank to be announced already. Shows its own failure
// message and returns false on failure.
bool SendFirmwarePackets(CNimbraRemote& remote, const FirmwareBuffer& image, ProgrammingDisplay& display);

// Limits of the watch over the unit's own erase, program and verify after a
// main-unit download. A working unit moves its phase or percentage far more
// often than `stallMs`: a 5 MB erase takes a real unit minutes, and a bulk
// erase may show no percentage at all until it ends, so the default leaves
// ten minutes; giving up on a working unit would have the user switch it off
// in the middle of programming. `offlineMs` is how long the unit may stay
// dropped without being selected again; the engine keeps trying to select
// it meanwhile, each try taking a few seconds, so a minute covers many.
struct PhaseWatchLimits {
    uint32_t offlineMs = 60 * 1000;
    uint32_t stallMs = 10 * 60 * 1000;
};

// The main unit: the image goes in 128-byte packets into flash bank `bank`
// (0 = PROM 1, 1 = PROM 2), then the unit erases, programs and verifies it
// while the display follows its phases. Shows its own failure message and
// returns false on failure: a packet refused, or a watch that sees PGMERR,
// another unit answering after a reselection, a unit that stays dropped or
// no progress within `limits`.
bool ProgramEEPROM(CNimbraRemote& remote, const FirmwareBuffer& image, uint8_t bank, ProgrammingDisplay& display,
                   const PhaseWatchLimits& limits = {});

// A VX-DANTE card: erase, packets, read-back of every packet compared with
// the image, completion. `xslotTarget` chooses the firmware store addressed
// (1 for the card). Shows its own failure message and returns false on
// failure; the unit's own store is selected again on every way out.
bool ProgramXSlotEEPROM(CNimbraRemote& remote, const FirmwareBuffer& image, bool xslotTarget,
                        ProgrammingDisplay& display);

// The Update command's dispatch by the image's DeviceID: a VX-USB image
// through the remote's USB-card updater, a VX-DANTE image to
// ProgramXSlotEEPROM, any other to ProgramEEPROM (followed by an abort on
// failure). A failure shows the sequence's own box, then "VX-USB Firmware
// Update Failed!", "VX-DANTE Firmware Update Failed!" or "Updating the
// Firmware on the Quil FAILED!" (caption "EEPROM Programming Failure").
bool ProgramFirmwareImage(CNimbraRemote& remote, const FirmwareBuffer& image, uint8_t deviceId, bool xslotTarget,
                          uint8_t bank, ProgrammingDisplay& display);
