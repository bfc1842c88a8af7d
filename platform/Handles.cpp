// CloseHandle frees any of our kernel objects; one that wraps a handle of the
// system closes that in its destructor.
#include "WinApi.h"

BOOL CloseHandle(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete h;
  return TRUE;
}
