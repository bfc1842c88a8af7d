// The last error is the real thread's, and its texts are the system's, so a
// failing call's code and words reach the host as Windows gave them.
#include <cstring>

#include "NativeSys.h"
#include "WinApi.h"

DWORD GetLastError() { return native::LastError(); }

void SetLastError(DWORD code) { native::SetLastErrorCode(code); }

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, char* buffer, DWORD size, void*) {
  const std::string text = (flags & FORMAT_MESSAGE_FROM_SYSTEM) ? native::SystemMessage(messageId) : std::string();
  if (text.empty()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if (!buffer || size <= text.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return DWORD(text.size());
}

AnsiString SysErrorMessage(DWORD code) {
  const DWORD saved = GetLastError();
  std::string text = native::SystemMessage(code);
  SetLastError(saved);
  return text.empty() ? "Unknown error " + std::to_string(code) : text;
}
