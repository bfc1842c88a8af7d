// Unit Ldiskio: sectors of a lettered volume ("\\.\X:") by drive number
// (1 = A:, 3 = C:, ... 26 = Z:), and the volume's geometry.
//
// Contract: needs the module's Initialize() (the transfer buffer and handles
// are made there); before it, and after the last Finalize(), every call
// fails with the last error ERROR_NOT_READY. One thread at a time: the open
// volume handle and the buffer are process-wide. Failures return False and
// leave the platform's last error; nothing is thrown. Writes reach the volume: the readers above
// never call them.
#pragma once

#include <cstddef>
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
// One run of sectors read straight into its own buffer; ok tells whether
// all of it arrived.
struct TSectorPiece {
  uint32_t sector = 0;
  uint32_t count = 0;
  uint8_t* buffer = nullptr;
  bool ok = false;
};
// Many runs at once, submitted together and without the transfer buffer: for
// scattered reads, where a call each would cost more than the data.
void ReadLogicalSectorPieces(uint8_t drive, TSectorPiece* pieces, size_t count);
bool WriteLogicalSectors(uint8_t drive, uint32_t sector, uint16_t count, const void* buffer);
bool GetLogDriveParams(uint8_t drive, TLogDriveParams& params);

void LdiskioInitialization();
void LdiskioFinalization();
