// Updating every unit in one run (--all): every entry of the unit list, each
// physical unit's card before the unit itself, gets its image when the image
// is newer than what it runs (or always, when forced), through the same
// programming sequences as the Update command. One confirmation lists every
// write; a failure on one unit does not stop the others unless the link
// itself stopped working; a stop request between two units ends the run
// before the next one. A view (screen text or JSON lines) is told what
// happens and prints the summary.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/programming_display.h"
#include "app/unit_list.h"
#include "platform/ui.h"

class CNimbraRemote;

enum class BatchPlan : uint8_t { Update, Skip };
enum class BatchResult : uint8_t { Pending, Updated, Failed, Skipped, NotReached };

// One entry of the unit list as the run sees it.
struct BatchEntry {
    int entry = 0;            // index in the unit list
    std::string description;  // the list's text
    uint8_t device = 0;       // DeviceID: 0x31 for the Quil, else the card type
    bool card = false;
    uint16_t connection = 0;
    std::string link;                  // "MIDI", "driver", "Dante"
    uint32_t serial = 0xFFFFFFFF;      // the unit's or the card's
    uint32_t unitSerial = 0xFFFFFFFF;  // the physical unit's (the one to switch off)
    uint16_t before = 0xFFFF;          // version number it runs (major * 100 + minor); 0xFFFF: not present
    uint16_t image = 0xFFFF;           // version of the image for it; 0xFFFF: none
    std::string imageName;             // embedded name or the FILE= path
    bool imageIsFile = false;
    uint32_t imageBytes = 0;  // the image's size once it is read
    BatchPlan plan = BatchPlan::Skip;
    BatchResult result = BatchResult::Pending;
    std::string reason;     // why it is skipped, failed or not reached
    bool selected = false;  // a one-unit run's selected entry
};

struct BatchSummary {
    std::vector<BatchEntry> entries;  // in the order of the run
    // The physical units whose firmware changed: each needs a power cycle.
    std::vector<uint32_t> powerCycle;
    // The stop request that ended the run early ("" when none did).
    std::string stoppedBy;
    int exitStatus = 0;
};

// What the run tells its view.
class BatchView {
public:
    virtual ~BatchView() = default;
    virtual void UnitFound(const BatchEntry& entry) = 0;
    virtual void SequenceStarted(const BatchEntry& entry) = 0;
    // Where the running sequence shows its progress.
    virtual ProgrammingDisplay& Display(const BatchEntry& entry) = 0;
    virtual void Finished(const BatchEntry& entry) = 0;
    virtual void Summary(const BatchSummary& summary) = 0;
    // The output can no longer be written (its reader went away).
    virtual bool OutputGone() const { return false; }
};

// The FILE= images of a run, one per device kind that can be updated.
struct BatchImages {
    std::optional<std::string> quil, vxDante, vxUsb;
    // The image of a device kind; null for a kind that cannot be updated.
    const std::optional<std::string>* For(uint8_t device) const;
    std::optional<std::string>* Slot(uint8_t device);
};

// Sorts the FILE= paths by the device their names are for. False, with the
// reason in `error`, for a name of no known device, of a device this program
// cannot update, or a second image for a device.
bool SortBatchImages(const std::vector<std::string>& paths, BatchImages& images, std::string& error);

struct BatchOptions {
    BatchImages images;
    bool force = false;  // update every entry that can be updated, current or not
    uint8_t bank = 1;    // the Quils' flash bank (0 = PROM 1)
};

// Notes the texts of the boxes shown through it, so that a result can say
// why a sequence failed; every box still reaches `view`.
class FirstBoxRecorder final : public platform::UserInterface {
public:
    explicit FirstBoxRecorder(platform::UserInterface& view) : m_view(view) {}
    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override;
    bool HandleOnePendingMessage() override { return m_view.HandleOnePendingMessage(); }
    int RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) override {
        return m_view.RunModalDialog(dialog, handler);
    }
    void SetWaitCursor(bool on) override { m_view.SetWaitCursor(on); }
    // Forgets the boxes so far: the next one is the first.
    void Restart() { m_first.clear(); }
    // The first box's text on one line ("" when none was shown).
    std::string FirstText() const;

private:
    platform::UserInterface& m_view;
    std::string m_first;
};

// What a listed entry is, what it runs and which image it would get: the
// FILE= image of its kind, else the built-in one. Selects its connection.
BatchEntry ReadBatchEntry(CNimbraRemote& remote, const UnitListEntry& listed, int index, const BatchImages& images);

// "MIDI", "driver", "Dante" for a link type.
const char* BatchLinkName(uint16_t linkType);
// The version number of a major and minor register pair; kVersionNone for
// a blank register or no firmware.
uint16_t BatchVersionNumber(uint8_t major, uint8_t minor);

// "Quil", "VX-DANTE", "VX-USB", "VX-MADI", "VX-HD", "VX-FW" or "Unknown".
const char* BatchDeviceName(uint8_t device);
// Version text as the window shows it: "8.3", "Not Present" for none.
std::string BatchVersionText(uint16_t version);
// "updated", "failed", "skipped", "not reached" ("" while pending).
const char* BatchResultName(BatchResult result);

// Decides whether `entry` is updated and why not: the image's version against
// the one it runs, unless forced; no image; a link that cannot reach the
// card's store (`cardStoreReachable` false).
void PlanBatchEntry(BatchEntry& entry, bool force, bool cardStoreReachable);

// The exit status and the units to switch off, from the results.
void CompleteBatchSummary(BatchSummary& summary);

// Runs the whole update on the current view's boxes and `view`; returns the
// exit status: 0 when every entry that needed an update got it, 1 otherwise
// (nothing found, the confirmation declined, a failure, a stop request).
int RunBatchUpdate(const BatchOptions& options, BatchView& view);
