// The manufacture date a serial number states: its year and week, counted
// from 1 January with February always 28 days long.
#pragma once

#include <optional>

#include "app/firmware_image.h"

// Year 0..63 (2000..2063), week 1..53: day (week - 1) * 7 + 1 of that year.
// No date when that day lies past the 365th.
std::optional<CalendarDate> ManufactureDate(unsigned year, unsigned week);
