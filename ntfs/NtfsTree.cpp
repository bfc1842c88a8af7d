// NTFS directory index and item tree: the $I30 walk, items made from file
// names, the lazily built tree, its traversal and the drive's scan.
#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "Helpers.h"
#include "NtfsInternal.h"
#include "WinApi.h"

using ntfs::Log;

bool optNtfsPosixNames = false;

namespace {

const WCHAR kI30[] = u"$I30";

FILETIME AsFileTime(int64_t t) { return FILETIME{DWORD(uint64_t(t)), DWORD(uint64_t(t) >> 32)}; }

// A FILETIME (UTC) as local MS-DOS date and time; 0 and 0 when it falls
// outside what MS-DOS dates can hold.
void ToDosDateTime(int64_t utc, uint16_t& date, uint16_t& time) {
  date = time = 0;
  const FILETIME u = AsFileTime(utc);
  FILETIME local;
  WORD d = 0, t = 0;
  if (FileTimeToLocalFileTime(&u, &local) && FileTimeToDosDateTime(&local, &d, &t)) {
    date = d;
    time = t;
  }
}

// One directory's index walk. Sub-node blocks are visited once each and no
// deeper than kMaxIndexDepth, so an index leading back to itself ends.
struct IndexWalk {
  TNTFSdrive& drive;
  TNTFSDirEntryCallback callback;
  intptr_t data;
  const TATTRIBUTE* allocation = nullptr;
  uint32_t blockSize = 0;
  std::set<int64_t> visited;
  // A block that could not be read or holds no index: the walk goes on
  // with the entries it can reach, and the folder is marked.
  bool unreadable = false;
  // One block buffer per depth, reused from block to block: a big folder
  // has thousands of blocks.
  std::vector<uint8_t> blocks[ntfs::kMaxIndexDepth + 1];

  // The entry loop over size bytes at p; False when the visitor stopped the walk.
  bool Entries(const uint8_t* p, size_t size, int depth) {
    size_t at = 0;
    while (size - at >= sizeof(TINDEX_ENTRY)) {
      const auto* e = reinterpret_cast<const TINDEX_ENTRY*>(p + at);
      const uint64_t reference = e->FileReference;
      const uint8_t flags = uint8_t(uint16_t(e->Flags));
      const size_t length = e->Length;
      if (length < sizeof(TINDEX_ENTRY) || length > size - at) {
        unreadable = true;
        break;
      }
      const bool last = reference == 0 || (flags & kIndexEntryLast);
      // The sub-node comes first: the visitor sees entries in collation order.
      if ((flags & kIndexEntrySubNode) && length >= sizeof(TINDEX_ENTRY) + 8 &&
          !Block(int64_t(RecordNumberOf(NtfsRead64(p + at + length - 8))), depth + 1))
        return false;
      if (!(flags & kIndexEntryLast) && FileNameFits(p + at + 16, length - 16) &&
          !callback(reference, reinterpret_cast<const TFILENAME_ATTRIBUTE*>(p + at + 16), data))
        return false;
      if (last) break;
      at += length;
    }
    return true;
  }

