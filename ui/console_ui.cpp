#include "ui/console_ui.h"

#include <cctype>
#include <istream>
#include <ostream>
#include <string>

#include "ui/box_defaults.h"

namespace ui {

using platform::BoxAnswer;

namespace {

// The on-screen label of a button, its key in brackets.
const char* LabelOf(BoxAnswer answer) {
    switch (answer) {
    case BoxAnswer::Ok: return "[O]K";
    case BoxAnswer::Cancel: return "[C]ancel";
    case BoxAnswer::Yes: return "[Y]es";
    case BoxAnswer::No: return "[N]o";
    case BoxAnswer::Retry: return "[R]etry";
    }
    return "[O]K";
}

char KeyOf(BoxAnswer answer) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(LabelOf(answer)[1])));
}

}  // namespace

ConsoleUi::ConsoleUi(std::istream& in, std::ostream& out, bool interactive)
    : m_in(in), m_out(out), m_interactive(interactive) {}

BoxAnswer ConsoleUi::ShowMessageBox(const platform::MessageBoxRequest& box) {
    m_out << '[' << CaptionOrDefault(box.caption) << "] " << box.text << '\n';
    if (!m_interactive) {
        m_out.flush();
        return DefaultAnswer(box);
    }

    const auto answers = ButtonAnswers(box.buttons);
    for (;;) {
        for (BoxAnswer answer : answers) m_out << LabelOf(answer) << ' ';
        m_out << "(Enter: " << LabelOf(DefaultAnswer(box)) << ")? " << std::flush;
        std::string line;
        if (!std::getline(m_in, line)) return DismissAnswer(box);  // input closed
        size_t first = 0;
        while (first < line.size() && std::isspace(static_cast<unsigned char>(line[first]))) ++first;
        if (first == line.size()) return DefaultAnswer(box);
        const char key = static_cast<char>(std::tolower(static_cast<unsigned char>(line[first])));
        for (BoxAnswer answer : answers) {
            if (KeyOf(answer) == key) return answer;
        }
    }
}

}  // namespace ui
