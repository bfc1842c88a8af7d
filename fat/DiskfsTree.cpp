// FAT item tree: start items, directory and file items, building children
// (deleted ones with their verdict), the depth-first walk and the scan.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "DiskfsInternal.h"
#include "Helpers.h"

using diskfs::Fmt;
using diskfs::Log;

namespace {

// Paths show names as the user sees them, a deleted one's lost letter as "_".
AnsiString DisplayName(const TCustomDirectory& d) {
  auto* fat = dynamic_cast<const TFATDirectory*>(&d);
  return ReplaceDeletedChar(d.Name, fat && fat->LongName);
}

// The real "." and ".." are told by their 8.3 record: a long name may spell
// "." or ".." on an ordinary folder, which must still be listed.
bool IsDotEntry(const TDirEntry& e) {
  return std::memcmp(e.Name, ".          ", 11) == 0 || std::memcmp(e.Name, "..         ", 11) == 0;
}

// FAT names compare case-insensitively, so masks do too (ASCII letters; other bytes as they are).

// Whether a deleted directory's first cluster still starts with "." and "..".
bool IsDeletedDirValid(TFATdrive& drive, uint32_t cluster) {
  uint32_t c = cluster, s = 0;
  uint16_t i = 0;
  TDirEntry e;
  for (const char* expected : {".", ".."}) {
    if (!drive.GetNextRecord(c, s, i, &e)) return false;
    if ((e.Attributes & faDirectory) == 0 || FormatShortName(e.Name) != expected) return false;
  }
  return true;
}

bool ScanDriveVisit(TObject* Item, intptr_t Context, bool& Flag) {
  Flag = false;
  auto* t = reinterpret_cast<TTransferdata*>(Context);
  TFATdrive* drive = t->Drive;
  if (drive->Cancelled) return false;
  bool cancel = false;
  auto matches = [&](const AnsiString& name, bool longName) {
    return t->Mask.empty() || t->Mask == "*" ||
           MatchWildCard(ReplaceDeletedChar(name, longName), t->Mask, '?', '*', false);
  };
  if (auto* f = ItemAs<TCustomFile>(Item)) {
    if (drive->OnProgress) drive->OnProgress(drive, f, f->GetPath(nullptr), -1, cancel);
    auto* fat = ItemAs<TFATFile>(f);
    if (matches(f->Name, fat && fat->LongName)) {
      Flag = true;
      if (drive->OnFoundItem) drive->OnFoundItem(drive, f);
    }
  } else if (auto* d = ItemAs<TCustomDirectory>(Item)) {
    if (drive->OnProgress) drive->OnProgress(drive, d, d->GetPath(nullptr), -1, cancel);
    auto* fat = ItemAs<TFATDirectory>(d);
    if ((!t->DeletedOnly || (d->DeletedState & 1)) && matches(d->Name, fat && fat->LongName)) {
      Flag = true;
      if (drive->OnFoundItem) drive->OnFoundItem(drive, d);
    }
  }
  if (cancel) {
    drive->CancelScan();
    return false;
  }
  return true;
}

}  // namespace

// ---- Drive ---------------------------------------------------------------------------

void TFATdrive::CreateStartItems() {
  auto make = [this](bool root) {
    auto d = std::make_unique<TFATDirectory>();
    d->Drive = this;
    if (root) {
      d->StartCluster = RootCluster;
      d->StartSector = RootStartSector;
    } else {
      d->Children = std::make_shared<TChildList>();
    }
    return d;
  };
  RootDir = make(true);
  DeletedTreeRoot = make(true);
  SpareDir1 = make(false);
  SpareDir2 = make(false);
}

void TFATdrive::CancelScan() { Cancelled = true; }

void TFATdrive::ScanDrive(const AnsiString& FileMask, bool IncludeDeleted, bool DeletedOnly) {
  Log(Fmt("Scanning drive using filemask: %s (TFATdrive.ScanDrive)", FileMask.c_str()));
  TTransferdata context;
  context.Mask = FileMask;
  context.DeletedOnly = DeletedOnly;
  context.Drive = this;
  Cancelled = false;
  if (DeletedTreeRoot)
    DeletedTreeRoot->ForEachChild(ScanDriveVisit, IncludeDeleted, DeletedOnly, true,
                                  reinterpret_cast<intptr_t>(&context));
  Log("...............................done...(TFATdrive.ScanDrive)");
  if (OnFinish) OnFinish(this);
}

bool TFATdrive::DeletedConditionIsIntact(uint32_t FirstCluster) {
  // A first cluster outside the volume has no data to be intact.
  return InVolumeCluster(FirstCluster) && ClassifyFATEntry(FATType, GetFAT(FirstCluster, 0)) == fatEntryFree;
}

// ---- Directory -------------------------------------------------------------------------

TFATDirectory::~TFATDirectory() {
  // Children go first: their places in the tree are given back before ours.
  Children.reset();
  if (!FTree) return;
  if (FOpened) FTree->Opened.erase(StartCluster);
  if (FTree->Top != this) --FTree->Items;
}

