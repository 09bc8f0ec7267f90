#include "app/batch_update.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "app/firmware_buffer.h"
#include "app/firmware_image.h"
#include "app/programming_sequences.h"
#include "app/unit_list.h"
#include "platform/interruptions.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "remote/nimbra_remote.h"

namespace {

constexpr const char* kBetweenUnits = "no unit is being written; the update stops before the next unit.";

// The unit list in the run's order: each unit's card before the unit.
std::vector<UnitListEntry> CardsFirst(const std::vector<UnitListEntry>& list, std::vector<int>& indices) {
    std::vector<UnitListEntry> ordered;
    for (size_t i = 0; i < list.size(); ++i) {
        const bool cardFollows = i + 1 < list.size() && (list[i + 1].unitMap & kUnitMapOptionCard) != 0 &&
                                 (list[i + 1].unitMap & 0xFFFF) == (list[i].unitMap & 0xFFFF);
        if (cardFollows) {
            ordered.push_back(list[i + 1]);
            indices.push_back(static_cast<int>(i + 1));
        }
        ordered.push_back(list[i]);
        indices.push_back(static_cast<int>(i));
        if (cardFollows) ++i;
    }
    return ordered;
}

}  // namespace

BatchEntry ReadBatchEntry(CNimbraRemote& remote, const UnitListEntry& listed, int index, const BatchImages& images) {
    BatchEntry entry;
    entry.entry = index;
    entry.description = listed.text;
    entry.card = (listed.unitMap & kUnitMapOptionCard) != 0;
    entry.connection = static_cast<uint16_t>(listed.unitMap & 0xFFFF);
    remote.SelectConnection(entry.connection);
    uint16_t linkType = 0;
    remote.GetLinkType(&linkType);
    entry.link = BatchLinkName(linkType);
    remote.GetSerialNumber(&entry.unitSerial);
    uint8_t major = 0;
    uint8_t minor = 0;
    if (entry.card) {
        remote.GetXSlotCardType(&entry.device);
        remote.GetXSlotSerialNumber(&entry.serial);
        remote.GetXSlotFirmwareVersion(&major, &minor);
    } else {
        entry.device = kDeviceQuil;
        entry.serial = entry.unitSerial;
        remote.GetFirmwareMajor(&major);
        remote.GetFirmwareMinor(&minor);
    }
    entry.before = BatchVersionNumber(major, minor);

    if (const std::optional<std::string>* file = images.For(entry.device); file != nullptr && file->has_value()) {
        entry.imageName = **file;
        entry.imageIsFile = true;
        if (const auto decoded = DecodeFirmwareName(FirmwareNameFromPath(entry.imageName)))
            entry.image = decoded->version;
    } else if (const auto choice = ChooseEmbeddedFirmware(entry.device)) {
        entry.imageName = choice->name;
        entry.image = choice->decoded.version;
    }
    return entry;
}

