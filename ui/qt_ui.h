// The Qt view of the window-system seam: QMessageBox for message boxes and
// the event dispatcher for the "handle one pending message" step.
#pragma once

#include "platform/ui.h"

class QWidget;

namespace ui {

class QtUserInterface final : public platform::UserInterface {
public:
    // The main window, once it exists: owned boxes are centred on it and
    // block it. Null: every box stands alone.
    void SetOwnerWindow(QWidget* owner) { m_owner = owner; }

    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override;
    // Handles what is pending (as QCoreApplication::processEvents() does) and
    // returns at once; false when nothing was pending.
    bool HandleOnePendingMessage() override;

private:
    QWidget* m_owner = nullptr;
};

}  // namespace ui
