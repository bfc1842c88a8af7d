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

#include "BootSector.h"
#include "LostVolumes.h"
#include "Ldiskio.h"
#include "Names.h"
#include "Partitions.h"
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

std::string FoldCase(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

}  // namespace

std::string HumanSize(uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double v = double(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 5) v /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[unit]);
  return text;
}

std::string PartitionFileSystem(const std::shared_ptr<RawSource>& disk, const PartitionTable& table,
                                const PartitionEntry& e) {
  auto slice = MakeSliceSource(disk, e.start, e.size);
  const std::string fs = slice ? FileSystemOfSource(*slice) : "";
  return fs.empty() ? PartitionTypeName(table, e) : fs;
}

namespace {
uint32_t SectorSizeOf(const std::string& hostPath) {
  UINT type = DRIVE_FIXED;
  uint32_t sectorSize = 512;
  DescribeHostDevice(hostPath, type, sectorSize);
  return sectorSize;
}
}  // namespace

PartitionTable ReadDiskTable(const std::string& hostPath, RawSource& disk) {
  return ReadPartitionTable(disk, SectorSizeOf(hostPath));
}

void PrintTableNotes(const char* command, const std::string& hostPath, const PartitionTable& table) {
  for (const PartitionNote& n : table.notes)
    std::fprintf(stderr, "moxvolscan %s: %s: %s\n", command, Printable(hostPath).c_str(), n.text.c_str());
}

namespace {
// A volume whose boot sector is lost is read through its copy, and the
// command says so once.
void UseBackupBootSector(const std::string& hostPath, DriveBinding& binding, const DiskPlace& place) {
  BackupBootSector copy;
  if (!FindBackupBootSector(*binding.raw, copy)) return;
  auto patched = WithBootSectorFrom(binding.raw, copy);
  if (!patched) return;
  binding.raw = patched;
  // A bare image tells its sector size by its boot sector, which is the copy's now.
  if (!place.partition && !place.sector) binding.sectorSize = std::max(binding.sectorSize, copy.sectorSize);
  if (place.command)
    std::fprintf(stderr, "moxvolscan %s: %s: no usable boot sector at sector 0; read through its %s copy at sector %llu\n",
                 place.command, Printable(hostPath).c_str(), copy.fileSystemName.c_str(),
                 static_cast<unsigned long long>(copy.sector));
}

bool SelectVolume(const std::string& hostPath, DriveBinding& binding, const DiskPlace& place, std::string& error);
}  // namespace

bool SelectPartition(const std::string& hostPath, DriveBinding& binding, const DiskPlace& place,
                     std::string& error) {
  if (!SelectVolume(hostPath, binding, place, error)) return false;
  UseBackupBootSector(hostPath, binding, place);
  return true;
}