  bool Block(int64_t vcn, int depth) {
    Log("ForEachNTFSNonRootDirEntry...");
    if (!allocation) {
      // A sub-node with no blocks to hold it: its entries are not on the volume.
      unreadable = true;
      return true;
    }
    if (depth > ntfs::kMaxIndexDepth || !visited.insert(vcn).second) return true;
    const uint32_t size = blockSize;
    // Blocks smaller than a cluster (64 KiB clusters) are numbered in
    // 512-byte units, as the formatter writes them; larger ones in clusters.
    const uint64_t unit = size >= drive.BytesPerCluster ? drive.BytesPerCluster : 512;
    std::vector<uint8_t>& block = blocks[depth];
    block.resize(size);
    // A block of whole clusters is read straight into its buffer.
    const bool whole = size != 0 && unit == drive.BytesPerCluster && size % unit == 0;
    if (uint64_t(vcn) > uint64_t(INT64_MAX) / unit ||
        !(whole ? drive.ReadExternalAttribute(allocation, vcn, uint32_t(size / unit), block.data())
                : drive.ReadValueBytes(allocation, uint64_t(vcn) * unit, size, block.data()))) {
      Log("ForEachNTFSNonRootDirEntry... ReadExternalAttribute failed");
      unreadable = true;
      return true;
    }
    if (!HasMagic(block.data(), "INDX")) {
      unreadable = true;
      return true;
    }
    drive.FixupUpdateSequenceArray(block.data(), size);
    const auto* h = reinterpret_cast<const TINDEX_BLOCK_HEADER*>(block.data());
    const uint64_t start = uint64_t(offsetof(TINDEX_BLOCK_HEADER, Header)) + uint32_t(h->Header.EntriesOffset);
    if (start >= size) {
      unreadable = true;
      return true;
    }
    return Entries(block.data() + start, size - start, depth);
  }
};

struct ChildContext {
  TNTFSDirectory* dir;
  TNTFSdrive* drive;
};

bool AddChildVisitor(uint64_t reference, const TFILENAME_ATTRIBUTE* key, intptr_t data) {
  auto* c = reinterpret_cast<ChildContext*>(data);
  const uint64_t n = RecordNumberOf(reference);
  const uint8_t type = key->NameType;
  const bool listed = type == nsWin32 || type == nsWin32AndDos || (type == nsPosix && optNtfsPosixNames);
  if (n <= kLastSystemRecord || !listed) return true;
  if (c->drive->ItemBudget == 0) {
    c->dir->MarkIncomplete(TCustomDirectory::kListCut);
    return false;
  }
  --c->drive->ItemBudget;
  c->dir->AddNTFSFile(n, key, nullptr, false);
  return true;
}

// What DirectoryPath(dir, nullptr) gives, in one allocation at most: the
// scan reports it for every item.
AnsiString PathOf(const TCustomDirectory* dir) {
  if (!dir) return {};
  size_t length = dir->Name.size();
  int depth = 0;
  for (const TCustomDirectory* up = dir->Parent; up && depth < kMaxPathDepth; up = up->Parent, ++depth)
    length += up->Name.size() + 1;
  AnsiString path(length, '\\');
  size_t end = length - dir->Name.size();
  dir->Name.copy(path.data() + end, dir->Name.size());
  depth = 0;
  for (const TCustomDirectory* up = dir->Parent; up && depth < kMaxPathDepth; up = up->Parent, ++depth) {
    end -= up->Name.size() + 1;
    up->Name.copy(path.data() + end, up->Name.size());
  }
  return path;
}

bool ScanDriveVisit(TObject* Item, intptr_t Data, bool& accepted) {
  accepted = false;
  auto* t = reinterpret_cast<TNTFSdrive::TTransferdata*>(Data);
  TNTFSdrive* drive = t->Drive;
  bool cancel = false;
  // The path is made only for a progress handler: nothing else reads it.
  auto report = [&](TObject* item, const AnsiString& name, const TCustomDirectory* pathOf) {
    if (drive->OnProgress) drive->OnProgress(drive, item, PathOf(pathOf), -1, cancel);
    return t->Mask.empty() || t->Mask == "*" || MatchWildCard(name, t->Mask, '?', '*', false);
  };
  if (auto* f = ItemAs<TNTFSFile>(Item)) {
    accepted = report(f, f->Name, f->Parent);
    if (accepted && drive->OnFoundItem) drive->OnFoundItem(drive, f);
  } else if (auto* d = ItemAs<TNTFSDirectory>(Item)) {
    accepted = report(d, d->Name, d) && (!t->DeletedOnly || (d->DeletedState & 1));
    if (accepted && drive->OnFoundItem) drive->OnFoundItem(drive, d);
  }
  return !cancel;
}

}  // namespace

