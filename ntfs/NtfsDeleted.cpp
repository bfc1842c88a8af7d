// NTFS deleted-item search: free MFT records that still hold a file name
// become deleted items under their rebuilt paths, with a verdict on their data.
#include <algorithm>
#include <cmath>

#include "Helpers.h"
#include "NtfsInternal.h"

using ntfs::Log;
using ntfs::LogException;

namespace {

TNTFSDirectory* AsNtfs(TCustomDirectory* d) { return ItemAs<TNTFSDirectory>(d); }

bool IsAncestorOrSelf(const TCustomDirectory* candidate, const TCustomDirectory* item) {
  int depth = 0;
  for (const TCustomDirectory* p = item; p && depth <= kMaxPathDepth; p = p->Parent, ++depth)
    if (p == candidate) return true;
  return false;
}

void SetParent(TObject* child, TCustomDirectory* parent) {
  if (auto* f = ItemAs<TCustomFile>(child)) f->Parent = parent;
  if (auto* d = ItemAs<TCustomDirectory>(child)) d->Parent = parent;
}

// Directories of the deleted tree that got no list have no deleted children;
// they get an empty one, so a walk never lists their (live or stale) index
// as if it were deleted.
void CloseDeletedTree(TCustomDirectory* root) {
  std::vector<TCustomDirectory*> work{root};
  while (!work.empty()) {
    TCustomDirectory* d = work.back();
    work.pop_back();
    if (!d->Children) {
      d->Children = std::make_shared<TChildList>();
      continue;
    }
    for (TObject* child : *d->Children)
      if (auto* sub = ItemAs<TCustomDirectory>(child)) work.push_back(sub);
  }
}

bool IsWin32Name(const TFILENAME_ATTRIBUTE* name) {
  return name && (name->NameType == nsWin32 || name->NameType == nsWin32AndDos);
}

// A record's file name, looked for through its attribute list as well: a
// file with many links, or one Linux wrote fragmented, may keep its names in
// extension records only. The name lies in record or, copied, in held.
const TFILENAME_ATTRIBUTE* FileNameOf(TNTFSdrive& drive, const uint8_t* record, uint64_t number,
                                      std::vector<uint8_t>& held, bool followList) {
  const TFILENAME_ATTRIBUTE* best = drive.FindAttributeFileName(record);
  if (IsWin32Name(best) || !followList) return best;
  const std::vector<uint8_t> list = drive.ReadAttributeList(record);
  std::vector<uint8_t> ext(drive.BytesPerFileRecord);
  const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(ext.data());
  uint64_t previous = number;
  for (int occurrence = 0; occurrence <= 255; ++occurrence) {
    const TATTRIBUTE_LIST_ENTRY* e =
        drive.FindAttributeListEntry(list.data(), uint32_t(list.size()), atFileName, nullptr, uint8_t(occurrence));
    if (!e) break;
    // The record's own names are known already, and one extension record
    // holds its names one after another.
    const uint64_t at = RecordNumberOf(e->FileReference);
    if (at == number || at == previous || at > 0xFFFFFFFF) continue;
    previous = at;
    if (!drive.ReadFileRecord(uint32_t(at), ext.data()) || !HasMagic(ext.data(), "FILE") ||
        RecordNumberOf(h->BaseFileRecord) != number)
      continue;
    const TFILENAME_ATTRIBUTE* name = drive.FindAttributeFileName(ext.data());
    if (!name || (best && !IsWin32Name(name))) continue;
    const auto* bytes = reinterpret_cast<const uint8_t*>(name);
    held.assign(bytes, bytes + kFileNameHeader + 2 * size_t(name->NameLength));
    best = reinterpret_cast<const TFILENAME_ATTRIBUTE*>(held.data());
    if (IsWin32Name(best)) break;
  }
  return best;
}

constexpr uint32_t kStandardInformation = 0x10;

// A copy of name in held with the record's own times, those of its
// $STANDARD_INFORMATION: the copy in a file name is brought up to date only
// now and then, so it may lag them by years. A record without them (or with
// too short a value) keeps the name's times.
const TFILENAME_ATTRIBUTE* WithRecordTimes(TNTFSdrive& drive, const uint8_t* record, const TFILENAME_ATTRIBUTE* name,
                                           std::vector<uint8_t>& held) {
  const TATTRIBUTE* info = drive.FindAttribute(record, kStandardInformation, nullptr, 0);
  if (!info || info->Nonresident || ResidentValueLength(info) < 0x20) return name;
  const auto* bytes = reinterpret_cast<const uint8_t*>(name);
  held.assign(bytes, bytes + kFileNameHeader + 2 * size_t(name->NameLength));
  auto* timed = reinterpret_cast<TFILENAME_ATTRIBUTE*>(held.data());
  const uint8_t* times = ResidentValue(info);
  timed->CreationTime = int64_t(NtfsRead64(times));
  timed->LastWriteTime = int64_t(NtfsRead64(times + 0x08));
  timed->MftChangeTime = int64_t(NtfsRead64(times + 0x10));
  timed->LastAccessTime = int64_t(NtfsRead64(times + 0x18));
  return timed;
}

// Whether a $DATA attribute holds any bytes. A nameless record without them
// (like the records formatters set aside) has nothing to give back.
bool HoldsBytes(const TATTRIBUTE* data) {
  if (!data) return false;
  if (data->Nonresident)
    return data->Length >= sizeof(TNONRESIDENT_ATTRIBUTE) &&
           reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(data)->DataSize > 0;
  return data->Length >= sizeof(TRESIDENT_ATTRIBUTE) &&
         reinterpret_cast<const TRESIDENT_ATTRIBUTE*>(data)->ValueLength > 0;
}

// The name given to a free record that keeps none: "OrphanFile-N" in the root.
const TFILENAME_ATTRIBUTE* NamelessName(uint64_t number, std::vector<uint8_t>& held) {
  const std::string text = "OrphanFile-" + std::to_string(number);
  held.assign(kFileNameHeader + 2 * text.size(), 0);
  auto* name = reinterpret_cast<TFILENAME_ATTRIBUTE*>(held.data());
  name->ParentDirectory = kMftRecordRoot;
  name->NameLength = uint8_t(text.size());
  name->NameType = nsWin32;
  for (size_t k = 0; k < text.size(); ++k) held[kFileNameHeader + 2 * k] = uint8_t(text[k]);
  return name;
}

// Free records in ascending order, read ahead in batches: the deleted search
// wants thousands of scattered 1 KiB records, which cost far less read
// together than one at a time or through whole cache lines.
class FreeRecordReader {
 public:
  FreeRecordReader(TNTFSdrive& drive, const std::vector<uint8_t>& bitmap, uint64_t count)
      : drive_(drive), bitmap_(bitmap), count_(count),
        batch_(std::max<size_t>(16, (size_t{64} << 10) / std::max<uint32_t>(drive.BytesPerFileRecord, 1))),
        data_(new uint8_t[batch_ * drive.BytesPerFileRecord]()), ok_(new bool[batch_]) {}

