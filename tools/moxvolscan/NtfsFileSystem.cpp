// The NTFS part of the program's volume: mounting, names, reading and saving.
#include <algorithm>
#include <cstdio>

#include "Diskfs.h"
#include "Ntfs.h"
#include "NtfsOrphans.h"
#include "Volume.h"
#include "WinApi.h"

namespace {

// 64-bit positions throughout, so files of 4 GiB or more read whole.
class NtfsReader : public FileReader {
 public:
  NtfsReader(TNTFSdrive& drive, TNTFSFile& file) : drive_(drive) {
    ok_ = drive_.resetByMFTfileRef(int64_t(file.MFTfileRef), file.Size, info_);
  }
  size_t Read(void* buffer, size_t count) override {
    // A short read still hands over what came: the data up to where it ends.
    uint32_t n = 0;
    if (ok_) drive_.blockread(info_, uint32_t(std::min<size_t>(count, 1u << 30)), buffer, n);
    return n;
  }

 private:
  TNTFSdrive& drive_;
  TNTFSfileInfo info_;
  bool ok_ = false;
};

class NtfsFileSystem : public FileSystem {
 public:
  explicit NtfsFileSystem(std::unique_ptr<TNTFSdrive> drive) : drive_(std::move(drive)) {}

  TCustomDrive& drive() override { return *drive_; }
  TCustomDirectory* Root() override { return drive_->RootDir.get(); }
  // Deleted items hang below path folders that stand for the live ones.
  TCustomDirectory* DeletedRoot() override {
    TCustomDirectory* root = drive_->DeletedTreeRoot.get();
    if (!root->Children) {
      drive_->FindDeleted();
      // A search that finds nothing leaves no list, and every later call
      // (ls asks for each folder) would read the whole MFT again.
      if (!root->Children) root->Children = std::make_shared<TChildList>();
    }
    // Whoever searched (a scan does too), "MFT n" folders sit in $OrphanFiles
    // from the first look on.
    if (!deletedOrphansGathered_) {
      deletedOrphansGathered_ = true;
      GatherDeletedOrphans(*drive_);
    }
    return root;
  }
  void FreeFilesOnceListed() override {
    released_.resize(drive_->MftRecordCount());
    drive_->OnReleaseFiles = [this](TNTFSDirectory* dir) {
      for (TObject* child : *dir->Children)
        if (const int64_t r = RecordOf(child); r >= 0 && uint64_t(r) < released_.size()) released_[size_t(r)] = true;
    };
  }
  TCustomDirectory* Orphans(bool withDeleted) override {
    if (!orphansSought_) {
      orphansSought_ = true;
      std::vector<bool> reached = std::move(released_);
      reached.resize(drive_->MftRecordCount());
      if (kMftRecordRoot < reached.size()) reached[kMftRecordRoot] = true;
      for (std::vector<TCustomDirectory*> todo{Root()}; !todo.empty();) {
        TCustomDirectory* d = todo.back();
        todo.pop_back();
        Build(d);
        if (d->Children)
          for (TObject* child : *d->Children) {
            if (const int64_t r = RecordOf(child); r >= 0 && uint64_t(r) < reached.size()) reached[size_t(r)] = true;
            if (auto* sub = ItemAs<TCustomDirectory>(child)) todo.push_back(sub);
          }
        // Counted, the files need not stay where no one lists them.
        if (auto* n = ItemAs<TNTFSDirectory>(d); n && drive_->OnReleaseFiles) n->ReleaseFiles(*drive_);
      }
      // A tree cut short by its item budget reaches too little to tell.
      if (drive_->ItemBudget > 0) liveOrphans_ = FindLiveOrphans(*drive_, reached);
    }
    if (liveOrphans_ && (!liveOrphans_->Children->empty() || (withDeleted && HasDeletedOrphans()))) {
      orphanFolder_ = liveOrphans_.get();
      Root()->Children->push_back(liveOrphans_.release());
    }
    return orphanFolder_;
  }
  bool IsOrphanFolder(TObject* item) override {
    const auto* d = ItemAs<TNTFSDirectory>(item);
    return d && d->MFTfileRef == kOrphanFolderRef;
  }
  std::string NameOf(TObject* item) override { return std::string(NameView(item)); }
  std::string_view NameView(TObject* item) override {
    if (auto* f = ItemAs<TNTFSFile>(item)) return f->Name;
    if (auto* d = ItemAs<TNTFSDirectory>(item)) return d->Name;
    return {};
  }
  uint8_t AttributesOf(TObject* item) override {
    if (auto* f = ItemAs<TNTFSFile>(item)) return uint8_t(f->Attributes);
    return uint8_t(FILE_ATTRIBUTE_DIRECTORY);
  }
  int64_t RecordOf(TObject* item) override {
    if (auto* f = ItemAs<TNTFSFile>(item)) return int64_t(f->MFTfileRef);
    if (auto* d = ItemAs<TNTFSDirectory>(item)) return int64_t(d->MFTfileRef);
    return -1;
  }
  bool WriteInstantOf(TObject* item, FILETIME& utc) override {
    if (auto* f = ItemAs<TNTFSFile>(item)) utc = f->LastWriteTime;
    else if (auto* d = ItemAs<TNTFSDirectory>(item)) utc = d->LastWriteTime;
    else return false;
    return true;
  }
  // From the item's record, as fls reads it: the $STANDARD_INFORMATION times,
  // the $FILE_NAME of the name listed, and the attribute that stands for
  // the item (unnamed data, a folder's $I30 index root). An item whose
  // record can't be read keeps the times its listing has.
  bool TimesOf(TObject* item, ItemTimes& t) override {
    auto* f = ItemAs<TNTFSFile>(item);
    auto* d = ItemAs<TNTFSDirectory>(item);
    if (!f && !d) return false;
    const uint64_t number = RecordNumberOf(f ? f->MFTfileRef : d->MFTfileRef);
    t.modified = Stamp::Instant(f ? f->LastWriteTime : d->LastWriteTime);
    t.accessed = Stamp::Instant(f ? f->LastAccessTime : d->LastAccessTime);
    t.created = Stamp::Instant(f ? f->CreationTime : d->CreationTime);
    t.changed = Stamp{};
    t.hasFileName = false;
    t.uid = 0;
    t.size = f ? uint64_t(f->Size) : 0;
    t.untypedWhenDeleted = true;
    t.inode = std::to_string(number);
    record_.resize(drive_->BytesPerFileRecord);
    // $OrphanFiles and the "MFT n" folders have no record of their own;
    // fls numbers its $OrphanFiles one past the last record.
    if (d && d->MFTfileRef == kOrphanFolderRef) t.inode = std::to_string(drive_->MftRecordCount());
    if (d && (d->MFTfileRef == kOrphanFolderRef || (d->DeletedState & 4))) return true;
    // Items come in index order, scattered over the MFT: each record is read
    // alone, not with the cache line around it.
    const uint32_t index = uint32_t(number);
    bool read = false;
    if (number <= 0xFFFFFFFF) drive_->ReadFileRecords(&index, 1, record_.data(), &read);
    if (!read || !HasMagic(record_.data(), "FILE")) return true;
    const uint8_t* rec = record_.data();
    if (const TATTRIBUTE* si = drive_->FindAttribute(rec, kStandardInformation, nullptr, 0);
        si && !si->Nonresident && ResidentValueLength(si) >= 0x20) {
      const uint8_t* v = ResidentValue(si);
      t.created = Stamp::Instant(AsFileTime(NtfsRead64(v)));
      t.modified = Stamp::Instant(AsFileTime(NtfsRead64(v + 0x08)));
      t.changed = Stamp::Instant(AsFileTime(NtfsRead64(v + 0x10)));
      t.accessed = Stamp::Instant(AsFileTime(NtfsRead64(v + 0x18)));
      // Owner ids came with NTFS 3.0's longer $STANDARD_INFORMATION.
      if (ResidentValueLength(si) >= 0x38) t.uid = NtfsRead32(v + 0x30);
    }
    static const WCHAR kI30[] = u"$I30";
    const uint32_t type = d ? atIndexRoot : atData;
    const WCHAR* name = d ? kI30 : nullptr;
    if (const TATTRIBUTE* main = drive_->FindAttribute(rec, type, name, 0)) {
      t.inode += "-" + std::to_string(type) + "-" + std::to_string(uint16_t(main->AttributeNumber));
      if (d && !main->Nonresident) t.size = ResidentValueLength(main);
    } else if (const std::vector<uint8_t> list = drive_->ReadAttributeList(rec); !list.empty()) {
      // Moved to an extension record: its id is in the list.
      if (const TATTRIBUTE_LIST_ENTRY* e = drive_->FindAttributeListEntry(list.data(), uint32_t(list.size()), type, name, 0))
        t.inode += "-" + std::to_string(type) + "-" + std::to_string(uint16_t(e->AttributeNumber));
    }
    if (const TATTRIBUTE* fileName = FileNameOf(rec, uint32_t(number), NameView(item))) {
      const auto* fn = reinterpret_cast<const TFILENAME_ATTRIBUTE*>(ResidentValue(fileName));
      t.hasFileName = true;
      t.fnCreated = Stamp::Instant(AsFileTime(fn->CreationTime));
      t.fnModified = Stamp::Instant(AsFileTime(fn->LastWriteTime));
      t.fnChanged = Stamp::Instant(AsFileTime(fn->MftChangeTime));
      t.fnAccessed = Stamp::Instant(AsFileTime(fn->LastAccessTime));
      t.fnInode = std::to_string(number) + "-48-" + std::to_string(uint16_t(fileName->AttributeNumber));
      t.fnSize = ResidentValueLength(fileName);
    }
    return true;
  }