void TNTFSdrive::ScanDrive(const AnsiString& FileMask, bool IncludeDeleted, bool DeletedOnly) {
  DeletedFileCount = 0;
  Log("");
  ntfs::Log("Scanning drive using filemask: %s (TNTFSdrive.ScanDrive)", FileMask.c_str());
  if (DeletedTreeRoot && !DeletedTreeRoot->Children) FindDeleted();
  TTransferdata context;
  context.Mask = FileMask;
  context.Drive = this;
  context.DeletedOnly = DeletedOnly;
  // The deleted root stands for record 5 too: walked without a list of its
  // own it would list the live root as if deleted.
  if (IncludeDeleted && DeletedTreeRoot && DeletedTreeRoot->Children)
    DeletedTreeRoot->ForEachChild(ScanDriveVisit, true, true, true, reinterpret_cast<intptr_t>(&context));
  if (!(IncludeDeleted && DeletedOnly) && RootDir) {
    FReleasingFiles = bool(OnReleaseFiles);
    RootDir->ForEachChild(ScanDriveVisit, false, false, true, reinterpret_cast<intptr_t>(&context));
    FReleasingFiles = false;
  }
  Log("...............................done...(TNTFSdrive.ScanDrive)");
  if (OnFinish) OnFinish(this);
}

// ---- Directory -------------------------------------------------------------------------

void TNTFSDirectory::ForEachNTFSDirEntry(TNTFSDirEntryCallback Callback, intptr_t Data) {
  auto* drive = dynamic_cast<TNTFSdrive*>(Drive);
  if (!drive) return;
  // Every way out before the last entry leaves the folder marked: a
  // listing that stops here must not pass for the whole folder.
  if (MFTfileRef > 0xFFFFFFFF || drive->BytesPerFileRecord == 0) return MarkIncomplete(kListUnreadable);
  std::vector<uint8_t> record(drive->BytesPerFileRecord);
  if (!drive->ReadFileRecord(uint32_t(MFTfileRef), record.data())) {
    ntfs::Log("Folder record unreadable! (MFTfileRef: %lld)", (long long)MFTfileRef);
    return MarkIncomplete(kListUnreadable);
  }
  // Very large folders may keep their index attributes in extension records.
  std::vector<uint8_t> root, allocation;
  if (!drive->GatherAttribute(record.data(), uint32_t(MFTfileRef), atIndexRoot, kI30, root) ||
      reinterpret_cast<const TATTRIBUTE*>(root.data())->Nonresident) {
    ntfs::Log("No index root found! (MFTfileRef: %lld)", (long long)MFTfileRef);
    return MarkIncomplete(kListUnreadable);
  }
  const auto* rootAttr = reinterpret_cast<const TATTRIBUTE*>(root.data());
  const uint8_t* value = ResidentValue(rootAttr);
  const uint32_t valueSize = ResidentValueLength(rootAttr);
  if (valueSize < sizeof(TINDEX_ROOT)) return MarkIncomplete(kListUnreadable);
  const auto* indexRoot = reinterpret_cast<const TINDEX_ROOT*>(value);
  const auto* header = reinterpret_cast<const TINDEX_HEADER*>(value + offsetof(TINDEX_ROOT, Header));
  IndexWalk walk{*drive, Callback, Data, nullptr, drive->BytesPerIndexBlock, {}, false, {}};
  // The index root states the size of its own blocks; the boot sector's
  // figure is only a default, and a damaged one would lose every block.
  const uint32_t own = indexRoot->BytesPerIndexBlock;
  if (own >= 256 && own <= 65536 && (own & (own - 1)) == 0) walk.blockSize = own;
  const bool gathered = drive->GatherAttribute(record.data(), uint32_t(MFTfileRef), atIndexAllocation, kI30, allocation);
  if (gathered && reinterpret_cast<const TATTRIBUTE*>(allocation.data())->Nonresident)
    walk.allocation = reinterpret_cast<const TATTRIBUTE*>(allocation.data());
  if (header->Flags == 1 && !walk.allocation) {
    ntfs::Log("No index allocation found! (MFTfileRef: %lld)", (long long)MFTfileRef);
    return MarkIncomplete(kListUnreadable);
  }
  // The index bitmap is never consulted: every block an entry points at is read.
  const uint64_t start = uint64_t(offsetof(TINDEX_ROOT, Header)) + uint32_t(header->EntriesOffset);
  if (start < valueSize)
    walk.Entries(value + start, valueSize - start, 0);
  else
    walk.unreadable = true;
  if (walk.unreadable) MarkIncomplete(kListUnreadable);
}

TNTFSDirectory::~TNTFSDirectory() {
  if (FOpenedHere) FOpened->erase(MFTfileRef);
}