  // Record i after fix-up, or null when it could not be read. Valid until
  // the next call; calls come with rising i, each free in the bitmap.
  const uint8_t* Read(uint64_t i) {
    while (next_ < numbers_.size() && numbers_[next_] < i) ++next_;
    if (next_ == numbers_.size()) Fill(i);
    if (next_ == numbers_.size() || numbers_[next_] != i) return nullptr;
    return ok_[next_] ? data_.get() + next_ * drive_.BytesPerFileRecord : nullptr;
  }

 private:
  void Fill(uint64_t from) {
    numbers_.clear();
    next_ = 0;
    for (uint64_t i = from; i < count_ && numbers_.size() < batch_; ++i)
      if (!BitIsSet(bitmap_.data(), i)) numbers_.push_back(uint32_t(i));
    drive_.ReadFileRecords(numbers_.data(), numbers_.size(), data_.get(), ok_.get());
  }

  TNTFSdrive& drive_;
  const std::vector<uint8_t>& bitmap_;
  uint64_t count_;
  size_t batch_;
  std::vector<uint32_t> numbers_;
  // A batch of records: small, so its pages are touched once; zeroed, as a
  // memory checker does not see what io_uring writes.
  std::unique_ptr<uint8_t[]> data_;
  std::unique_ptr<bool[]> ok_;
  size_t next_ = 0;
};

}  // namespace