  // The deleted search alone reads its records in batches of its own and
  // little else, each read a run that a line would only copy.
  uint32_t ListingCacheLine(bool deletedOnly) override { return deletedOnly ? 0 : 256; }
  void CancelScan() override {}
  void Build(TCustomDirectory* dir) override {
    if (dir == drive_->DeletedTreeRoot.get()) {
      DeletedRoot();
      return;
    }
    auto* d = ItemAs<TNTFSDirectory>(dir);
    if (d && !d->Children) d->AddChildren(true, false);
  }
  bool SetReadOption(const std::string& option, std::string& error) override {
    if (option.empty()) return true;
    error = "--fat is for FAT volumes; this one is NTFS";
    return false;
  }
  std::unique_ptr<FileReader> Open(TCustomFile* file) override {
    auto* f = ItemAs<TNTFSFile>(file);
    if (!f) return nullptr;
    PastImageEnd();  // only this file's reads count
    return std::make_unique<NtfsReader>(*drive_, *f);
  }
  std::string SaveName(TObject* item) override { return MakeSafeFileName(NameOf(item)); }

  std::string SizeDamage(TObject* item) override {
    const auto* f = ItemAs<TNTFSFile>(item);
    if (!f || !f->SizeDamaged) return {};
    return "its recorded size (" + std::to_string(f->RecordedSize) +
           " bytes) is damaged: negative or more than the volume holds; its clusters hold " +
           std::to_string(f->Size) + " bytes";
  }