void TNTFSDirectory::AddChildren(bool /*b1*/, bool /*b2*/) {
  auto* drive = dynamic_cast<TNTFSdrive*>(Drive);
  Children = std::make_shared<TChildList>();
  try {
    if (!drive) return;
    if (!FOpened) {
      auto* up = ItemAs<TNTFSDirectory>(Parent);
      FOpened = up && up->FOpened ? up->FOpened : std::make_shared<std::set<uint64_t>>();
    }
    // A folder opened elsewhere in this tree (an ancestor, or one an index
    // names twice) is shown but not opened again: its items are listed
    // where it was opened, and a tree of repeats would grow without end.
    if (!FOpenedHere && !(FOpenedHere = FOpened->insert(MFTfileRef).second)) return;
    ChildContext context{this, drive};
    ForEachNTFSDirEntry(AddChildVisitor, reinterpret_cast<intptr_t>(&context));
    // One nested too deep is shown but not opened.
    int depth = 0;
    for (TCustomDirectory* a = this; a && depth <= ntfs::kMaxTreeDepth; a = a->Parent) ++depth;
    if (depth >= ntfs::kMaxTreeDepth)
      for (TObject* child : *Children)
        if (auto* d = ItemAs<TNTFSDirectory>(child)) {
          d->Children = std::make_shared<TChildList>();
          d->MarkIncomplete(kListCut);
        }
  } catch (...) {
    DeleteChildren();
    Children.reset();
  }
}

TObject* TNTFSDirectory::AddNTFSFile(uint64_t reference, const TFILENAME_ATTRIBUTE* name, const TATTRIBUTE* data,
                                     bool deleted) {
  // Only a deleted item asks its drive anything.
  auto* drive = deleted ? dynamic_cast<TNTFSdrive*>(Drive) : nullptr;
  const uint32_t attributes = name->FileAttributes;
  auto common = [&](auto& item) {
    item.Drive = Drive;
    item.MFTfileRef = reference;
    item.Name = ntfs::NameToAnsi(name->Name, name->NameLength);
    // The three times are often one instant: it is converted once.
    uint16_t unused = 0;
    const int64_t written = name->LastWriteTime, accessed = name->LastAccessTime;
    item.CreationTime = AsFileTime(name->CreationTime);
    item.LastAccessTime = AsFileTime(accessed);
    item.LastWriteTime = AsFileTime(written);
    ToDosDateTime(written, item.Date, item.Time);
    if (accessed == written)
      item.AccessDate = item.Date;
    else
      ToDosDateTime(accessed, item.AccessDate, unused);
    if (name->CreationTime == written)
      item.CreationDate = item.Date;
    else if (name->CreationTime == accessed)
      item.CreationDate = item.AccessDate;
    else
      ToDosDateTime(name->CreationTime, item.CreationDate, unused);
    item.Parent = this;
  };
  if (attributes & kFileNameIsDirectory) {
    auto d = std::make_unique<TNTFSDirectory>();
    common(*d);
    d->DeletedState = deleted ? 1 : 0;
    if (deleted && drive) d->DeletedCondition = drive->DetermineDeletedCondition(data);
    Children->push_back(d.get());
    return d.release();
  }
  auto f = std::make_unique<TNTFSFile>();
  common(*f);
  f->Attributes = attributes;
  f->Size = name->DataSize;
  f->Deleted = deleted;
  if (deleted) {
    if (drive) {
      f->DeletedCondition = drive->DetermineDeletedCondition(data);
      ++drive->DeletedFileCount;
    }
    // The record's own size is the truth; a non-resident one keeps all
    // 64 bits, so a deleted video of 4 GiB or more comes out whole.
    if (data && drive) drive->SetFileSize(*f, data);
  } else if (auto* d = dynamic_cast<TNTFSdrive*>(Drive)) {
    d->SetFileSize(*f, nullptr);
  }
  Children->push_back(f.get());
  return f.release();
}

bool TNTFSDirectory::ForEachChild(TForEachChildCallback Callback, bool b1, bool b2, bool Recurse, intptr_t Data) {
  return ForEachChildAt(Callback, b1, b2, Recurse, Data, 0);
}

