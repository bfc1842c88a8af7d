// The NTFS part of the program's volume: mounting, names, reading and saving.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Diskfs.h"
#include "Ntfs.h"
#include "SaveSteps.h"
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
    uint32_t n = 0;
    if (!ok_ || !drive_.blockread(info_, uint32_t(std::min<size_t>(count, 1u << 30)), buffer, n)) return 0;
    return n;
  }

 private:
  TNTFSdrive& drive_;
  TNTFSfileInfo info_;
  bool ok_ = false;
};

class NtfsFileSystem : public FileSystem {
 public:
  explicit NtfsFileSystem(std::unique_ptr<TNTFSdrive> drive) : drive_(std::move(drive)) {
    // The library's SaveTo stops at 4 GiB; bigger files, alone or inside a
    // saved folder, are copied here through the 64-bit reader.
    drive_->SaveLargeFile = [this](TNTFSFile* f, const AnsiString& destPath) { return SaveBig(*f, destPath); };
  }

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
    return root;
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
  bool Save(TObject* item, const std::string& destPath) override { return drive_->SaveItem(item, destPath); }
  std::string SaveName(TObject* item) override { return MakeSafeFileName(NameOf(item)); }

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

 private:
  // Copied as SaveTo copies, with the same events and texts; the library
  // has asked about an existing target already.
  bool SaveBig(TNTFSFile& f, const std::string& destPath) {
    const std::string target = destPath + MakeSafeFileName(f.Name);
    TCustomDrive& d = *drive_;
    if (d.OnStart) d.OnStart(&f, &f, target);
    NtfsReader reader(*drive_, f);
    std::vector<char> buffer(1 << 20);
    // Under a temporary name until whole, as the library saves.
    const bool ok = savesteps::SaveThroughTemporary(target, f.Date, f.Time, f.Attributes, [&](HANDLE h) {
      if (h == INVALID_HANDLE_VALUE) {
        savesteps::WriteFailed(target);
        return false;
      }
      uint64_t total = 0;
      bool cancel = false;
      while (!cancel && total < uint64_t(f.Size)) {
        const size_t n = reader.Read(buffer.data(), buffer.size());
        if (n == 0) break;  // the caller names a short copy
        DWORD written = 0;
        if (!WriteFile(h, buffer.data(), DWORD(n), &written, nullptr) || written != n) {
          savesteps::WriteFailed(target);
          return false;
        }
        total += n;
        if (d.OnProgress)
          d.OnProgress(&f, &f, target, int(std::nearbyint(double(total) / double(f.Size) * 100.0)), cancel);
      }
      return !cancel;
    });
    if (d.OnEnd) d.OnEnd(&f, &f, target);
    return ok;
  }

  std::unique_ptr<TNTFSdrive> drive_;
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
