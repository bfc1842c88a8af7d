// TMoxVolumeScannerNTFS: scans an NTFS volume by driving NtfsLib, which reads
// the volume itself and calls back on a thread of its own. A thin adapter: it
// owns one library handle, forwards the three callbacks to the base's
// fan-out and maps GetCurrentPath, ScanVolume and AbortScan onto library
// calls. Valid exactly when the handle was made and the library accepted the
// mount point; after Invalidate no library call is made again.
#pragma once

#include <atomic>
#include <mutex>

#include "MoxVolumeScannerBase.h"
#include "NtfsLib.h"

class TMoxVolumeScannerNTFS : public TMoxVolumeScannerBase {
 public:
  explicit TMoxVolumeScannerNTFS(const WideString& AMountPoint);
  ~TMoxVolumeScannerNTFS() override;

  // Stops the scan and frees the library handle.
  void Invalidate() override;

  // Inside OnItem: the item's folder as the library gives it ("" or "Dir\Sub\").
  WideString GetCurrentPath() override;
  bool ScanVolume() override;
  bool AbortScan() override;

 protected:
  bool CanDestroyOnLastRelease() override;

 private:
  static TMoxVolumeScannerNTFS* Receiver(void* H, void* U);
  static void NTFSLIB_CALL OnStart(void* H, void* U);
  static void NTFSLIB_CALL OnItem(void* H, const NtfsLibFindData* I, void* U);
  static void NTFSLIB_CALL OnFinish(void* H, int32_t A, void* U);
  static void Leave(TMoxVolumeScannerNTFS* self, bool finished);
  bool AbortLocked();
  bool OnCallbackThread() const { return FCallbackThread != 0 && FCallbackThread == GetCurrentThreadId(); }

  void* FHandle = nullptr;
  // Makes ScanVolume, AbortScan and Invalidate from other threads than the
  // library's whole against each other; the library's thread never takes it.
  std::mutex FControlLock;
  std::atomic<const WIN32_FIND_DATAW*> FCurrentItem{nullptr};

  std::atomic<DWORD> FCallbackThread{0};     // the library's thread, from OnStart to OnFinish
  bool FStarted = false;                     // DoStart ran and DoFinish is owed (callback thread only)
  std::atomic<bool> FDestroyPending{false};  // last reference went on the callback thread
  std::atomic<int> FInCallback{0};           // the library's thread is inside a callback
};
