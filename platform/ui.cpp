#include "platform/ui.h"

namespace platform {

BoxAnswer NullUserInterface::ShowMessageBox(const MessageBoxRequest& box) {
    switch (box.buttons) {
    case BoxButtons::Ok:
    case BoxButtons::OkCancel: return BoxAnswer::Ok;
    case BoxButtons::YesNo:
    case BoxButtons::YesNoCancel: return BoxAnswer::Yes;
    case BoxButtons::RetryCancel: return BoxAnswer::Retry;
    }
    return BoxAnswer::Ok;
}

namespace {
NullUserInterface g_nullUi;
UserInterface* g_ui = &g_nullUi;
}  // namespace

UserInterface& CurrentUi() { return *g_ui; }

BoxAnswer ShowOkBox(const std::string& text, const std::string& caption, BoxIcon icon, bool owned) {
    MessageBoxRequest box;
    box.text = text;
    box.caption = caption;
    box.icon = icon;
    box.buttons = BoxButtons::Ok;
    box.owned = owned;
    return g_ui->ShowMessageBox(box);
}

ScopedUi::ScopedUi(UserInterface& ui) : m_previous(g_ui) { g_ui = &ui; }
ScopedUi::~ScopedUi() { g_ui = m_previous; }

}  // namespace platform