namespace {
bool SelectVolume(const std::string& hostPath, DriveBinding& binding, const DiskPlace& place, std::string& error) {
  std::shared_ptr<RawSource>& raw = binding.raw;
  const std::string shown = Printable(hostPath);
  binding.sectorSize = SectorSizeOf(hostPath);
  if (place.sector) {
    // No table is read: it is the table that lost the volume.
    const uint64_t sectors = raw->Size() / binding.sectorSize, s = *place.sector;
    const std::string at = "sector " + std::to_string(s) + " (of " + std::to_string(binding.sectorSize) + " bytes)";
    if (s >= sectors) {
      error = shown + ": " + at + " lies past the end of the disk (" + std::to_string(sectors) + " sectors)";
      return false;
    }
    auto volumeAt = [&](uint64_t offset) {
      auto slice = MakeSliceSource(raw, offset, raw->Size() - offset);
      const std::string fs = FileSystemOfSource(*slice);
      return fs == "NTFS" || fs.compare(0, 3, "FAT") == 0 ? slice : nullptr;
    };
    auto slice = volumeAt(s * binding.sectorSize);
    // Its boot sector lost too: a copy that places a volume there gives its extent.
    LostVolume lost;
    if (!slice && FindVolumeAt(*raw, binding.sectorSize, s, lost))
      slice = MakeSliceSource(raw, s * binding.sectorSize, lost.sectors * binding.sectorSize);
    if (!slice) {
      error = shown + ": no FAT or NTFS boot sector at " + at;
      // A 4Kn disk image whose table is gone tells no sector size.
      if (binding.sectorSize == 512 && s < raw->Size() / 4096 && volumeAt(s * 4096))
        error += "; there is one at sector " + std::to_string(s) + " of 4096 bytes: --sector " + std::to_string(s * 8);
      return false;
    }
    raw = slice;
    return true;
  }
  const PartitionTable table = ReadPartitionTable(*raw, binding.sectorSize);
  if (place.command) PrintTableNotes(place.command, hostPath, table);
  const unsigned partition = place.partition;
  if (table.scheme == PartitionTable::Scheme::None) {
    if (partition) error = shown + ": not a partitioned disk (no partition table found); leave out --partition";
    return partition == 0;
  }
  std::string list;
  for (const PartitionEntry& e : table.entries) {
    if (e.number == partition) {
      raw = MakeSliceSource(raw, e.start, e.size);
      return true;
    }
    list += (list.empty() ? "" : ", ") + std::to_string(e.number) + " (" + PartitionFileSystem(raw, table, e) +
            ", " + HumanSize(e.size) + " at sector " + std::to_string(e.start / table.sectorSize) + ")";
  }
  const std::string scheme = PartitionSchemeName(table.scheme);
  if (list.empty())
    error = shown + ": a partitioned disk (" + scheme +
            ") with no usable partition; --sector S reads a volume whose entry is lost";
  else if (partition)
    error = shown + ": no partition " + std::to_string(partition) + " on this disk; its partitions: " + list;
  else
    error = shown + ": a partitioned disk (" + scheme + "); choose one with --partition N: " + list;
  return false;
}
}  // namespace

bool PartitionOption(const ParsedArgs& parsed, const char* command, DiskPlace& place) {
  place = DiskPlace{};
  place.command = command;
  auto number = [&](const char* option, uint64_t most, uint64_t& n) {
    const std::string value = parsed.Get(option);
    char* end = nullptr;
    errno = 0;
    n = std::strtoull(value.c_str(), &end, 10);
    return !value.empty() && !*end && value[0] != '-' && value[0] != '+' && errno == 0 && n <= most;
  };
  if (parsed.Has("--partition") && parsed.Has("--sector")) {
    std::fprintf(stderr, "moxvolscan %s: --partition and --sector exclude each other\n", command);
    return false;
  }
  uint64_t n = 0;
  if (parsed.Has("--sector")) {
    if (!number("--sector", UINT64_MAX, n)) {
      std::fprintf(stderr, "moxvolscan %s: --sector takes a sector number (0, 2048, ...)\n", command);
      return false;
    }
    place.sector = n;
  } else if (parsed.Has("--partition")) {
    if (!number("--partition", 4096, n) || n == 0) {
      std::fprintf(stderr, "moxvolscan %s: --partition takes a partition number (1, 2, ...)\n", command);
      return false;
    }
    place.partition = unsigned(n);
  }
  return true;
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

bool IsDeletedItem(TObject* item) {
  if (auto* f = ItemAs<TCustomFile>(item)) return f->Deleted;
  if (auto* d = ItemAs<TCustomDirectory>(item)) return d->DeletedState & 1;
  return false;
}

bool IsPathFolder(FileSystem& fs, TObject* item) {
  auto* d = ItemAs<TCustomDirectory>(item);
  TCustomDirectory* deleted = d && !IsDeletedItem(d) ? fs.DeletedRoot() : nullptr;
  if (!deleted) return false;
  for (int depth = 0; d->Parent && depth < kMaxPathDepth; ++depth) d = d->Parent;
  return d == deleted;
}

uint64_t SizeOf(TObject* item) {
  auto* f = ItemAs<TCustomFile>(item);
  return f ? uint64_t(f->Size) : 0;
}

namespace {
const std::string kRecordMark = "\x1F" "mft:";
const std::string kEntryMark = "\x1F" "entry:";

// Items of the tree below root in walk order, folders built on the way.
template <typename Visit>
TObject* FindInTree(FileSystem& fs, TCustomDirectory* root, Visit visit) {
  std::vector<TCustomDirectory*> todo{root};
  while (!todo.empty()) {
    TCustomDirectory* d = todo.back();
    todo.pop_back();
    fs.Build(d);
    if (!d->Children) continue;
    for (TObject* child : *d->Children) {
      if (visit(child)) return child;
      if (auto* sub = ItemAs<TCustomDirectory>(child)) todo.push_back(sub);
    }
  }
  return nullptr;
}
}  // namespace

std::vector<std::string> RecordArguments(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--mft" && i + 1 < args.size())
      out.push_back(kRecordMark + args[++i]);
    else if (args[i].rfind("--mft=", 0) == 0)
      out.push_back(kRecordMark + args[i].substr(6));
    else if (args[i] == "--entry" && i + 1 < args.size())
      out.push_back(kEntryMark + args[++i]);
    else if (args[i].rfind("--entry=", 0) == 0)
      out.push_back(kEntryMark + args[i].substr(8));
    else
      out.push_back(args[i]);
  }
  return out;
}

