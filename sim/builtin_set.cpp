#include "sim/builtin_set.h"

namespace sim {

namespace {

UnitDescription QuilOne() {
    UnitDescription u;
    u.pid = kPidQuil;
    u.firmwareMajor = 7;
    u.firmwareMinor = 2;
    u.firmwareDate = FirmwareDateWord(16, 1, 12);
    u.boardRevision = 2;  // B
    u.serial = PackSerial(kPidQuil, 18, 22, 1);
    u.card.type = kCardVxDante;
    u.card.firmwareMajor = 1;
    u.card.firmwareMinor = 1;
    u.card.revision = 1;  // A
    u.card.serial = PackSerial(kCardVxDante, 18, 22, 2);
    return u;
}

UnitDescription QuilTwo() {
    UnitDescription u;
    u.pid = kPidQuil;
    u.firmwareMajor = 8;
    u.firmwareMinor = 3;
    u.firmwareDate = FirmwareDateWord(18, 11, 27);
    u.boardRevision = 3;  // C
    u.serial = PackSerial(kPidQuil, 19, 10, 42);
    u.card.type = kCardVxHd;
    u.card.firmwareMajor = 2;
    u.card.firmwareMinor = 0;
    u.card.revision = 2;  // B
    u.card.serial = PackSerial(kCardVxHd, 19, 10, 43);
    return u;
}

UnitDescription NimbraSixteen() {
    UnitDescription u;
    u.pid = kPidNimbra16;
    u.firmwareMajor = 17;
    u.firmwareMinor = 1;
    u.boardRevision = 1;  // A
    u.serial = PackSerial(kPidNimbra16, 17, 5, 7);
    return u;
}

// Its card's firmware is reached through the USB audio driver's library,
// which the demo mode stands in for with our fake (sim/usb_cards.h).
UnitDescription QuilFour() {
    UnitDescription u;
    u.pid = kPidQuil;
    u.firmwareMajor = 8;
    u.firmwareMinor = 2;
    u.boardRevision = 3;  // C
    u.serial = PackSerial(kPidQuil, 20, 3, 43);
    u.card.type = kCardVxUsb;
    u.card.firmwareMajor = 9;
    u.card.firmwareMinor = 5;
    u.card.revision = 1;  // A
    u.card.serial = PackSerial(kCardVxUsb, 20, 3, 44);
    return u;
}

}  // namespace

std::vector<BuiltinPort> BuiltinSet() {
    std::vector<BuiltinPort> ports;
    ports.push_back({"Quil USB MIDI 1", PortTechnology::Hardware, QuilOne()});
    ports.push_back({"Quil MIDI 2", PortTechnology::Hardware, QuilTwo()});
    ports.push_back({"Quil MIDI 3", PortTechnology::Hardware, NimbraSixteen()});
    ports.push_back({"Quil Virtual MIDI", PortTechnology::Hardware, std::nullopt});
    ports.push_back({"Quil Software Synth", PortTechnology::Software, std::nullopt});
    ports.push_back({"Quil USB MIDI 4", PortTechnology::Hardware, QuilFour()});
    return ports;
}

std::vector<BuiltinAdapter> BuiltinDriverSet() {
    // The interface takes the slot: no card of its own to show or update.
    const auto behindThunderbolt = [](UnitDescription u) {
        u.card = OptionCardDescription{};
        u.card.type = kCardThunderbolt;
        return u;
    };
    const auto typeWord = [](const UnitDescription& u) { return static_cast<uint16_t>((u.pid << 8) | 0x14); };
    std::vector<BuiltinAdapter> adapters;
    for (const UnitDescription& unit : {QuilOne(), QuilTwo(), NimbraSixteen()}) {
        const UnitDescription placed = behindThunderbolt(unit);
        adapters.push_back({typeWord(placed), placed});
    }
    return adapters;
}

}  // namespace sim
