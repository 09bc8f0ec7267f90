#include "app/manufacture_date.h"

#include <array>

std::optional<CalendarDate> ManufactureDate(unsigned year, unsigned week) {
    static constexpr std::array<int, 12> kMonthLengths = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (week == 0) return std::nullopt;
    int day = static_cast<int>((week - 1) * 7 + 1);
    if (day > 365) return std::nullopt;
    int month = 0;
    while (day > kMonthLengths[static_cast<size_t>(month)]) {
        day -= kMonthLengths[static_cast<size_t>(month)];
        ++month;
    }
    return CalendarDate{2000 + static_cast<int>(year), month + 1, day};
}
