// The last-write time a saved copy gets: a FAT volume's local wall-clock
// time is read in the zone the program runs in, at the offset of its own
// date; an instant stays that instant to 100 ns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SaveSteps.h"
#include "ScopedZone.h"
#include "ScratchDir.h"

namespace {

constexpr uint16_t DosDate(int y, int m, int d) { return uint16_t(((y - 1980) << 9) | (m << 5) | d); }
constexpr uint16_t DosTime(int h, int mi, int s) { return uint16_t((h << 11) | (mi << 5) | (s / 2)); }

// The copy's mtime in ns since 1970, -1 when it was not saved.
template <class... Time>
int64_t SavedMtime(const std::string& target, Time... time) {
  const auto copy = [](HANDLE h) { return h != INVALID_HANDLE_VALUE; };
  if (!savesteps::SaveThroughTemporary(target, time..., FILE_ATTRIBUTE_ARCHIVE, copy)) return -1;
  struct stat st {};
  if (stat(target.c_str(), &st) != 0) return -1;
  return int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

constexpr int64_t kSecond = 1'000'000'000;

TEST(SaveTime, LocalTimesTakeTheOffsetOfTheirDateAndInstantsStayExact) {
  ScopedZone zone("America/New_York");
  ScratchDir dir;
  // Winter (UTC-5) and summer (UTC-4), whatever today's offset is; midnight is a time too.
  EXPECT_EQ(SavedMtime(dir / "jan", DosDate(2024, 1, 15), DosTime(10, 30, 0)), 1705332600 * kSecond);
  EXPECT_EQ(SavedMtime(dir / "jul", DosDate(2024, 7, 15), DosTime(10, 30, 0)), 1721053800 * kSecond);
  EXPECT_EQ(SavedMtime(dir / "midnight", DosDate(2024, 1, 15), uint16_t(0)), 1705294800 * kSecond);
  // No day named: the copy keeps the time it was written at.
  const int64_t before = int64_t(time(nullptr)) * kSecond;
  EXPECT_GE(SavedMtime(dir / "none", uint16_t(0), uint16_t(0)), before);

  const uint64_t ticks = (1705332600ull + 11'644'473'600ull) * 10'000'000 + 1'234'567;
  EXPECT_EQ(SavedMtime(dir / "instant", FILETIME{DWORD(ticks), DWORD(ticks >> 32)}), 1705332600 * kSecond + 123'456'700);
}

}  // namespace
