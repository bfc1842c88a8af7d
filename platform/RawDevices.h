// What both systems' file calls do alike with the raw sources bound in the
// volume namespace: "\\.\X:" and "\\.\PhysicalDriveN" handles over them, their
// geometry, and what a bound letter tells GetVolumeInformation. Each system's
// Files.cpp hands these calls the handles and names that are ours and does the
// rest itself. Internal to the platform library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Volumes.h"
#include "WinApi.h"

// A handle on a bound raw source. The position is ours: a source has no
// file pointer of its own.
struct RawHandle : KernelObject {
  std::shared_ptr<RawSource> raw;
  bool canRead = false;
  bool canWrite = false;
  uint64_t position = 0;
  UINT driveType = DRIVE_FIXED;
  uint32_t sectorSize = 512;
};

// The handle when h is one of ours, else null.
RawHandle* AsRawHandle(HANDLE h);

// "\\.\X:" and "\\.\PhysicalDriveN": isDeviceName tells whether name has
// that form at all; the result is the binding behind it, if any.
std::optional<DriveBinding> DeviceBindingOf(const std::string& name, bool& isDeviceName);

// A handle on binding's raw source; INVALID_HANDLE_VALUE with the last error
// set when there is none or it may not be written.
HANDLE OpenRawHandle(const std::optional<DriveBinding>& binding, DWORD access);

// Whether a transfer may start: the handle's access allows it and a length
// comes with a buffer. Sets the last error when not.
bool TransferAllowed(bool permitted, const void* buffer, DWORD length);

// Every piece with a length has a buffer; sets the last error when not.
bool PiecesValid(const ReadPiece* pieces, size_t count);

// ReadFile, WriteFile, ReadFilePieces and DeviceIoControl on such a handle.
BOOL RawReadFile(RawHandle& f, void* buffer, DWORD toRead, DWORD* read);
BOOL RawWriteFile(RawHandle& f, const void* buffer, DWORD toWrite, DWORD* written);
BOOL RawReadFilePieces(RawHandle& f, ReadPiece* pieces, size_t count);
BOOL RawDeviceIoControl(RawHandle& f, DWORD code, void* out, DWORD outSize, DWORD* returned);

// SetFilePointer's arithmetic over a position and a size: the new position,
// or INVALID_SET_FILE_POINTER with the last error set for a bad method or a
// target before the start.
DWORD MoveFilePointer(uint64_t& position, uint64_t size, LONG distance, LONG* distanceHigh, DWORD method);

// Geometry that multiplies out to exactly the sectors there are.
void GeometryFor(uint64_t totalSectors, uint32_t sectorSize, UINT driveType, DISK_GEOMETRY& g);

// The letter a root path like "X:\", "X:" or "\\?\X:\" names; 0 for none.
char LetterOfRoot(const char* rootPath);

// GetVolumeInformationA for a bound letter: names from the forced name, the
// raw source's boot sector or the folder's file system.
BOOL BoundVolumeInformation(const DriveBinding& binding, char* volumeName, DWORD volumeNameSize,
                            DWORD* serialNumber, DWORD* maxComponentLength, DWORD* fileSystemFlags,
                            char* fileSystemName, DWORD fileSystemNameSize);
// GetVolumeInformationW through GetVolumeInformationA, for the letters whose
// names are ours.
BOOL WideVolumeInformationFromAnsi(const WCHAR* rootPath, WCHAR* volumeName, DWORD volumeNameSize,
                                   DWORD* serialNumber, DWORD* maxComponentLength, DWORD* fileSystemFlags,
                                   WCHAR* fileSystemName, DWORD fileSystemNameSize);

// The drive type and sector size an image's content tells: an ISO 9660
// volume is a CD-ROM with 2048-byte sectors, anything else a fixed disk with
// the sectors SectorSizeOfImage finds.
void DescribeImageContent(RawSource& image, UINT& driveType, uint32_t& sectorSize);

// Each system's own: the raw source of the volume mounted at dir (null when
// dir is no mount point or it can't be opened), with the file system's name;
// and the letters the system itself already has, as a bit mask (bit 0 = A:).
std::shared_ptr<RawSource> RawSourceForMountPoint(const std::string& dir, std::string& fsName);
uint32_t SystemDriveLetters();
