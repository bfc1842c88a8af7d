// FindFirstFileW/FindNextFileW/FindClose: the system's own walk, with the
// folders of letters bound in our namespace mapped to where they are.
#include "NativeFiles.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

struct FindSearch : KernelObject {
  void* handle;
  explicit FindSearch(void* h) : handle(h) {}
  ~FindSearch() override { native::FindEnd(handle); }
};

FindSearch* AsSearch(HANDLE h) {
  return (h && h != INVALID_HANDLE_VALUE) ? dynamic_cast<FindSearch*>(h) : nullptr;
}

}  // namespace

HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string systemPattern = pattern;
  const std::string full = StripLongPathPrefix(native::WideToUtf8(pattern));
  const bool letterPath = full.size() >= 2 && full[1] == ':';
  if (letterPath && GetDriveBinding(full[0])) {
    // The mask stays as it is; the folder before it is the bound one's.
    const size_t cut = full.find_last_of("\\/");
    const std::string dir = cut == std::string::npos ? std::string() : HostPathFromWindowsPath(full.substr(0, cut + 1));
    if (dir.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    systemPattern = native::PathToWide(dir + full.substr(cut + 1));
  }
  void* h = native::FindFirst(systemPattern.c_str(), data);
  if (!h) return INVALID_HANDLE_VALUE;
  return new FindSearch(h);
}

BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* data) {
  FindSearch* search = AsSearch(h);
  if (!search || !data) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return native::FindNext(search->handle, data);
}

BOOL FindClose(HANDLE h) {
  FindSearch* search = AsSearch(h);
  if (!search) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete search;
  return TRUE;
}

UINT SetErrorMode(UINT mode) { return native::ErrorMode(mode); }
