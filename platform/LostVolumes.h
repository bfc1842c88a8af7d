// Volumes that a partition table no longer lists: FAT and NTFS boot sectors,
// and the copies FAT32 (6 sectors in) and NTFS (in the volume's last sector)
// keep, looked for where partitioning tools start and end volumes rather
// than at every sector, so that a search of a large disk stays short.
//
// Places looked at: every 1 MiB; the cylinders of the usual geometries (255
// heads of 63 sectors, and the one LBA-assisted translation gives a disk of
// this size) and the track after each, where MBR-era tools put partitions
// and logical ones; the disk's last sectors (a volume running to the end, or
// to a GPT's last usable sector); the ends of the table's entries and of the
// volumes found, every 4 KiB for 1 MiB after; on a disk of at most 2 GiB
// (cards, old disks), every 4 KiB and every track of 63 sectors. A place is
// the start of a volume, the sector before it (an NTFS copy) and the sixth
// after it (a FAT32 copy).
//
// The data of volumes the table lists is passed by: a lost volume cannot lie
// inside a live one's sectors. An entry whose volume is not recognised, and
// the space between entries, are searched.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BootSector.h"
#include "Partitions.h"

struct LostVolume {
  uint64_t start = 0;              // first sector, in the disk's sectors
  uint64_t sectors = 0;            // its extent as its boot sector gives it (NTFS: with the copy in its last sector)
  VolumeFormat format = VolumeFormat::None;  // Fat or Ntfs
  std::string fileSystem;          // its name: "FAT", "FAT32" or "NTFS"
  std::string label;               // a FAT boot sector's label field, trimmed; NTFS keeps none there
  bool bootSector = false;         // a sound boot sector stands at start
  uint64_t copy = 0;               // the disk sector of a sound copy, 0 when none was seen
  std::vector<unsigned> overlaps;  // numbers of the table's entries sharing sectors with it
  bool pastEnd = false;            // it runs past the end of the disk
};

struct LostVolumeSearch {
  std::vector<LostVolume> volumes;  // by start sector
  uint64_t places = 0;              // places looked at
  uint64_t unreadable = 0;          // reads that failed: what they held was not looked at
  bool finished = true;             // false: stopped at the cap or by the caller
  uint64_t stoppedAt = 0;           // the sector it stopped at, when not finished
};

struct LostVolumeLimits {
  // Enough for every MiB of a 4 TiB disk with its cylinders.
  uint64_t maxPlaces = 5'000'000;
  // Called after each stretch of the disk with the sector reached and the
  // disk's sectors; false stops the search there.
  std::function<bool(uint64_t sector, uint64_t sectors)> progress;
};

// Searches the disk (sectors of table.sectorSize bytes) for volumes its
// table does not list. A volume found at the start of an entry whose own
// boot sector is sound is that entry's and is left out.
LostVolumeSearch SearchLostVolumes(RawSource& disk, const PartitionTable& table, const LostVolumeLimits& limits = {});

// The volume starting at sector start: by its boot sector, else by a FAT32
// copy 6 sectors in, else by an NTFS copy in its last sector at one of the
// places above. False when none puts a volume there.
bool FindVolumeAt(RawSource& disk, uint32_t sectorSize, uint64_t start, LostVolume& found);