  // Told by the data attribute itself: the flags a folder's index keeps
  // for its files may be out of date.
  std::string ShortReadReason(TObject* item) override {
    if (std::string cut = PastImageEnd(); !cut.empty()) return cut;
    const auto* f = ItemAs<TNTFSFile>(item);
    std::vector<uint8_t> record(drive_->BytesPerFileRecord), data;
    uint16_t flags = 0;
    if (f && RecordNumberOf(f->MFTfileRef) <= 0xFFFFFFFF &&
        drive_->ReadFileRecord(uint32_t(RecordNumberOf(f->MFTfileRef)), record.data()) &&
        drive_->GatherAttribute(record.data(), uint32_t(RecordNumberOf(f->MFTfileRef)), atData, nullptr, data))
      flags = reinterpret_cast<const TATTRIBUTE*>(data.data())->Flags;
    if (flags & kDataEncrypted) return "the file is encrypted: the volume holds only its ciphertext";
    if (flags & kDataCompressed) return "a compressed unit of it does not decompress, or its runs end early";
    return "the file's data runs end early or point outside the volume";
  }
  std::string DeletedSearchNote(bool& failed) override {
    failed = drive_->DeletedSearch == TNTFSdrive::TDeletedSearch::Failed;
    if (failed) return "the deleted search could not run: no MFT record could be read";
    if (drive_->DeletedSearch == TNTFSdrive::TDeletedSearch::ByHeaders)
      return "the MFT bitmap could not be read: free records were found by their own headers";
    return {};
  }

 private:
  static constexpr uint32_t kStandardInformation = 0x10;
  static FILETIME AsFileTime(uint64_t ticks) { return FILETIME{DWORD(ticks & 0xFFFFFFFF), DWORD(ticks >> 32)}; }

