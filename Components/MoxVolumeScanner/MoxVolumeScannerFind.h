// TMoxVolumeScannerFind: scans whatever the platform can list by walking the
// directory tree with FindFirstFileW/FindNextFileW on a thread of its own.
// Reparse points (links, junctions) are neither reported nor entered, so the
// walk always ends. Valid means: the root could be listed when it was made.
#pragma once

#include <atomic>

#include "MoxVolumeScannerBase.h"

class TMoxVolumeScannerFind : public TMoxVolumeScannerBase {
 public:
  explicit TMoxVolumeScannerFind(const WideString& AMountPoint);
  ~TMoxVolumeScannerFind() override;

  void Invalidate() override;

  // On the scan thread during OnItem: the item's folder relative to the
  // root, "" or "Dir\Sub\". Empty at any other time or on any other thread.
  WideString GetCurrentPath() override;
  // Starts a scan on a new thread (after ending any previous one).
  bool ScanVolume() override;
  // Stops the scan and waits for its thread; False from the scan thread itself.
  bool AbortScan() override;

 protected:
  bool CanDestroyOnLastRelease() override;

 private:
  static int ThreadFunc(void* P);
  void InitThread();
  void FindFiles(const WideString& ARoot, const WideString& AFolder);

  HANDLE FThread = nullptr;             // kept after the thread ends, until the next AbortScan
  std::atomic<DWORD> FThreadId{0};
  std::atomic<bool> FAbort{false};      // read by the walk before every entry
  std::atomic<const WCHAR*> FCurrentPath{nullptr};
  std::atomic<bool> FDestroyPending{false};  // last reference went on the scan thread
};