TObject* Volume::Resolve(const std::string& volumePath, std::string& error) {
  if (volumePath.rfind(kRecordMark, 0) == 0) {
    const std::string number = volumePath.substr(kRecordMark.size());
    char* end = nullptr;
    const unsigned long long n = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end || fs_->RecordOf(fs_->Root()) < 0 || n > 0xFFFFFFFFFFFFull) {
      error = "--mft " + Printable(number) + ": give an MFT record number of an NTFS volume";
      return nullptr;
    }
    return FindRecord(n, error);
  }
  // The folder of what no folder reaches is there once looked for.
  const size_t from = volumePath.find_first_not_of("/\\");
  if (from != std::string::npos &&
      FoldCase(volumePath.substr(from, volumePath.find_first_of("/\\", from) - from)) == "$ORPHANFILES")
    fs_->Orphans(true);
  if (volumePath.rfind(kEntryMark, 0) == 0) return FindEntry(volumePath.substr(kEntryMark.size()), error);
  TObject* item = ResolveIn(fs_->Root(), volumePath, error);
  if (!item && fs_->DeletedRoot()) item = ResolveIn(fs_->DeletedRoot(), volumePath, error);
  return item;
}

// Deleted items first (telling apart deleted namesakes is what --mft is
// for), then live ones, then the path folders that stand for live ones.
TObject* Volume::FindRecord(uint64_t record, std::string& error) {
  auto is = [&](TObject* item) { return fs_->RecordOf(item) == int64_t(record); };
  TObject* found = nullptr;
  fs_->Orphans(true);  // a record in use that no folder reaches is there
  if (TCustomDirectory* deleted = fs_->DeletedRoot())
    found = FindInTree(*fs_, deleted, [&](TObject* item) { return is(item) && IsDeletedItem(item); });
  if (!found) found = FindInTree(*fs_, fs_->Root(), is);
  if (!found && fs_->DeletedRoot()) found = FindInTree(*fs_, fs_->DeletedRoot(), is);
  if (!found) error = "--mft " + std::to_string(record) + ": no file or folder of that MFT record on the volume";
  return found;
}

