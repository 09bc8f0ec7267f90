// The Qt view of the window-system seam: dialogs built from templates,
// QMessageBox for message boxes, the override cursor for the wait cursor and
// the event dispatcher for the "handle one pending message" step.
#pragma once

#include <vector>

#include "platform/ui.h"

class QWidget;

namespace ui {

class QtDialogWindow;

class QtUserInterface final : public platform::UserInterface {
public:
    // Registers the dialog fonts; needs the QApplication.
    QtUserInterface();
    ~QtUserInterface() override;
    QtUserInterface(const QtUserInterface&) = delete;
    QtUserInterface& operator=(const QtUserInterface&) = delete;

    // A window of the program's own outside any dialog of this view: owned
    // boxes are centred on it and block it while no dialog runs. While a
    // dialog runs, every box belongs to the topmost one.
    void SetOwnerWindow(QWidget* owner) { m_owner = owner; }
    // The topmost running dialog, null when none runs.
    QtDialogWindow* TopDialog() const { return m_dialogs.empty() ? nullptr : m_dialogs.back(); }

    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override;
    // Handles what is pending (as QCoreApplication::processEvents() does) and
    // returns at once; false when nothing was pending.
    bool HandleOnePendingMessage() override;
    // One window per call, owned by the dialog running below it, if any.
    int RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) override;
    void SetWaitCursor(bool on) override;

private:
    QWidget* BoxOwner(bool owned) const;

    QWidget* m_owner = nullptr;
    std::vector<QtDialogWindow*> m_dialogs;  // running dialogs, topmost last
    bool m_waitCursor = false;
};

}  // namespace ui
