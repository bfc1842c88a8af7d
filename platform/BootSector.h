// What a volume's first sector says about its file system, and where its
// copy is when the first sector is lost. Raw sources use it for mount points,
// Files.cpp for GetVolumeInformation; the FAT type rule is the FAT drive's
// too, so every reader names a volume alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class RawSource;

struct BootSectorInfo {
  std::string fileSystemName;  // "NTFS", "FAT", "FAT32", "exFAT"; empty when unrecognised
  std::string label;           // from the boot sector where it keeps one
  uint32_t serial = 0;
  bool hasSerial = false;
};

// Reads sector 0 of the source. False when it can't be read or isn't one of
// the file systems above.
bool ReadBootSectorInfo(RawSource& source, BootSectorInfo& info);
// Same, over bytes already read (at least 512 of them).
bool ParseBootSector(const uint8_t* sector, size_t size, BootSectorInfo& info);

// A sound copy of the boot sector, for a source whose first sector holds
// none that can be read: FAT32 keeps one at sector 6, NTFS in the volume's
// last sector (NT 3.x in its middle). Sectors of 512 to 4096 bytes are
// tried; a copy counts when its own sector size is the one it was found by.
struct BackupBootSector {
  uint64_t sector = 0;       // where the copy is, in sectorSize units
  uint32_t sectorSize = 512;
  std::string fileSystemName;  // "FAT32" or "NTFS"
};
// An NTFS boot sector (512 bytes at s) whose geometry can be read, made for
// sectors of sectorSize bytes (0: any) and of a volume of at most
// volumeSectors sectors (0: any size).
bool SoundNtfsBootSector(const uint8_t* s, uint32_t sectorSize, uint64_t volumeSectors);
// False when sector 0 is usable, or no copy is sound.
bool FindBackupBootSector(RawSource& source, BackupBootSector& found);
// The source with the copy read in place of its first sector (read-only);
// null when the copy can't be read.
std::shared_ptr<RawSource> WithBootSectorFrom(std::shared_ptr<RawSource> source, const BackupBootSector& copy);

// The file system the mount table names for the mount holding a directory,
// in Windows spelling where one exists ("vfat" -> "FAT"); empty when unknown.
std::string FileSystemNameFromMountTable(const std::string& dir);

// The FAT type of a parameter block: 12, 16 or 32; 0 when it has no usable
// layout. No fixed root and no 16-bit FAT size is the FAT32 layout, FAT32
// whatever its count of clusters, as dosfstools and the Linux kernel read it
// (mkfs.fat -F 32 makes small ones; read by the count they would list as
// empty). Otherwise the count decides. A 16-bit FAT size with no root
// entries, or no FAT size at all, lays out no root to read.
inline unsigned FatTypeOf(uint16_t rootEntries, uint16_t sectorsPerFat16, uint32_t sectorsPerFat32,
                          uint32_t clusterCount) {
  if (sectorsPerFat16 == 0) return rootEntries == 0 && sectorsPerFat32 != 0 ? 32 : 0;
  if (rootEntries == 0) return 0;
  return clusterCount < 4085 ? 12 : clusterCount < 65525 ? 16 : 32;
}
