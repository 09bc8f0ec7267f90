// A view for terminals without a display: boxes are printed as
// "[Caption] text" and answered from the input when it is a terminal;
// otherwise every box takes its default button (the first unless the box
// names another).
#pragma once

#include <iosfwd>

#include "platform/ui.h"

namespace ui {

class ConsoleUi final : public platform::UserInterface {
public:
    // `interactive`: the input is a terminal a person types into.
    ConsoleUi(std::istream& in, std::ostream& out, bool interactive);

    platform::BoxAnswer ShowMessageBox(const platform::MessageBoxRequest& box) override;
    // A console has no window messages.
    bool HandleOnePendingMessage() override { return false; }

private:
    std::istream& m_in;
    std::ostream& m_out;
    bool m_interactive;
};

}  // namespace ui
