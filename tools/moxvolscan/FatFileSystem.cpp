// The FAT part of the program's volume: mounting, names, reading and saving.
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "Diskfs.h"
#include "Volume.h"

namespace {

class FatReader : public FileReader {
 public:
  FatReader(TFATdrive& drive, TFATFile& file, uint8_t fatNumber) : drive_(drive), fatNumber_(fatNumber) {
    drive_.ResetByCluster(file.StartCluster, uint32_t(file.Size), info_);
  }
  size_t Read(void* buffer, size_t count) override {
    uint32_t n = 0;
    if (!drive_.BlockRead(info_, uint32_t(std::min<size_t>(count, 1u << 30)), buffer, fatNumber_, n)) return 0;
    return n;
  }

 private:
  TFATdrive& drive_;
  TFATFileInfo info_;
  uint8_t fatNumber_;
};

class FatFileSystem : public FileSystem {
 public:
  explicit FatFileSystem(std::unique_ptr<TFATdrive> drive) : drive_(std::move(drive)) {}

  TCustomDrive& drive() override { return *drive_; }
  // The tree ScanDrive walks, so ls and cat/save see the same items.
  TCustomDirectory* Root() override { return drive_->DeletedTreeRoot.get(); }

  std::string NameOf(TObject* item) override { return ItemDisplayName(item); }

  // The cluster holding the item's short entry and its index there (0 and
  // the index in the fixed FAT12/16 root): the one address each listed item
  // has alone, namesakes included. The start folders stand at none.
  std::string EntryOf(TObject* item) override {
    if (item == orphanFolder_) return "";  // the program's own: no entry
    const TFATEntryAddress* at = nullptr;
    if (auto* f = ItemAs<TFATFile>(item)) at = &f->Entry;
    if (auto* d = ItemAs<TFATDirectory>(item); d && d->Parent) at = &d->Entry;
    if (!at) return "";
    char text[24];
    char* end = std::to_chars(text, text + 11, at->Cluster).ptr;
    *end++ = ':';
    end = std::to_chars(end, text + sizeof text, at->Index).ptr;
    return std::string(text, end);
  }

  // The Sleuth Kit numbers a FAT item by its short entry's place: entries of
  // 32 bytes counted from the first sector after the FATs (the fixed root's
  // first), from 3 on. Timelines of both tools then name items alike.
  bool TimesOf(TObject* item, ItemTimes& t) override {
    const TFATEntryAddress* at = nullptr;
    uint16_t date = 0, time = 0, accessed = 0, createdDate = 0, createdTime = 0;
    uint8_t tenMs = 0;
    if (auto* f = ItemAs<TFATFile>(item)) {
      at = &f->Entry;
      date = f->Date, time = f->Time, accessed = f->AccessDate;
      createdDate = f->CreationDate, createdTime = f->CreationTime, tenMs = f->CreationTenMs;
      t.size = uint64_t(f->Size);
    } else if (auto* d = ItemAs<TFATDirectory>(item); d && d->Parent) {
      at = &d->Entry;
      date = d->Date, time = d->Time, accessed = d->AccessDate;
      createdDate = d->CreationDate, createdTime = d->CreationTime, tenMs = d->CreationTenMs;
      t.size = FolderBytes(*d);
    } else {
      return false;
    }
    t.modified = Stamp::WallClock(date, time);
    t.accessed = Stamp::Date(accessed);
    t.changed = Stamp{};
    t.created = Stamp::WallClock(createdDate, createdTime, tenMs);
    t.hasFileName = false;
    uint64_t sector = 0;
    if (at->Cluster >= 2)
      sector = drive_->RootDirSectors + uint64_t(at->Cluster - 2) * drive_->SectorsPerCluster();
    t.inode = std::to_string(sector * (drive_->BytesPerSector() / 32u) + at->Index + 3);
    return true;
  }

  bool LeftOutNamesake(TCustomDirectory* dir, std::string_view name) override {
    auto* d = ItemAs<TFATDirectory>(dir);
    return d && std::binary_search(d->LeftOutNames.begin(), d->LeftOutNames.end(), std::hash<std::string_view>{}(name));
  }

  uint8_t AttributesOf(TObject* item) override {
    if (auto* f = ItemAs<TFATFile>(item)) return f->Attributes;
    return uint8_t(FILE_ATTRIBUTE_DIRECTORY);
  }

  void CancelScan() override { drive_->CancelScan(); }

