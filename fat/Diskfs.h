// Unit Diskfs: FAT12/FAT16/FAT32 volumes read sector by sector.
//
// TFATdrive mounts a volume from its boot sector, follows cluster chains in
// the allocation table, walks directory records (long names included), builds
// the item tree of TFATDirectory/TFATFile on demand (deleted items with a
// verdict on their data), reads file data by chain or as contiguous clusters,
// and saves items into a folder of the running system.
//
// All sector numbers are drive-relative (sector 0 = the device sector that
// FirstSector names) and counted in the volume's own sector size. The volume
// is only ever read. Hostile images end walks early instead of hanging:
// chains, directories and the tree are bounded by the volume's own sizes.
//
// A drive and its tree are used by one thread at a time; only CancelScan may
// be called from another thread while ScanDrive runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <unordered_set>
#include <vector>

#include "Devices.h"
#include "Helpers.h"  // MatchWildCard and MakeSafeFileName go with every item name
#include "FatLayout.h"
#include "Stream.h"

class TFATdrive;
class TFATDirectory;
class TFATFile;
struct TFATTree;  // what one item tree has opened and holds (DiskfsTree.cpp)

// ---- Allocation-table entry kinds -------------------------------------------------
constexpr uint8_t fatEntryUsed = 1;      // points to a next cluster
constexpr uint8_t fatEntryFree = 2;
constexpr uint8_t fatEntryBad = 4;       // bad or reserved
constexpr uint8_t fatEntryEndOfChain = 8;

// Kind of an entry value for a FAT type (1 = FAT12, 2 = FAT16, 3 = FAT32).
uint8_t ClassifyFATEntry(uint8_t FATType, uint32_t Value);

// A FAT number for saving: deleted files are read as contiguous clusters
// (their chains were cleared), live ones through the first FAT.
constexpr uint8_t fatNumberByState = 0xFF;

// ---- Names ----------------------------------------------------------------------------
// The display form of a stored name: in a short name the first $E5 byte
// becomes "_"; a long name never holds the deletion mark (its $E5 bytes are
// UTF-8 text) and comes back unchanged.
AnsiString ReplaceDeletedChar(const AnsiString& S, bool LongName = false);
// An item's display name: ReplaceDeletedChar with the item's own kind of
// name; "" for anything but a FAT file or directory.
AnsiString ItemDisplayName(const TObject* Item);
// The 8.3 text of an 11-byte name field: blanks dropped, "." only before a
// non-empty extension, bytes taken as they stand.
AnsiString FormatShortName(const uint8_t* Name11);

// ---- File reading -----------------------------------------------------------------------
// An open file: owned by the caller, holds no handle (dropping it is enough).
struct TFATFileInfo {
  uint32_t StartCluster = 0;
  uint32_t CurrentCluster = 0;  // cluster holding byte Position; 0 once the chain has ended
  uint32_t Position = 0;
  uint32_t Size = 0;
  // One bit per cluster a followed chain has passed through: a chain that
  // comes back to one of them is broken, and the read ends there.
  std::vector<uint64_t> Visited;
};

// Where an item's short entry stands: the cluster holding it and its record
// index in that cluster, or cluster 0 and its index in the fixed FAT12/16
// root. Unique on a volume, so it names an item that shares its shown name.
struct TFATEntryAddress {
  uint32_t Cluster = 0;
  uint32_t Index = 0;
  bool operator==(const TFATEntryAddress&) const = default;
};

// The scan context ScanDrive hands to its visitor.
struct TTransferdata {
  AnsiString Mask;
  bool DeletedOnly = false;
  TFATdrive* Drive = nullptr;
};

// ---- The drive ------------------------------------------------------------------------------
class TFATdrive : public TCustomDrive {
 public:
  TFATdrive();
  ~TFATdrive() override;  // frees the four start items (and with them the trees)

