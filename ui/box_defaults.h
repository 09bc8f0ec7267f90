// What every view shares about message boxes: the default caption, the
// buttons in their on-screen order and the answer a box gives when nobody
// picks a button.
#pragma once

#include <span>
#include <string>

#include "platform/ui.h"

namespace ui {

// The caption of a box that names none.
inline constexpr const char* kDefaultBoxCaption = "Quil Firmware Update";

inline std::string CaptionOrDefault(const std::string& caption) {
    return caption.empty() ? std::string(kDefaultBoxCaption) : caption;
}

// The answers of a box's buttons, left to right.
std::span<const platform::BoxAnswer> ButtonAnswers(platform::BoxButtons buttons);

// The answer of the box's default button (the first one when the box names
// no valid other).
platform::BoxAnswer DefaultAnswer(const platform::MessageBoxRequest& box);

// The answer of a box closed without a button (Escape, closed input):
// Cancel where the box has one, otherwise its default button.
platform::BoxAnswer DismissAnswer(const platform::MessageBoxRequest& box);

}  // namespace ui
