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

// One scanner bound to one mount point. Every method may be called from any
// thread. A call that fails (False, or a null or empty result where the
// method says so) sets the calling thread's last error: GetLastError() gives
// the code, SysErrorMessage(code) its text (WinTypes.h).
//
// Events of a scan arrive on one thread that is not the host's: the
// scanner's own for the directory walk and the raw FAT reader, NtfsLib's for
// the NtfsLib scanner. In order: one OnStart, one OnItem per file, one
// OnFinish; every registered receiver gets each, in order of registration.
// From OnStart until OnFinish has returned that thread holds the scanner's
// lock.
//
// Inside a receiver (on that thread) a receiver may call GetIsValid,
// GetScannerAPI, GetMountPoint, GetCurrentPath, RegisterCallbacks,
// RevokeCallbacks, the back-end's Invalidate, AddRef and Release, and read a
// scanner list. AbortScan and ScanVolume fail there. A receiver must not wait
// for a thread that is itself inside AbortScan, ScanVolume, Invalidate or
// the last Release of this scanner: those wait for the receiver's thread.
//
// The last reference: when a host thread releases it, the scan is stopped
// and waited for before Release returns (receivers that hold the scanner
// for an event, as MoxCreateVolumeScannerCallbacks's do, don't change that),
// and the scanner is destroyed then. Released from inside a receiver, the
// scan stops and the scanner is destroyed on its thread after OnFinish.
struct IMoxVolumeScanner : IInterface {
  // True until set-up failed or the scanner was invalidated. Never blocks.
  virtual bool GetIsValid() = 0;  // slot 3
  // vsaFind, vsaNTFS or vsaVFAT (never vsaAuto). Never blocks.
  virtual TMoxVolumeScannerAPI GetScannerAPI() = 0;  // slot 4
  // The mount point, always ending in "\". Never blocks.
  virtual WideString GetMountPoint() = 0;  // slot 5
  // Inside OnItem, on the scan's thread: the folder of the item being
  // reported, relative to the root: "" for the root, else "Dir\Sub\".
  // "" at any other time and on any other thread. Never blocks.
  virtual WideString GetCurrentPath() = 0;  // slot 6
  // Adds a receiver (the scanner takes a reference); one already registered,
  // or null, is not added. From another thread while a scan runs it waits
  // until that scan has finished; from a receiver it doesn't wait, and the
  // new receiver hears from the next event after the current pass on.
  virtual void RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) = 0;  // slot 7
  // Removes a receiver (nothing when it is not registered). Waits as
  // RegisterCallbacks does.
  virtual void RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) = 0;  // slot 8
  // Starts a scan and returns at once; a previous scan is stopped and waited
  // for first. False when none was started: ERROR_INVALID_HANDLE for an
  // invalid scanner (also one a receiver of the stopped scan invalidated),
  // ERROR_POSSIBLE_DEADLOCK from inside a receiver, else the reason.
  virtual bool ScanVolume() = 0;  // slot 9
  // Stops the running scan and waits until its OnFinish (AAborted True) has
  // returned and its thread is done. True when no scan is left running,
  // also when none ran. From inside a receiver: False with
  // ERROR_POSSIBLE_DEADLOCK, and the scan goes on.
  virtual bool AbortScan() = 0;  // slot 10

 protected:
  ~IMoxVolumeScanner() = default;
};

// A receiver of scan events, implemented by the host or made by
// MoxCreateVolumeScannerCallbacks. Events arrive on the scan's thread (see
// above). AScanner is the scanner raising the event; AItem is valid only
// during the call. A receiver should not throw: an exception ends that
// event's pass over the receivers (and the walk, on the directory walk and
// the raw FAT reader); OnFinish still comes.
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
