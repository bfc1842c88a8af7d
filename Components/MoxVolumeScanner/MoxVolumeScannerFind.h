// TMoxVolumeScannerFind: scans whatever the platform can list by walking the
// directory tree with FindFirstFileW/FindNextFileW on a thread of its own.
// Reparse points (links, junctions) are neither reported nor entered, so the
// walk always ends. Valid means: the root could be listed when it was made.
#pragma once

#include <atomic>

#include "MoxVolumeScannerThreaded.h"

class TMoxVolumeScannerFind : public TMoxVolumeScannerThreaded {
 public:
  explicit TMoxVolumeScannerFind(const WideString& AMountPoint);
  ~TMoxVolumeScannerFind() override;

  void Invalidate() override;

  // On the scan thread during OnItem: the item's folder relative to the
  // root, "" or "Dir\Sub\". Empty at any other time or on any other thread.
  WideString GetCurrentPath() override;

 protected:
  void InitThread() override;
  void RunScan() override;

 private:
  void FindFiles(const WideString& ARoot, const WideString& AFolder);

  std::atomic<const WCHAR*> FCurrentPath{nullptr};
};
