// Where a command's volume lies: a host path bound to a drive letter, on a
// whole disk the partition or sector the command's options name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "BootSector.h"
#include "CliSupport.h"
#include "Partitions.h"

// Where on a whole disk a command's volume lies: a partition of its table, or
// a start sector for a volume whose table entry is lost.
struct DiskPlace {
  unsigned partition = 0;          // numbered as Linux numbers them; 0 for none
  std::optional<uint64_t> sector;  // in the disk's sectors
  // Names the command on the lines saying what the table reader skipped or
  // mended; null keeps them quiet (a second look at the same disk).
  const char* command = nullptr;
};

// Binds a free drive letter to a host directory (as the letter's root) or to
// an image file or block device (as its read-only raw source). A whole
// partitioned disk needs a partition or a sector: the letter then holds the
// volume there. Returns the letter, or 0 with a one-line error ("PATH:
// reason") in error.
char BindHostPath(const std::string& hostPath, std::string& error, const DiskPlace& place = {});

struct DriveBinding;
// binding.raw, a disk opened from hostPath, narrowed to the volume at place,
// with the sector size it has. False with a one-line error for a partitioned
// disk without a place (listing its partitions), a partition not on it, or a
// sector with no FAT or NTFS boot sector.
bool SelectPartition(const std::string& hostPath, DriveBinding& binding, const DiskPlace& place,
                     std::string& error);

// The partition table of a disk opened from hostPath, read with the sector
// size of the device, or the one an image's content tells.
PartitionTable ReadDiskTable(const std::string& hostPath, RawSource& disk);
// One stderr line per entry the table reader skipped or mended:
// "moxvolscan ls: disk.img: partition entry 3 skipped: ...".
void PrintTableNotes(const char* command, const std::string& hostPath, const PartitionTable& table);
// What a partition's first bytes are.
RecognisedVolume PartitionVolume(const std::shared_ptr<RawSource>& disk, const PartitionEntry& e);
// The file system a partition's first bytes name, else its table type.
std::string PartitionFileSystem(const std::shared_ptr<RawSource>& disk, const PartitionTable& table,
                                const PartitionEntry& e);
// Whether the registry says the volume is one this program reads.
bool ReadByThisProgram(const RecognisedVolume& volume);
// What a command over a whole disk does with one of its partitions: reads
// it (also through the copy of a lost boot sector), or passes it over,
// which is a loss to tell unless nothing there holds files (swap, a
// reserved gap). why says what it is then.
enum class PartitionUse { Read, PassedOver, HoldsNoFiles };
PartitionUse UseOfPartition(const std::shared_ptr<RawSource>& disk, const PartitionTable& table,
                            const PartitionEntry& e, std::string& why);
// The --partition and --sector options of a command (empty place when
// absent); false (having said why on stderr) for a value that is not a
// number or both at once.
bool PartitionOption(const ParsedArgs& parsed, const char* command, DiskPlace& place);
constexpr const char* kPartitionHelp =
    "  --partition N   the Nth partition of a whole disk image or device, numbered\n"
    "                  as Linux numbers them (MBR 1-4, logical from 5; GPT\n"
    "                  entries from 1); a partitioned disk without it is an\n"
    "                  error listing its partitions\n"
    "  --sector S      the volume starting at sector S of a whole disk, read up\n"
    "                  to the disk's end: a partition whose table entry is lost.\n"
    "                  Sectors are the disk's own (4096 bytes on a 4Kn disk,\n"
    "                  else 512); not with --partition\n";
