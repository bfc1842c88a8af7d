// The scanner contract: the back-end kinds, the scanner and receiver
// interfaces (basic slots first, then the methods in slot order) and the
// bound-method event types a receiver can be built from. Types only.
#pragma once

#include <cstdint>
#include <functional>

#include "InterfacePtr.h"
#include "WinTypes.h"

// Stored and passed as a full 32-bit value.
enum TMoxVolumeScannerAPI : int32_t {
  vsaAuto = 0,  // let the factory choose; no scanner reports it
  vsaFind = 1,  // directory walk
  vsaNTFS = 2,  // the NtfsLib client
  vsaVFAT = 3,  // raw FAT reader
};
static_assert(sizeof(TMoxVolumeScannerAPI) == 4);

struct IMoxVolumeScannerCallbacks;

struct IMoxVolumeScanner : IInterface {
  virtual bool GetIsValid() = 0;                                          // slot 3
  virtual TMoxVolumeScannerAPI GetScannerAPI() = 0;                       // slot 4
  virtual WideString GetMountPoint() = 0;                                 // slot 5
  virtual WideString GetCurrentPath() = 0;                                // slot 6
  virtual void RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) = 0;  // slot 7
  virtual void RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) = 0;    // slot 8
  virtual bool ScanVolume() = 0;                                          // slot 9
  virtual bool AbortScan() = 0;                                           // slot 10

 protected:
  ~IMoxVolumeScanner() = default;
};

// Events arrive on the scan's thread: one OnStart, one OnItem per file, one
// OnFinish. AItem is valid only during the call.
struct IMoxVolumeScannerCallbacks : IInterface {
  virtual void OnStart(IMoxVolumeScanner* AScanner) = 0;                                 // slot 3
  virtual void OnItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem) = 0;  // slot 4
  virtual void OnFinish(IMoxVolumeScanner* AScanner, bool AAborted) = 0;                 // slot 5

 protected:
  ~IMoxVolumeScannerCallbacks() = default;
};

// Bound methods: empty means unassigned.
using TMoxVolumeScannerStartEvent = std::function<void(IMoxVolumeScanner* AScanner)>;
using TMoxVolumeScannerItemEvent = std::function<void(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem)>;
using TMoxVolumeScannerFinishEvent = std::function<void(IMoxVolumeScanner* AScanner, bool AAborted)>;
