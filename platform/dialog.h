// The window seam for dialogs: a dialog template as data (controls with ids,
// kinds, positions in dialog units, texts and styles), the window a view
// builds from it, and the handler the core supplies for the window's
// messages. Views (Qt, headless, console) in ui/ implement DialogWindow and
// run the modal loop; the core never sees a widget.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Button ids every dialog shares.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

enum class ControlKind : uint8_t {
    Label,  // static text without a role of its own
    Text,   // static text the code writes
    Button,
    DropDownList,  // unsorted, item data per entry
    ProgressBar,
    Edit,  // one-line text entry
    Icon,  // the program's icon
};

enum class TextAlign : uint8_t { Left, Centre, Right };

struct ControlTemplate {
    int id = -1;  // -1: no id (labels)
    ControlKind kind = ControlKind::Label;
    int x = 0, y = 0, width = 0, height = 0;  // dialog units
    std::string text;
    TextAlign align = TextAlign::Left;
    bool hidden = false;
    bool defaultButton = false;
    bool digitsOnly = false;  // edit controls
    bool bordered = false;
};

struct DialogTemplate {
    int id = 0;
    std::string caption;
    std::string fontName;
    int fontPoints = 8;
    int width = 0, height = 0;  // dialog units
    bool acceptFiles = false;
    bool systemMenu = true;
    std::vector<ControlTemplate> controls;

    const ControlTemplate* Find(int controlId) const {
        for (const ControlTemplate& c : controls) {
            if (c.id == controlId) return &c;
        }
        return nullptr;
    }
};

enum class FontRole : uint8_t {
    Dialog,  // the template's font
    Bold,    // the value font: Tahoma, height 13, weight 700
};

// How a static text is drawn (the control-colour answer).
struct ControlColours {
    bool custom = false;       // false: the framework's colours
    uint32_t textRgb = 0;      // 0xRRGGBB
    bool transparent = false;  // drawn over the background, hollow brush
};

// What a view tells the console about a long step, beyond the progress bar.
struct ProgressDetail {
    enum class Kind : uint8_t { None, Transfer, Phase } kind = Kind::None;
    uint32_t done = 0;   // packets sent
    uint32_t total = 0;  // packets in all
    std::string phase;   // "Erasing", "Programming", "Verifying"
    int percent = 0;
};

// One open dialog window. Control ids come from its template; a call naming
// an id the window does not have does nothing (reads give empty values).
class DialogWindow {
public:
    virtual ~DialogWindow() = default;

    virtual void SetText(int id, const std::string& text) = 0;
    virtual std::string Text(int id) const = 0;
    virtual void Show(int id, bool shown) = 0;
    virtual bool IsShown(int id) const = 0;
    virtual void Enable(int id, bool enabled) = 0;
    virtual bool IsEnabled(int id) const = 0;
    virtual void SetFont(int id, FontRole font) = 0;
    // Asks the handler for the control's colours again and repaints it.
    virtual void RefreshColours(int id) = 0;
    virtual void SetCaption(const std::string& caption) = 0;

    // Drop-down list.
    virtual void ListClear(int id) = 0;
    virtual int ListAdd(int id, const std::string& text, uint32_t itemData) = 0;  // index
    virtual int ListCount(int id) const = 0;
    virtual std::string ListText(int id, int index) const = 0;
    virtual uint32_t ListItemData(int id, int index) const = 0;
    // Replaces the text of an entry, keeping its item data and the selection.
    virtual void ListSetText(int id, int index, const std::string& text) = 0;
    virtual void ListSelect(int id, int index) = 0;
    virtual int ListSelection(int id) const = 0;  // -1: none

    // Progress bar.
    virtual void ProgressSetRange(int id, int low, int high) = 0;
    virtual void ProgressSetPos(int id, int pos) = 0;
    virtual int ProgressPos(int id) const = 0;
    virtual void ProgressRange(int id, int& low, int& high) const = 0;
    // Extra words for views that print progress (the console); others ignore it.
    virtual void ReportProgress(const ProgressDetail& detail) { (void)detail; }

    // Edit control: the most characters it takes.
    virtual void LimitText(int id, int characters) = 0;

    // A repeating window timer: the handler's OnTimer(timerId) every
    // `intervalMs` while the loop handles messages.
    virtual void SetTimer(unsigned timerId, uint32_t intervalMs) = 0;
    virtual void KillTimer(unsigned timerId) = 0;

    // A command in the window's system (or context) menu; choosing it calls
    // the handler's OnSystemCommand(commandId).
    virtual void AddSystemMenuCommand(unsigned commandId, const std::string& text) = 0;
    // A disabled menu is not offered at all (its commands would open modal
    // loops while the window is busy).
    virtual void EnableSystemMenu(bool enabled) = 0;

    // Ends the modal loop; RunModalDialog returns `result`.
    virtual void EndDialog(int result) = 0;
};

// What the core does with the window's messages.
class DialogHandler {
public:
    virtual ~DialogHandler() = default;
    // The window exists with every control of its template. Ending the dialog
    // here closes it before the user sees it.
    virtual void OnInitDialog(DialogWindow& window) = 0;
    // A button was pressed, or Enter (the default button's id), Escape or
    // the window's close button (kIdCancel). The handler decides whether the
    // dialog ends.
    virtual void OnCommand(int id) = 0;
    virtual void OnSelectionChange(int id) { (void)id; }
    // The text of an edit control reached its limit and the user typed on.
    virtual void OnEditFull(int id) { (void)id; }
    virtual void OnDropFiles(const std::vector<std::string>& paths) { (void)paths; }
    virtual void OnTimer(unsigned timerId) { (void)timerId; }
    virtual void OnSystemCommand(unsigned commandId) { (void)commandId; }
    virtual ControlColours OnControlColour(int id) {
        (void)id;
        return {};
    }
};

}  // namespace platform