void TFATDirectory::Assign(TObject* source) {
  TCustomDirectory::Assign(source);
  if (auto* s = ItemAs<TFATDirectory>(source)) {
    Time = s->Time;
    Date = s->Date;
    StartSector = s->StartSector;
    StartCluster = s->StartCluster;
    LongName = s->LongName;
    Entry = s->Entry;
    CreationTime = s->CreationTime;
    CreationTenMs = s->CreationTenMs;
  }
}

void TFATDirectory::AssignTo(TObject* dest) {
  TCustomDirectory::AssignTo(dest);
  if (auto* d = ItemAs<TFATDirectory>(dest)) {
    d->Time = Time;
    d->Date = Date;
    d->StartSector = StartSector;
    d->StartCluster = StartCluster;
    d->LongName = LongName;
    d->Entry = Entry;
    d->CreationTime = CreationTime;
    d->CreationTenMs = CreationTenMs;
  }
}

AnsiString TFATDirectory::GetPath(TCustomDirectory* base) { return DirectoryPath(this, base, DisplayName); }

bool TFATDirectory::Rename(const AnsiString& newName) {
  Name = newName;
  return true;
}

bool TFATDirectory::ForEachChild(TForEachChildCallback Callback, bool IncludeDeleted, bool DeletedOnly, bool Recurse,
                                 intptr_t Data) {
  if (!Children) AddChildren(IncludeDeleted, DeletedOnly);
  if (!Children) return true;
  // Hold the list: a callback may not free it under us.
  std::shared_ptr<TChildList> list = Children;
  for (size_t i = 0; i < list->size(); ++i) {
    TObject* child = (*list)[i];
    bool flag = false;
    if (!Callback(child, Data, flag)) return false;
    if (Recurse) {
      if (auto* sub = ItemAs<TCustomDirectory>(child))
        if (!sub->ForEachChild(Callback, IncludeDeleted, DeletedOnly, Recurse, Data)) return false;
    }
  }
  return true;
}

bool TFATDirectory::OpenInTree(TFATdrive& drive) {
  if (!FTree) FTree = std::make_shared<TFATTree>(drive.FItemLimit, this);
  if (FOpened) return true;
  // Only a start directory stands at the fixed FAT12/16 root (cluster 0);
  // any other directory outside the volume's clusters has nothing to open.
  if (FTree->Top != this && !drive.InVolumeCluster(StartCluster)) return false;
  FOpened = FTree->Opened.insert(StartCluster).second;
  return FOpened;
}

