// FILETIME conversions. FILETIME counts 100 ns since 1601-01-01; MS-DOS
// date/time words are local time; local time follows TZ.
#include <algorithm>
#include <cstdint>
#include <ctime>

#include "DosTime.h"
#include "WinApi.h"

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays1601 = 134'774;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

int64_t ToTicks(const FILETIME& ft) {
  return static_cast<int64_t>((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

void FromTicks(int64_t t, FILETIME& ft) {
  ft.dwLowDateTime = static_cast<DWORD>(uint64_t(t));
  ft.dwHighDateTime = static_cast<DWORD>(uint64_t(t) >> 32);
}

int64_t LocalOffsetAt(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (!localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff;
}

// Seconds east of UTC in force at the given Unix time. Listing a volume
// converts three times per item, so offsets are kept per hour: no time zone
// changes its offset twice within an hour, so an hour whose first and last
// seconds share an offset has it throughout. The zone that tzset put in
// force is part of the key.
int64_t UtcOffsetAt(int64_t unixSeconds) {
  struct Hour {
    int64_t start = INT64_MIN;
    int64_t offset = 0;
    const char* names[2] = {};
    long zone = 0;
  };
  thread_local Hour hours[16];
  const int64_t start = (unixSeconds >= 0 ? unixSeconds : unixSeconds - 3599) / 3600 * 3600;
  Hour& h = hours[uint64_t(start / 3600) % 16];
  if (h.start == start && h.names[0] == tzname[0] && h.names[1] == tzname[1] && h.zone == timezone) return h.offset;
  const int64_t offset = LocalOffsetAt(unixSeconds);
  if (LocalOffsetAt(start) == offset && LocalOffsetAt(start + 3599) == offset)
    h = {start, offset, {tzname[0], tzname[1]}, timezone};
  return offset;
}

int64_t UnixSecondsOf(int64_t ticks) {
  return ticks / kTicksPerSecond - kEpochDays1601 * kSecondsPerDay;
}

}  // namespace

BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, FILETIME* ft) {
  const unsigned day = fatDate & 0x1F, month = (fatDate >> 5) & 0x0F;
  const int64_t year = 1980 + (fatDate >> 9);
  const unsigned sec = (fatTime & 0x1F) * 2, minute = (fatTime >> 5) & 0x3F, hour = fatTime >> 11;
  if (!ft || !dostime::IsValid(fatDate, fatTime)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t days = DaysFromCivil(year, month, day) + kEpochDays1601;
  const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + sec;
  FromTicks(seconds * kTicksPerSecond, *ft);
  return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime) {
  if (!ft) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t seconds = static_cast<int64_t>(uint64_t(ToTicks(*ft)) / kTicksPerSecond);
  const int64_t days = seconds / kSecondsPerDay - kEpochDays1601;
  const uint32_t rest = static_cast<uint32_t>(seconds % kSecondsPerDay);  // 32 bits: cheaper to divide
  int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  if (y < 1980 || y > 2107) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (fatDate) *fatDate = static_cast<WORD>(((y - 1980) << 9) | (m << 5) | d);
  if (fatTime)
    *fatTime = static_cast<WORD>(((rest / 3600) << 11) | (((rest / 60) % 60) << 5) | ((rest % 60) / 2));
  return TRUE;
}

// Local time here is the wall clock of the zone in force at that instant,
// as localtime and mktime see it, not at the current offset as Windows'
// conversion does: a January time converted in July would otherwise come
// out an hour off from what `ls -l` and mtools show for the same file. A
// Windows build gets the same from SystemTimeToTzSpecificLocalTime and
// TzSpecificLocalTimeToSystemTime.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (!utc || !local) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t t = ToTicks(*utc);
  FromTicks(t + UtcOffsetAt(UnixSecondsOf(t)) * kTicksPerSecond, *local);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
  if (!local || !utc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t t = ToTicks(*local);
  const int64_t wall = UnixSecondsOf(t);
  // The instant u with u + offset(u) = wall. Around a change there may be
  // two (clocks set back: the earlier one is taken) or none (clocks set
  // forward: the wall time is read with the offset before the change, as
  // mktime does, so 02:30 on the spring night becomes 03:30).
  auto solves = [wall](int64_t offset) { return UtcOffsetAt(wall - offset) == offset; };
  const int64_t a = UtcOffsetAt(wall), b = UtcOffsetAt(wall - a);
  int64_t offset;
  if (solves(b)) {
    // A day before, the other offset, if there is one, is in force.
    const int64_t earlier = UtcOffsetAt(wall - b - kSecondsPerDay);
    offset = earlier > b && solves(earlier) ? earlier : b;
  } else {
    // A gap: the offset rises there, so the smaller one was in force before it.
    offset = solves(a) ? a : std::min(a, b);
  }
  FromTicks(t - offset * kTicksPerSecond, *utc);
  return TRUE;
}
