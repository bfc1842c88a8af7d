// Every time a volume keeps for an item, for timelines: The Sleuth Kit's body
// file (ls --format body, read by mactime) and the time keys of ls --json.
#pragma once

#include <cstdint>
#include <string>

#include "WinTypes.h"

struct ItemFacts;

// One time as the volume keeps it: an instant (NTFS, 100 ns since 1601 UTC)
// or a wall-clock time of no zone (FAT, the same count read as local time).
struct Stamp {
  enum class Kind : uint8_t { None, Instant, WallClock, WallClockDate };
  Kind kind = Kind::None;
  int64_t ticks = 0;
  static Stamp Instant(const FILETIME& ft);
  // From MS-DOS fields plus 10 ms units; None for fields that name no time.
  static Stamp WallClock(uint16_t date, uint16_t time, uint8_t tenMs = 0);
  static Stamp Date(uint16_t date);  // FAT's access date: a day, no time
};

struct ItemTimes {
  Stamp modified, accessed, changed, created;  // changed: NTFS record change; FAT keeps none
  // NTFS: the times of the $FILE_NAME attribute of the name listed.
  bool hasFileName = false;
  Stamp fnModified, fnAccessed, fnChanged, fnCreated;
  // The body file's other columns, as fls fills them: the address
  // ("64-128-2": record, attribute type and id on NTFS; the directory entry's
  // number on FAT), the owner, and the size (a folder's: its index root or
  // its clusters).
  std::string inode, fnInode;
  uint32_t uid = 0;
  uint64_t size = 0, fnSize = 0;
  bool untypedWhenDeleted = false;  // NTFS: fls writes a deleted name's type as '-'
};

// The item's line (and its $FILE_NAME line) of a body file, version 3.
void AppendBodyLines(std::string& out, const ItemFacts& facts, const ItemTimes& times);
// ",\"atime\":...,\"ctime\":...,\"crtime\":..." and on NTFS ",\"file_name\":{...}".
void AppendTimesJson(std::string& out, const ItemTimes& times);
// Seconds since 1970 with the fraction the time has ("1560606330.25"),
// "0" for none; a wall-clock time is read in the zone of TZ at its date.
void AppendEpochSeconds(std::string& out, const Stamp& stamp);
