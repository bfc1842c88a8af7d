// The MFT pass behind NtfsLib: reads a volume's MFT in large sequential
// transfers along its own run list, gathers every in-use file's names,
// parent, attributes, size and times, and resolves folder paths.
//
// A volume is hostile input: every field is bounds-checked against its
// record, run lists and parent chains that point outside the volume or loop
// end where they go wrong, and nothing read is trusted as a pointer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ntfslib {

// Reads len bytes at a byte offset of the volume; returns how many arrived
// (fewer at the end of the volume or on an error).
using VolumeRead = std::function<size_t(uint64_t offset, void* buffer, size_t len)>;

struct Geometry {
  uint32_t bytesPerSector = 0;
  uint32_t bytesPerCluster = 0;
  uint32_t bytesPerRecord = 0;
  uint64_t mftLcn = 0;
  uint64_t volumeBytes = 0;
};

// False unless the sector is an NTFS boot sector with sizes we can work with.
bool ParseBootSector(const uint8_t* sector, size_t len, Geometry& g);

// Applies the update sequence array to one record in place; false unless the
// shared routine finds it Sound. Stricter than the NTFS drive on purpose: a
// torn or oddly laid out record is skipped, not listed with doubtful fields.
bool Fixup(uint8_t* rec, uint32_t len);

// One name of a file as the volume keeps it.
struct FileName {
  uint32_t record;    // the base record it belongs to
  uint8_t nameSpace;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  uint8_t length;     // UTF-16 units
  uint32_t text;      // offset into MftScan::text
  uint64_t parentRef;
};

struct FileRecord {
  uint16_t sequence = 0;
  bool inUse = false;  // an in-use base record
  bool directory = false;
  bool haveInfo = false;     // standard information seen
  bool hasLongName = false;  // some name other than a DOS-only one
  bool special = false;      // a link or device as ntfs-3g stores one: a system file with a tag
  uint32_t attributes = 0;
  uint64_t creationTime = 0, writeTime = 0, accessTime = 0;
  uint64_t dataSize = 0;
  int32_t primaryName = -1;  // index into names: the name its folder path uses
};

class MftScan {
 public:
  // Reads every record. False when the MFT cannot be located or abort was
  // set; damage inside the MFT only loses the damaged records.
  bool Load(const Geometry& g, const VolumeRead& read, const std::atomic<bool>& abort);
  // After Load: false when part of the MFT could not be read (the volume
  // ends early or its map does), so files of it are missing from names.
  bool complete = true;

  // A name to report: its file is an in-use, non-system base record, and it is
  // not a DOS alias of a file that has a long name.
  bool Reportable(const FileName& n) const;
  // The folder holding a name, as a node for FolderPath; -1 when it lies
  // under a system folder such as $Extend.
  int32_t FolderOf(const FileName& n);
  // "" for the root, else "Dir\Sub\". Folders whose chain breaks (a parent
  // freed, reused, missing, too deep or looping) sit under "$Orphans\".
  std::u16string FolderPath(int32_t node) const;
  // The DOS alias that goes with a Win32 name, empty when none.
  std::u16string_view DosAliasOf(const FileName& n) const;
  std::u16string_view Text(const FileName& n) const { return {text.data() + n.text, n.length}; }

  std::vector<FileRecord> records;
  std::vector<FileName> names;  // in MFT order
  std::vector<char16_t> text;

 private:
  struct Folder {
    int32_t parent;  // node, -1 above the root and the orphans
    int32_t name;    // index into names, -1 for the root and the orphans
    uint32_t depth;
  };
  void ParseRecord(uint32_t number, uint8_t* rec);
  void Index();
  bool ValidParent(uint64_t ref) const;
  int32_t ResolveDirectory(uint32_t number);

  Geometry geometry_;
  std::vector<int32_t> folderOf_;  // per record: a node, or a state of ResolveDirectory
  std::vector<Folder> folders_;    // node 0 the root, node 1 the orphans
  std::vector<int32_t> dosAlias_;  // per record: its DOS-only name, -1 when none
  std::vector<uint32_t> chain_;
};

}  // namespace ntfslib
