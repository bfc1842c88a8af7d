#include "Volume.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

#include "ItemFacts.h"
#include "Ldiskio.h"
#include "Names.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

// The first 4 KiB of the letter's raw source; false when it has none.
bool ReadHead(char letter, std::vector<uint8_t>& head) {
  const std::string device = std::string("\\\\.\\") + letter + ":";
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  head.assign(4096, 0);
  DWORD got = 0;
  ReadFile(h, head.data(), DWORD(head.size()), &got, nullptr);
  CloseHandle(h);
  head.resize(got);
  return true;
}

}  // namespace

SourceFacts ExamineSource(char letter) {
  SourceFacts f;
  const auto binding = GetDriveBinding(letter);
  std::vector<uint8_t> head;
  if (!binding || !binding->raw || !ReadHead(letter, head)) {
    f.kind = binding && !binding->rootDir.empty() ? SourceKind::Folder : SourceKind::Unreadable;
    return f;
  }
  f.heldBytes = binding->raw->Size();
  if (f.heldBytes == 0 || head.empty()) {
    f.kind = SourceKind::Empty;
    return f;
  }
  auto at = [&](size_t offset, const char* text) {
    const size_t n = std::strlen(text);
    return offset + n <= head.size() && std::memcmp(head.data() + offset, text, n) == 0;
  };
  auto le = [&](size_t offset, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = bytes; i-- > 0;) v = v << 8 | (offset + i < head.size() ? head[offset + i] : 0);
    return v;
  };
  const uint64_t bytesPerSector = le(0x0B, 2);
  if (at(3, "NTFS    ")) {
    f.kind = SourceKind::Ntfs;
    // The backup boot sector past the counted sectors is no part of the data.
    f.claimedBytes = le(0x28, 8) <= (UINT64_MAX >> 16) ? le(0x28, 8) * bytesPerSector : 0;
    f.mftOffset = le(0x30, 8) <= (UINT64_MAX >> 32) ? le(0x30, 8) * le(0x0D, 1) * bytesPerSector : 0;
  } else if (at(3, "EXFAT   ")) {
    f.kind = SourceKind::Exfat;
  } else if (head.size() >= 512 && head[510] == 0x55 && head[511] == 0xAA) {
    f.kind = SourceKind::Other;  // FAT, if its drive mounts it
    const uint64_t sectors = le(0x13, 2) ? le(0x13, 2) : le(0x20, 4);
    f.claimedBytes = sectors * bytesPerSector;
  } else if (head.size() >= 1082 && head[1080] == 0x53 && head[1081] == 0xEF) {
    f.kind = SourceKind::Ext;
  } else {
    f.kind = SourceKind::Other;
  }
  return f;
}

std::string TruncationText(const SourceFacts& f) {
  if (f.claimedBytes <= f.heldBytes || f.heldBytes == 0) return "";
  return "the image holds " + HumanSize(f.heldBytes) + " of the " + HumanSize(f.claimedBytes) +
         " volume; data past that is missing";
}

std::string SourceProblem(const SourceFacts& f) {
  switch (f.kind) {
    case SourceKind::Folder: return "is a folder, not an image or device; use scan";
    case SourceKind::Unreadable: return "cannot be read";
    case SourceKind::Empty: return "is empty";
    case SourceKind::Exfat: return "an exFAT volume, neither FAT nor NTFS; this program reads FAT and NTFS volumes";
    case SourceKind::Ext: return "an ext2/ext3/ext4 file system, neither FAT nor NTFS; this program reads FAT and NTFS volumes";
    case SourceKind::Ntfs: {
      std::string why = "its boot sector's sizes, MFT record 0 or the root folder's record are damaged";
      if (f.claimedBytes > f.heldBytes && f.mftOffset >= f.heldBytes)
        why = "the image ends before it (" + TruncationText(f) + ")";
      return "an NTFS volume whose MFT cannot be read: " + why;
    }
    case SourceKind::Other: break;
  }
  return "no FAT or NTFS volume found; this program reads FAT and NTFS volumes";
}

namespace {
// Reachable to the end, so leak checkers do not count it.
FileSystem* keptUntilExit = nullptr;
}  // namespace

void Volume::KeepTreeUntilExit() {
  if (!keptUntilExit) keptUntilExit = fs_.release();
}

