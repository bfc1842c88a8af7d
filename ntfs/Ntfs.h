// Unit Ntfs: NTFS volumes read sector by sector.
//
// TNTFSdrive mounts a volume from its boot sector and MFT record 0, reads any
// MFT record by number through the MFT's run list (extension records
// included), finds attributes (through attribute lists too), reads attribute
// values by clusters or byte ranges, lists folders from their $I30 indexes
// into a lazily built tree of TNTFSDirectory/TNTFSFile, rebuilds deleted
// items from free MFT records, reads file data and saves items into a host
// folder.
//
// The volume is only ever read. A volume image is hostile input: every walk
// stays inside its record, attribute, list value or index block; run lists,
// index trees, attribute lists and parent chains that loop or point outside
// the volume end the walk; buffers are bounded by the volume's own size.
//
// A drive and its trees are used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "Devices.h"
#include "NtfsLayout.h"
#include "Stream.h"

class TNTFSdrive;
class TNTFSDirectory;
class TNTFSFile;

// Name of the directory index attribute, prepared at start-up.
extern WideString NtfsIndexName;

// Off at start: folders list items under Win32 names only, as Windows shows
// them. On: an item whose only long name is POSIX (as Linux writes them) is
// listed too, still once per name; DOS-only names stay hidden either way.
extern bool optNtfsPosixNames;

// The open-file record of the byte reader; owned by the caller, holds no handle.
struct TNTFSfileInfo {
  int64_t MFTfileRef = 0;
  int64_t Position = 0;
  int64_t Size = 0;
};

// Index walk visitor: False stops the whole walk. key's name lies inside its entry.
using TNTFSDirEntryCallback = bool (*)(uint64_t FileReference, const TFILENAME_ATTRIBUTE* key, intptr_t Data);

class TNTFSdrive : public TCustomDrive {
 public:
  TNTFSdrive();
  ~TNTFSdrive() override;  // frees the start items (and with them the trees)

  // The scan context ScanDrive hands to its visitor.
  struct TTransferdata {
    AnsiString Mask;
    TNTFSdrive* Drive = nullptr;
    bool DeletedOnly = false;
  };

  // Count device sectors at FirstSector + Sector.
  bool ReadSec(uint32_t Sector, uint16_t Count, void* Buffer, bool showErrors) override;
  // Reads the boot sector, MFT record 0, the volume name and flags and makes
  // the start items. False only when the boot sector can't be read; check
  // MftLoaded for a volume whose records can be read.
  bool MountDrive(bool Flag) override;
  void ScanDrive(const AnsiString& FileMask, bool IncludeDeleted, bool DeletedOnly) override;
  // Set by a listing that walks the live tree once: as ScanDrive's walk
  // leaves a folder, this sees it and then the folder's files are freed
  // (its subfolders stay, with what they hold and their flags). A million
  // files then never sit in memory at once.
  std::function<void(TNTFSDirectory*)> OnReleaseFiles;

  bool LoadMFT();
  // Record `index` after fix-up into a buffer of BytesPerFileRecord bytes.
  // False (buffer untouched) when it can't be read or the MFT never loaded.
  bool ReadFileRecord(uint32_t index, uint8_t* buffer);
  // Many records at once into consecutive BytesPerFileRecord slots of
  // buffer; ok[i] tells whether record numbers[i] was read. Scattered
  // records cost far less read together than one by one.
  void ReadFileRecords(const uint32_t* numbers, size_t count, uint8_t* buffer, bool* ok);
  void CreateStartItems();
  // Repairs without judging: a torn record is read as it stands (see ApplyUpdateSequenceArray).
  void FixupUpdateSequenceArray(uint8_t* record, uint32_t length) { ApplyUpdateSequenceArray(record, length); }

