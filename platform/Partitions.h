// Partition tables of whole disks (MBR with its extended chain, GPT), and raw
// sources that are one slice of another, so a partition can be bound to a
// drive letter as a volume of its own. On Windows the kernel does this and
// hands out one volume device per partition; here the platform does it.
//
// Tables are hostile input: every entry is checked against the disk before it
// is used, chains are bounded, and nothing is read outside the source.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Volumes.h"

struct PartitionEntry {
  unsigned number = 0;  // as the Linux kernel numbers it: MBR 1-4 and logicals from 5, GPT index + 1
  uint64_t start = 0;   // byte offset on the disk
  uint64_t size = 0;    // bytes; cut to the end of the disk when the table says more
  std::string type;     // "0x0c" (MBR type byte) or the GPT type GUID, lower case
  std::string name;     // GPT partition name (UTF-8), "" on MBR
  bool truncated = false;  // the table said it runs past the end of the disk
};

// One thing the reader left out or mended, said for a user: "partition entry 3
// skipped: it overlaps partition 1". The program names the disk before it.
struct PartitionNote {
  bool skipped = false;  // an entry, or the rest of a chain, is left out; else mended (cut, backup used)
  std::string text;
};

struct PartitionTable {
  enum class Scheme { None, Mbr, Gpt };
  Scheme scheme = Scheme::None;
  uint32_t sectorSize = 512;
  std::vector<PartitionEntry> entries;  // in number order
  std::vector<PartitionNote> notes;     // in the order met
  bool Skipped() const {
    for (const PartitionNote& n : notes)
      if (n.skipped) return true;
    return false;
  }
};

// Reads the partition table of a whole disk with the given logical sector
// size. A GPT is taken when a protective MBR entry points to one whose header
// and entry array pass their checks (else the backup at the disk's end);
// otherwise the MBR. Scheme::None when sector 0 holds no table, an empty one,
// or a FAT or NTFS boot sector (a volume, not a disk). Never fails otherwise:
// broken entries are skipped and named in notes.
PartitionTable ReadPartitionTable(RawSource& disk, uint32_t sectorSize = 512);

// The logical sector size an image file of a disk or volume was made with,
// told by its content (a file has no queue to ask): 4096 when a GPT header
// stands at byte 4096 and none at 512, or when an MBR's partition begins with
// a boot sector made for 4 KiB sectors only if counted in those units; a bare
// volume's boot sector gives its own; else 512.
uint32_t SectorSizeOfImage(RawSource& image);

// Bytes [offset, offset + length) of base as a source of its own; reads and
// writes never leave the slice. The slice is cut to base's size.
std::shared_ptr<RawSource> MakeSliceSource(std::shared_ptr<RawSource> base, uint64_t offset, uint64_t length);

// The file system the source's first bytes name ("FAT32", "NTFS",
// "ext2/ext3/ext4", ...), "" when none is recognised.
std::string FileSystemOfSource(RawSource& source);

// "MBR", "GPT", "" for none.
const char* PartitionSchemeName(PartitionTable::Scheme scheme);
// A short word for an entry's type: "FAT32", "NTFS/exFAT", "Linux", ...; the
// raw type when it is not one worth naming.
std::string PartitionTypeName(const PartitionTable& table, const PartitionEntry& entry);
// Whether the entry's type is one that never holds files: swap, a reserved
// gap, a boot loader's stage.
bool PartitionTypeHoldsNoFiles(const PartitionTable& table, const PartitionEntry& entry);