// "C:I" as ls shows it; the numbers are read as numbers, so "2:05" will do.
TObject* Volume::FindEntry(const std::string& address, std::string& error) {
  const size_t colon = address.find(':');
  uint32_t cluster = 0, index = 0;
  auto number = [](std::string_view text, uint32_t& n) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
  };
  if (fs_->RecordOf(fs_->Root()) >= 0) {
    error = "--entry " + Printable(address) + ": directory entries address FAT items; on NTFS give --mft N";
    return nullptr;
  }
  if (colon == std::string::npos || !number(std::string_view(address).substr(0, colon), cluster) ||
      !number(std::string_view(address).substr(colon + 1), index)) {
    error = "--entry " + Printable(address) + ": give a directory entry as CLUSTER:INDEX, as ls shows it";
    return nullptr;
  }
  const std::string wanted = std::to_string(cluster) + ":" + std::to_string(index);
  auto is = [&](TObject* item) { return fs_->EntryOf(item) == wanted; };
  TObject* found = FindInTree(*fs_, fs_->Root(), is);
  // Orphans are looked for only when no folder leads to the entry: that costs a search of free clusters.
  if (!found)
    if (TCustomDirectory* orphans = fs_->Orphans(true)) found = FindInTree(*fs_, orphans, is);
  if (!found)
    error = "--entry " + wanted + ": no file or folder has its directory entry there";
  return found;
}

TObject* Volume::ResolveIn(TCustomDirectory* root, const std::string& volumePath, std::string& error) {
  TCustomDirectory* dir = root;
  TObject* item = dir;
  size_t pos = 0;
  while (pos <= volumePath.size()) {
    const size_t end = std::min(volumePath.find_first_of("/\\", pos), volumePath.size());
    const std::string part = volumePath.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (dir && dir->Parent) item = dir = dir->Parent;
      continue;
    }
    if (!dir) {
      error = Printable(volumePath) + ": not a folder on the way";
      return nullptr;
    }
    fs_->Build(dir);
    // The shown form first, then the bytes "%XX" names, each exactly and
    // then in any letter case; a live item before a deleted one.
    const std::string typed = TypedName(part), folded = FoldCase(part), typedFolded = FoldCase(typed);
    TObject* best = nullptr;
    int bestRank = 0;
    if (dir->Children)
      for (TObject* child : *dir->Children) {
        const std::string name = fs_->NameOf(child), shown = ShownName(name);
        int rank = shown == part || name == typed                         ? 4
                   : FoldCase(shown) == folded || FoldCase(name) == typedFolded ? 2
                                                                                : 0;
        if (rank && !IsDeletedItem(child)) ++rank;
        if (rank > bestRank) best = child, bestRank = rank;
      }
    if (!best) {
      error = Printable(volumePath) + ": no such file or folder on the volume";
      return nullptr;
    }
    item = best;
    dir = ItemAs<TCustomDirectory>(best);
  }
  return item;
}

std::string ShownPath(FileSystem& fs, TObject* item) {
  std::vector<std::string> names;
  TCustomDirectory* root = fs.Root();
  TCustomDirectory* parent = nullptr;
  if (auto* f = ItemAs<TCustomFile>(item)) {
    names.push_back(fs.NameOf(item));
    parent = f->Parent;
  } else if (auto* d = ItemAs<TCustomDirectory>(item); d && d != root && d->Parent) {
    names.push_back(fs.NameOf(item));
    parent = d->Parent;
  }
  for (int depth = 0; parent && parent != root && parent->Parent && depth < kMaxPathDepth; ++depth) {
    names.push_back(fs.NameOf(parent));
    parent = parent->Parent;
  }
  std::string out;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!out.empty()) out += '/';
    AppendShownName(out, *it);
  }
  return out;
}

namespace {
// "2024-05-01T12:00:00" straight from the MS-DOS fields, a wall-clock time
// of no zone; nothing for fields that name no time (DosDateTimeToFileTime
// refuses the same ones).
void AppendDosTimeIso(std::string& out, uint16_t date, uint16_t time) {
  static const uint8_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, second = (time & 0x1F) * 2;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] + unsigned(month == 2 && leap) ||
      hour > 23 || minute > 59 || second > 59)
    return;
  char text[] = "0000-00-00T00:00:00";
  auto put = [&text](size_t at, unsigned v) {  // two digits
    text[at] = char('0' + v / 10);
    text[at + 1] = char('0' + v % 10);
  };
  put(0, year / 100), put(2, year % 100), put(5, month), put(8, day), put(11, hour), put(14, minute), put(17, second);
  out.append(text, sizeof text - 1);
}
}  // namespace

