// TMoxVolumeScannerFind: scans whatever the platform can list by walking the
// directory tree with FindFirstFileW/FindNextFileW on a thread of its own.
// Reparse points (links, junctions) are neither reported nor entered, so the
// walk always ends. Valid means: the root could be listed when it was made.
#pragma once

#include <atomic>
#include <vector>

#include "MoxVolumeScannerThreaded.h"

class TMoxVolumeScannerFind : public TMoxVolumeScannerThreaded {
 public:
  explicit TMoxVolumeScannerFind(const WideString& AMountPoint);
  ~TMoxVolumeScannerFind() override;

  // On the scan thread during OnItem: the item's folder relative to the
  // root, "" or "Dir\Sub\". Empty at any other time or on any other thread.
  WideString GetCurrentPath() override;

  // The folders the last scan could not open (unreadable, gone, too deep for
  // the host), named as GetCurrentPath names folders. Read it in OnFinish or
  // once AbortScan has returned, not while the scan runs.
  std::vector<WideString> SkippedFolders();

 protected:
  void InitThread() override;
  void RunScan() override;
  void ReleaseScanState() override;

 private:
  void FindFiles(const WideString& ARoot);

  std::atomic<const WCHAR*> FCurrentPath{nullptr};
  std::vector<WideString> FSkipped;  // written by the scan thread
};
