// Option-slot card types as register 16 reports them, and their names. The
// same byte heads a card's serial number and names what a card image is for.
#pragma once

#include <cstdint>

inline constexpr uint8_t kCardNone = 0;
inline constexpr uint8_t kCardVxMadi = 19;
inline constexpr uint8_t kCardVxDante = 21;
inline constexpr uint8_t kCardVxMadiB = 23;
inline constexpr uint8_t kCardVxHd = 24;
inline constexpr uint8_t kCardVxFw = 25;
inline constexpr uint8_t kCardVxUsb = 50;

// "VX-MADI", "VX-DANTE", "VX-HD", "VX-FW" or "VX-USB"; null for any other
// type, whose text is up to the caller ("none", "Unknown").
constexpr const char* CardTypeName(uint8_t type) {
    switch (type) {
    case kCardVxMadi: return "VX-MADI";
    case kCardVxDante: return "VX-DANTE";
    case kCardVxHd: return "VX-HD";
    case kCardVxFw: return "VX-FW";
    case kCardVxUsb: return "VX-USB";
    default: return nullptr;
    }
}