  // ---- Attributes and runs (records are BytesPerFileRecord bytes) ----
  // The occurrence-th attribute of Type: unnamed ones when Name is null, else
  // those whose name has Name's length and first code unit.
  const TATTRIBUTE* FindAttribute(const uint8_t* record, uint32_t Type, const WCHAR* Name, uint8_t occurrence);
  // The Win32 (or Win32+DOS) name of a record, else the last name it has.
  const TFILENAME_ATTRIBUTE* FindAttributeFileName(const uint8_t* record);
  // Over the value of an attribute list (ListSize bytes).
  const TATTRIBUTE_LIST_ENTRY* FindAttributeListEntry(const uint8_t* list, uint32_t ListSize, uint32_t Type,
                                                      const WCHAR* Name, uint8_t occurrence);
  // The value of a record's attribute list, resident or not; empty when none.
  std::vector<uint8_t> ReadAttributeList(const uint8_t* record);
  // LCN holding vcn (0 in a sparse run) and the clusters left in its run.
  bool FindRun(const TATTRIBUTE* attribute, int64_t vcn, int64_t& lcn, int64_t& count);
  // Count clusters at lcn; False when a sector read fails (the buffer then holds zeros there).
  bool ReadLCN(int64_t lcn, uint32_t count, uint8_t* buffer);
  bool ReadExternalAttribute(const TATTRIBUTE* attribute, int64_t vcn, uint32_t count, uint8_t* buffer);
  bool ReadVCN(const uint8_t* record, uint32_t Type, int64_t vcn, uint32_t count, uint8_t* buffer, uint32_t owner);
  // The whole value into buffer (sized here: the value, or the clusters of a
  // non-resident one); False when it can't be read or is larger than the volume.
  bool ReadAttribute(const TATTRIBUTE* attribute, std::vector<uint8_t>& buffer);
  // Bytes of the value from offset; a read that fails ends the count there.
  uint32_t BlockReadAttribute(const TATTRIBUTE* attribute, uint8_t* buffer, int64_t offset, uint32_t count);
  bool BitmapAttributeBitSet(const TATTRIBUTE* attribute, int64_t bit);
  // Bytes [offset, offset + size) of a non-resident value; False when any
  // cluster of it can't be found or read.
  bool ReadValueBytes(const TATTRIBUTE* attribute, uint64_t offset, uint32_t size, uint8_t* buffer);
  // A copy of the whole attribute of the item whose base record is `record`
  // (number `owner`): from the record itself, or put together from the
  // pieces its attribute list names in extension records (one run list
  // over all of them). False when there is none.
  bool GatherAttribute(const uint8_t* record, uint32_t owner, uint32_t Type, const WCHAR* Name,
                       std::vector<uint8_t>& out);

  // ---- Deleted items ----
  void FindDeleted();
  // How the last FindDeleted told free records: by the MFT bitmap, or, that
  // unreadable, by each record's own header; Failed when it could examine none.
  enum class TDeletedSearch { NotRun, ByBitmap, ByHeaders, Failed };
  TDeletedSearch DeletedSearch = TDeletedSearch::NotRun;
  // Free records that keep no name anywhere, found by FindDeleted: each
  // stands in DeletedTreeRoot as a file named "OrphanFile-N", N its number.
  std::vector<uint64_t> NamelessRecords;
  uint8_t DetermineDeletedCondition(const TATTRIBUTE* data);
  TNTFSDirectory* ResolveDeletedParent(const TFILENAME_ATTRIBUTE* name, int depth);
  // Directories of start's tree whose MFTfileRef is a (resp. b); the last one met wins.
  void FindDeletedTreeDirectories(TCustomDirectory* start, uint64_t a, uint64_t b, TNTFSDirectory*& foundA,
                                  TNTFSDirectory*& foundB);

  // ---- Reading ----
  // Size may be 4 GiB or more: positions are 64-bit throughout.
  bool resetByMFTfileRef(int64_t MFTfileRef, int64_t Size, TNTFSfileInfo& Info);
  bool blockread(TNTFSfileInfo& Info, uint32_t Count, void* Buffer, uint32_t& BytesRead);
  bool seek(TNTFSfileInfo& Info, int64_t Pos);
  int64_t filepos(const TNTFSfileInfo& Info) const { return Info.Position; }
  int64_t filesize(const TNTFSfileInfo& Info) const { return Info.Size; }
  void close(TNTFSfileInfo& /*Info*/) {}

  // ---- Saving into a host folder (DestPath ends with "\") ----
  bool SaveItem(TObject* Item, const AnsiString& DestPath);
  bool SaveFile(TNTFSFile* F, const AnsiString& DestPath, bool& OverwriteFiles);
  bool SaveDirectory(TNTFSDirectory* D, const AnsiString& DestPath, bool IncludeDeleted, bool DeletedOnly,
                     bool Recurse, bool& OverwriteAllDirs, bool& OverwriteFiles);
  // When set, SaveFile hands it the files of 4 GiB or more, which SaveTo
  // refuses (the host copies them whole through the 64-bit blockread).
  std::function<bool(TNTFSFile* F, const AnsiString& DestPath)> SaveLargeFile;
  // The name an item is saved under: its safe name, numbered when a sibling
  // saved before it in the same folder took that name.
  AnsiString SaveTargetName(const TObject* Item) const;
  std::map<const TObject*, AnsiString> FSaveNames;  // children of the folders being saved

