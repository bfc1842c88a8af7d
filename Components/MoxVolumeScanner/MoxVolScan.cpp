#include "MoxVolScan.h"

#include <mutex>

#include "Devices.h"
#include "Ldiskio.h"
#include "Ntfs.h"
#include "Pdiskio.h"
#include "WinApi.h"

namespace {

const TPackageUnitEntry kUnits[] = {
    {"Pdiskio", PdiskioInitialization, PdiskioFinalization},
    {"Ldiskio", LdiskioInitialization, LdiskioFinalization},
    {"Ntfs", NtfsInitialization, NtfsFinalization},
    {"Devices", DevicesInitialization, DevicesFinalization},
};
constexpr int kUnitCount = sizeof(kUnits) / sizeof(kUnits[0]);

const TPackageInfoTable kTable = {kUnitCount, kUnits};

std::mutex startLock;
int requests[kUnitCount] = {};

}  // namespace

void Initialize() {
  std::lock_guard guard(startLock);
  for (int i = 0; i < kUnitCount; ++i)
    if (requests[i]++ == 0) kUnits[i].Init();
}

void Finalize() {
  std::lock_guard guard(startLock);
  for (int i = kUnitCount - 1; i >= 0; --i)
    if (requests[i] > 0 && --requests[i] == 0) kUnits[i].FInit();
}

const TPackageInfoTable* GetPackageInfoTable() { return &kTable; }

const char* MoxVolScanVersion() { return MOXVOLSCAN_VERSION; }

bool MoxIsInitialized() {
  std::lock_guard guard(startLock);
  return requests[kUnitCount - 1] > 0;
}

bool MoxBindDriveLetter(char letter, const DriveBinding& binding) {
  if (BindDriveLetter(letter, binding)) return true;
  SetLastError(ERROR_INVALID_DRIVE);
  return false;
}

void MoxUnbindDriveLetter(char letter) { UnbindDriveLetter(letter); }