void TNTFSdrive::FindDeletedTreeDirectories(TCustomDirectory* start, uint64_t a, uint64_t b, TNTFSDirectory*& foundA,
                                            TNTFSDirectory*& foundB) {
  foundA = foundB = nullptr;
  if (FDeletedDirsOn && start == DeletedTreeRoot.get()) {
    // Each directory of the tree is noted as it is made; a later one with the
    // same number takes the place of the earlier, as in the walk below.
    auto at = [this](uint64_t n) {
      const auto it = FDeletedDirs.find(n);
      return it == FDeletedDirs.end() ? nullptr : it->second.dir;
    };
    foundA = at(a);
    if (b != a) foundB = at(b);
    return;
  }
  // Depth first in list order without recursion: the deleted tree may be deep.
  std::vector<TCustomDirectory*> work{start};
  while (!work.empty() && !(foundA && foundB)) {
    TCustomDirectory* d = work.back();
    work.pop_back();
    if (TNTFSDirectory* n = AsNtfs(d)) {
      if (n->MFTfileRef == a)
        foundA = n;
      else if (n->MFTfileRef == b)
        foundB = n;
    }
    if (!d->Children) continue;
    for (auto it = d->Children->rbegin(); it != d->Children->rend(); ++it)
      if (auto* sub = ItemAs<TCustomDirectory>(*it)) work.push_back(sub);
  }
}

void TNTFSdrive::NoteDeletedDir(TObject* item, const TFILE_RECORD_HEADER* record, int64_t created) {
  auto* d = ItemAs<TNTFSDirectory>(item);
  if (!d || !FDeletedDirsOn) return;
  DeletedFolder& f = FDeletedDirs[d->MFTfileRef];
  f.dir = d;
  f.anyChild = !record;
  if (record) {
    f.free = !(record->Flags & kRecordInUse);
    f.sequence = record->SequenceNumber;
    f.created = created;
  }
}

namespace {

// Whether a parent record still holds the folder a child's name points at.
// Its sequence number is the reference's while the folder lives, and one
// more once it has been freed (0 is skipped on wrap); any other number means
// the record has been reused since. A reference without a sequence number
// has only the times to go by: a folder created after its child is a newer
// one. Where the number is there it alone decides, as a file moved into a
// folder made after it is still that folder's.
bool StillHolds(bool free, uint16_t sequence, int64_t created, const TFILENAME_ATTRIBUTE* child) {
  const auto s = uint16_t(uint64_t(child->ParentDirectory) >> 48);
  if (s == 0) return int64_t(child->CreationTime) >= created;
  return s == sequence || (free && sequence == (s == 0xFFFF ? 1 : s + 1));
}

}  // namespace

bool TNTFSdrive::MayFollowList(const uint8_t* record) {
  const TATTRIBUTE* list = FindAttribute(record, atAttributeList, nullptr, 0);
  if (!list || !FDeletedDirsOn) return list != nullptr;
  // Its entries (at least 24 bytes each), and the clusters ReadAttribute
  // reads of it counted as the records they would hold.
  uint64_t entries = ResidentValueLength(list) / 24 + 1;
  if (const auto* n = list->Nonresident ? reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(list) : nullptr) {
    const uint64_t clusters = uint64_t(uint32_t(int64_t(n->HighVcn))) + 1;
    entries = std::min<uint64_t>(uint64_t(std::max<int64_t>(n->DataSize, 0)), clusters * BytesPerCluster) / 24 + 1 +
              clusters * std::max<uint32_t>(BytesPerCluster / std::max<uint32_t>(BytesPerFileRecord, 1), 1);
  }
  if (entries > FListEntriesLeft) {
    if (FListEntriesLeft != 0)
      Log("attribute lists of free records exceed what the MFT can hold: not followed further "
          "(TNTFSdrive.FindDeleted)");
    FListEntriesLeft = 0;
    return false;
  }
  FListEntriesLeft -= entries;
  return true;
}

TNTFSDirectory* TNTFSdrive::Placeholder(uint64_t p) {
  auto* root = AsNtfs(DeletedTreeRoot.get());
  auto placeholder = std::make_unique<TNTFSDirectory>();
  placeholder->MFTfileRef = p;
  placeholder->Name = "MFT " + std::to_string(p);
  placeholder->Drive = this;
  placeholder->DeletedState = 5;
  placeholder->Parent = root;
  if (!root->Children) root->Children = std::make_shared<TChildList>();
  root->Children->push_back(placeholder.get());
  return placeholder.release();
}

