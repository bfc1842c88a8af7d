#include "MoxVolumeScannerThreaded.h"

#include "Assert.h"

TMoxVolumeScannerThreaded::TMoxVolumeScannerThreaded(TMoxVolumeScannerAPI AScannerAPI,
                                                     const WideString& AMountPoint, const char* AUnit)
    : TMoxVolumeScannerBase(AScannerAPI, AMountPoint), FUnit(AUnit) {}

bool TMoxVolumeScannerThreaded::ScanVolume() {
  if (!FIsValid) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (OnScanThread()) {  // a scan can't restart itself
    SetLastError(ERROR_POSSIBLE_DEADLOCK);
    return false;
  }
  const std::lock_guard guard(FThreadLock);
  StopThread();
  // Only now: a receiver of the scan just stopped may have invalidated it in
  // its OnFinish, and what the walk reads is then gone.
  if (!FIsValid) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  FAbort = false;
  DWORD id = 0;
  FThread = BeginThread(nullptr, 0, &TMoxVolumeScannerThreaded::ThreadFunc, this, CREATE_SUSPENDED, &id);
  if (!FThread) {
    FThreadId = 0;
    return false;  // BeginThread said why
  }
  FThreadId = id;
  ResumeThread(FThread);
  return true;
}

// From a receiver it fails rather than wait for the thread it runs on; the
// scan goes on.
bool TMoxVolumeScannerThreaded::AbortScan() {
  if (OnScanThread()) {
    SetLastError(ERROR_POSSIBLE_DEADLOCK);
    return false;
  }
  const std::lock_guard guard(FThreadLock);
  StopThread();
  return true;
}

void TMoxVolumeScannerThreaded::StopThread() {
  if (!FThread) return;
  FAbort = true;
  while (WaitForSingleObject(FThread, 1000) == WAIT_TIMEOUT) {
  }
  CloseHandle(FThread);
  FThread = nullptr;
  FThreadId = 0;
}

void TMoxVolumeScannerThreaded::Invalidate() {
  if (OnScanThread()) {
    // The walk is below us on this thread's stack: stop it, and let the
    // thread finish the job once the walk has returned.
    FIsValid = false;
    FAbort = true;
    FInvalidatePending = true;
    return;
  }
  {
    // Under the lock, so no ScanVolume starts a walk over what is freed here.
    const std::lock_guard guard(FThreadLock);
    StopThread();
    FIsValid = false;  // only now: a thread just started still asserts it
    ReleaseScanState();
  }
  TMoxVolumeScannerBase::Invalidate();
}

bool TMoxVolumeScannerThreaded::CanDestroyOnLastRelease() {
  if (OnScanThread()) {
    FAbort = true;
    FDestroyPending = true;
    return false;
  }
  // Stop the scan before any destructor runs: the thread still calls in.
  Invalidate();
  return true;
}

int TMoxVolumeScannerThreaded::ThreadFunc(void* P) {
  MOX_ASSERT(P != nullptr, "MoxVolumeScannerThreaded");
  if (!P) return 0;
  auto* self = static_cast<TMoxVolumeScannerThreaded*>(P);
  MOX_ASSERT(self->FIsValid, self->FUnit);
  IMoxVolumeScanner* scanner = self;
  self->InitThread();
  // A receiver that throws ends its own fan-out; the scan still runs to its
  // OnFinish, which is what leaves the lock. No exception leaves the thread.
  try {
    self->DoStart(scanner);
  } catch (...) {
  }
  bool whole = true;  // a walk a receiver ended by throwing finishes as it always did
  try {
    self->RunScan();
    whole = self->ScanWasWhole();
  } catch (...) {
  }
  if (self->FInvalidatePending) self->ReleaseScanState();
  try {
    self->DoFinish(scanner, self->FAbort || !whole);
  } catch (...) {
  }
  if (self->FInvalidatePending.exchange(false)) {
    self->ReleaseScanState();  // in case OnFinish asked for it
    self->TMoxVolumeScannerBase::Invalidate();
  }
  self->ForgetEventReferences();
  if (self->FDestroyPending) {
    CloseHandle(self->FThread);  // this thread keeps running to its end
    self->FThread = nullptr;
    self->FThreadId = 0;
    delete self;
  }
  return 0;
}
