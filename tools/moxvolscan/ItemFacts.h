// What a listing says about an item, as a text line or a JSON object.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "FileSystem.h"

// "32.0 MiB"; below 1 KiB "N bytes".
std::string HumanSize(uint64_t bytes);
// "only N of M bytes could be read": cat and save say it alike.
std::string ShortReadText(uint64_t got, uint64_t size, const std::string& reason);

// What a listing says about one item.
struct ItemFacts {
  std::string path;  // shown path from the volume root
  bool dir = false;
  uint64_t size = 0;
  // ISO form: the UTC instant with Z (NTFS, to 100 ns), or the local
  // wall-clock time without a zone (FAT); "" when the volume has no valid date.
  std::string mtime;
  uint8_t attributes = 0;
  bool deleted = false;
  uint8_t condition = 0;  // 0 unknown, 1 data likely intact, 2 space reused
  int64_t mft = -1;       // MFT record number, -1 on FAT
  std::string entry;      // FAT directory entry address "C:I", "" on NTFS
  // Its path names another item too (a namesake of it or of a folder on
  // the way): the text line adds the entry address.
  bool samePath = false;
  // It is $OrphanFiles or below it: no folder of the volume leads to it.
  bool orphan = false;
};
// Describes items; the folder path of the last item is kept, since a
// listing reports a folder's items one after another.
class ItemDescriber {
 public:
  explicit ItemDescriber(FileSystem& fs) : fs_(fs) {}
  // Fills facts, reusing the room its strings already have.
  void Describe(TObject* item, ItemFacts& facts);

 private:
  // Whether dir's path is shared with another item, the answer kept.
  bool PathShared(TCustomDirectory* dir);
  // The names that two or more of dir's children have, counted once per folder.
  const std::unordered_set<std::string>& Namesakes(TCustomDirectory* dir);
  FileSystem& fs_;
  TCustomDirectory* folder_ = nullptr;
  std::string folderPath_;  // "" for the root, else "A/B/"
  bool folderShared_ = false;
  bool folderOrphan_ = false;
  std::unordered_map<const TCustomDirectory*, std::unordered_set<std::string>> namesakes_;
  std::unordered_map<const TCustomDirectory*, bool> shared_;
};
// One listing line or one JSON object, with its newline, appended to out.
void AppendItemLine(std::string& out, const ItemFacts& f);
void AppendItemJson(std::string& out, const ItemFacts& f);