void TFATDirectory::AddChildren(bool IncludeDeleted, bool DeletedOnly) {
  auto* drive = dynamic_cast<TFATdrive*>(Drive);
  try {
    if (!drive) throw std::runtime_error("not a FAT drive");
    Children = std::make_shared<TChildList>();
    LeftOutNames.clear();
    // A cluster another folder of this tree already shows (an ancestor, or
    // a folder sharing clusters with this one) leaves this one shown but empty.
    if (!OpenInTree(*drive)) {
      // Opened elsewhere is no loss; a live folder outside the volume is.
      if (!(DeletedState & 1) && FTree->Top != this && !drive->InVolumeCluster(StartCluster))
        MarkIncomplete(kListUnreadable);
      return;
    }
    // A root that names no cluster of the volume, or a fixed root region of
    // no sectors, lists nothing, which must not pass for an empty volume.
    const bool fixedRoot = StartCluster == 0 && drive->FATType != 3;
    if (fixedRoot ? drive->RootDirSectors == 0 : !drive->InVolumeCluster(StartCluster))
      MarkIncomplete(kListUnreadable);
    int depth = 0;
    for (TCustomDirectory* a = Parent; a && depth < diskfs::kMaxTreeDepth; a = a->Parent) ++depth;
    const bool tooDeep = depth + 1 >= diskfs::kMaxTreeDepth;

    uint32_t cluster = StartCluster, sector = StartSector;
    uint16_t index = 0;
    TDirEntry e;
    AnsiString name;
    bool longName = false;
    for (;;) {
      const uint32_t failures = drive->DirReadFailures;
      // The clusters read here are reached; the orphan search passes them by.
      drive->FMarkDirClusters = true;
      const bool more = drive->FindNextEntry(cluster, sector, index, e, name, IncludeDeleted, &longName);
      drive->FMarkDirClusters = false;
      if (!more) {
        if (drive->DirReadFailures != failures) MarkIncomplete(kListUnreadable);
        break;
      }
      try {
        if (FTree->Items >= FTree->Limit) {
          Log(Fmt("item tree holds %llu items, all this volume can: %s ends here (TFATDirectory.AddChildren)",
                  static_cast<unsigned long long>(FTree->Items), GetPath(nullptr).c_str()));
          MarkIncomplete(kListCut);
          break;
        }
        const uint32_t first = e.FirstCluster();
        const bool deleted = e.Name[0] == kDeletedMark;
        const TFATEntryAddress at = drive->EntryAddress(cluster, sector, index);
        // $05 stands for a real leading $E5; it can only stand first.
        if (!longName && !name.empty() && uint8_t(name[0]) == kEscapedE5) name[0] = char(kDeletedMark);
        if (e.Attributes & faDirectory) {
          if (IsDotEntry(e)) continue;
          if (deleted) {
            // The walk for "." and ".." moves the shared directory cache, which
            // is keyed by sector, so the outer cursor simply re-reads.
            if (!IsDeletedDirValid(*drive, first)) continue;
          }
          auto d = std::make_unique<TFATDirectory>();
          d->Drive = drive;
          d->StartCluster = first;
          d->Name = name;
          d->LongName = longName;
          d->Entry = at;
          d->Time = e.Time;
          d->Date = e.Date;
          d->CreationDate = e.CreationDate;
          d->CreationTime = e.CreationTime;
          d->CreationTenMs = e.CheckSum;  // a short entry's creation time in 10 ms
          d->AccessDate = e.AccessDate;
          d->Parent = this;
          if (deleted) {
            d->DeletedState |= 1;
            d->DeletedCondition = drive->DeletedConditionIsIntact(first) ? 1 : 2;
          }
          if (tooDeep) {
            d->Children = std::make_shared<TChildList>();
            d->MarkIncomplete(kListCut);
          }
          d->FTree = FTree;
          ++FTree->Items;
          Children->push_back(d.release());
        } else {
          if (e.Attributes & (faVolumeID | faDirectory)) continue;
          if (IncludeDeleted && DeletedOnly && !deleted) {
            const bool marked = !longName && name.find(char(kDeletedMark)) != AnsiString::npos;
            LeftOutNames.push_back(std::hash<std::string_view>{}(marked ? ReplaceDeletedChar(name) : name));
            continue;
          }
          auto f = std::make_unique<TFATFile>();
          f->Drive = drive;
          f->StartCluster = first;
          f->Attributes = e.Attributes;
          f->Size = uint32_t(e.Size);
          f->Time = e.Time;
          f->Date = e.Date;
          f->CreationDate = e.CreationDate;
          f->CreationTime = e.CreationTime;
          f->CreationTenMs = e.CheckSum;  // a short entry's creation time in 10 ms
          f->AccessDate = e.AccessDate;
          f->Name = name;
          f->LongName = longName;
          f->Entry = at;
          f->Parent = this;
          if (deleted) {
            f->Deleted = true;
            f->DeletedCondition = drive->DeletedConditionIsIntact(first) ? 1 : 2;
          }
          f->FTree = FTree;
          ++FTree->Items;
          Children->push_back(f.release());
        }
      } catch (...) {
        // One bad record costs only itself.
      }
    }
    std::sort(LeftOutNames.begin(), LeftOutNames.end());
  } catch (...) {
    if (Children) DeleteChildren();
    Children.reset();
  }
}

bool TFATDirectory::SubDirFound(bool IncludeDeleted) {
  if (Children) return ChildIsSubDir();
  auto* drive = dynamic_cast<TFATdrive*>(Drive);
  if (!drive) return false;
  uint32_t cluster = StartCluster, sector = StartSector;
  uint16_t index = 0;
  TDirEntry e;
  AnsiString name;
  while (drive->FindNextEntry(cluster, sector, index, e, name, IncludeDeleted))
    if ((e.Attributes & faDirectory) && e.Attributes != faLongName && !IsDotEntry(e)) return true;
  return false;
}

// ---- File -------------------------------------------------------------------------------

TFATFile::~TFATFile() {
  if (FTree) --FTree->Items;
}

void TFATFile::Assign(TObject* source) {
  TCustomFile::Assign(source);
  if (auto* s = ItemAs<TFATFile>(source)) {
    Attributes = s->Attributes;
    StartCluster = s->StartCluster;
    Time = s->Time;
    Date = s->Date;
    Size = s->Size;
    LongName = s->LongName;
    Entry = s->Entry;
    CreationTime = s->CreationTime;
    CreationTenMs = s->CreationTenMs;
  }
}

void TFATFile::AssignTo(TObject* dest) {
  TCustomFile::AssignTo(dest);
  if (auto* d = ItemAs<TFATFile>(dest)) {
    d->Attributes = Attributes;
    d->StartCluster = StartCluster;
    d->Time = Time;
    d->Date = Date;
    d->Size = Size;
    d->LongName = LongName;
    d->Entry = Entry;
    d->CreationTime = CreationTime;
    d->CreationTenMs = CreationTenMs;
  }
}

bool TFATFile::Rename(const AnsiString& newName) {
  Name = newName;
  return true;
}

AnsiString TFATFile::GetPath(TCustomDirectory* base) { return FilePath(this, base, DisplayName); }

void TFATFile::ChangeListViewItem(TListItem& item) {
  item.Caption = ReplaceDeletedChar(Name, LongName);
  // The host's row has these sub-items; a bare one gets them rather than a fault.
  if (item.SubItems.size() < 3) item.SubItems.resize(3);
  item.SubItems[0] = LongWordToStr(static_cast<uint32_t>(Size));
  item.SubItems[2] = std::to_string(StartCluster);
}
