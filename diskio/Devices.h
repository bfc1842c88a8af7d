// Unit Devices: the sector device with its shared read cache, the abstract
// drive/directory/file object model every file-system reader derives from,
// the drive events and the debug-output facility dbg.
//
// Contract: dbg exists for the life of the process, before Initialize() too;
// its OnDebugOut handler (a host sets it, or DetectDevices does) gets every
// diagnostic line of the disk library unchanged, on the thread that emits
// it, and the module's last Finalize() drops it. Devices, drives and their
// trees are used by one thread at a time; events of a drive run on the
// thread that called into it. Before Initialize() (and after the last
// Finalize()) no sector can be read: ReadSec, WriteSec and the mounts built
// on them return False with the last error ERROR_NOT_READY; nothing crashes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "Ldiskio.h"
#include "ListView.h"
#include "WinTypes.h"

// The root object class: items and drives are handed around as TObject* and
// told apart with dynamic_cast.
class TObject {
 public:
  virtual ~TObject() = default;
};

// The object as a T, or null: dynamic_cast, with the answer remembered per
// class. Walks and listings ask this several times for each item, and a
// cast costs a walk of the classes' type information (with a name compare
// for each miss) where a remembered answer costs a pointer compare.
template <class T>
T* ItemAs(TObject* item) {
  struct Seen {
    const std::type_info* type = nullptr;
    bool is = false;
  };
  thread_local Seen seen[4];
  if (!item) return nullptr;
  const std::type_info* type = &typeid(*item);
  for (const Seen& s : seen)
    if (s.type == type) return s.is ? static_cast<T*>(item) : nullptr;
  T* cast = dynamic_cast<T*>(item);
  for (int i = 3; i > 0; --i) seen[i] = seen[i - 1];
  seen[0] = {type, cast != nullptr};
  return cast;
}

// ---- Events ---------------------------------------------------------------
// Empty std::function = unassigned. A drive passes itself as Sender.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TDebugOutEvent = std::function<void(TObject* Sender, const AnsiString& msg)>;
using TFoundItemEvent = std::function<void(TObject* Sender, TObject* item)>;
using TProgressEvent = std::function<void(TObject* Sender, TObject* item, const AnsiString& itemStr,
                                          int progressPercent, bool& cancel)>;
using TStartEvent = std::function<void(TObject* Sender, TObject* item, const AnsiString& itemStr)>;
using TEndEvent = std::function<void(TObject* Sender, TObject* item, const AnsiString& itemStr)>;

// ---- Debug output -----------------------------------------------------------
class TDebug : public TObject {
 public:
  TDebugOutEvent OnDebugOut;
  // Hands msg unchanged to OnDebugOut, or drops it when none is assigned.
  void DebugOut(const AnsiString& msg);
};
extern TDebug* dbg;  // never null

// ---- Sector device and cache --------------------------------------------------
extern bool optCacheEnabled;  // master switch of the shared cache; False at start

class TDevice : public TObject {
 public:
  TDevice();
  ~TDevice() override;  // InvalidateCache, then free

  bool CacheEnabled = false;
  AnsiString Text;
  uint8_t Kind = 0;  // 0 physical disk, 1 logical drive
  uint8_t DriveType = 0;
  uint16_t MediaAttr = 0;
  uint32_t TotalSectors = 0;
  uint16_t BytesPerSector = 0;
  uint16_t DeviceFlags = 0;
  uint8_t DriveNumber = 0;
  uint32_t CacheLineSize = 0;
  // Reads that reached past TotalSectors, counted so a host can tell a
  // source that ends early (a cut image) from damage inside it.
  uint32_t ReadsPastEnd = 0;

  bool ReadSec(int32_t sector, uint16_t count, void* buffer, bool showErrors);
  bool WriteSec(int32_t sector, uint16_t count, const void* buffer, bool reserved, bool showErrors);
  // Many scattered runs at once, without asking about failures: each piece
  // says whether it arrived. Runs a cache line holds come from it; the others
  // are read together and fill no line, as scattered records would only push
  // out what a walk reads next.
  void ReadSecPieces(TSectorPiece* pieces, size_t count);
  void UseCache(bool on);
  void InvalidateCache();
  void DetectCacheLineSize();
};

// The millisecond clock behind DetectCacheLineSize; tests install their own.
// An empty function restores GetTickCount.
void SetCacheProbeClock(std::function<DWORD()> clock);

// The four shared cache lines, for diagnostics and tests.
constexpr int kCacheLineCount = 4;
constexpr uint32_t kCacheLineBytes = 0x200000;
struct CacheLineState {
  const TDevice* owner;  // null = free
  uint8_t usage;         // 0..15
  uint32_t first;
  uint32_t last;  // inclusive
};
CacheLineState GetCacheLineState(int line);
void SetCacheLineUsage(int line, uint8_t usage);  // clamped to 15

// ---- File-system object model ------------------------------------------------
class TCustomDirectory;

// Children of a directory: the files and directories it owns. After Assign
// two directories share one list through std::shared_ptr; whoever lets go of
// it last frees the list and with it the items still in it, so each child is
// freed once. Not copyable: two lists must never own one child.
class TChildList : public std::vector<TObject*> {
 public:
  TChildList() = default;
  TChildList(const TChildList&) = delete;
  TChildList& operator=(const TChildList&) = delete;
  ~TChildList();  // frees the directories and files left in it; other objects are not its own
};

