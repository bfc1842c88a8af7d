#include "MoxVolumeScannerNTFS.h"

#include <cstddef>
#include <cstdlib>

#include "Assert.h"

// The library's find record is the platform's, byte for byte.
static_assert(sizeof(NtfsLibFindData) == sizeof(WIN32_FIND_DATAW));
static_assert(offsetof(NtfsLibFindData, nFileSizeLow) == offsetof(WIN32_FIND_DATAW, nFileSizeLow));
static_assert(offsetof(NtfsLibFindData, cFileName) == offsetof(WIN32_FIND_DATAW, cFileName));
static_assert(offsetof(NtfsLibFindData, cAlternateFileName) == offsetof(WIN32_FIND_DATAW, cAlternateFileName));

namespace {

constexpr const char* kUnit = "MoxVolumeScannerNTFS";

// An assertion inside a library callback must not unwind through the
// library's frames: with a throwing handler it ends the callback's checks only.
template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace

TMoxVolumeScannerNTFS::TMoxVolumeScannerNTFS(const WideString& AMountPoint)
    : TMoxVolumeScannerBase(vsaNTFS, AMountPoint) {
  if (!FIsValid) return;
  FHandle = NtfsLibCreate();
  if (!FHandle) {
    Invalidate();
    MOX_ASSERT(FHandle != nullptr, kUnit);
    return;
  }
  NtfsLibSetStartCallback(FHandle, &OnStart, this);
  NtfsLibSetItemCallback(FHandle, &OnItem, this);
  NtfsLibSetFinishCallback(FHandle, &OnFinish, this);
  const WideString mountPoint = GetMountPoint();
  const int32_t status = NtfsLibSetMountPoint(FHandle, mountPoint.c_str());
  if (status != 0) {
    Invalidate();
    MOX_ASSERT(status == 0, kUnit);
  }
}

TMoxVolumeScannerNTFS::~TMoxVolumeScannerNTFS() { TMoxVolumeScannerNTFS::Invalidate(); }

void TMoxVolumeScannerNTFS::Invalidate() {
  std::unique_lock<std::mutex> guard;
  if (!OnCallbackThread()) guard = std::unique_lock(FControlLock);
  if (FHandle) {
    AbortLocked();
    NtfsLibDestroy(FHandle);
    FHandle = nullptr;
    // Invalidated from inside a receiver: the library makes no further call,
    // so the finish it owes the receivers comes from here.
    if (OnCallbackThread() && FStarted) {
      FStarted = false;
      Guarded([&] { DoFinish(this, true); });
    }
  }
  FIsValid = false;  // before the lock goes: no ScanVolume waiting for it starts
  if (guard) guard.unlock();
  TMoxVolumeScannerBase::Invalidate();
}

bool TMoxVolumeScannerNTFS::CanDestroyOnLastRelease() {
  if (OnCallbackThread()) {
    // The library's thread can't wait for itself: the scan stops, and
    // OnFinish deletes the scanner once the receivers have had their finish.
    FDestroyPending = true;
    if (FHandle) NtfsLibAbortScan(FHandle);
    return false;
  }
  Invalidate();  // stop the library's thread before any destructor runs
  // A scanner invalidated from inside a callback freed the handle there, so
  // nothing above waited for that callback to return.
  while (FInCallback.load() > 0) Sleep(1);
  return true;
}

WideString TMoxVolumeScannerNTFS::GetCurrentPath() {
  const WIN32_FIND_DATAW* item = FCurrentItem;
  MOX_ASSERT(item != nullptr, kUnit);
  NtfsLibChar* path = nullptr;
  const int32_t status = NtfsLibGetItemPath(reinterpret_cast<const NtfsLibFindData*>(item), &path);
  WideString result;
  if (status == 0 && path) result = path;
  std::free(path);
  return result;
}

bool TMoxVolumeScannerNTFS::ScanVolume() {
  if (!FIsValid) return false;
  if (OnCallbackThread()) return AbortScan();  // the library refuses there: a scan can't restart itself
  const std::lock_guard guard(FControlLock);
  if (!FIsValid || !AbortLocked()) return false;
  MOX_ASSERT(FHandle != nullptr, kUnit);
  if (!FHandle) return false;
  const int32_t status = NtfsLibScanVolume(FHandle);
  MOX_ASSERT(status == 0, kUnit);
  return status == 0;
}

bool TMoxVolumeScannerNTFS::AbortScan() {
  if (OnCallbackThread()) return AbortLocked();  // only asks the scan to stop
  const std::lock_guard guard(FControlLock);
  return AbortLocked();
}

bool TMoxVolumeScannerNTFS::AbortLocked() { return !FHandle || NtfsLibAbortScan(FHandle) == 0; }

// The scanner a callback is for, its handle and user pointer checked; null
// without a user pointer.
TMoxVolumeScannerNTFS* TMoxVolumeScannerNTFS::Receiver(void* H, void* U) {
  auto* self = static_cast<TMoxVolumeScannerNTFS*>(U);
  Guarded([&] {
    MOX_ASSERT(H != nullptr, kUnit);
    MOX_ASSERT(U != nullptr, kUnit);
  });
  if (self) Guarded([&] { MOX_ASSERT(H == self->FHandle, kUnit); });
  return self;
}

void NTFSLIB_CALL TMoxVolumeScannerNTFS::OnStart(void* H, void* U) {
  TMoxVolumeScannerNTFS* self = Receiver(H, U);
  if (!self) return;
  self->FInCallback.fetch_add(1);
  self->FCallbackThread = GetCurrentThreadId();
  self->FStarted = true;
  Guarded([&] { self->DoStart(self); });
  Leave(self, false);
}

void NTFSLIB_CALL TMoxVolumeScannerNTFS::OnItem(void* H, const NtfsLibFindData* I, void* U) {
  Guarded([&] { MOX_ASSERT(I != nullptr, kUnit); });
  if (!I || I->cFileName[0] == 0) return;
  TMoxVolumeScannerNTFS* self = Receiver(H, U);
  if (!self) return;
  self->FInCallback.fetch_add(1);
  const auto* item = reinterpret_cast<const WIN32_FIND_DATAW*>(I);
  self->FCurrentItem = item;
  Guarded([&] { self->DoItem(self, *item); });
  self->FCurrentItem = nullptr;
  Leave(self, false);
}

void NTFSLIB_CALL TMoxVolumeScannerNTFS::OnFinish(void* H, int32_t A, void* U) {
  TMoxVolumeScannerNTFS* self = Receiver(H, U);
  if (!self) return;
  self->FInCallback.fetch_add(1);
  if (self->FStarted) {
    self->FStarted = false;
    Guarded([&] { self->DoFinish(self, (A & 0xFF) != 0); });
  }
  Leave(self, true);
}

// The end of every callback: after the finish, or once a receiver has freed
// the handle, no further call comes, and a scanner whose last reference went
// on this thread is deleted here.
void TMoxVolumeScannerNTFS::Leave(TMoxVolumeScannerNTFS* self, bool finished) {
  const bool over = finished || !self->FHandle;
  if (over) self->FCallbackThread = 0;
  const bool destroy = over && self->FDestroyPending;
  self->FInCallback.fetch_sub(1);
  if (destroy) delete self;
}