Volume::~Volume() {
  fs_.reset();
  device_.reset();
  if (letter_) UnbindDriveLetter(letter_);
}

bool Volume::Open(const std::string& hostPath, std::string& error, const DiskPlace& place) {
  letter_ = BindHostPath(hostPath, error, place);
  if (!letter_) return false;
  const std::string shown = Printable(hostPath);
  const SourceFacts facts = ExamineSource(letter_);
  const bool ntfs = facts.kind == SourceKind::Ntfs;
  // The ext magic lies where a FAT12 table may hold the same two bytes:
  // such a source is offered to the FAT reader first.
  if (!ntfs && facts.kind != SourceKind::Other && facts.kind != SourceKind::Ext) {
    error = shown + ": " + SourceProblem(facts);
    return false;
  }
  const uint8_t number = uint8_t(letter_ - 'A' + 1);
  TLogDriveParams params{};
  if (!GetLogDriveParams(number, params)) {
    error = shown + ": cannot read the volume's geometry";
    return false;
  }
  device_ = std::make_unique<TDevice>();
  device_->Kind = 1;
  device_->DriveType = uint8_t(DRIVE_FIXED);
  device_->MediaAttr = (params.Removable & 1) ? 1 : 0;
  device_->TotalSectors = params.TotalSectors;
  device_->BytesPerSector = uint16_t(params.BytesPerSector);
  device_->DriveNumber = number;
  device_->Text = hostPath;
  // The boot sector's name picks the drive class, as device detection does.
  fs_ = ntfs ? MountNtfs(*device_) : MountFat(*device_);
  if (!fs_) {
    error = shown + ": " + SourceProblem(facts);
    return false;
  }
  // Said once, here, for every command: what lies past the image's end
  // reads as missing, not as damage.
  truncation_ = TruncationText(facts);
  fs_->device = device_.get();
  fs_->imageEnd = truncation_;
  if (!truncation_.empty() && place.command)
    std::fprintf(stderr, "moxvolscan %s: %s: %s\n", place.command, shown.c_str(), truncation_.c_str());
  return true;
}

std::vector<TCustomDirectory*> Volume::IncompleteFolders() {
  std::vector<TCustomDirectory*> found;
  if (drive().IncompleteFolders == 0) return found;
  // Both trees of the drive as far as they are built; nothing is read here.
  TCustomDirectory* live = drive().RootDir.get();
  TCustomDirectory* deleted = drive().DeletedTreeRoot.get();
  for (TCustomDirectory* top : {live, deleted == live ? nullptr : deleted}) {
    std::vector<TCustomDirectory*> todo;
    if (top) todo.push_back(top);
    while (!todo.empty()) {
      TCustomDirectory* d = todo.back();
      todo.pop_back();
      if (d->ChildrenIncomplete) found.push_back(d);
      if (!d->Children) continue;
      for (auto it = d->Children->rbegin(); it != d->Children->rend(); ++it)
        if (auto* sub = ItemAs<TCustomDirectory>(*it)) todo.push_back(sub);
    }
  }
  return found;
}

bool Volume::TellIncomplete(const char* command) {
  std::set<std::string> told;  // a folder may stand in both trees
  for (TCustomDirectory* d : IncompleteFolders()) {
    const std::string path = !d->Parent ? "/" : ShownPath(*fs_, d);
    if (!told.insert(path).second) continue;
    const char* why = d->ChildrenIncomplete & TCustomDirectory::kListUnreadable
                          ? "the folder could not be read completely"
                          : "the folder's listing was cut at a limit on items or depth";
    std::fprintf(stderr, "moxvolscan %s: %s: %s\n", command, path.c_str(), why);
  }
  bool searchFailed = false;
  if (const std::string note = fs_->DeletedSearchNote(searchFailed); !note.empty())
    std::fprintf(stderr, "moxvolscan %s: %s\n", command, note.c_str());
  return !told.empty() || searchFailed;
}

std::string FileSystem::PastImageEnd() {
  if (!device || imageEnd.empty()) return "";
  const bool past = device->ReadsPastEnd != readsPastEndSeen_;
  readsPastEndSeen_ = device->ReadsPastEnd;
  return past ? imageEnd : "";
}

void Volume::UseSectorCache(uint32_t lineSectors) {
  optCacheEnabled = true;
  device_->CacheLineSize = lineSectors;
  device_->UseCache(true);
}
