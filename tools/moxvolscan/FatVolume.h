// What ls, cat and save share: a FAT image or device opened behind a free
// drive letter as a TDevice with a mounted TFATdrive, a volume path resolved
// to an item of the drive's tree, and the description of an item as a list
// line or a JSON object.
#pragma once

#include <memory>
#include <string>

#include "CliSupport.h"
#include "Diskfs.h"

class FatVolume {
 public:
  FatVolume() = default;
  ~FatVolume();  // drive before device, then the letter goes back
  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  // Binds hostPath to a free letter and mounts it; false with a one-line error.
  bool Open(const std::string& hostPath, std::string& error);
  TFATdrive& drive() { return *drive_; }
  // Reads through the shared sector cache in lines of the given size, so
  // one-sector reads of the FAT reader become few large reads.
  void UseSectorCache(uint32_t lineSectors);
  TDevice& device() { return *device_; }

  // An item by its path from the volume root ("/" or "\" separators, display
  // names, letters compared case-insensitively; "" or "/" is the root).
  // Deleted items are found too; a live item wins over a deleted one of the
  // same name. Null with a one-line error when there is no such item.
  TObject* Resolve(const std::string& volumePath, std::string& error);

 private:
  ModuleSession module_;  // first in, last out: the units outlive the drive
  char letter_ = 0;
  std::unique_ptr<TDevice> device_;
  std::unique_ptr<TFATdrive> drive_;
};

// What a listing says about one item.
struct ItemFacts {
  std::string path;  // from the volume root, "/" separators, display names
  bool dir = false;
  uint64_t size = 0;
  std::string mtime;  // ISO form, "" when the volume has no valid date
  uint8_t attributes = 0;
  bool deleted = false;
  uint8_t condition = 0;  // 0 unknown, 1 data likely intact, 2 space reused
};
// Describes items; the folder path of the last item is kept, since a
// listing reports a folder's items one after another.
class ItemDescriber {
 public:
  // Fills facts, reusing the room its strings already have.
  void Describe(TObject* item, ItemFacts& facts);

 private:
  TCustomDirectory* folder_ = nullptr;
  std::string folderPath_;  // "" for the root, else "A/B/"
};
// One listing line or one JSON object, with its newline, appended to out.
void AppendItemLine(std::string& out, const ItemFacts& f);
void AppendItemJson(std::string& out, const ItemFacts& f);
bool IsDeletedItem(TObject* item);

// The FAT number a read of item should use: --fat when given, else 0
// (contiguous clusters) for deleted items, whose chains are cleared, and the
// drive's first copy for live ones. -1 with an error for a value that names
// no copy of this volume's FAT.
int ChooseFATNumber(TFATdrive& drive, TObject* item, const std::string& fatOption, std::string& error);
