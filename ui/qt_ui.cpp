#include "ui/qt_ui.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QMessageBox>
#include <QString>
#include <QThread>

#include "ui/box_defaults.h"
#include "ui/qt_artwork.h"
#include "ui/qt_dialog.h"

namespace ui {

using platform::BoxAnswer;
using platform::BoxButtons;
using platform::BoxIcon;

namespace {

QMessageBox::Icon ToQtIcon(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::None: return QMessageBox::NoIcon;
    case BoxIcon::Information: return QMessageBox::Information;
    case BoxIcon::Warning: return QMessageBox::Warning;
    case BoxIcon::Error: return QMessageBox::Critical;
    case BoxIcon::Question: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton ToQtButton(BoxAnswer answer) {
    switch (answer) {
    case BoxAnswer::Ok: return QMessageBox::Ok;
    case BoxAnswer::Cancel: return QMessageBox::Cancel;
    case BoxAnswer::Yes: return QMessageBox::Yes;
    case BoxAnswer::No: return QMessageBox::No;
    case BoxAnswer::Retry: return QMessageBox::Retry;
    }
    return QMessageBox::Ok;
}

}  // namespace

QtUserInterface::QtUserInterface() { RegisterDialogFonts(); }

QtUserInterface::~QtUserInterface() { SetWaitCursor(false); }

QWidget* QtUserInterface::BoxOwner(bool owned) const {
    if (!m_dialogs.empty()) return m_dialogs.back();
    return owned ? m_owner : nullptr;
}

BoxAnswer QtUserInterface::ShowMessageBox(const platform::MessageBoxRequest& box) {
    QMessageBox::StandardButtons buttons;
    for (BoxAnswer answer : ButtonAnswers(box.buttons)) buttons |= ToQtButton(answer);
    QMessageBox dialog(ToQtIcon(box.icon), QString::fromStdString(CaptionOrDefault(box.caption)),
                       QString::fromStdString(box.text), buttons, BoxOwner(box.owned));
    dialog.setDefaultButton(ToQtButton(DefaultAnswer(box)));
    const int result = dialog.exec();
    for (BoxAnswer answer : ButtonAnswers(box.buttons)) {
        if (result == ToQtButton(answer)) return answer;
    }
    return DismissAnswer(box);
}

bool QtUserInterface::HandleOnePendingMessage() {
    // What QCoreApplication::processEvents() does, keeping the dispatcher's
    // word on whether anything was handled.
    QAbstractEventDispatcher* dispatcher = QThread::currentThread()->eventDispatcher();
    if (dispatcher == nullptr) return false;
    return dispatcher->processEvents(QEventLoop::AllEvents);
}

int QtUserInterface::RunModalDialog(const platform::DialogTemplate& dialog, platform::DialogHandler& handler) {
    QWidget* owner = m_dialogs.empty() ? m_owner : m_dialogs.back();
    QtDialogWindow window(dialog, handler, owner);
    m_dialogs.push_back(&window);
    const int result = window.Run();
    m_dialogs.pop_back();
    return result;
}

void QtUserInterface::SetWaitCursor(bool on) {
    if (on == m_waitCursor) return;
    m_waitCursor = on;
    if (on) {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    } else {
        QApplication::restoreOverrideCursor();
    }
}

}  // namespace ui