  // ---- Volume facts (the program's info shows them) ----
  uint32_t BytesPerIndexBlock = 0;
  uint32_t BytesPerFileRecord = 0;
  uint32_t BytesPerCluster = 0;
  TBOOT_BLOCK bootb{};
  std::vector<uint8_t> MftRecord;  // record 0 after fix-up; empty until LoadMFT succeeds
  int64_t DeletedFileCount = 0;
  std::vector<uint8_t> ClusterBuffer;
  bool MftLoaded = false;
  uint8_t MajorVersion = 0;
  uint8_t MinorVersion = 0;
  uint16_t VolumeFlags = 0;  // bit 0: dirty
  bool Dirty() const { return VolumeFlags & 1; }
  uint32_t BytesPerSector() const { return bootb.BytesPerSector; }
  uint32_t SectorsPerCluster() const { return bootb.SectorsPerCluster; }
  int64_t MftStartLcn() const { return bootb.MFTStartLcn; }
  // Records the MFT's data attribute holds, no more than fit into the volume.
  uint64_t MftRecordCount() const { return FMftRecords; }
  // The MFT's bitmap (bit n set: record n in use), from record 0 or the
  // extension record its attribute list names; empty when it can't be read.
  std::vector<uint8_t> ReadMftBitmap();

  // A data attribute's size, when it is one the volume can hold (True).
  // A negative one, or one past the volume without holes to make it up, is
  // damage (False): size is then what the attribute's clusters can hold.
  bool DataSizeHeld(const TATTRIBUTE* data, int64_t& size);
  // f's Size from data (a deleted item's data attribute) or, for a live item
  // whose index entry gives a size the volume can't hold, from its record;
  // a size that is damage there too becomes what the clusters hold.
  void SetFileSize(TNTFSFile& f, const TATTRIBUTE* data);

  // Bytes one allocation may take: the volume's size, at most 256 MiB.
  uint64_t AllocationLimit() const;
  // Items the trees may still grow by (bounds trees of hostile indexes).
  uint64_t ItemBudget = 0;

 private:
  friend class TNTFSDirectory;
  bool ReadVolumeSectors(uint64_t Sector, uint64_t Count, uint8_t* Buffer);
  // The MFT's data runs, from record 0 and the extension records its
  // attribute list names, put together once when the MFT loads: every record
  // read finds its clusters here and never goes through the list again
  // (which, naming far records, made each read re-enter the reader).
  struct MftRun {
    uint64_t vcn, length;
    int64_t lcn;  // 0: sparse, which no MFT is: such records can't be read
  };
  std::vector<MftRun> FMftMap;  // ascending, without gaps, from VCN 0
  uint64_t FMftRecords = 0;
  void MapMft();
  // The LCN holding vcn and the clusters left in its run; False when unmapped.
  bool FindMftRun(uint64_t vcn, int64_t& lcn, uint64_t& count) const;
  // Where record `index` lies when one run holds it: its volume sectors and
  // the offset of the record in the first. False when it spans runs.
  bool LocateFileRecord(uint32_t index, uint64_t& first, uint64_t& count, uint32_t& skip) const;
  bool ValidGeometry() const;
  uint64_t VolumeBytes() const;
  uint32_t FSectorRatio = 1;  // device sectors per volume sector
  int FReadVcnDepth = 0;      // ReadVCN -> ReadFileRecord -> ReadVCN through attribute lists
  std::vector<uint8_t> FRecordScratch;      // the sectors around a record smaller than one
  // ReadFileRecords' reads, kept between calls: the device's pieces and, for
  // each, the record it is for and, for a record smaller than its sectors,
  // where the sectors go in FRecordScratch and where the record starts in them.
  struct RecordRead {
    size_t record;
    bool direct;
    size_t scratchAt;
    uint32_t skip;
  };
  std::vector<TSectorPiece> FRecordPieces;
  std::vector<RecordRead> FRecordReads;
  std::vector<uint8_t> FVolumeBitmapRecord;  // record 6, read once for the deleted verdicts
  std::vector<uint8_t> FBitmapWindow;        // bytes of its value from FBitmapWindowStart
  int64_t FBitmapWindowStart = -1;
  bool VolumeClusterInUse(const TATTRIBUTE* bitmap, int64_t lcn);
  // While FindDeleted runs: the deleted tree's directories by record number,
  // so finding a parent costs one look-up instead of a walk of the tree,
  // with what the record holds now, which tells whether a child's parent
  // reference still means it.
  struct DeletedFolder {
    TNTFSDirectory* dir = nullptr;      // the folder the record holds (path, deleted or placeholder)
    TNTFSDirectory* orphans = nullptr;  // "MFT n" for children of a folder the record held before
    bool anyChild = true;               // nothing known of the record: every child goes to dir
    bool free = false;
    uint16_t sequence = 0;
    int64_t created = 0;
  };
  std::unordered_map<uint64_t, DeletedFolder> FDeletedDirs;
  bool FReleasingFiles = false;  // while ScanDrive walks the live tree with OnReleaseFiles
  bool FDeletedDirsOn = false;
  void NoteDeletedDir(TObject* item, const TFILE_RECORD_HEADER* record = nullptr, int64_t created = 0);
  // The folder a deleted item with this name goes under.
  TNTFSDirectory* DeletedParent(const TFILENAME_ATTRIBUTE* name, int depth);
  TNTFSDirectory* Placeholder(uint64_t record);
  // Attribute list entries the deleted search may still follow: each may
  // cost a record read, so a hostile MFT must not make every free record
  // read hundreds. False once a record's list would pass what is left.
  uint64_t FListEntriesLeft = 0;
  bool MayFollowList(const uint8_t* record);
};