std::string ShortReadText(uint64_t got, uint64_t size, const std::string& reason) {
  return "only " + std::to_string(got) + " of " + std::to_string(size) + " bytes could be read (" + reason + ")";
}

void ItemDescriber::Describe(TObject* item, ItemFacts& facts) {
  TCustomDirectory* folder = nullptr;
  uint16_t date = 0, time = 0;
  if (auto* f = ItemAs<TCustomFile>(item)) {
    folder = f->Parent;
    facts.dir = false;
    facts.size = uint64_t(f->Size);
    facts.deleted = f->Deleted;
    facts.condition = f->DeletedCondition;
    date = f->Date, time = f->Time;
  } else if (auto* d = ItemAs<TCustomDirectory>(item)) {
    folder = d->Parent;
    facts.dir = true;
    facts.size = 0;
    facts.deleted = d->DeletedState & 1;
    facts.condition = d->DeletedCondition;
    date = d->Date, time = d->Time;
  }
  facts.attributes = fs_.AttributesOf(item);
  facts.mft = fs_.RecordOf(item);
  facts.entry = fs_.EntryOf(item);
  if (folder != folder_) {
    folder_ = folder;
    folderOrphan_ = false;
    for (TCustomDirectory* d = folder; d && !folderOrphan_; d = d->Parent) folderOrphan_ = fs_.IsOrphanFolder(d);
    folderPath_ = folder ? ShownPath(fs_, folder) : "";
    if (!folderPath_.empty()) folderPath_ += '/';
    folderShared_ = folder && !facts.entry.empty() && PathShared(folder);
  }
  // The strings keep their room from item to item: a listing of a big
  // volume then allocates almost nothing per line.
  facts.path.assign(folderPath_);
  const std::string_view name = fs_.NameView(item);
  facts.samePath = folderShared_;
  facts.orphan = folderOrphan_ || fs_.IsOrphanFolder(item);
  if (!facts.samePath && folder && !facts.entry.empty()) {
    const auto& namesakes = Namesakes(folder);
    facts.samePath = (!namesakes.empty() && namesakes.count(std::string(name))) ||
                     (facts.deleted && fs_.LeftOutNamesake(folder, name));
  }
  AppendShownName(facts.path, name);
  facts.mtime.clear();
  FILETIME instant;
  if (fs_.WriteInstantOf(item, instant))
    AppendFileTimeIso(facts.mtime, instant);
  else
    AppendDosTimeIso(facts.mtime, date, time);
}

const std::unordered_set<std::string>& ItemDescriber::Namesakes(TCustomDirectory* dir) {
  auto [at, added] = namesakes_.try_emplace(dir);
  if (added && dir->Children) {
    std::unordered_set<std::string> seen;
    for (TObject* child : *dir->Children) {
      std::string name = fs_.NameOf(child);
      if (!seen.insert(name).second) at->second.insert(std::move(name));
    }
  }
  return at->second;
}

// A folder's path names another item too when a folder on the way, or the
// folder itself, shows the name of a sibling: a path then reaches one of them.
bool ItemDescriber::PathShared(TCustomDirectory* dir) {
  std::vector<TCustomDirectory*> way;
  bool shared = false;
  for (TCustomDirectory* d = dir; d && d->Parent && d != fs_.Root() && way.size() < size_t(kMaxPathDepth);
       d = d->Parent) {
    if (const auto known = shared_.find(d); known != shared_.end()) {
      shared = known->second;
      break;
    }
    way.push_back(d);
  }
  for (auto it = way.rbegin(); it != way.rend(); ++it) {
    shared = shared || Namesakes((*it)->Parent).count(fs_.NameOf(*it)) > 0;
    shared_[*it] = shared;
  }
  return shared;
}

