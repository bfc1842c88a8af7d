// Unit Pdiskio: sectors of a physical disk (128 + n = "\\.\PhysicalDriven")
// or floppy (0 = A:, 1 = B:), in fixed 512-byte units.
//
// Contract: needs the module's Initialize(); before it, and after the last
// Finalize(), every call fails at once with the last error ERROR_NOT_READY
// (no question asked). One thread at a time (one open disk handle for the
// process). A failed read asks "Abort, Retry or Ignore?"
// through the dialog handler (WinApi.h; without one the answer is Abort) and
// returns False; nothing is thrown.
#pragma once

#include <cstdint>

#include "WinTypes.h"

struct TPhysDriveParams {
  uint16_t MediaKind;
  uint16_t Removable;
  uint32_t Cylinders;
  uint32_t Heads;
  uint32_t SectorsPerTrack;
  uint32_t BytesPerSector;
  uint32_t TotalSectors;
};

bool ReadPhysicalSectors(uint8_t drive, uint32_t sector, uint16_t count, void* buffer, bool showErrors);
bool WritePhysicalSectors(uint8_t drive, uint32_t sector, uint16_t count, const void* buffer, bool reserved,
                          bool showErrors);
bool GetPhysDriveParams(uint8_t drive, TPhysDriveParams& params);

void PdiskioInitialization();
void PdiskioFinalization();
