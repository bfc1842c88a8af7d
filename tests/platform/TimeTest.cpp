// FILETIME conversions: MS-DOS date/time words and local time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ScopedZone.h"
#include "WinApi.h"

namespace {

constexpr uint64_t kTicks1980 = 119'600'064'000'000'000;  // 1980-01-01 00:00:00

uint64_t Ticks(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME Ft(uint64_t t) { return FILETIME{DWORD(t), DWORD(t >> 32)}; }
WORD DosDate(int y, int m, int d) { return WORD(((y - 1980) << 9) | (m << 5) | d); }
WORD DosTime(int h, int mi, int s) { return WORD((h << 11) | (mi << 5) | (s / 2)); }

// Reading DOS times is compared with the oracles by the FAT listing suite.
TEST(DosTime, OddSecondsRoundDownAndImpossibleFieldsAndYearsAreRejected) {
  FILETIME ft;
  const WORD jan1 = DosDate(2023, 1, 1);
  for (auto [d, t] : {std::pair<WORD, WORD>{DosDate(2023, 2, 29), 0}, {DosDate(2023, 13, 1), 0}, {DosDate(2023, 0, 1), 0},
                      {DosDate(2023, 1, 0), 0}, {jan1, DosTime(24, 0, 0)}, {jan1, WORD(60 << 5)}, {jan1, WORD(30)}})
    EXPECT_FALSE(DosDateTimeToFileTime(d, t, &ft)) << d << " " << t;
  EXPECT_TRUE(DosDateTimeToFileTime(WORD((127 << 9) | (12 << 5) | 31), DosTime(23, 59, 58), &ft));  // 2107-12-31

  WORD d, t;
  const FILETIME odd = Ft(kTicks1980 + 3 * 10'000'000ull + 5);
  ASSERT_TRUE(FileTimeToDosDateTime(&odd, &d, &t));
  EXPECT_EQ(t, DosTime(0, 0, 2));
  const FILETIME before = Ft(kTicks1980 - 1);
  EXPECT_FALSE(FileTimeToDosDateTime(&before, &d, &t));
  const FILETIME after = Ft(Ticks(ft) + 3 * 10'000'000ull);  // 2108
  EXPECT_FALSE(FileTimeToDosDateTime(&after, &d, &t));
}

TEST(LocalTime, FollowsTheZoneIncludingDaylightSaving) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  FILETIME local, back;
  // 2024-01-15 12:00 UTC is 13:00 in winter, 2024-07-15 12:00 UTC is 14:00 in summer.
  for (auto [utcSeconds, offset] : {std::pair<int64_t, int64_t>{1705320000, 3600}, {1721044800, 7200}}) {
    const FILETIME utc = Ft(uint64_t(utcSeconds) * 10'000'000 + 116'444'736'000'000'000ull);
    EXPECT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(local) - Ticks(utc), uint64_t(offset) * 10'000'000);
    EXPECT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(utc));
  }
  // Offsets are remembered per hour: an hour with a change inside it (here
  // at 01:15 UTC, to summer time), asked in either order, and the same
  // instant again once another zone is in force.
  setenv("TZ", "XST-0:30XDT,M3.5.0/1:45,M10.5.0/3", 1);
  tzset();
  const int64_t change = 1711847700;  // 2024-03-31 01:15 UTC
  for (auto [utcSeconds, offset] : {std::pair<int64_t, int64_t>{change + 900, 5400}, {change - 600, 1800},
                                    {change + 2400, 5400}, {change - 3600, 1800}}) {
    const FILETIME utc = Ft(uint64_t(utcSeconds) * 10'000'000 + 116'444'736'000'000'000ull);
    EXPECT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(local) - Ticks(utc), uint64_t(offset) * 10'000'000) << utcSeconds;
  }
  setenv("TZ", "UTC", 1);
  tzset();
  const FILETIME utc = Ft(uint64_t(change - 3600) * 10'000'000 + 116'444'736'000'000'000ull);
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ(Ticks(local), Ticks(utc));
}

// Where the clocks change, a wall-clock time is read as mktime reads it:
// in the hour that happens twice, the first; in the hour that never
// happens, with the offset before the change (02:30 is 03:30 summer time).
TEST(LocalTime, WallClockTimesAroundTheChanges) {
  ScopedZone zone("America/New_York");
  auto toUtc = [](int64_t wallSeconds) {
    const FILETIME local = Ft(uint64_t(wallSeconds) * 10'000'000 + 116'444'736'000'000'000ull);
    FILETIME utc{};
    EXPECT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    return int64_t(Ticks(utc) / 10'000'000 - 11'644'473'600ull);
  };
  constexpr int64_t k20241103 = 1730592000, k20240310 = 1710028800, kHour = 3600;  // midnights, as if UTC
  EXPECT_EQ(toUtc(k20241103 + kHour / 2), k20241103 + kHour / 2 + 4 * kHour);          // 00:30 EDT
  EXPECT_EQ(toUtc(k20241103 + 3 * kHour / 2), k20241103 + 3 * kHour / 2 + 4 * kHour);  // 01:30 EDT, not EST
  EXPECT_EQ(toUtc(k20241103 + 5 * kHour / 2), k20241103 + 5 * kHour / 2 + 5 * kHour);  // 02:30 EST
  EXPECT_EQ(toUtc(k20240310 + 3 * kHour / 2), k20240310 + 3 * kHour / 2 + 5 * kHour);  // 01:30 EST
  EXPECT_EQ(toUtc(k20240310 + 5 * kHour / 2), k20240310 + 5 * kHour / 2 + 5 * kHour);  // 02:30 read as EST
  EXPECT_EQ(toUtc(k20240310 + 7 * kHour / 2), k20240310 + 7 * kHour / 2 + 4 * kHour);  // 03:30 EDT
}

}  // namespace
