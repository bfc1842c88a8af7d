// What ls, cat and save share: an image or device behind a free drive letter,
// mounted as the drive of whichever file system it holds; volume paths
// resolved to items; items described as list lines or JSON objects.
//
// The commands work on TCustomDrive and its items. What differs between file
// systems (mounting, the name an item shows, reading a file's bytes, saving)
// sits behind FileSystem, one per file system the program reads.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "CliSupport.h"
#include "Devices.h"
#include "Partitions.h"
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
  // For a listing that walks the live tree once: the next scan may free each
  // folder's files once it has left the folder (Orphans still knows them).
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

// What a source holds, from its first sectors, before any drive mounts it.
enum class SourceKind { Other, Ntfs, Exfat, Ext, Empty, Folder, Unreadable };
struct SourceFacts {
  SourceKind kind = SourceKind::Other;
  uint64_t heldBytes = 0;     // the source's size
  uint64_t claimedBytes = 0;  // the volume's size as its boot sector gives it, 0 unknown
  uint64_t mftOffset = 0;     // NTFS: where the MFT begins
};
SourceFacts ExamineSource(char letter);
// "the image holds 12.0 MiB of the 32.0 MiB volume; ..." when it holds less, else "".
std::string TruncationText(const SourceFacts& facts);
// Why no drive could be mounted on such a source: "is empty", "an NTFS
// volume whose MFT cannot be read: ...", ...
std::string SourceProblem(const SourceFacts& facts);

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

// Command lines name an item by path, by "--mft N" or by "--entry C:I"; this
// turns each of the latter into a path argument Resolve takes as that record
// or entry.
std::vector<std::string> RecordArguments(const std::vector<std::string>& args);

class Volume {
 public:
  Volume() = default;
  ~Volume();  // drive before device, then the letter goes back
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Binds hostPath (with a place: the volume there on a whole disk) to a
  // free letter and mounts it; false with a one-line error, which names
  // what was found instead. An image that holds less than its volume is
  // told on stderr at once when place names the command.
  bool Open(const std::string& hostPath, std::string& error, const DiskPlace& place = {});
  // What the image lacks ("" when it holds the whole volume): a listing of
  // it may be incomplete.
  const std::string& Truncation() const { return truncation_; }
  // Folders built so far whose items could not all be read or were cut.
  std::vector<TCustomDirectory*> IncompleteFolders();
  // One stderr line per such folder, and one on how deleted items were
  // searched when that was not the usual way; true when there was a folder
  // or the search could not run.
  bool TellIncomplete(const char* command);
  FileSystem& fs() { return *fs_; }
  TCustomDrive& drive() { return fs_->drive(); }
  // Reads through the shared sector cache in lines of the given size, so
  // one-sector reads become few large reads.
  void UseSectorCache(uint32_t lineSectors);
  // For a command's last step: the item tree is left to the end of the
  // process, which takes it back at once, rather than freed item by item.
  void KeepTreeUntilExit();

  // An item by its path from the volume root: names as ls shows them (see
  // Names.h), "/" or "\" between them, letters compared case-insensitively;
  // "" or "/" is the root. Deleted items are found too; a live item wins over
  // a deleted one of the same name. Null with a one-line error when there is
  // no such item. An argument from RecordArguments names the item of that
  // MFT record, a deleted one first, or of that FAT directory entry.
  TObject* Resolve(const std::string& volumePath, std::string& error);

 private:
  TObject* ResolveIn(TCustomDirectory* root, const std::string& volumePath, std::string& error);
  TObject* FindEntry(const std::string& address, std::string& error);
  TObject* FindRecord(uint64_t record, std::string& error);
  ModuleSession module_;  // first in, last out: the units outlive the drive
  char letter_ = 0;
  std::unique_ptr<TDevice> device_;
  std::unique_ptr<FileSystem> fs_;
  std::string truncation_;
};

// The partition table of a disk opened from hostPath, read with the sector
// size of the device, or the one an image's content tells.
PartitionTable ReadDiskTable(const std::string& hostPath, RawSource& disk);
// One stderr line per entry the table reader skipped or mended:
// "moxvolscan ls: disk.img: partition entry 3 skipped: ...".
void PrintTableNotes(const char* command, const std::string& hostPath, const PartitionTable& table);
// The file system a partition's boot sector names, else its table type.
std::string PartitionFileSystem(const std::shared_ptr<RawSource>& disk, const PartitionTable& table,
                                const PartitionEntry& e);
// "32.0 MiB"; below 1 KiB "N bytes".
std::string HumanSize(uint64_t bytes);
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

bool IsDeletedItem(TObject* item);
// A live folder in the tree of deleted items, standing for itself on their path.
bool IsPathFolder(FileSystem& fs, TObject* item);
uint64_t SizeOf(TObject* item);
// The path ls shows for item, each name escaped, "/" between them.
std::string ShownPath(FileSystem& fs, TObject* item);
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
