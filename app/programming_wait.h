// What the programming sequences' polling waits share: the end of one pass
// and the sequences' message box.
#pragma once

#include <cstdint>
#include <string>

class CNimbraRemote;

// Ends one pass of a status wait: handles one pending window message. Other
// units than the Quil get 5 ms between status reads. A pass that brought
// neither a reply (the engine's reply count still `repliesBefore`) nor a
// window message then blocks until the unit's next bytes arrive, at most
// `timeoutMs` (the engine wakes sooner for its own polling and the window).
void EndWaitPass(CNimbraRemote& remote, uint32_t repliesBefore, uint32_t timeoutMs);

// Milliseconds from `elapsedMs` until a limit of `limitMs` has been passed
// ("more than limitMs"); 0 once it has.
uint32_t UntilPast(uint32_t elapsedMs, uint32_t limitMs);

// The sequences' failure box: caption "Quil Firmware Update", no icon, owned
// by the main window.
void ShowProgrammingBox(const std::string& text);

// The box with the same text logged first.
void LogAndShowProgrammingBox(const std::string& text);
