// What differs between the file systems the program reads (mounting, the
// name an item shows, reading a file's bytes, saving) sits behind FileSystem,
// one per file system; the commands work on TCustomDrive and its items.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Devices.h"
#include "Timeline.h"

// A file's bytes from the start, in order. Read gives 0 at the end, also
// when the data ends before the file's size (a broken chain or run).
class FileReader {
 public:
  virtual ~FileReader() = default;
  virtual size_t Read(void* buffer, size_t count) = 0;
};

// The program's own folder at a volume's root for what no folder reaches.
constexpr const char* kOrphanFolderName = "$OrphanFiles";

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual TCustomDrive& drive() = 0;
  // The folder ls walks and paths start from (it holds deleted items too).
  virtual TCustomDirectory* Root() = 0;
  // Where deleted items are found when Root does not hold them; null if it does.
  virtual TCustomDirectory* DeletedRoot() { return nullptr; }
  // The item's name as the file system shows it, still unescaped.
  virtual std::string NameOf(TObject* item) = 0;
  // The same without a copy where the item keeps it; valid until the next
  // call or until the item changes.
  virtual std::string_view NameView(TObject* item) { return name_ = NameOf(item); }
  virtual uint8_t AttributesOf(TObject* item) = 0;
  // The item's MFT record number; -1 where the file system has none.
  virtual int64_t RecordOf(TObject* /*item*/) { return -1; }
  // The item's last-write time as the instant the volume records (UTC);
  // false where it keeps only a wall-clock time of no zone (FAT), which the
  // item's MS-DOS date and time give as they stand.
  virtual bool WriteInstantOf(TObject* /*item*/, FILETIME& /*utc*/) { return false; }
  // Every time the volume keeps for the item, with the columns a body file
  // gives it; false when the file system tells none beyond the listing's.
  virtual bool TimesOf(TObject* /*item*/, ItemTimes& /*times*/) { return false; }
  // Where the item's directory entry stands ("C:I", see --entry); "" where
  // the file system has no such address.
  virtual std::string EntryOf(TObject* /*item*/) { return ""; }
  // Whether dir holds an item named name that its children leave out (a
  // listing of deleted items only may build folders without their live files).
  virtual bool LeftOutNamesake(TCustomDirectory* /*dir*/, std::string_view /*name*/) { return false; }
  // Sectors per cache line for a listing, 0 for none. Directory sectors come
  // one at a time: 128 KiB lines serve neighbouring folders from one read.
  virtual uint32_t ListingCacheLine(bool /*deletedOnly*/) { return 256; }
  // Stops a running ScanDrive; callable from another thread.
  virtual void CancelScan() = 0;
  // Builds dir's children, live and deleted, unless they are built.
  virtual void Build(TCustomDirectory* dir) = 0;
  // For a command that walks the live files once or not at all: the next scan,
  // and the search for orphans, may free each folder's files once they have
  // been met (Orphans still knows them); the folders stay.
  virtual void FreeFilesOnceListed() {}
  // The folder of what no folder of the live tree reaches ($OrphanFiles),
  // found once the whole live tree is built and then the root's last child;
  // with withDeleted also when only deleted items whose folder is lost go in
  // it (on FAT, where every orphan is deleted, only then). Null when there is
  // nothing for it.
  virtual TCustomDirectory* Orphans(bool /*withDeleted*/) { return nullptr; }
  // Whether item is such a folder: what is below it is an orphan.
  virtual bool IsOrphanFolder(TObject* /*item*/) { return false; }
  // How files are read, from a command's --fat option; false with an error
  // for a value this volume has no use for.
  virtual bool SetReadOption(const std::string& option, std::string& error) = 0;
  virtual std::unique_ptr<FileReader> Open(TCustomFile* file) = 0;
  // The name a save gives item when no sibling saved before it takes it.
  virtual std::string SaveName(TObject* item) = 0;
  // Why a file of this volume may read short, for the message that says so.
  virtual std::string ShortReadReason(TObject* item) = 0;
  // What a person must know of how deleted items were searched ("" when
  // nothing); failed when the search could not run at all.
  virtual std::string DeletedSearchNote(bool& failed) {
    failed = false;
    return {};
  }
  // Why the size listed for a file is not the one its volume records (which
  // is damage); "" when it is that one.
  virtual std::string SizeDamage(TObject* /*item*/) { return {}; }

  // Set by Volume::Open: the device, and what the image lacks when it holds
  // less than the volume ("" when whole).
  TDevice* device = nullptr;
  std::string imageEnd;
  // imageEnd when a read went past the image's end since the last call
  // (Open of a file is one), else "": why that file read short.
  std::string PastImageEnd();

 private:
  std::string name_;
  uint32_t readsPastEndSeen_ = 0;
};

// Mounts the FAT volume on device; null when it is not one.
std::unique_ptr<FileSystem> MountFat(TDevice& device);
// Mounts the NTFS volume on device; null when its MFT can't be read.
std::unique_ptr<FileSystem> MountNtfs(TDevice& device);
// Whether NTFS folders list items whose only long name is POSIX (on unless
// a command's --no-posix-names turns it off).
void ListPosixNames(bool on);
constexpr const char* kNoPosixHelp =
    "  --no-posix-names  on NTFS, list only Win32 names, as Windows shows a\n"
    "                  folder (items Linux wrote have POSIX names only)\n";
