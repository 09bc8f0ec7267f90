// The Win32 view: each window a modal dialog built at run time from the
// program's dialog templates (DLGTEMPLATE in memory, DialogBoxIndirectParamW),
// message boxes, the wait cursor and the window timer.
#pragma once

#include <memory>

#include "platform/ui.h"

namespace ui {

std::unique_ptr<platform::UserInterface> MakeWin32View();

}  // namespace ui
