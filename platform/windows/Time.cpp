// FILETIME conversions through the system's own, with the time zone Windows
// is set to.
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
  if (!ft) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t t;
  if (!native::DosDateTimeToFileTime(fatDate, fatTime, t)) return FALSE;
  SetTicks(t, *ft);
  return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime) {
  if (!ft) {
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

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) { return Convert(local, utc, native::LocalToUtc); }