  // Every orphan was deleted with its folder: there are none without them.
  TCustomDirectory* Orphans(bool withDeleted) override {
    if (!withDeleted) return nullptr;
    if (!orphansSought_) {
      orphansSought_ = true;
      // The search passes by the clusters the folders of the tree were read
      // from: each folder is built first.
      for (std::vector<TCustomDirectory*> todo{Root()}; !todo.empty();) {
        TCustomDirectory* d = todo.back();
        todo.pop_back();
        Build(d);
        if (d->Children)
          for (TObject* child : *d->Children)
            if (auto* sub = ItemAs<TCustomDirectory>(child)) todo.push_back(sub);
      }
      auto folder = std::make_unique<TFATDirectory>();
      folder->Name = kOrphanFolderName;
      folder->Parent = Root();
      folder->Children = std::make_shared<TChildList>();
      drive_->FindOrphans(*folder);
      if (!folder->Children->empty()) {
        orphanFolder_ = folder.get();
        Root()->Children->push_back(folder.release());
      }
    }
    return orphanFolder_;
  }
  bool IsOrphanFolder(TObject* item) override { return item && item == orphanFolder_; }

  void Build(TCustomDirectory* dir) override {
    auto* d = ItemAs<TFATDirectory>(dir);
    if (d && !d->Children) d->AddChildren(true, false);
  }

  // --fat N: 0 reads clusters as contiguous, n follows FAT copy n; without
  // it deleted files are read as contiguous clusters and live ones by chain.
  bool SetReadOption(const std::string& option, std::string& error) override {
    if (option.empty()) {
      fatNumber_ = fatNumberByState;
      return true;
    }
    char* end = nullptr;
    const long n = std::strtol(option.c_str(), &end, 10);
    const long copies = drive_->BootSec.NumberOfFATs;
    if (*end || n < 0 || n > copies) {
      error = "--fat takes 0 (contiguous clusters) or a FAT copy from 1 to " + std::to_string(copies);
      return false;
    }
    fatNumber_ = uint8_t(n);
    return true;
  }

  std::unique_ptr<FileReader> Open(TCustomFile* file) override {
    auto* f = ItemAs<TFATFile>(file);
    if (!f) return nullptr;
    PastImageEnd();  // only this file's reads count
    const uint8_t fat = fatNumber_ != fatNumberByState ? fatNumber_ : f->Deleted ? 0 : 1;
    return std::make_unique<FatReader>(*drive_, *f, fat);
  }

  std::string SaveName(TObject* item) override { return MakeSafeFileName(NameOf(item)); }

  std::string ShortReadReason(TObject* item) override {
    if (std::string cut = PastImageEnd(); !cut.empty()) return cut;
    const auto* f = ItemAs<TFATFile>(item);
    const bool chained = fatNumber_ != fatNumberByState ? fatNumber_ != 0 : f && !f->Deleted;
    if (!chained) return "its clusters run past the end of the volume";
    std::string reason = "the file's clusters end early or loop back";
    // The copies of the FAT may disagree: another may hold the whole chain.
    if (fatNumber_ == fatNumberByState && drive_->BootSec.NumberOfFATs > 1)
      reason += "; --fat 2 follows the second FAT";
    return reason;
  }

 private:
  // What a folder's clusters hold: its chain in the first FAT, or the one
  // cluster a deleted folder is known to have. A folder holds at most 65,536
  // entries, which bounds a chain that loops.
  uint64_t FolderBytes(TFATDirectory& d) {
    if (d.StartCluster < 2 || !drive_->BytesPerCluster) return 0;
    const uint64_t most = std::max<uint64_t>(1, (uint64_t{65536} * 32) / drive_->BytesPerCluster);
    uint64_t clusters = 1;
    if (!(d.DeletedState & 1))
      for (uint32_t c = drive_->GetFAT(d.StartCluster, 0); c >= 2 && !drive_->IsEOF(c) && clusters < most;
           c = drive_->GetFAT(c, 0))
        ++clusters;
    return clusters * drive_->BytesPerCluster;
  }

  std::unique_ptr<TFATdrive> drive_;
  uint8_t fatNumber_ = fatNumberByState;
  bool orphansSought_ = false;
  TFATDirectory* orphanFolder_ = nullptr;  // once it holds something and joined the root
};

}  // namespace

std::unique_ptr<FileSystem> MountFat(TDevice& device) {
  auto drive = std::make_unique<TFATdrive>();
  drive->Device = &device;
  drive->TotalSectors = device.TotalSectors;
  if (!drive->MountDrive(false)) return nullptr;
  return std::make_unique<FatFileSystem>(std::move(drive));
}
