// What a volume's first sector says about its file system. Internal to the
// platform layer: raw sources use it for mount points, Files.cpp for
// GetVolumeInformation.
#pragma once

#include <cstdint>
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

// The file system the mount table names for the mount holding a directory,
// in Windows spelling where one exists ("vfat" -> "FAT"); empty when unknown.
std::string FileSystemNameFromMountTable(const std::string& dir);