TNTFSDirectory* TNTFSdrive::DeletedParent(const TFILENAME_ATTRIBUTE* name, int depth) {
  const uint64_t p = RecordNumberOf(name->ParentDirectory);
  if (!FDeletedDirsOn) {
    TNTFSDirectory *found = nullptr, *unused = nullptr;
    FindDeletedTreeDirectories(DeletedTreeRoot.get(), p, p, found, unused);
    return found ? found : ResolveDeletedParent(name, depth);
  }
  const auto it = FDeletedDirs.find(p);
  if (it == FDeletedDirs.end()) return ResolveDeletedParent(name, depth);
  DeletedFolder& f = it->second;
  if (f.anyChild) return f.dir ? f.dir : ResolveDeletedParent(name, depth);
  if (StillHolds(f.free, f.sequence, f.created, name)) return f.dir ? f.dir : ResolveDeletedParent(name, depth);
  if (!f.orphans) f.orphans = Placeholder(p);
  return f.orphans;
}

TNTFSDirectory* TNTFSdrive::ResolveDeletedParent(const TFILENAME_ATTRIBUTE* name, int depth) {
  auto* root = AsNtfs(DeletedTreeRoot.get());
  if (!root) throw std::logic_error("no deleted tree");
  const uint64_t p = RecordNumberOf(name->ParentDirectory);
  std::vector<uint8_t> record(BytesPerFileRecord), heldName, timedName;
  // Parents lie scattered over the MFT: each is read alone, not with the
  // cache line around it.
  const uint32_t number = uint32_t(p);
  bool read = false;
  if (p <= 0xFFFFFFFF) ReadFileRecords(&number, 1, record.data(), &read);
  const TFILENAME_ATTRIBUTE* pn =
      read ? FileNameOf(*this, record.data(), p, heldName, MayFollowList(record.data())) : nullptr;
  const auto* header = reinterpret_cast<const TFILE_RECORD_HEADER*>(record.data());
  if (read && depth < 100 && pn && (pn->FileAttributes & kFileNameIsDirectory)) {
    if (StillHolds(!(header->Flags & kRecordInUse), header->SequenceNumber, pn->CreationTime, name)) {
      if (p == kMftRecordRoot) return root;
      TNTFSDirectory* g = DeletedParent(pn, depth + 1);
      if (!g->Children) g->Children = std::make_shared<TChildList>();
      auto* made = static_cast<TNTFSDirectory*>(g->AddNTFSFile(p, WithRecordTimes(*this, record.data(), pn, timedName), nullptr, false));
      NoteDeletedDir(made, header, pn->CreationTime);
      return made;
    }
    // A newer folder holds the record: the child's folder is gone.
    if (FDeletedDirsOn) {
      DeletedFolder& f = FDeletedDirs[p];
      if (!f.dir) {
        f.anyChild = false;
        f.free = !(header->Flags & kRecordInUse);
        f.sequence = header->SequenceNumber;
        f.created = pn->CreationTime;
      }
      if (!f.orphans) f.orphans = Placeholder(p);
      return f.orphans;
    }
  }
  TNTFSDirectory* placeholder = Placeholder(p);
  NoteDeletedDir(placeholder);
  return placeholder;
}

uint8_t TNTFSdrive::DetermineDeletedCondition(const TATTRIBUTE* data) {
  if (!data) return 0;
  if (!data->Nonresident) return 1;
  try {
    // One read of the volume bitmap's record serves every verdict.
    if (FVolumeBitmapRecord.empty()) {
      std::vector<uint8_t> record(BytesPerFileRecord);
      if (!ReadFileRecord(kMftRecordBitmap, record.data())) return 0;
      FVolumeBitmapRecord = std::move(record);
    }
    const TATTRIBUTE* bitmap = FindAttribute(FVolumeBitmapRecord.data(), atData, nullptr, 0);
    if (!bitmap) return 0;
    // Only the first allocated cluster is tested; sparse runs are passed by.
    int64_t vcn = 0, lcn = 0, count = 0;
    while (FindRun(data, vcn, lcn, count)) {
      if (lcn != 0) return VolumeClusterInUse(bitmap, lcn) ? 2 : 1;
      if (count <= 0 || vcn > INT64_MAX - count) break;
      vcn += count;
    }
  } catch (const std::exception&) {
  }
  return 0;
}

bool TNTFSdrive::VolumeClusterInUse(const TATTRIBUTE* bitmap, int64_t lcn) {
  // Deleted files of one folder sit near each other: a window of the volume
  // bitmap, read once, answers most of them without a read each.
  constexpr int64_t kWindow = 65536;
  const int64_t byte = lcn / 8, start = byte - byte % kWindow;
  if (lcn < 0) return false;
  if (FBitmapWindowStart != start) {
    FBitmapWindow.resize(size_t(kWindow));
    FBitmapWindowStart = start;
    FBitmapWindow.resize(BlockReadAttribute(bitmap, FBitmapWindow.data(), start, uint32_t(kWindow)));
  }
  if (byte - start < int64_t(FBitmapWindow.size())) return BitIsSet(FBitmapWindow.data(), uint64_t(lcn - start * 8));
  return BitmapAttributeBitSet(bitmap, lcn);
}