bool TNTFSDirectory::ForEachChildAt(TForEachChildCallback Callback, bool b1, bool b2, bool Recurse, intptr_t Data,
                                    int depth) {
  if (!Children) AddChildren(b1, b2);
  if (!Children) return true;
  // Hold the list: a visitor may not free it under us.
  std::shared_ptr<TChildList> list = Children;
  for (size_t i = 0; i < list->size(); ++i) {
    TObject* child = (*list)[i];
    bool accepted = false;
    if (!Callback(child, Data, accepted)) return false;
    if (!Recurse || depth >= ntfs::kMaxTreeDepth) continue;
    if (auto* sub = ItemAs<TNTFSDirectory>(child)) {
      if (!sub->ForEachChildAt(Callback, b1, b2, Recurse, Data, depth + 1)) return false;
      if (auto* drive = dynamic_cast<TNTFSdrive*>(Drive); drive && drive->FReleasingFiles) sub->ReleaseFiles(*drive);
    } else if (auto* other = ItemAs<TCustomDirectory>(child)) {
      if (!other->ForEachChild(Callback, b1, b2, Recurse, Data)) return false;
    }
  }
  return true;
}

void TNTFSDirectory::ReleaseFiles(TNTFSdrive& drive) {
  if (!Children) return;
  drive.OnReleaseFiles(this);
  auto& list = *Children;
  const auto files =
      std::stable_partition(list.begin(), list.end(), [](TObject* item) { return !ItemAs<TCustomFile>(item); });
  for (auto it = files; it != list.end(); ++it) delete *it;
  list.erase(files, list.end());
  list.shrink_to_fit();
}

void TNTFSDirectory::Assign(TObject* source) {
  TCustomDirectory::Assign(source);
  if (auto* s = ItemAs<TNTFSDirectory>(source)) {
    Date = s->Date;
    Time = s->Time;
    MFTfileRef = s->MFTfileRef;
    CreationTime = s->CreationTime, LastAccessTime = s->LastAccessTime, LastWriteTime = s->LastWriteTime;
  }
}

void TNTFSDirectory::AssignTo(TObject* dest) {
  TCustomDirectory::AssignTo(dest);
  if (auto* d = ItemAs<TNTFSDirectory>(dest)) {
    d->Date = Date;
    d->Time = Time;
    d->MFTfileRef = MFTfileRef;
    d->CreationTime = CreationTime, d->LastAccessTime = LastAccessTime, d->LastWriteTime = LastWriteTime;
  }
}

AnsiString TNTFSDirectory::GetPath(TCustomDirectory* base) { return DirectoryPath(this, base); }

bool TNTFSDirectory::Rename(const AnsiString& newName) {
  Name = newName;
  return true;
}

// ---- File -------------------------------------------------------------------------------

void TNTFSFile::Assign(TObject* source) {
  TCustomFile::Assign(source);
  if (auto* s = ItemAs<TNTFSFile>(source)) {
    Attributes = s->Attributes;
    MFTfileRef = s->MFTfileRef;
    Time = s->Time;
    Date = s->Date;
    Size = s->Size;
    SizeDamaged = s->SizeDamaged;
    RecordedSize = s->RecordedSize;
    CreationTime = s->CreationTime, LastAccessTime = s->LastAccessTime, LastWriteTime = s->LastWriteTime;
  }
}

void TNTFSFile::AssignTo(TObject* dest) {
  TCustomFile::AssignTo(dest);
  if (auto* d = ItemAs<TNTFSFile>(dest)) d->Assign(this);
}

bool TNTFSFile::Rename(const AnsiString& newName) {
  Name = newName;
  return true;
}

AnsiString TNTFSFile::GetPath(TCustomDirectory* base) { return FilePath(this, base); }

void TNTFSFile::ChangeListViewItem(TListItem& item) {
  if (Size < 0 || Size > int64_t(0xFFFFFFFF)) throw std::range_error("file size out of range");
  item.Caption = Name;
  // The host's row has these sub-items; a bare one gets them rather than a fault.
  if (item.SubItems.size() < 3) item.SubItems.resize(3);
  item.SubItems[0] = LongWordToStr(uint32_t(Size));
  item.SubItems[2] = std::to_string(MFTfileRef);
}