void AppendItemLine(std::string& out, const ItemFacts& f) {
  char attrs[5] = "----";
  if (f.attributes & FILE_ATTRIBUTE_READONLY) attrs[0] = 'R';
  if (f.attributes & FILE_ATTRIBUTE_HIDDEN) attrs[1] = 'H';
  if (f.attributes & FILE_ATTRIBUTE_SYSTEM) attrs[2] = 'S';
  if (f.attributes & FILE_ATTRIBUTE_ARCHIVE) attrs[3] = 'A';
  const std::string_view state = !f.deleted ? "" : f.condition == 1 ? "deleted:intact" : f.condition == 2 ? "deleted:reused" : "deleted";
  const std::string_view mtime = f.mtime.empty() ? std::string_view("-") : std::string_view(f.mtime);
  char digits[24];
  const size_t size = size_t(std::to_chars(digits, digits + sizeof digits, f.size).ptr - digits);
  // Columns padded by hand rather than through printf, into room made at
  // once and filled with blanks: this runs once per listed item.
  // An instant may come with seven digits of fraction or none: its column is wide enough for both.
  const size_t sizeWidth = std::max<size_t>(size, 12);
  const size_t timeWidth = std::max<size_t>(mtime.size(), mtime.back() == 'Z' ? 28 : 20);
  const size_t stateWidth = std::max<size_t>(state.size(), 14);
  size_t at = out.size();
  out.resize(at + 5 + sizeWidth + 2 + timeWidth + 2 + 4 + 2 + stateWidth + 2 + f.path.size() + 1, ' ');
  auto put = [&](std::string_view text, size_t width) {
    text.copy(out.data() + at, text.size());
    at += width;
  };
  put(f.dir ? "dir" : "file", 5);
  at += sizeWidth - size;
  put({digits, size}, size + 2);
  put(mtime, timeWidth + 2);
  put(attrs, 4 + 2);
  put(state, stateWidth + 2);
  put(f.path, f.path.size());
  out[at] = '\n';
  // A path that names another item too gets what names this one alone.
  if (f.samePath && !f.entry.empty()) out.insert(at, "  --entry " + f.entry);
}

void AppendItemJson(std::string& out, const ItemFacts& f) {
  out += "{\"path\":\"";
  AppendJsonEscaped(out, f.path.data(), f.path.size());
  // The rest written straight into room made at once (176 bytes hold all
  // but the time and the entry): this runs once per listed item.
  const size_t at = out.size();
  out.resize(at + 176 + f.mtime.size() + 12 + f.entry.size());
  char* p = out.data() + at;
  auto put = [&p](std::string_view part) { p = std::copy(part.begin(), part.end(), p); };
  auto number = [&p](auto v) { p = std::to_chars(p, p + 24, v).ptr; };
  put(f.dir ? "\",\"type\":\"dir\",\"size\":" : "\",\"type\":\"file\",\"size\":");
  number(f.size);
  if (f.mtime.empty()) {
    put(",\"mtime\":null");
  } else {
    put(",\"mtime\":\"");
    put(f.mtime);
    put("\"");
  }
  put(",\"attributes\":");
  number(unsigned(f.attributes));
  put(f.deleted ? ",\"deleted\":true,\"condition\":" : ",\"deleted\":false,\"condition\":");
  number(unsigned(f.condition));
  if (f.mft >= 0) {
    put(",\"mft\":");
    number(f.mft);
  }
  if (!f.entry.empty()) {
    put(",\"entry\":\"");
    put(f.entry);
    put("\"");
  }
  if (f.orphan) put(",\"orphan\":true");
  put("}\n");
  out.resize(size_t(p - out.data()));
}
