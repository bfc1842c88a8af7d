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
  f.kind = SourceKind::Bytes;
  f.volume = RecogniseVolume(head.data(), head.size());
  f.type = FileSystemOf(f.volume.format);
  // NTFS counts its sectors without the boot sector's copy after them: no part of the data.
  f.claimedBytes = f.volume.Bytes();
  return f;
}

std::string TruncationText(const SourceFacts& f) {
  if (f.claimedBytes <= f.heldBytes || f.heldBytes == 0) return "";
  return "the image holds " + HumanSize(f.heldBytes) + " of the " + HumanSize(f.claimedBytes) +
         " volume; data past that is missing";
}

namespace {

std::string NtfsProblem(const SourceFacts& f) {
  const RecognisedVolume& v = f.volume;
  const uint64_t cluster = v.clusterSectors * v.bytesPerSector;
  const uint64_t mftOffset = cluster && v.mftCluster <= UINT64_MAX / cluster ? v.mftCluster * cluster : 0;
  std::string why = "its boot sector's sizes, MFT record 0 or the root folder's record are damaged";
  if (f.claimedBytes > f.heldBytes && mftOffset >= f.heldBytes)
    why = "the image ends before it (" + TruncationText(f) + ")";
  return f.type->What() + " whose MFT cannot be read: " + why;
}

// The program's side of each file system the registry says is read: how its
// volume is mounted, and what is said when it cannot be (null: no more than
// that no volume was found).
struct Adapter {
  VolumeFormat format;
  std::unique_ptr<FileSystem> (*mount)(TDevice& device);
  std::string (*problem)(const SourceFacts& facts);
};
constexpr Adapter kAdapters[] = {
    {VolumeFormat::Fat, &MountFat, nullptr},
    {VolumeFormat::Ntfs, &MountNtfs, &NtfsProblem},
};

const Adapter* AdapterOf(const FileSystemType* type) {
  for (const Adapter& a : kAdapters)
    if (type && type->Reads() && a.format == type->format) return &a;
  return nullptr;
}

}  // namespace

std::string SourceProblem(const SourceFacts& f) {
  switch (f.kind) {
    case SourceKind::Folder: return "is a folder, not an image or device; use scan";
    case SourceKind::Unreadable: return "cannot be read";
    case SourceKind::Empty: return "is empty";
    case SourceKind::Bytes: break;
  }
  if (f.type && !f.type->Reads())
    return f.type->What() + ", neither " + FileSystemsRead("nor") + "; this program reads " + FileSystemsRead() +
           " volumes";
  const Adapter* adapter = AdapterOf(f.type);
  return adapter && adapter->problem ? adapter->problem(f) : "";
}

std::string NoVolumeFound() {
  return "no " + FileSystemsRead("or") + " volume found; this program reads " + FileSystemsRead() + " volumes";
}

std::string FileSystemNameOf(char letter) {
  const std::string root = std::string(1, letter) + ":\\";
  char name[MAX_PATH + 1] = {};
  if (GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, sizeof name)) return name;
  return ExamineSource(letter).volume.name;
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
  auto refuse = [&] {
    const std::string problem = SourceProblem(facts);
    error = shown + ": " + (problem.empty() ? NoVolumeFound() : problem);
    return false;
  };
  // The registry's row for the boot sector picks the drive, as device detection does.
  const Adapter* adapter = AdapterOf(facts.type);
  if (!adapter) return refuse();
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
  fs_ = adapter->mount(*device_);
  if (!fs_) return refuse();
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
