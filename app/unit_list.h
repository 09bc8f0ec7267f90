// Finding the units: the remote opens the first link that reaches a Quil, and
// every Quil becomes an entry of the unit list, its option card (of a listed
// kind) a second entry.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CNimbraRemote;

// Up to 16 entries, the size of the window's unit map.
inline constexpr size_t kMaxUnitEntries = 16;
// Set in a unit-map word when the entry is the option card of its connection.
inline constexpr uint32_t kUnitMapOptionCard = 1u << 16;

struct UnitListEntry {
    std::string text;
    // Bits 0-15 the connection index, bit 16 set for the option card.
    uint32_t unitMap = 0;
};

// The list label of an option card type, or null when such a card is not
// listed (VX-FW is only logged; VX-USB needs the USB-card updater).
const char* OptionCardLabel(uint8_t cardType, bool haveUsbUpdater);

// The card's name in the selected entry's text: its list label, or
// "VX-FW", "VX-USB" and "Unknown" for the others.
const char* OptionCardName(uint8_t cardType);

// Creates the remote with device name "Quil" and opens it. Null, after
// "Unable to locate a Quil!" is logged and shown, when no link finds a
// connection.
std::unique_ptr<CNimbraRemote> LocateQuil();

// Selects each connection, skips other models, and builds the list entries,
// logging "Found %s\n" for each. An empty list has been logged and shown as
// "No Quil Found!".
std::vector<UnitListEntry> ListUnits(CNimbraRemote& remote);