  // Count sectors of the device at Sector + FirstSector.
  bool ReadSec(uint32_t Sector, uint16_t Count, void* Buffer, bool showErrors) override;
  // Reads the boot sector at BootSector, computes the geometry and makes the
  // start items; False when the boot sector is unreadable or rejected.
  bool MountDrive(bool Flag) override;
  // Walks DeletedTreeRoot and reports matching items through OnFoundItem.
  void ScanDrive(const AnsiString& FileMask, bool IncludeDeleted, bool DeletedOnly) override;
  // Stops a running ScanDrive at the next item; callable from any thread.
  void CancelScan();

  uint8_t ActiveFAT = 0;  // 1-based FAT copy directory walks follow; 0 = contiguous clusters
  TBootSec BootSec{};
  uint8_t FATType = 0;  // 1 FAT12, 2 FAT16, 3 FAT32
  uint32_t SectorCount = 0;
  uint32_t BytesPerCluster = 0;  // full width, so 64 KiB clusters are read as well
  uint32_t RootCluster = 0;      // FAT32 root; 0 for FAT12/16
  uint16_t RootDirSectors = 0;
  uint32_t RootStartSector = 0;
  uint32_t SectorsPerFAT = 0;
  uint32_t FATSectors = 0;
  uint32_t FirstDataSector = 0;
  uint32_t DataSectors = 0;
  uint32_t ClusterCount = 0;  // valid clusters are 2 .. ClusterCount + 1
  std::atomic<bool> Cancelled{false};

  // One-sector caches (FATBuffer holds two sectors for the FAT12 straddle),
  // sized by the volume's sector size; a buffer sector of 0 means empty.
  std::vector<uint8_t> FATBuffer;
  uint32_t FATBufferSector = 0;
  std::vector<uint8_t> DirBuffer;
  uint32_t DirBufferSector = 0;
  uint32_t DirReadFailures = 0;  // directory sectors that could not be read
  std::vector<uint8_t> DataBuffer;
  uint32_t DataBufferSector = 0;

  // Geometry.
  bool CalcDriveInfo(const TBootSec& Boot);
  uint32_t Cluster2Sec(uint32_t Cluster) const;
  uint32_t Sec2Cluster(uint32_t Sector) const;
  uint16_t BytesPerSector() const { return FBytesPerSector; }
  uint32_t SectorsPerCluster() const { return FSectorsPerCluster; }

  // Allocation table. FATIndex is 0-based; FATNumber 0 = contiguous, n = copy n-1.
  uint32_t GetFAT(uint32_t Cluster, uint8_t FATIndex);
  bool IsEOF(uint32_t Cluster) const;
  uint32_t GetClusterMask(uint8_t Kind) const;
  bool GetRecPosCluster(uint32_t& Cluster, uint32_t Pos, uint8_t FATNumber);

  // Directory records through a cursor (Cluster, Sector, Index); Cluster 0
  // walks the fixed FAT12/16 root region from Sector.
  bool GetNextRecord(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, void* Buffer);
  bool ReadDataSec(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, void* Buffer);
  bool GetLongName(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, TDirEntry* Entry, AnsiString& Name);
  // LongName, when given, tells whether Name came from long-name records.
  bool FindNextEntry(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, TDirEntry& Entry, AnsiString& Name,
                     bool IncludeDeleted, bool* LongName = nullptr);
  // The address of the record a cursor has just read.
  TFATEntryAddress EntryAddress(uint32_t Cluster, uint32_t Sector, uint16_t Index) const;

  // Item tree.
  void CreateStartItems();
  // Orphans: the records that free clusters hold where no folder of the tree
  // leads (a deleted folder whose own entry was overwritten, the leftovers
  // of a folder's clusters), added to Folder's children as deleted items;
  // folders among them keep what is below them. Folder must already stand
  // in the tree, and the tree be built whole with deleted items, so that
  // the clusters its folders were read from are known. Free clusters past
  // the last one the allocator handed out (FSInfo's hint on FAT32) are not
  // read, nor, without a hint, past the last in use once 64 in a row begin
  // with a zero sector: nothing was written there.
  void FindOrphans(TFATDirectory& Folder);

