// The module's entry points: start-up and shut-down of its units, and the
// one call a host uses to bind a drive letter.
//
// A host calls Initialize once before using the module and Finalize once
// when done. Each unit's initialization runs only at the first request and
// its finalization only when the last request is withdrawn, in the fixed
// order Pdiskio, Ldiskio, Ntfs, Devices (finalization in reverse).
#pragma once

#include "MoxVolScanVersion.h"
#include "Volumes.h"

struct TPackageUnitEntry {
  const char* Name;
  void (*Init)();
  void (*FInit)();
};

struct TPackageInfoTable {
  int UnitCount;
  const TPackageUnitEntry* UnitInfo;
};

void Initialize();
void Finalize();
const TPackageInfoTable* GetPackageInfoTable();
// True between the first Initialize and the last Finalize. Without it the
// raw readers cannot work: a scanner that needs them is refused with the
// last error ERROR_NOT_READY.
bool MoxIsInitialized();
// The version of the library the program runs with ("0.1.0"); the headers'
// own is MOXVOLSCAN_VERSION.
const char* MoxVolScanVersion();

// Binds letter ('A'..'Z') to a host directory (binding.rootDir: walked by the
// directory scanner) and/or a raw source (binding.raw, e.g. from
// OpenImageSource: read sector by sector). Z: is bound to "/" from the start.
// False, with ERROR_INVALID_DRIVE, for a bad letter. Any thread; scanners
// already made keep what they found. (C hosts: NtfsLibBindImage and its
// siblings in NtfsLib.h.)
bool MoxBindDriveLetter(char letter, const DriveBinding& binding);
void MoxUnbindDriveLetter(char letter);