// ---- Items ----------------------------------------------------------------------------------------
class TNTFSDirectory : public TCustomDirectory {
 public:
  ~TNTFSDirectory() override;
  uint64_t MFTfileRef = 0;
  // The instants the MS-DOS fields were made from, as the volume records
  // them: UTC, 100 ns, whatever the year.
  FILETIME CreationTime{}, LastAccessTime{}, LastWriteTime{};

  void Assign(TObject* source) override;
  void AssignTo(TObject* dest) override;
  AnsiString GetPath(TCustomDirectory* base) override;
  bool Rename(const AnsiString& newName) override;  // memory only
  bool ForEachChild(TForEachChildCallback Callback, bool b1, bool b2, bool Recurse, intptr_t Data) override;

  // Every entry of the $I30 index in collation order.
  void ForEachNTFSDirEntry(TNTFSDirEntryCallback Callback, intptr_t Data);
  // Builds Children from the index (call only while unbuilt).
  void AddChildren(bool b1, bool b2);
  // A child from a file name; Children must exist. data: the item's data
  // attribute for a deleted item, else null.
  TObject* AddNTFSFile(uint64_t reference, const TFILENAME_ATTRIBUTE* name, const TATTRIBUTE* data, bool deleted);
  // Frees the files of Children once the drive's OnReleaseFiles has seen them.
  void ReleaseFiles(TNTFSdrive& drive);

 private:
  bool ForEachChildAt(TForEachChildCallback Callback, bool b1, bool b2, bool Recurse, intptr_t Data, int depth);
  // The folder records opened in this folder's tree, shared by its folders:
  // an index that names one folder many times (or through many names) gets
  // it opened once, the other places shown empty.
  std::shared_ptr<std::set<uint64_t>> FOpened;
  bool FOpenedHere = false;
};

class TNTFSFile : public TCustomFile {
 public:
  uint32_t Attributes = 0;
  uint64_t MFTfileRef = 0;
  // The size the volume records is damage; Size is what its clusters hold.
  bool SizeDamaged = false;
  int64_t RecordedSize = 0;  // the damaged size, when SizeDamaged
  FILETIME CreationTime{}, LastAccessTime{}, LastWriteTime{};  // as for TNTFSDirectory

  void Assign(TObject* source) override;
  void AssignTo(TObject* dest) override;
  bool Rename(const AnsiString& newName) override;  // memory only
  AnsiString GetPath(TCustomDirectory* base) override;
  // Caption = name, sub-item 0 = size, sub-item 2 = MFT record number.
  void ChangeListViewItem(TListItem& item) override;
  // Copies the data to DestPath + name with time and attributes; files of
  // 4 GiB or more are refused (read those through blockread).
  virtual bool SaveTo(const AnsiString& DestPath);
};

// ---- Stream ---------------------------------------------------------------------------------------
// Read-only; Read continues from the reader's own position, the reported
// position only follows Seek. Writing raises EAbstractError.
class TNTFSStream : public TStream {
 public:
  TNTFSStream(TNTFSdrive* Drive, int64_t MFTfileRef, int64_t Size);  // Size >= 4 GiB raises std::range_error
  ~TNTFSStream() override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Seek(int32_t Offset, uint16_t Origin) override;
  void SetPosition(int64_t Pos) override;

  int64_t FPosition = 0;
  int64_t FSize = 0;
  int64_t FMFTfileRef = 0;
  TNTFSdrive* FDrive = nullptr;  // not owned
  TNTFSfileInfo FInfo;
};

void NtfsInitialization();
void NtfsFinalization();