  // File reading.
  bool ResetByCluster(uint32_t Cluster, uint32_t Size, TFATFileInfo& Info);
  bool BlockRead(TFATFileInfo& Info, uint32_t Count, void* Buffer, uint8_t FATNumber, uint32_t& BytesRead);
  bool Seek(TFATFileInfo& Info, uint32_t Pos, uint8_t FATNumber);
  uint32_t filepos(const TFATFileInfo& Info) const;
  uint32_t filesize(const TFATFileInfo& Info) const;
  void Close(TFATFileInfo& Info);

  // Saving into a host folder (DestPath ends with "\").
  bool SaveItem(TObject* Item, const AnsiString& DestPath, uint8_t FATNumber);
  bool SaveFile(TFATFile* F, const AnsiString& DestPath, uint8_t FATNumber, bool& OverwriteFiles);
  bool SaveDirectory(TFATDirectory* D, const AnsiString& DestPath, bool IncludeDeleted, bool DeletedOnly,
                     bool Recurse, uint8_t FATNumber, bool& OverwriteAllDirs, bool& OverwriteFiles);
  // The name an item is saved under: its display name made safe, with " (2)",
  // " (3)" ... added while its folder is saved when an earlier sibling took it.
  AnsiString SaveTargetName(TObject* Item) const;

 private:
  friend class TFATDirectory;
  // One volume sector = FSectorRatio device sectors.
  bool ReadVolumeSector(uint32_t Sector, void* Buffer);
  bool ReadVolumeSectors(uint32_t Sector, uint32_t Count, void* Buffer);
  // Advances a directory cursor counting PerSector units a sector and
  // PerCluster a cluster; Target receives the sector of the unit at Index.
  bool CursorSector(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, uint32_t PerSector, uint32_t PerCluster,
                    uint32_t& Target);
  // Whether a deleted directory's walk may go on into Cluster (see CursorSector).
  bool ContinuesClearedDirectory(uint32_t Cluster);
  bool ReadCachedSector(uint32_t Sector, std::vector<uint8_t>& Buffer, uint32_t& BufferSector);
  uint32_t DeviceSectorSize() const;
  bool DeletedConditionIsIntact(uint32_t FirstCluster);
  bool InVolumeCluster(uint32_t Cluster) const;
  // The cluster after Cluster for a reader; 0 when the chain ends or leaves the volume.
  uint32_t NextDataCluster(uint32_t Cluster, uint8_t FATNumber);
  // Marks Cluster as read by Info; False when Info's chain has been there before.
  bool FirstVisit(TFATFileInfo& Info, uint32_t Cluster, uint8_t FATNumber);
  // Clears the marks of Clusters First..Last (a run that was not read after all).
  void ForgetVisits(TFATFileInfo& Info, uint32_t First, uint32_t Last);
  uint16_t FBytesPerSector = 512;
  uint32_t FSectorRatio = 1;
  uint32_t FSectorsPerCluster = 1;
  uint64_t FItemLimit = 0;  // items one tree may hold at once (bounds hostile trees)
  uint32_t FLastSourceCluster = 0;  // the last cluster that starts inside the source
  // The clusters folders of the tree were read from (marked while building
  // children), which the orphan search passes by.
  std::unordered_set<uint32_t> FDirClusters;
  bool FMarkDirClusters = false;
  uint32_t FLastMarkedCluster = 0;
  // The last cluster the orphan search reads whole: on FAT32 with a valid
  // FSInfo next-free hint, the hint or the last cluster in use when that is
  // later; else the last cluster in use, and ProbeTail asks for the free
  // clusters past it to be read until they look never written.
  uint32_t OrphanSearchEnd(bool& ProbeTail);
  // Whether each cluster of First, First + 1 ... is free in the first FAT
  // (an unreadable part of the table is not), Free.size() clusters of them.
  void ReadFreeClusters(uint32_t First, std::vector<uint8_t>& Free);
  std::map<const TObject*, AnsiString> FSaveNames;  // children of the folders being saved
};

