#include "MoxVolumeScannerFind.h"

#include "Assert.h"

namespace {

constexpr const char* kUnit = "MoxVolumeScannerFind";
const WideString kLongPathPrefix = u"\\\\?\\";

struct SearchCloser {
  HANDLE search;
  ~SearchCloser() { FindClose(search); }
};

bool IsDotName(const WCHAR* name) {
  return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

}  // namespace

TMoxVolumeScannerFind::TMoxVolumeScannerFind(const WideString& AMountPoint)
    : TMoxVolumeScannerThreaded(vsaFind, AMountPoint, kUnit) {
  if (!FIsValid) return;
  WIN32_FIND_DATAW probe;
  const HANDLE search = FindFirstFileW((AMountPoint + u"*").c_str(), &probe);
  if (search == INVALID_HANDLE_VALUE)
    Invalidate();
  else
    FindClose(search);
}

TMoxVolumeScannerFind::~TMoxVolumeScannerFind() { TMoxVolumeScannerFind::Invalidate(); }

void TMoxVolumeScannerFind::Invalidate() {
  AbortScan();
  FCurrentPath = nullptr;
  TMoxVolumeScannerBase::Invalidate();
}

WideString TMoxVolumeScannerFind::GetCurrentPath() {
  // The text belongs to the running walk: only its own thread may read it.
  if (GetCurrentThreadId() != FThreadId) return {};
  const WCHAR* path = FCurrentPath.load(std::memory_order_relaxed);
  return path ? WideString(path) : WideString();
}

void TMoxVolumeScannerFind::RunScan() {
  WideString root = GetMountPoint();
  if (!(root.size() >= 4 && root.compare(0, 4, kLongPathPrefix) == 0)) root = kLongPathPrefix + root;
  FindFiles(root, WideString());
}

// Read access to every folder where the process may have it; a failure only
// means fewer folders are seen. (No file-system redirection exists here.)
void TMoxVolumeScannerFind::InitThread() { EnableBackupPrivilegeForThread(); }

void TMoxVolumeScannerFind::FindFiles(const WideString& ARoot, const WideString& AFolder) {
  if (FAbort.load(std::memory_order_relaxed)) return;
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((ARoot + AFolder + u"*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;  // an unreadable folder contributes nothing
  SearchCloser closer{search};
  while (!FAbort.load(std::memory_order_relaxed)) {
    const WCHAR* name = entry.cFileName;
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && name[0] != 0 && !IsDotName(name)) {
      FCurrentPath.store(AFolder.c_str(), std::memory_order_relaxed);
      try {
        DoItem(this, entry);
      } catch (...) {
        FCurrentPath.store(nullptr, std::memory_order_relaxed);
        throw;
      }
      FCurrentPath.store(nullptr, std::memory_order_relaxed);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        size_t len = 0;
        while (len < MAX_PATH && name[len] != 0) ++len;
        FindFiles(ARoot, AFolder + WideString(name, len) + u"\\");
      }
    }
    if (!FindNextFileW(search, &entry)) break;
  }
}
