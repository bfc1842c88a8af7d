// TMoxVolumeScannerVFAT: scans a lettered FAT volume by reading its sectors
// and parsing FAT12/16/32 with the library's own reader, on a thread of its
// own. The constructor mounts the volume; a scanner that could not (no drive
// letter, a network or CD-ROM drive, no geometry, not FAT) is invalid, and
// the factory then falls back to the directory walk.
#pragma once

#include <atomic>
#include <memory>

#include "Devices.h"
#include "MoxVolumeScannerThreaded.h"

class TFATdrive;
class TFATFile;
class TFATDirectory;

class TMoxVolumeScannerVFAT : public TMoxVolumeScannerThreaded {
 public:
  // AMountPoint: a volume root, "C:\" or "\\?\C:\" (either letter case).
  explicit TMoxVolumeScannerVFAT(const WideString& AMountPoint);
  ~TMoxVolumeScannerVFAT() override;


  // On the scan thread during OnItem: the item's folder relative to the
  // root, "" or "Dir\Sub\". Empty at any other time or on any other thread.
  WideString GetCurrentPath() override;

  // The drive number a mount point names (1 = A: ... 26 = Z:), 0 for none.
  static uint8_t DriveNumberOf(const WideString& AMountPoint);

 protected:
  void RunScan() override;
  bool ScanWasWhole() override;
  // Frees the drive before the device it reads from.
  void ReleaseScanState() override;

 private:
  // Handlers of the drive's OnStart and OnFoundItem events.
  void OnStart(TObject* Sender, TObject* item, const AnsiString& itemStr);
  void OnItem(TObject* Sender, TObject* item);

  std::unique_ptr<TDevice> FDevice;
  std::unique_ptr<TFATdrive> FDrive;
  TFATFile* FCurrentFile = nullptr;
  TFATDirectory* FCurrentDirectory = nullptr;
  TCustomDirectory* FPathFolder = nullptr;  // folder whose path FPath holds (scan thread only)
  WideString FPath;
};