// ---- Items ------------------------------------------------------------------------------------
class TFATDirectory : public TCustomDirectory {
 public:
  ~TFATDirectory() override;  // gives its place in the tree back
  uint32_t StartCluster = 0;  // 0 for the fixed FAT12/16 root
  uint32_t StartSector = 0;   // root directories only
  bool LongName = false;      // Name came from long-name records
  TFATEntryAddress Entry;     // the start directories have none (0:0 is a root item's)
  // The creation time of day and its 10 ms units (0..199) from the entry.
  uint16_t CreationTime = 0;
  uint8_t CreationTenMs = 0;
  // Hashes (std::hash of the display name), sorted, of the live files a
  // deleted-only build left out: a deleted file may show a live one's name.
  std::vector<size_t> LeftOutNames;

  void Assign(TObject* source) override;
  void AssignTo(TObject* dest) override;
  // Display path of this directory against base ("\DOCS\2005" against nil).
  AnsiString GetPath(TCustomDirectory* base) override;
  bool Rename(const AnsiString& newName) override;  // memory only
  // Depth-first, pre-order; builds Children first when they are not built.
  bool ForEachChild(TForEachChildCallback Callback, bool IncludeDeleted, bool DeletedOnly, bool Recurse,
                    intptr_t Data) override;
  // Builds Children from the directory's records (call only while unbuilt).
  void AddChildren(bool IncludeDeleted, bool DeletedOnly);
  // Whether a subdirectory exists, without building Children.
  bool SubDirFound(bool IncludeDeleted);

  // The tree this item belongs to (shared by every item built under one
  // start directory), and whether this directory is the one that opened its
  // first cluster in it: a cluster is opened once per tree, so folders that
  // share clusters can't make the tree branch.
  std::shared_ptr<TFATTree> FTree;
  bool FOpened = false;

 private:
  // Joins (or starts) the tree and opens StartCluster in it; False when the
  // cluster is outside the volume or already open elsewhere in the tree.
  bool OpenInTree(TFATdrive& drive);
};

class TFATFile : public TCustomFile {
 public:
  ~TFATFile() override;  // gives its place in the tree back
  uint8_t Attributes = 0;
  uint32_t StartCluster = 0;
  bool LongName = false;  // Name came from long-name records
  TFATEntryAddress Entry;
  uint16_t CreationTime = 0;  // as for TFATDirectory
  uint8_t CreationTenMs = 0;
  std::shared_ptr<TFATTree> FTree;

  void Assign(TObject* source) override;
  void AssignTo(TObject* dest) override;
  bool Rename(const AnsiString& newName) override;  // memory only
  // Display path of the folder holding the file (the file's name not included).
  AnsiString GetPath(TCustomDirectory* base) override;
  // Caption = display name, sub-item 0 = size, sub-item 2 = first cluster.
  void ChangeListViewItem(TListItem& item) override;
  // Copies the data to DestPath + display name, with time and attributes.
  virtual bool SaveTo(const AnsiString& DestPath, uint8_t FATNumber);
};

// ---- Stream -----------------------------------------------------------------------------------
// A read-only stream over one file's data (FATNumber as for BlockRead).
// Read continues from the reader's own position; the reported position only
// follows Seek. Writing raises EAbstractError.
class TFATStream : public TStream {
 public:
  TFATStream(TFATdrive* Drive, int32_t Cluster, int32_t Size, uint8_t FATNumber);
  ~TFATStream() override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Seek(int32_t Offset, uint16_t Origin) override;
  // Moves the reader only; the reported position stays.
  void SetPosition(int64_t Pos) override;

  int32_t FPosition = 0;
  int32_t FSize = 0;
  int32_t FStartCluster = 0;
  TFATdrive* FDrive = nullptr;  // not owned
  uint8_t FFATNumber = 0;
  TFATFileInfo FInfo;
};
