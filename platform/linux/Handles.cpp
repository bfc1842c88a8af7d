// The per-thread last error and the system's texts for its codes.
#include "WinApi.h"

#include <cstring>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Windows' own wording, so a message reads the same on both systems.
const char* SystemText(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_INVALID_FUNCTION: return "Incorrect function.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERROR_INVALID_DRIVE: return "The system cannot find the drive specified.";
    case ERROR_NO_MORE_FILES: return "There are no more files.";
    case ERROR_WRITE_PROTECT: return "The media is write protected.";
    case ERROR_NOT_READY: return "The device is not ready.";
    case ERROR_SECTOR_NOT_FOUND: return "The drive cannot find the sector requested.";
    case ERROR_WRITE_FAULT: return "The system cannot write to the specified device.";
    case ERROR_READ_FAULT: return "The system cannot read from the specified device.";
    case ERROR_HANDLE_EOF: return "Reached the end of the file.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_FILE_EXISTS: return "The file exists.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
    case ERROR_BUSY: return "The requested resource is in use.";
    case ERROR_MR_MID_NOT_FOUND:
      return "The system cannot find message text for message number 0x%1 in the message file for %2.";
    case ERROR_UNRECOGNIZED_VOLUME: return "The volume does not contain a recognized file system.";
    case ERROR_POSSIBLE_DEADLOCK: return "A potential deadlock condition has been detected.";
    case ERROR_CANT_RESOLVE_FILENAME: return "The name of the file cannot be resolved by the system.";
    default: return nullptr;
  }
}

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, char* buffer, DWORD size, void*) {
  const char* text = (flags & FORMAT_MESSAGE_FROM_SYSTEM) ? SystemText(messageId) : nullptr;
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const size_t len = std::strlen(text);
  if (!buffer || size <= len) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text, len + 1);
  return DWORD(len);
}

AnsiString SysErrorMessage(DWORD code) {
  const char* text = SystemText(code);
  return text ? AnsiString(text) : "Unknown error " + std::to_string(code);
}