// ForEachChild visitor: False from it stops the whole walk.
using TForEachChildCallback = bool (*)(TObject* Item, intptr_t Data, bool& Flag);

class TCustomDrive : public TObject {
 public:
  TCustomDrive() = default;
  ~TCustomDrive() override = default;  // subclasses free the start items and buffers

  TProgressEvent OnProgress;
  TFoundItemEvent OnFoundItem;
  TNotifyEvent OnFinish;
  TStartEvent OnStart;
  TEndEvent OnEnd;
  TDevice* Device = nullptr;  // not owned
  AnsiString Name;
  bool IsLost = false;
  uint32_t BootSector = 0;
  uint32_t FirstSector = 0;
  uint32_t TotalSectors = 0;
  std::unique_ptr<TCustomDirectory> RootDir;
  std::unique_ptr<TCustomDirectory> DeletedTreeRoot;
  std::unique_ptr<TCustomDirectory> SpareDir1;
  std::unique_ptr<TCustomDirectory> SpareDir2;
  // Folders whose Children came out incomplete (see ChildrenIncomplete) since
  // the drive was mounted: a host that shows a listing tells its user.
  uint32_t IncompleteFolders = 0;

  virtual bool ReadSec(uint32_t sector, uint16_t count, void* buffer, bool showErrors) = 0;
  virtual bool MountDrive(bool flag) = 0;
  virtual void ScanDrive(const AnsiString& fileMask, bool IncludeDeleted, bool DeletedOnly) = 0;
};

class TCustomFile : public TObject {
 public:
  AnsiString Name;
  uint16_t Time = 0;
  uint16_t Date = 0;
  uint16_t AccessDate = 0;
  uint16_t CreationDate = 0;
  int64_t Size = 0;
  TCustomDrive* Drive = nullptr;
  bool Deleted = false;
  uint8_t DeletedCondition = 0;
  TCustomDirectory* Parent = nullptr;

  virtual void Assign(TObject* source);
  virtual void AssignTo(TObject* dest);
  virtual bool Rename(const AnsiString& newName) = 0;
  // The folder's path (FilePath); a file system that shows names differently overrides it.
  virtual AnsiString GetPath(TCustomDirectory* base);
  virtual void ChangeListViewItem(TListItem& item) = 0;
};

class TCustomDirectory : public TObject {
 public:
  TCustomDirectory() = default;
  // Lets go of Children: the children go with the list's last holder.
  ~TCustomDirectory() override;

  AnsiString Name;
  uint16_t Time = 0;
  uint16_t Date = 0;
  uint16_t AccessDate = 0;
  uint16_t CreationDate = 0;
  TCustomDrive* Drive = nullptr;
  uint8_t Marked = 0;
  uint8_t DeletedState = 0;
  uint8_t DeletedCondition = 0;
  std::shared_ptr<TChildList> Children;  // null until built
  TCustomDirectory* Parent = nullptr;
  // Why Children may lack items the volume holds: 0 none, else kListUnreadable
  // and/or kListCut. The readers stop a folder at such a point rather than
  // fail it, and mark it here (through MarkIncomplete).
  uint8_t ChildrenIncomplete = 0;
  static constexpr uint8_t kListUnreadable = 1;  // a read failed or found no valid structure
  static constexpr uint8_t kListCut = 2;         // a bound on items or depth ended it
  void MarkIncomplete(uint8_t why) {
    if (!ChildrenIncomplete && Drive) ++Drive->IncompleteFolders;
    ChildrenIncomplete |= why;
  }

  // Assign shares the source's Children list; the list this directory held
  // before is let go of as the destructor would.
  virtual void Assign(TObject* source);
  virtual void AssignTo(TObject* dest);
  // Frees every child that is a directory or file (whole subtrees), then
  // empties the list; the list itself stays, shared or not.
  virtual void DeleteChildren();
  virtual AnsiString GetPath(TCustomDirectory* base);  // DirectoryPath
  virtual bool Rename(const AnsiString& newName) = 0;
  virtual bool ChildIsSubDir();  // Children holds at least one directory
  virtual bool ForEachChild(TForEachChildCallback Callback, bool IncludeDeleted, bool DeletedOnly, bool Recurse,
                            intptr_t Data) = 0;
};

// Paths as GetPath gives them: the ancestors' names, each followed by "\",
// up to (not including) base or the top, then the directory's own name; empty
// for base itself. Start items have empty names, so paths against null begin
// with "\" (\DIR\SUB). A file's path is its folder's path. nameOf, when set,
// gives the name to show for each directory. Parent chains are followed at
// most kMaxPathDepth levels.
constexpr int kMaxPathDepth = 16384;
using TPathNameFilter = std::function<AnsiString(const TCustomDirectory& dir)>;
AnsiString DirectoryPath(const TCustomDirectory* dir, const TCustomDirectory* base,
                         const TPathNameFilter& nameOf = {});
AnsiString FilePath(const TCustomFile* file, const TCustomDirectory* base, const TPathNameFilter& nameOf = {});

// Unit start-up, run by the module's Initialize/Finalize.
void DevicesInitialization();
void DevicesFinalization();
