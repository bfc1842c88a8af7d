// TMoxVolumeScannerNTFS: scans an NTFS volume by driving NtfsLib, which reads
// the volume itself and calls back on a thread of its own. A thin adapter: it
// owns one library handle, forwards the three callbacks to the base's
// fan-out and maps GetCurrentPath, ScanVolume and AbortScan onto library
// calls. Valid exactly when the handle was made and the library accepted the
// mount point.
//
// The handle is freed by a thread that is not the library's, under
// FControlLock, once the scan has ended: a host thread may be inside
// AbortScan or ScanVolume on it at any moment. So Invalidate from a receiver
// only stops the scan: the receivers hear OnFinish with aborted set and are
// dropped after it, and the next call from another thread (or the last
// release) frees the handle. Only a last reference dropped on the library's
// thread frees it there, at the end of OnFinish: nobody else can call then.
#pragma once

#include <atomic>
#include <mutex>

#include "MoxVolumeScannerBase.h"
#include "NtfsLib.h"

class TMoxVolumeScannerNTFS : public TMoxVolumeScannerBase {
 public:
  explicit TMoxVolumeScannerNTFS(const WideString& AMountPoint);
  ~TMoxVolumeScannerNTFS() override;

  // Stops the scan and frees the library handle; from a receiver it only
  // stops the scan (see above).
  void Invalidate() override;

  // Inside OnItem: the item's folder as the library gives it ("" or
  // "Dir\Sub\"); "" anywhere else.
  WideString GetCurrentPath() override;
  bool ScanVolume() override;
  bool AbortScan() override;

 protected:
  bool CanDestroyOnLastRelease() override;
  bool OnEventThread() const override { return OnCallbackThread(); }
  // The host's last reference goes while receivers hold theirs on the
  // library's thread: the scan stops and is waited for first.
  void LastOuterReleasing() override { AbortScan(); }

 private:
  static TMoxVolumeScannerNTFS* Receiver(void* H, void* U);
  static void NTFSLIB_CALL OnStart(void* H, void* U);
  static void NTFSLIB_CALL OnItem(void* H, const NtfsLibFindData* I, void* U);
  static void NTFSLIB_CALL OnFinish(void* H, int32_t A, void* U);
  bool StopLocked();
  bool OnCallbackThread() const { return FCallbackThread != 0 && FCallbackThread == GetCurrentThreadId(); }

  void* FHandle = nullptr;  // written under FControlLock, never while a callback runs
  // Makes ScanVolume, AbortScan and Invalidate from other threads than the
  // library's whole against each other; the library's thread never takes it
  // while another thread may wait for it under it.
  std::mutex FControlLock;
  std::atomic<const WIN32_FIND_DATAW*> FCurrentItem{nullptr};

  std::atomic<DWORD> FCallbackThread{0};  // the library's thread, from OnStart to OnFinish
  // Callback thread only:
  bool FStarted = false;            // DoStart ran and DoFinish is owed
  bool FInvalidatePending = false;  // a receiver invalidated the scanner
  bool FDestroyPending = false;     // the last reference went in a callback
};
