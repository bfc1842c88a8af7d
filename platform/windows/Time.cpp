// FILETIME conversions through the system's own, with the time zone Windows
// is set to. What they accept is checked first: Windows refuses a day a month
// does not have and a year past 2107, wine lets both through.
#include "DosTime.h"
#include "NativeSys.h"
#include "WinApi.h"

namespace {

uint64_t Ticks(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

void SetTicks(uint64_t t, FILETIME& ft) {
  ft.dwLowDateTime = DWORD(t);
  ft.dwHighDateTime = DWORD(t >> 32);
}

BOOL Convert(const FILETIME* in, FILETIME* out, bool (*convert)(uint64_t, uint64_t&)) {
  if (!in || !out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t t;
  if (!convert(Ticks(*in), t)) return FALSE;
  SetTicks(t, *out);
  return TRUE;
}

}  // namespace

BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, FILETIME* ft) {
  if (!ft || !dostime::IsValid(fatDate, fatTime)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t t;
  if (!native::DosDateTimeToFileTime(fatDate, fatTime, t)) return FALSE;
  SetTicks(t, *ft);
  return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime) {
  if (!ft || Ticks(*ft) < dostime::kFirstTicks || Ticks(*ft) >= dostime::kEndTicks) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint16_t date, time;
  if (!native::FileTimeToDosDateTime(Ticks(*ft), date, time)) return FALSE;
  if (fatDate) *fatDate = date;
  if (fatTime) *fatTime = time;
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) { return Convert(utc, local, native::UtcToLocal); }

namespace {

// A wall-clock time in the hour skipped when the clocks go forward exists in
// no zone rule: Windows reads it with the offset after the change, Linux (as
// mktime does) with the one before. The latter is taken on both, so that a
// file's times read the same on either.
bool LocalToUtc(uint64_t local, uint64_t& utc) {
  constexpr uint64_t kDay = 864'000'000'000;
  uint64_t back, dayBefore;
  if (!native::LocalToUtc(local, utc)) return false;
  if (!native::UtcToLocal(utc, back) || back == local || utc < kDay || !native::UtcToLocal(utc - kDay, dayBefore))
    return true;
  utc = local - (dayBefore - (utc - kDay));
  return true;
}

}  // namespace

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) { return Convert(local, utc, LocalToUtc); }
