#include "ui/box_defaults.h"

#include <algorithm>
#include <iterator>

namespace ui {

using platform::BoxAnswer;
using platform::BoxButtons;

std::span<const BoxAnswer> ButtonAnswers(BoxButtons buttons) {
    static constexpr BoxAnswer kOk[] = {BoxAnswer::Ok};
    static constexpr BoxAnswer kOkCancel[] = {BoxAnswer::Ok, BoxAnswer::Cancel};
    static constexpr BoxAnswer kYesNo[] = {BoxAnswer::Yes, BoxAnswer::No};
    static constexpr BoxAnswer kYesNoCancel[] = {BoxAnswer::Yes, BoxAnswer::No, BoxAnswer::Cancel};
    static constexpr BoxAnswer kRetryCancel[] = {BoxAnswer::Retry, BoxAnswer::Cancel};
    switch (buttons) {
    case BoxButtons::Ok: return kOk;
    case BoxButtons::OkCancel: return kOkCancel;
    case BoxButtons::YesNo: return kYesNo;
    case BoxButtons::YesNoCancel: return kYesNoCancel;
    case BoxButtons::RetryCancel: return kRetryCancel;
    }
    return kOk;
}

BoxAnswer DefaultAnswer(const platform::MessageBoxRequest& box) {
    const std::span<const BoxAnswer> answers = ButtonAnswers(box.buttons);
    return box.defaultButton < answers.size() ? answers[box.defaultButton] : answers[0];
}

BoxAnswer DismissAnswer(const platform::MessageBoxRequest& box) {
    const std::span<const BoxAnswer> answers = ButtonAnswers(box.buttons);
    if (std::find(answers.begin(), answers.end(), BoxAnswer::Cancel) != answers.end()) return BoxAnswer::Cancel;
    return DefaultAnswer(box);
}

}  // namespace ui
