// Which MS-DOS date/time words and FILETIMEs the conversions accept, the same
// on both systems (inside the platform layer).
#pragma once

#include <cstdint>

namespace dostime {

// 1980-01-01 and 2108-01-01, in FILETIME ticks: the years a date word holds.
constexpr uint64_t kFirstTicks = 119'600'064'000'000'000;
constexpr uint64_t kEndTicks = 159'992'928'000'000'000;

constexpr unsigned DaysInMonth(int64_t y, unsigned m) {
  constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return (m == 2 && leap) ? 29 : days[m - 1];
}

// A day that exists and a time within it (two-second steps up to 58).
constexpr bool IsValid(uint16_t date, uint16_t time) {
  const unsigned day = date & 0x1F, month = (date >> 5) & 0x0F;
  const unsigned sec = (time & 0x1F) * 2, minute = (time >> 5) & 0x3F, hour = time >> 11;
  return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(1980 + (date >> 9), month) && hour <= 23 &&
         minute <= 59 && sec <= 59;
}

}  // namespace dostime