void TNTFSdrive::FindDeleted() {
  Log("");
  Log("Finding and building drive tree of deleted items... (TNTFSdrive.FindDeleted)");
  auto* root = AsNtfs(DeletedTreeRoot.get());
  const TATTRIBUTE* bitmapAttr = nullptr;
  std::vector<uint8_t> list, ext(MftLoaded ? BytesPerFileRecord : 0);
  if (MftLoaded && root) {
    list = ReadAttributeList(MftRecord.data());
    bitmapAttr = FindAttribute(MftRecord.data(), atBitmap, nullptr, 0);
    if (!bitmapAttr && !list.empty()) {
      const TATTRIBUTE_LIST_ENTRY* e = FindAttributeListEntry(list.data(), uint32_t(list.size()), atBitmap, nullptr, 0);
      const uint64_t number = e ? RecordNumberOf(e->FileReference) : 0;
      if (e && e->AttributeType != atEnd && e->FileReference != 0 && number <= 0xFFFFFFFF &&
          ReadFileRecord(uint32_t(number), ext.data())) {
        const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(ext.data());
        if (h->LinkCount == 0 && HasMagic(ext.data(), "FILE") && (h->Flags & kRecordInUse))
          bitmapAttr = FindAttribute(ext.data(), atBitmap, nullptr, 0);
      }
    }
  }
  DeletedSearch = TDeletedSearch::Failed;
  NamelessRecords.clear();
  if (!root) return;
  if (!bitmapAttr) Log("TNTFSdrive.FindDeleted: ERROR - Couldn't find Bitmap attribute!");
  std::vector<uint8_t> bitmap;
  const bool bitmapRead = bitmapAttr && ReadAttribute(bitmapAttr, bitmap);
  uint64_t count = std::min<uint64_t>(MftRecordCount(), 0x100000000ull);
  ntfs::Log("MFT entries: %lld (TNTFSdrive.FindDeleted)", (long long)count);
  if (count == 0) {
    ntfs::Log("MFT entries: %lld EXITING... something went wrong(TNTFSdrive.FindDeleted)", (long long)count);
  } else {
    // Without the bitmap (or past its end) every record is read and its own
    // header tells whether it is free: slower, but nothing deleted is lost.
    DeletedSearch = TDeletedSearch::ByBitmap;
    if (!bitmapRead || uint64_t(bitmap.size()) * 8 < count) {
      Log("MFT bitmap unreadable: free records are told by their own headers... (TNTFSdrive.FindDeleted)");
      DeletedSearch = TDeletedSearch::ByHeaders;
      bitmap.assign(size_t((count + 7) / 8), 0);
    }
    bool anyRead = false;
    FreeRecordReader records(*this, bitmap, count);
    bool cancel = false;
    const TNTFSDirectory* progressFolder = nullptr;
    AnsiString progressText;
    const AnsiString noText;  // made once: tens of thousands of records in use report it
    std::vector<uint8_t> heldName, heldData, timedName;
    // The index holds what the tree holds now, and is dropped however the search ends.
    struct IndexGuard {
      TNTFSdrive& drive;
      ~IndexGuard() {
        drive.FDeletedDirsOn = false;
        drive.FDeletedDirs.clear();
      }
    } indexGuard{*this};
    FDeletedDirs.clear();
    FDeletedDirsOn = true;
    // Real lists describe the volume's own extension records: a few entries
    // per record of the MFT at the most.
    FListEntriesLeft = 16 * count + 65536;
    for (std::vector<TCustomDirectory*> work{root}; !work.empty();) {
      TCustomDirectory* d = work.back();
      work.pop_back();
      NoteDeletedDir(d);
      if (d->Children)
        for (auto it = d->Children->rbegin(); it != d->Children->rend(); ++it)
          if (auto* sub = ItemAs<TCustomDirectory>(*it)) work.push_back(sub);
    }
    for (uint64_t i = 0; i < count && !cancel; ++i) {
      try {
        const int percent =
            !OnProgress ? 0 : count > 1 ? int(std::nearbyint(double(i) / double(count - 1) * 100.0)) : 100;
        if (BitIsSet(bitmap.data(), i)) {
          if (OnProgress) OnProgress(this, nullptr, noText, percent, cancel);
          continue;
        }
        const uint8_t* record = records.Read(i);
        const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(record);
        anyRead = anyRead || record;
        if (record && (h->Flags & kRecordInUse) && OnProgress) OnProgress(this, nullptr, noText, percent, cancel);
        if (record && HasMagic(record, "FILE") && !(h->Flags & kRecordInUse)) {
          ntfs::Log("item %lld of %lld is valid file record and not in use... (TNTFSdrive.FindDeleted)",
                    (long long)i, (long long)(count - 1));
          // An extension record is part of its base record's item, which
          // reaches it through its attribute list.
          if (h->BaseFileRecord != 0) continue;
          const bool followList = MayFollowList(record);
          const TFILENAME_ATTRIBUTE* name = FileNameOf(*this, record, i, heldName, followList);
          // A record that lost every name is still a file to read back,
          // when it holds anything (formatters lay out empty records).
          const bool nameless = !name && i > kLastSystemRecord &&
                                (FindAttribute(record, kStandardInformation, nullptr, 0) ||
                                 FindAttribute(record, atData, nullptr, 0));
          if (nameless) name = NamelessName(i, heldName);
          if (!name) continue;
          if (i > kLastSystemRecord) {
            Log("item has \"FileName\" Attribute and is not a system file... (TNTFSdrive.FindDeleted)");
            // The whole $DATA, also when extension records hold it: the
            // size, the verdict and the reader all go by it.
            const TATTRIBUTE* data = !followList ? FindAttribute(record, atData, nullptr, 0)
                                     : GatherAttribute(record, uint32_t(i), atData, nullptr, heldData)
                                         ? reinterpret_cast<const TATTRIBUTE*>(heldData.data())
                                         : nullptr;
            if (nameless && !HoldsBytes(data)) continue;
            TNTFSDirectory *parent = nullptr, *self = nullptr;
            if (nameless) {
              parent = root;
              NamelessRecords.push_back(i);
            } else {
              FindDeletedTreeDirectories(root, RecordNumberOf(name->ParentDirectory), i, parent, self);
              if (!parent)
                ntfs::Log("parent directory not found yet, item: %lld - will create absolute path... "
                          "(TNTFSdrive.FindDeleted)",
                          (long long)i);
              // Also a folder already in the tree is checked: its record may
              // hold another folder than the one the item was in.
              try {
                parent = DeletedParent(name, 0);
              } catch (...) {
                parent = root;
              }
            }
            if (!parent->Children) parent->Children = std::make_shared<TChildList>();
            TObject* item = parent->AddNTFSFile(i, WithRecordTimes(*this, record, name, timedName), data, true);
            NoteDeletedDir(item, h, name->CreationTime);
            cancel = false;
            if (OnProgress) {
              // Deleted items of one folder come in runs: its path is built once per run.
              if (parent != progressFolder) {
                progressFolder = parent;
                progressText = parent->GetPath(nullptr) + "\\" + parent->Name;
              }
              OnProgress(this, parent, progressText, percent, cancel);
            }
            KeepWindowsAlive();
            auto* newDir = ItemAs<TNTFSDirectory>(item);
            if (self) {
              progressFolder = nullptr;  // paths below may change, and self is freed
              ntfs::Log("self item found, item: %lld - will delete prior created... (TNTFSdrive.FindDeleted)",
                        (long long)i);
              // A file keeps out of it: the placeholder stays with its
              // children. So does a directory that would end up inside
              // the very directory it takes over.
              if (newDir && !IsAncestorOrSelf(self, newDir)) {
                newDir->Children = self->Children;
                if (newDir->Children)
                  for (TObject* child : *newDir->Children) SetParent(child, newDir);
                self->Children.reset();
                if (self->Parent && self->Parent->Children) {
                  auto& siblings = *self->Parent->Children;
                  siblings.erase(std::remove(siblings.begin(), siblings.end(), self), siblings.end());
                }
                delete self;
              }
            }
          }
        }
        ntfs::Log("................................done...(examing MFT file record %lld)", (long long)i);
      } catch (const std::exception& e) {
        LogException(&e, " (TNTFSdrive.FindDeleted, loop)");
      }
    }
    if (root->Children) CloseDeletedTree(root);
    // Not one record readable: the search saw nothing of the volume.
    if (DeletedSearch == TDeletedSearch::ByHeaders && !anyRead && !cancel) DeletedSearch = TDeletedSearch::Failed;
  }
  Log("................................done...(TNTFSdrive.FindDeleted)");
}