  // The $FILE_NAME attribute (resident, whole) among a record's that holds
  // `shown`, not a DOS name; else its Win32 name, else its last. Names
  // spilled into extension records are looked for when the record itself
  // holds none by that name.
  const TATTRIBUTE* FileNameOf(const uint8_t* record, uint32_t number, std::string_view shown) {
    const TATTRIBUTE* best = nullptr;
    bool bestIsWin32 = false;
    // True when rec holds the name; else, with fallback, best is the one to take instead.
    const auto consider = [&](const uint8_t* rec, bool fallback) {
      for (int occurrence = 0; occurrence <= 255; ++occurrence) {
        const TATTRIBUTE* a = drive_->FindAttribute(rec, atFileName, nullptr, uint8_t(occurrence));
        if (!a) return false;
        if (a->Nonresident || !FileNameFits(ResidentValue(a), ResidentValueLength(a))) continue;
        const auto* fn = reinterpret_cast<const TFILENAME_ATTRIBUTE*>(ResidentValue(a));
        std::u16string name(fn->NameLength, u'\0');
        for (size_t i = 0; i < name.size(); ++i) name[i] = char16_t(NtfsRead16(fn->Name + 2 * i));
        const bool win32 = fn->NameType != nsDos;
        if (win32 && Utf16ToUtf8(name) == shown) {
          best = a;
          return true;
        }
        if (fallback && (!bestIsWin32 || win32)) best = a, bestIsWin32 = win32;
      }
      return false;
    };
    if (consider(record, true)) return best;
    const std::vector<uint8_t> list = drive_->ReadAttributeList(record);
    const TATTRIBUTE* fallback = best;
    uint64_t previous = number;
    for (int occurrence = 0; !list.empty() && occurrence <= 255; ++occurrence) {
      const TATTRIBUTE_LIST_ENTRY* e =
          drive_->FindAttributeListEntry(list.data(), uint32_t(list.size()), atFileName, nullptr, uint8_t(occurrence));
      if (!e) break;
      const uint64_t at = RecordNumberOf(e->FileReference);
      if (at == number || at == previous || at > 0xFFFFFFFF) continue;
      previous = at;
      extension_.resize(drive_->BytesPerFileRecord);
      if (!drive_->ReadFileRecord(uint32_t(at), extension_.data()) || !HasMagic(extension_.data(), "FILE") ||
          RecordNumberOf(reinterpret_cast<const TFILE_RECORD_HEADER*>(extension_.data())->BaseFileRecord) != number)
        continue;
      if (consider(extension_.data(), false)) return best;
    }
    return fallback;
  }

  bool HasDeletedOrphans() {
    const TChildList& top = *DeletedRoot()->Children;
    return std::any_of(top.begin(), top.end(), [](TObject* item) {
      const auto* d = ItemAs<TNTFSDirectory>(item);
      return d && d->MFTfileRef == kOrphanFolderRef;
    });
  }

  std::unique_ptr<TNTFSdrive> drive_;
  std::vector<uint8_t> record_, extension_;  // TimesOf's, kept for the next item
  bool deletedOrphansGathered_ = false;
  bool orphansSought_ = false;
  std::vector<bool> released_;  // records of the files a scan has freed
  std::unique_ptr<TNTFSDirectory> liveOrphans_;  // until it joins the root's children
  TNTFSDirectory* orphanFolder_ = nullptr;       // once it has
};

bool listPosixNames = true;

}  // namespace

void ListPosixNames(bool on) { listPosixNames = on; }

std::unique_ptr<FileSystem> MountNtfs(TDevice& device) {
  // Linux writes POSIX-only names: without them its volumes would look empty.
  optNtfsPosixNames = listPosixNames;
  auto drive = std::make_unique<TNTFSdrive>();
  drive->Device = &device;
  drive->TotalSectors = device.TotalSectors;
  if (!drive->MountDrive(false) || !drive->MftLoaded) return nullptr;
  // Without the MFT's map or the root folder's record the volume would list
  // as empty, which a person would take for an empty volume: refuse it.
  if (drive->MftRecordCount() == 0 || drive->BytesPerFileRecord < sizeof(TFILE_RECORD_HEADER) ||
      !HasMagic(drive->MftRecord.data(), "FILE"))
    return nullptr;
  std::vector<uint8_t> root(drive->BytesPerFileRecord);
  const auto* header = reinterpret_cast<const TFILE_RECORD_HEADER*>(root.data());
  if (!drive->ReadFileRecord(kMftRecordRoot, root.data()) || !HasMagic(root.data(), "FILE") ||
      !(header->Flags & kRecordInUse))
    return nullptr;
  return std::make_unique<NtfsFileSystem>(std::move(drive));
}
