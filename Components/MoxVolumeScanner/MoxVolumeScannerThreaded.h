// TMoxVolumeScannerThreaded: the scan thread that the directory walk and the
// raw FAT scanner both run. ScanVolume ends any previous scan, clears the
// abort request and starts a suspended thread that it then resumes; the
// thread calls DoStart, the back-end's RunScan and DoFinish; AbortScan sets
// the request and waits for the thread in 1000 ms steps.
//
// A last reference released on another thread stops the scan before any
// destructor runs, also while receivers hold short references of their own
// on the scan thread; one released on the scan thread itself can't wait for that
// thread, so the walk stops and the thread deletes the scanner when it is done.
// Invalidate called on the scan thread (from a receiver) likewise only stops
// the walk: what the walk reads is freed once it has returned, the receivers
// hear OnFinish with aborted set, and are dropped after that.
//
// ScanVolume, AbortScan and Invalidate may come from several threads at once
// (a scanner list aborting while the host rescans): FThreadLock makes each
// one's start, stop and release of the thread whole. The scan thread never
// takes it, so a caller waiting for that thread under it cannot deadlock.
#pragma once

#include <atomic>
#include <mutex>

#include "MoxVolumeScannerBase.h"

class TMoxVolumeScannerThreaded : public TMoxVolumeScannerBase {
 public:
  bool ScanVolume() override;
  // Stops the scan, frees what it reads (ReleaseScanState), drops receivers.
  void Invalidate() override;
  // Stops the scan and waits for its thread; False (ERROR_POSSIBLE_DEADLOCK)
  // from the scan thread itself, where the scan goes on.
  bool AbortScan() override;

 protected:
  TMoxVolumeScannerThreaded(TMoxVolumeScannerAPI AScannerAPI, const WideString& AMountPoint, const char* AUnit);

  // On the scan thread, before DoStart: whatever the back-end needs first.
  virtual void InitThread() {}
  // On the scan thread, between DoStart and DoFinish: the walk itself. It
  // reads FAbort as often as it can.
  virtual void RunScan() = 0;
  // After RunScan: false when the walk missed part of the volume (a folder
  // it could not read). The finish then reports the scan as aborted: its
  // one flag is all a host has to tell a partial scan from a whole one.
  virtual bool ScanWasWhole() { return true; }
  // Frees what the walk reads; never called while the walk runs.
  virtual void ReleaseScanState() {}
  bool CanDestroyOnLastRelease() override;
  bool OnEventThread() const override { return OnScanThread(); }
  // The host's last reference goes while receivers hold theirs on the scan
  // thread: the scan stops and is waited for before the host's call returns.
  void LastOuterReleasing() override { AbortScan(); }
  bool OnScanThread() const { return FThreadId != 0 && GetCurrentThreadId() == FThreadId; }

  HANDLE FThread = nullptr;  // kept after the thread ends, until the next AbortScan; under FThreadLock
  std::atomic<DWORD> FThreadId{0};
  std::atomic<bool> FAbort{false};

 private:
  static int ThreadFunc(void* P);
  // Ends the thread and closes its handle; FThreadLock held, not on the scan thread.
  void StopThread();

  std::mutex FThreadLock;

  const char* FUnit;  // names the back-end in assertion failures
  std::atomic<bool> FDestroyPending{false};  // last reference went on the scan thread
  std::atomic<bool> FInvalidatePending{false};  // Invalidate came on the scan thread
};
