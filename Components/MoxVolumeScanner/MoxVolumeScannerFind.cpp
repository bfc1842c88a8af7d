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
    : TMoxVolumeScannerBase(vsaFind, AMountPoint) {
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

bool TMoxVolumeScannerFind::ScanVolume() {
  if (!FIsValid) return false;
  if (!AbortScan()) return false;
  FAbort = false;
  DWORD id = 0;
  FThread = BeginThread(nullptr, 0, &TMoxVolumeScannerFind::ThreadFunc, this, CREATE_SUSPENDED, &id);
  if (!FThread) {
    FThreadId = 0;
    return false;
  }
  FThreadId = id;
  ResumeThread(FThread);
  return true;
}

bool TMoxVolumeScannerFind::AbortScan() {
  const bool onScanThread = GetCurrentThreadId() == FThreadId;
  MOX_ASSERT(!onScanThread, kUnit);
  if (onScanThread) return false;
  if (!FThread) return true;
  FAbort = true;
  while (WaitForSingleObject(FThread, 1000) == WAIT_TIMEOUT) {
  }
  CloseHandle(FThread);
  FThread = nullptr;
  FThreadId = 0;
  return true;
}

// The last reference is gone. Stop the scan before any destructor runs: until
// its thread has ended, receivers may still make calls on this object. The
// scan thread holds no reference of its own, but receivers may take short
// ones; if one of those was the last, waiting here would wait for this very
// thread: stop the walk instead and let ThreadFunc delete the scanner when it
// is done with it.
bool TMoxVolumeScannerFind::CanDestroyOnLastRelease() {
  if (FThreadId != 0 && GetCurrentThreadId() == FThreadId) {
    FAbort = true;
    FDestroyPending = true;
    return false;
  }
  Invalidate();
  return true;
}

int TMoxVolumeScannerFind::ThreadFunc(void* P) {
  MOX_ASSERT(P != nullptr, kUnit);
  if (!P) return 0;
  auto* self = static_cast<TMoxVolumeScannerFind*>(P);
  MOX_ASSERT(self->FIsValid, kUnit);
  IMoxVolumeScanner* scanner = self;
  self->InitThread();
  // A receiver that throws ends its own fan-out; the scan still runs to its
  // OnFinish, which is what leaves the lock.
  try {
    self->DoStart(scanner);
  } catch (...) {
  }
  try {
    WideString root = self->GetMountPoint();
    if (!(root.size() >= 4 && root.compare(0, 4, kLongPathPrefix) == 0)) root = kLongPathPrefix + root;
    self->FindFiles(root, WideString());
  } catch (...) {
  }
  try {
    self->DoFinish(scanner, self->FAbort);
  } catch (...) {
  }
  if (self->FDestroyPending) {
    CloseHandle(self->FThread);  // this thread keeps running to its end
    self->FThread = nullptr;
    self->FThreadId = 0;
    delete self;
  }
  return 0;
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
