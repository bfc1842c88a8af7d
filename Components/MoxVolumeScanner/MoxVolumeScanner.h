// The two calls through which a host obtains objects: MoxCreateVolumeScanner
// picks and builds a back-end for a mount point, MoxCreateVolumeScannerCallbacks
// wraps three bound methods into a receiver so a host need not implement one.
#pragma once

#include "MoxVolumeScannerIntf.h"

// A scanner for AMountPoint ("C:" or "C:\"), null when none usable could be
// made: the factory never hands out an invalid scanner. vsaAuto tries the raw
// reader the volume's file-system name calls for ("NTFS..." -> NtfsLib,
// "FAT..." -> raw FAT) and falls back to the directory walk. ACallbacks (may
// be null) is registered once, on the scanner returned. Critical-error
// dialogs are off while volumes are probed; the caller's error mode is back
// when the call returns, however it returns.
//
// Any thread; blocks only for the volume's probing (the raw readers mount
// it here). Null sets the last error: ERROR_INVALID_PARAMETER for a mount
// point under two characters or an unknown kind, ERROR_NOT_READY for a raw
// reader without Initialize() or without geometry, ERROR_PATH_NOT_FOUND for a
// root that cannot be listed, ERROR_UNRECOGNIZED_VOLUME for a file system the
// chosen reader does not accept. With vsaAuto the raw reader's reason is
// given when the walk fails too.
InterfacePtr<IMoxVolumeScanner> MoxCreateVolumeScanner(const WideString& AMountPoint,
                                                       InterfacePtr<IMoxVolumeScannerCallbacks> ACallbacks,
                                                       TMoxVolumeScannerAPI AScannerAPI);

// A receiver calling the given handlers, on the scan's thread; an unassigned
// one makes its event a no-op. It holds the scanner for the length of each
// event (the host's last release still waits for the scan). Any thread.
InterfacePtr<IMoxVolumeScannerCallbacks> MoxCreateVolumeScannerCallbacks(TMoxVolumeScannerStartEvent AOnStart,
                                                                         TMoxVolumeScannerItemEvent AOnItem,
                                                                         TMoxVolumeScannerFinishEvent AOnFinish);

// Holds no reference to whatever the handlers are bound to.
class TMoxVolumeScannerCallbacks : public TInterfacedObject<IMoxVolumeScannerCallbacks> {
 public:
  TMoxVolumeScannerCallbacks(TMoxVolumeScannerStartEvent AOnStart, TMoxVolumeScannerItemEvent AOnItem,
                             TMoxVolumeScannerFinishEvent AOnFinish);

  void OnStart(IMoxVolumeScanner* AScanner) override;
  void OnItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem) override;
  void OnFinish(IMoxVolumeScanner* AScanner, bool AAborted) override;

 private:
  TMoxVolumeScannerStartEvent FOnStart;
  TMoxVolumeScannerItemEvent FOnItem;
  TMoxVolumeScannerFinishEvent FOnFinish;
};
