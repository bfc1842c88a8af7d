// What the system says of itself: its version and its millisecond clock.
#include <cstring>

#include "NativeFiles.h"
#include "WinApi.h"

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!native::Version(info->dwMajorVersion, info->dwMinorVersion, info->dwBuildNumber, info->dwPlatformId))
    return FALSE;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

DWORD GetTickCount() { return native::TickCount(); }
