// What the first bytes of a source hold: the one recogniser of volumes by
// their boot sector or superblock, used by the raw sources and
// GetVolumeInformation, the partition reader, the searches for copies and
// lost volumes, and the module's registry of file systems above. The FAT
// type rule is the FAT drive's too, so every reader names a volume alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class RawSource;

// A volume's family, whatever its variant (FAT12, FAT16 and FAT32 are Fat).
enum class VolumeFormat : uint8_t {
  None,  // nothing recognised
  Fat,
  Ntfs,
  Exfat,
  Ext,  // ext2, ext3 and ext4 share one superblock
  Xfs,
  HfsPlus,
  Refs,
  BitLocker,
  Luks,
  LvmPhysical,
  Swap,
  Squashfs,
  F2fs,
};

// The bytes a recogniser wants: superblocks and signatures up to 4 KiB in.
constexpr size_t kVolumeHeadBytes = 4096;

struct RecognisedVolume {
  VolumeFormat format = VolumeFormat::None;
  // The name shown for it, Windows' where Windows names it ("FAT" for FAT12
  // and FAT16, "FAT32", "NTFS", "exFAT"), else the family's ("ext2/ext3/ext4").
  const char* name = "";
  // Windows names it from its boot sector (GetVolumeInformation does too).
  bool windowsNamesIt = false;
  std::string label;  // from the boot sector where it keeps one
  uint32_t serial = 0;
  bool hasSerial = false;

  // Geometry, where the boot sector gives it; 0 where it does not.
  bool signature = false;        // 55 AA ends the first 512 bytes
  unsigned fatBits = 0;          // FAT: 12, 16 or 32
  uint32_t bytesPerSector = 0;   // as declared (exFAT: from its shift)
  uint64_t clusterSectors = 0;   // NTFS: decoded from its power-of-two form; 0 when invalid
  uint64_t sectors = 0;          // the volume's, as counted there (NTFS: without the copy after them)
  uint32_t reservedSectors = 0;  // FAT: before the first FAT
  uint8_t media = 0;             // FAT: the media byte, which also opens each FAT
  uint16_t backupSector = 0;     // FAT32: where the boot sector's copy is
  uint64_t mftCluster = 0, mirrorCluster = 0;  // NTFS
  // NTFS: sector and cluster sizes powers of two, some sectors and the MFT
  // inside them. FAT geometry is always sound: it is not recognised otherwise.
  bool sound = false;

  // The volume's bytes as its boot sector gives them; 0 when unknown.
  uint64_t Bytes() const;
};

// Recognises the bytes at a source's start (at least 512 of them; a
// superblock further in needs kVolumeHeadBytes). A plausible FAT parameter
// block wins over the ext magic at 1080, which a FAT12 table can hold.
RecognisedVolume RecogniseVolume(const uint8_t* head, size_t size);
// The same over the source's first kVolumeHeadBytes; None when they cannot be read.
RecognisedVolume RecogniseSource(RawSource& source);
// The name of a family ("FAT", "NTFS", "ext2/ext3/ext4"); "" for None.
const char* VolumeFormatName(VolumeFormat format);

// What GetVolumeInformation reports from a boot sector: the file systems
// Windows names that way, with label and serial.
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
