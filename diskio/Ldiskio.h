// Unit Ldiskio: sectors of a lettered volume ("\\.\X:") by drive number
// (1 = A:, 3 = C:, ... 26 = Z:), and the volume's geometry.
#pragma once

#include <cstdint>

#include "WinTypes.h"

struct TLogDriveParams {
  uint16_t MediaKind;  // 0 unknown, 1 floppy, 2 removable, 3 fixed, 4 CD-ROM
  uint16_t Removable;
  uint32_t Cylinders;
  uint32_t Heads;
  uint32_t SectorsPerTrack;
  uint32_t BytesPerSector;
  uint32_t TotalSectors;
};

extern bool optUseINT25;

bool ReadLogicalSectors(uint8_t drive, uint32_t sector, uint16_t count, void* buffer);
bool WriteLogicalSectors(uint8_t drive, uint32_t sector, uint16_t count, const void* buffer);
bool GetLogDriveParams(uint8_t drive, TLogDriveParams& params);

void LdiskioInitialization();
void LdiskioFinalization();
