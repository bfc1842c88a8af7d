// TMoxVolumeScannerBase: what every scanner back-end shares - its kind, mount
// point, validity and registered receivers - plus the fan-out of events and
// the lock that keeps the receiver list stable for the length of a scan.
//
// Invariants: FCallbacks holds no null and no receiver twice, in order of
// registration; an invalid scanner keeps no receivers; between DoStart and
// DoFinish the scan thread owns FLock, so registration and invalidation from
// other threads wait until the scan has finished.
#pragma once

#include <atomic>
#include <vector>

#include "MoxVolumeScannerIntf.h"
#include "WinApi.h"

class TMoxVolumeScannerBase : public TInterfacedObject<IMoxVolumeScanner> {
 public:
  // Valid when AScannerAPI is a real kind and AMountPoint is at least three
  // characters ending in "\" (assertions report the violations).
  TMoxVolumeScannerBase(TMoxVolumeScannerAPI AScannerAPI, const WideString& AMountPoint);
  ~TMoxVolumeScannerBase() override;

  // Ends the scanner's usefulness for good and drops every receiver. Back-ends
  // override it to stop their scan first and then call this one; it runs
  // twice on destruction.
  virtual void Invalidate();

  bool GetIsValid() override;
  TMoxVolumeScannerAPI GetScannerAPI() override;
  WideString GetMountPoint() override;
  void RegisterCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) override;
  void RevokeCallbacks(IMoxVolumeScannerCallbacks* ACallbacks) override;

  // For the back-ends, on the scan thread, once each per scan and in this
  // order. DoStart enters FLock and keeps it, even when a receiver throws;
  // DoFinish always leaves it, even when a receiver throws (the exception
  // then passes on). DoItem drops folders and reparse points.
  void DoStart(IMoxVolumeScanner* AScanner);
  void DoItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem);
  void DoFinish(IMoxVolumeScanner* AScanner, bool AAborted);

 protected:
  std::atomic<bool> FIsValid{false};  // read without the lock
  TMoxVolumeScannerAPI FScannerAPI;
  WideString FMountPoint;
  CRITICAL_SECTION FLock;
  std::vector<InterfacePtr<IMoxVolumeScannerCallbacks>> FCallbacks;

 private:
  template <class Call>
  void FanOut(Call&& call);
};
