// What the programming sequences' polling waits share: the end of one pass
// and the sequences' message box.
#pragma once

#include <cstdint>
#include <string>

class CNimbraRemote;

// Ends one pass of a polling wait: handles one pending window message, then
// pauses. Other units than the Quil get 5 ms between status reads. A Quil's
// reports are taken as soon as they are in, so its waits do not sleep while
// replies or window messages keep coming; a pass that brought neither (the
// engine's reply count still `repliesBefore`) yields the core for 1 ms, the
// system timer's resolution, instead of spinning on the link.
void EndWaitPass(CNimbraRemote& remote, uint32_t repliesBefore);

// The sequences' failure box: caption "Quil Firmware Update", no icon, owned
// by the main window.
void ShowProgrammingBox(const std::string& text);

// The box with the same text logged first.
void LogAndShowProgrammingBox(const std::string& text);
