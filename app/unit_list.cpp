#include "app/unit_list.h"

#include <cstdio>

#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"

namespace {

constexpr const char* kCaption = "Quil Firmware Update";

void ShowBox(const char* text) { platform::ShowOkBox(text, kCaption, platform::BoxIcon::None, true); }

}  // namespace

const char* OptionCardLabel(uint8_t cardType, bool haveUsbUpdater) {
    switch (cardType) {
    case kCardVxMadi:
    case kCardVxDante:
    case kCardVxHd: return CardTypeName(cardType);
    case kCardVxUsb: return haveUsbUpdater ? CardTypeName(cardType) : nullptr;
    default: return nullptr;
    }
}

const char* OptionCardName(uint8_t cardType) {
    if (const char* name = CardTypeName(cardType)) return name;
    return "Unknown";
}

std::unique_ptr<CNimbraRemote> LocateQuil() {
    auto remote = std::make_unique<CNimbraRemote>();
    remote->SetDeviceName("Quil");
    uint16_t connections = 0;
    if (remote->Open() == kStatusOk) {
        remote->GetNumberOfConnections(&connections);
        LogMessage("Found Quil. Number Of Connections: %u\n", static_cast<unsigned>(connections));
    }
    if (connections == 0) {
        remote.reset();
        LogMessage("Unable to locate a Quil!\n");
        ShowBox("Unable to locate a Quil!");
    }
    return remote;
}

std::vector<UnitListEntry> ListUnits(CNimbraRemote& remote) {
    std::vector<UnitListEntry> entries;
    uint16_t connections = 0;
    remote.GetNumberOfConnections(&connections);
    for (uint16_t c = 0; c < connections && entries.size() < kMaxUnitEntries; ++c) {
        remote.SelectConnection(c);
        uint8_t pid = 0;
        remote.GetPID(&pid);
        if (pid != 0x31) continue;

        char text[260] = {};
        uint8_t model = 0;
        if (remote.GetConnectionDescription(c, text, sizeof text, &model) != kStatusOk) continue;
        LogMessage("Found %s\n", text);
        entries.push_back({text, c});
        if (entries.size() >= kMaxUnitEntries) break;

        uint8_t cardType = 0;
        remote.GetXSlotCardType(&cardType);
        char cardText[300];
        if (const char* label = OptionCardLabel(cardType, remote.UsbCardConnection() == c)) {
            std::snprintf(cardText, sizeof cardText, "%s in %s", label, text);
            LogMessage("Found %s\n", cardText);
            entries.push_back({cardText, c | kUnitMapOptionCard});
        } else if (cardType == 25) {
            std::snprintf(cardText, sizeof cardText, "VX-FW in %s", text);
            LogMessage("Found %s\n", cardText);
        }
    }
    if (entries.empty()) {
        LogMessage("No Quil Found!\n");
        ShowBox("No Quil Found!");
    }
    return entries;
}
