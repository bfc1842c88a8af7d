#include "MoxVolumeScannerNTFS.h"

#include <cstddef>
#include <cstdlib>
#include <utility>

#include "Assert.h"

// The library's find record is the platform's, byte for byte.
static_assert(sizeof(NtfsLibFindData) == sizeof(WIN32_FIND_DATAW));
static_assert(offsetof(NtfsLibFindData, nFileSizeLow) == offsetof(WIN32_FIND_DATAW, nFileSizeLow));
static_assert(offsetof(NtfsLibFindData, cFileName) == offsetof(WIN32_FIND_DATAW, cFileName));
static_assert(offsetof(NtfsLibFindData, cAlternateFileName) == offsetof(WIN32_FIND_DATAW, cAlternateFileName));

namespace {

constexpr const char* kUnit = "MoxVolumeScannerNTFS";

// The last-error code for a status of the library.
DWORD ErrorOf(int32_t status) {
  switch (status) {
    case NTFSLIB_OK: return ERROR_SUCCESS;
    case NTFSLIB_E_MOUNTPOINT: return ERROR_PATH_NOT_FOUND;
    case NTFSLIB_E_NOT_NTFS: return ERROR_UNRECOGNIZED_VOLUME;
    case NTFSLIB_E_NO_VOLUME: return ERROR_NOT_READY;
    case NTFSLIB_E_SCAN_THREAD: return ERROR_POSSIBLE_DEADLOCK;
    case NTFSLIB_E_THREAD: return ERROR_NOT_ENOUGH_MEMORY;
    case NTFSLIB_E_BUSY: return ERROR_BUSY;
    default: return ERROR_INVALID_PARAMETER;
  }
}

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
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
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
    SetLastError(ErrorOf(status));
    MOX_ASSERT(status == 0, kUnit);
  }
}

TMoxVolumeScannerNTFS::~TMoxVolumeScannerNTFS() { TMoxVolumeScannerNTFS::Invalidate(); }

void TMoxVolumeScannerNTFS::Invalidate() {
  if (OnCallbackThread()) {
    // A receiver: the scan stops, OnFinish finishes the job.
    FIsValid = false;
    FInvalidatePending = true;
    NtfsLibAbortScan(FHandle);  // only asks the scan to stop, here
    return;
  }
  {
    const std::lock_guard guard(FControlLock);
    FIsValid = false;  // under the lock: no ScanVolume waiting for it starts
    StopLocked();
  }
  TMoxVolumeScannerBase::Invalidate();
}

bool TMoxVolumeScannerNTFS::CanDestroyOnLastRelease() {
  if (OnCallbackThread()) {
    // The library's thread can't wait for itself: the scan stops, and
    // OnFinish deletes the scanner once the receivers have had their finish.
    FDestroyPending = true;
    NtfsLibAbortScan(FHandle);
    return false;
  }
  Invalidate();  // stop the library's thread before any destructor runs
  return true;
}

// Outside an item callback, or on another thread, there is no item: "".
WideString TMoxVolumeScannerNTFS::GetCurrentPath() {
  const WIN32_FIND_DATAW* item = OnCallbackThread() ? FCurrentItem.load() : nullptr;
  if (!item) return {};
  NtfsLibChar* path = nullptr;
  const int32_t status = NtfsLibGetItemPath(reinterpret_cast<const NtfsLibFindData*>(item), &path);
  WideString result;
  if (status == 0 && path) result = path;
  std::free(path);
  return result;
}

bool TMoxVolumeScannerNTFS::ScanVolume() {
  if (!FIsValid) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (OnCallbackThread()) {  // a scan can't restart itself
    SetLastError(ERROR_POSSIBLE_DEADLOCK);
    return false;
  }
  const std::lock_guard guard(FControlLock);
  // A receiver may invalidate the scanner while its last scan stops.
  if (!StopLocked()) return false;
  if (!FIsValid || !FHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const int32_t status = NtfsLibScanVolume(FHandle);
  SetLastError(ErrorOf(status));
  MOX_ASSERT(status == 0, kUnit);
  return status == 0;
}

// From a receiver it fails rather than wait for the thread it runs on; the
// scan goes on.
bool TMoxVolumeScannerNTFS::AbortScan() {
  if (OnCallbackThread()) {
    SetLastError(ERROR_POSSIBLE_DEADLOCK);
    return false;
  }
  const std::lock_guard guard(FControlLock);
  return StopLocked();
}

// FControlLock held, outside the callbacks: stops the scan and waits for it.
// An invalid scanner's handle goes too, now that no callback runs: a receiver
// that invalidated the scanner could not free it on the library's thread.
bool TMoxVolumeScannerNTFS::StopLocked() {
  if (!FHandle) return true;
  const int32_t status = NtfsLibAbortScan(FHandle);
  if (status != 0) SetLastError(ErrorOf(status));
  const bool stopped = status == 0;
  if (!FIsValid) {
    NtfsLibDestroy(FHandle);
    FHandle = nullptr;
  }
  return stopped;
}

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
  self->FCallbackThread = GetCurrentThreadId();
  self->FStarted = true;
  Guarded([&] { self->DoStart(self); });
}

void NTFSLIB_CALL TMoxVolumeScannerNTFS::OnItem(void* H, const NtfsLibFindData* I, void* U) {
  Guarded([&] { MOX_ASSERT(I != nullptr, kUnit); });
  if (!I || I->cFileName[0] == 0) return;
  TMoxVolumeScannerNTFS* self = Receiver(H, U);
  if (!self) return;
  const auto* item = reinterpret_cast<const WIN32_FIND_DATAW*>(I);
  self->FCurrentItem = item;
  Guarded([&] { self->DoItem(self, *item); });
  self->FCurrentItem = nullptr;
}

// The library's last call of a scan: what a receiver asked for on this
// thread happens here, once the receivers have had their finish.
void NTFSLIB_CALL TMoxVolumeScannerNTFS::OnFinish(void* H, int32_t A, void* U) {
  TMoxVolumeScannerNTFS* self = Receiver(H, U);
  if (!self) return;
  if (std::exchange(self->FStarted, false)) Guarded([&] { self->DoFinish(self, (A & 0xFF) != 0); });
  if (std::exchange(self->FInvalidatePending, false)) self->TMoxVolumeScannerBase::Invalidate();
  self->ForgetEventReferences();
  self->FCallbackThread = 0;
  if (self->FDestroyPending) delete self;  // nobody else holds it: the handle may go on this thread
}