namespace {

// Loads the entry's image (once per image) into `loaded`.
const FirmwareBuffer* LoadEntryImage(const BatchEntry& entry, std::map<std::string, FirmwareBuffer>& loaded) {
    if (const auto found = loaded.find(entry.imageName); found != loaded.end()) return &found->second;
    FirmwareBuffer image;
    if (entry.imageIsFile) {
        if (!LoadFirmwareFile(entry.imageName, image)) return nullptr;
    } else {
        std::span<const uint8_t> container;
        if (!LoadFirmwareResource(entry.imageName, container)) return nullptr;
        const std::unique_ptr<ExpandedFirmwareFile> expanded = ExpandFirmwareResource(container, entry.imageName);
        if (!expanded || !LoadFirmwareFile(expanded->Path(), image)) return nullptr;
    }
    return &loaded.emplace(entry.imageName, std::move(image)).first->second;
}

bool Confirmed(const std::vector<BatchEntry*>& updates) {
    std::string text = "About to program:\n";
    for (const BatchEntry* entry : updates) {
        char line[400];
        std::snprintf(line, sizeof line, "the %s with Firmware Version %d.%d\n", entry->description.c_str(),
                      entry->image / 100, entry->image % 100);
        text += line;
    }
    LogMessage("%s", text.c_str());
    platform::MessageBoxRequest confirm;
    confirm.text = text;
    confirm.caption = "Firmware Update Confirmation";
    confirm.icon = platform::BoxIcon::Warning;
    confirm.buttons = platform::BoxButtons::OkCancel;
    confirm.owned = true;
    confirm.defaultButton = 1;  // Cancel
    return platform::CurrentUi().ShowMessageBox(confirm) == platform::BoxAnswer::Ok;
}

bool LinkUsable(CNimbraRemote& remote) { return remote.Link() != nullptr && remote.Link()->IsOpen(); }

// Programs one entry; its result and reason are set.
void UpdateEntry(CNimbraRemote& remote, BatchEntry& entry, const FirmwareBuffer& image, uint8_t bank, BatchView& view) {
    const auto fail = [&entry](std::string reason) {
        entry.result = BatchResult::Failed;
        entry.reason = std::move(reason);
        LogMessage("Update all: entry %d failed: %s\n", entry.entry, entry.reason.c_str());
    };
    if (remote.SelectConnection(entry.connection) != kStatusOk) return fail("the unit did not answer");
    // Connections are numbered afresh when a link finds its units again:
    // only the unit that was listed is written.
    uint32_t serial = kNoSerialNumber;
    if (entry.card) {
        remote.GetXSlotSerialNumber(&serial);
    } else {
        remote.GetSerialNumber(&serial);
    }
    if (serial != entry.serial) return fail("another unit answered on its connection");
    if (entry.device == kDeviceVxUsb && !remote.HasUsbCard())
        return fail("no VX-USB card can be reached through the USB audio driver");

    view.SequenceStarted(entry);
    LogMessage("Update all: entry %d, %s, to %d.%d\n", entry.entry, entry.description.c_str(), entry.image / 100,
               entry.image % 100);
    remote.SetHostReportMode(0);
    remote.SetPollMode(kPollTransfer);
    ProgrammingDisplay& display = view.Display(entry);
    display.SetStatusLine("Programming...");
    FirstBoxRecorder boxes(platform::CurrentUi());
    bool ok = false;
    {
        platform::ScopedUi recording(boxes);
        ok = ProgramFirmwareImage(remote, image, entry.device, entry.card, bank, display);
    }
    if (ok) {
        entry.result = BatchResult::Updated;
        LogMessage("Update all: entry %d updated\n", entry.entry);
    } else {
        fail(boxes.FirstText());
    }
}

}  // namespace

platform::BoxAnswer FirstBoxRecorder::ShowMessageBox(const platform::MessageBoxRequest& box) {
    if (m_first.empty()) m_first = box.text;
    return m_view.ShowMessageBox(box);
}

