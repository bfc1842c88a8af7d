#include "MoxVolumeScanner.h"

#include "FileSystems.h"
#include "MoxVolumeScannerFind.h"
#include "MoxVolumeScannerNTFS.h"
#include "MoxVolumeScannerVFAT.h"
#include "WinApi.h"

namespace {

// Restores the caller's error mode however the factory is left.
class QuietErrorMode {
 public:
  QuietErrorMode() : saved_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
  ~QuietErrorMode() { SetErrorMode(saved_); }
  QuietErrorMode(const QuietErrorMode&) = delete;
  QuietErrorMode& operator=(const QuietErrorMode&) = delete;

 private:
  UINT saved_;
};

// A back-end whose constructor raises (NtfsLib refusing the volume asserts)
// counts as one that could not be set up; an invalid one is destroyed here.
// The reason the back-end gave stays the last error.
template <class Scanner>
InterfacePtr<IMoxVolumeScanner> Construct(const WideString& AMountPoint) {
  InterfacePtr<IMoxVolumeScanner> result;
  try {
    result = InterfacePtr<IMoxVolumeScanner>(new Scanner(AMountPoint));
  } catch (...) {
    return nullptr;
  }
  if (result && !result->GetIsValid()) {
    const DWORD why = GetLastError();
    result = nullptr;
    SetLastError(why);
  }
  return result;
}

}  // namespace

InterfacePtr<IMoxVolumeScanner> MoxCreateVolumeScanner(const WideString& AMountPoint,
                                                       InterfacePtr<IMoxVolumeScannerCallbacks> ACallbacks,
                                                       TMoxVolumeScannerAPI AScannerAPI) {
  InterfacePtr<IMoxVolumeScanner> result;
  // A host's mistakes are answered with null and a reason, not an assertion.
  if (AMountPoint.size() < 2 || AScannerAPI < vsaAuto || AScannerAPI > vsaVFAT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return result;
  }
  const QuietErrorMode quiet;  // probing a drive without media shows no dialog

  WideString root = AMountPoint;
  if (root.back() != u'\\') root += u'\\';

  switch (AScannerAPI) {
    case vsaFind:
      result = Construct<TMoxVolumeScannerFind>(root);
      break;
    case vsaNTFS:
      result = Construct<TMoxVolumeScannerNTFS>(root);
      break;
    case vsaVFAT:
      result = Construct<TMoxVolumeScannerVFAT>(root);
      break;
    case vsaAuto: {
      WCHAR fileSystem[MAX_PATH + 1] = {};
      DWORD rawRefusal = ERROR_SUCCESS;
      if (GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1)) {
        // The registry names the raw reader; FAT, FAT12, FAT16 and FAT32 alike are FAT.
        const FileSystemType* type = FileSystemNamed(std::u16string_view(fileSystem));
        const TMoxVolumeScannerAPI raw = type ? type->rawScanner : vsaAuto;
        if (raw != vsaAuto) {
          result = MoxCreateVolumeScanner(root, nullptr, raw);
          if (!result) rawRefusal = GetLastError();
        }
      }
      if (!result || !result->GetIsValid()) result = MoxCreateVolumeScanner(root, nullptr, vsaFind);
      // When the walk can't list it either, the raw reader's reason says more.
      if (!result && rawRefusal != ERROR_SUCCESS) SetLastError(rawRefusal);
      break;
    }
  }
  // Inner calls pass no receiver, so it lands once, on the scanner returned.
  if (result && ACallbacks) result->RegisterCallbacks(ACallbacks.get());
  if (result) SetLastError(ERROR_SUCCESS);
  return result;
}

InterfacePtr<IMoxVolumeScannerCallbacks> MoxCreateVolumeScannerCallbacks(TMoxVolumeScannerStartEvent AOnStart,
                                                                         TMoxVolumeScannerItemEvent AOnItem,
                                                                         TMoxVolumeScannerFinishEvent AOnFinish) {
  return InterfacePtr<IMoxVolumeScannerCallbacks>(
      new TMoxVolumeScannerCallbacks(std::move(AOnStart), std::move(AOnItem), std::move(AOnFinish)));
}

TMoxVolumeScannerCallbacks::TMoxVolumeScannerCallbacks(TMoxVolumeScannerStartEvent AOnStart,
                                                       TMoxVolumeScannerItemEvent AOnItem,
                                                       TMoxVolumeScannerFinishEvent AOnFinish)
    : FOnStart(std::move(AOnStart)), FOnItem(std::move(AOnItem)), FOnFinish(std::move(AOnFinish)) {}

// Each event holds the scanner for the length of the handler's call.
void TMoxVolumeScannerCallbacks::OnStart(IMoxVolumeScanner* AScanner) {
  const InterfacePtr<IMoxVolumeScanner> hold(AScanner);
  if (FOnStart) FOnStart(AScanner);
}

void TMoxVolumeScannerCallbacks::OnItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem) {
  const InterfacePtr<IMoxVolumeScanner> hold(AScanner);
  if (FOnItem) FOnItem(AScanner, AItem);
}

void TMoxVolumeScannerCallbacks::OnFinish(IMoxVolumeScanner* AScanner, bool AAborted) {
  const InterfacePtr<IMoxVolumeScanner> hold(AScanner);
  if (FOnFinish) FOnFinish(AScanner, AAborted);
}
