// The module's entry points: start-up and shut-down of its units, and the
// one call a host uses to bind a drive letter.
//
// A host calls Initialize once before using the module and Finalize once
// when done. Each unit's initialization runs only at the first request and
// its finalization only when the last request is withdrawn, in the fixed
// order Pdiskio, Ldiskio, Ntfs, Devices (finalization in reverse).
#pragma once

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

// Binds letter ('A'..'Z') to a host directory (binding.rootDir: walked by the
// directory scanner) and/or a raw source (binding.raw, e.g. from
// OpenImageSource: read sector by sector). Z: is bound to "/" from the start.
// False for a bad letter.
bool MoxBindDriveLetter(char letter, const DriveBinding& binding);
void MoxUnbindDriveLetter(char letter);