std::string FirstBoxRecorder::FirstText() const {
    std::string text;
    for (char ch : m_first) {
        if (ch == '\n') {
            if (!text.empty() && text.back() != ' ') text += ' ';
        } else {
            text += ch;
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

const char* BatchLinkName(uint16_t linkType) {
    switch (linkType) {
    case kLinkTypeDriver: return "driver";
    case kLinkTypeMidi: return "MIDI";
    case kLinkTypeDante: return "Dante";
    default: return "unknown";
    }
}

uint16_t BatchVersionNumber(uint8_t major, uint8_t minor) {
    // Major 63 is a blank register, and 0.0 no firmware at all.
    if (major == 63 || (major == 0 && minor == 0)) return kVersionNone;
    return static_cast<uint16_t>(major * 100 + minor);
}

std::optional<std::string>* BatchImages::Slot(uint8_t device) {
    switch (device) {
    case kDeviceQuil: return &quil;
    case kDeviceVxDante: return &vxDante;
    case kDeviceVxUsb: return &vxUsb;
    default: return nullptr;
    }
}

const std::optional<std::string>* BatchImages::For(uint8_t device) const {
    return const_cast<BatchImages*>(this)->Slot(device);
}

bool SortBatchImages(const std::vector<std::string>& paths, BatchImages& images, std::string& error) {
    for (const std::string& path : paths) {
        const std::optional<FirmwareName> decoded = DecodeFirmwareName(FirmwareNameFromPath(path));
        if (!decoded) {
            error = "FILE=" + path + ": the file name does not say which device the image is for";
            return false;
        }
        std::optional<std::string>* slot = images.Slot(decoded->deviceId);
        if (slot == nullptr) {
            error = "FILE=" + path + ": an image for the " + BatchDeviceName(decoded->deviceId) +
                    " card, which this program cannot update";
            return false;
        }
        if (slot->has_value()) {
            error = "FILE=" + path + ": a second " + BatchDeviceName(decoded->deviceId) + " image (FILE=" + **slot +
                    "); give one image per device";
            return false;
        }
        *slot = path;
    }
    return true;
}

const char* BatchDeviceName(uint8_t device) {
    switch (device) {
    case kDeviceQuil: return "Quil";
    case kDeviceVxDante: return "VX-DANTE";
    case kDeviceVxUsb: return "VX-USB";
    case kDeviceVxMadi: return "VX-MADI";
    case kDeviceVxHd: return "VX-HD";
    case kDeviceVxFw: return "VX-FW";
    default: return "Unknown";
    }
}

std::string BatchVersionText(uint16_t version) {
    if (version == kVersionNone) return "Not Present";
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d", version / 100, version % 100);
    return text;
}

const char* BatchResultName(BatchResult result) {
    switch (result) {
    case BatchResult::Updated: return "updated";
    case BatchResult::Failed: return "failed";
    case BatchResult::Skipped: return "skipped";
    case BatchResult::NotReached: return "not reached";
    case BatchResult::Pending: break;
    }
    return "";
}

void PlanBatchEntry(BatchEntry& entry, bool force, bool cardStoreReachable) {
    entry.plan = BatchPlan::Skip;
    entry.result = BatchResult::Skipped;
    if (entry.image == kVersionNone) {
        entry.reason =
            std::string("no firmware image for the ") + BatchDeviceName(entry.device) + (entry.card ? " card" : "");
    } else if (!cardStoreReachable) {
        entry.reason = "the " + std::string(BatchDeviceName(entry.device)) +
                       " card's store is written only over the Dante link, not over " + entry.link;
    } else if (!force && entry.before != kVersionNone && entry.before >= entry.image) {
        entry.reason = (entry.before == entry.image ? "already current (runs " : "newer than the image (runs ") +
                       BatchVersionText(entry.before) + ", image " + BatchVersionText(entry.image) + ")";
    } else {
        entry.plan = BatchPlan::Update;
        entry.result = BatchResult::Pending;
        entry.reason.clear();
    }
}

void CompleteBatchSummary(BatchSummary& summary) {
    summary.exitStatus = summary.entries.empty() ? 1 : 0;
    summary.powerCycle.clear();
    for (const BatchEntry& entry : summary.entries) {
        if (entry.plan == BatchPlan::Update && entry.result != BatchResult::Updated) summary.exitStatus = 1;
        if (entry.result == BatchResult::Updated && std::find(summary.powerCycle.begin(), summary.powerCycle.end(),
                                                              entry.unitSerial) == summary.powerCycle.end())
            summary.powerCycle.push_back(entry.unitSerial);
    }
}

int RunBatchUpdate(const BatchOptions& options, BatchView& view) {
    LogMessage("Update all units%s\n", options.force ? " (forced)" : "");
    // For the whole run, until the summary is out, a stop request ends it
    // before the next unit (and waits while one is being written): one
    // during the scan or the confirmation stops it before the first unit.
    // A reader of the output that goes away before the first unit stops it
    // there too, instead of ending the program on a write.
    platform::StopRequestHold betweenUnits(kBetweenUnits);
    BatchSummary summary;
    const auto finish = [&summary, &view]() {
        CompleteBatchSummary(summary);
        LogMessage("Update all: done, exit status %d\n", summary.exitStatus);
        view.Summary(summary);
        return summary.exitStatus;
    };
    std::unique_ptr<CNimbraRemote> remote = LocateQuil();
    if (!remote) return finish();
    std::vector<int> indices;
    const std::vector<UnitListEntry> listed = CardsFirst(ListUnits(*remote), indices);
    for (size_t i = 0; i < listed.size(); ++i) {
        BatchEntry entry = ReadBatchEntry(*remote, listed[i], indices[i], options.images);
        uint16_t linkType = 0;
        remote->GetLinkType(&linkType);
        const bool reachable = !(entry.card && entry.device == kDeviceVxDante && linkType != kLinkTypeDante);
        PlanBatchEntry(entry, options.force, reachable);
        if (entry.plan == BatchPlan::Skip)
            LogMessage("Update all: entry %d skipped: %s\n", entry.entry, entry.reason.c_str());
        view.UnitFound(entry);
        summary.entries.push_back(entry);
    }

    std::vector<BatchEntry*> updates;
    for (BatchEntry& entry : summary.entries) {
        if (entry.plan == BatchPlan::Update) updates.push_back(&entry);
    }
    // Every entry from `from` on that was still to be written is not.
    const auto leave = [&updates](const BatchEntry* from, const std::string& reason) {
        bool reached = false;
        for (BatchEntry* entry : updates) {
            reached = reached || entry == from;
            if (reached && entry->result == BatchResult::Pending) {
                entry->result = BatchResult::NotReached;
                entry->reason = reason;
            }
        }
    };
    // Whether the run must end before `entry`: a stop request, or (before
    // anything was written) a reader of the output that went away.
    bool written = false;
    const auto mustStop = [&](const BatchEntry* entry) {
        const platform::StopRequest stop = platform::CurrentInterruptions().Pending();
        if (stop != platform::StopRequest::None) {
            summary.stoppedBy = platform::StopRequestName(stop);
            LogMessage("Update all: stopping on %s before entry %d\n", summary.stoppedBy.c_str(), entry->entry);
            leave(entry, "stopped by " + summary.stoppedBy + " before this unit");
            return true;
        }
        if (!written && view.OutputGone()) {
            // The script that asked for the run is gone: nothing is started.
            LogMessage("Update all: the output went away before any unit was written\n");
            platform::CurrentInterruptions().OutputLost();
            leave(entry, "the output went away before any unit was written");
            return true;
        }
        return false;
    };
    if (updates.empty() || mustStop(updates.front())) return finish();

    // Every image is read before anything is written.
    std::map<std::string, FirmwareBuffer> images;
    std::map<BatchEntry*, const FirmwareBuffer*> imageOf;
    for (BatchEntry* entry : updates) {
        imageOf[entry] = LoadEntryImage(*entry, images);
        if (imageOf[entry] == nullptr) {
            entry->result = BatchResult::Failed;
            entry->reason = "the image " + entry->imageName + " could not be read";
        } else {
            entry->imageBytes = imageOf[entry]->Size();
        }
    }
    const auto pending = std::find_if(updates.begin(), updates.end(),
                                      [](const BatchEntry* e) { return e->result == BatchResult::Pending; });
    if (pending == updates.end() || mustStop(*pending)) return finish();
    if (!Confirmed(updates)) {
        if (!mustStop(updates.front())) {
            LogMessage("Update all: the confirmation was declined\n");
            leave(updates.front(), "the confirmation was declined");
        }
        return finish();
    }

    for (BatchEntry* entry : updates) {
        if (entry->result != BatchResult::Pending) continue;
        if (mustStop(entry)) break;
        if (!LinkUsable(*remote)) {
            LogMessage("Update all: the link stopped working before entry %d\n", entry->entry);
            leave(entry, "the link stopped working");
            break;
        }
        written = true;
        UpdateEntry(*remote, *entry, *imageOf[entry], options.bank, view);
        view.Finished(*entry);
    }
    return finish();
}
