// moxvolscan drives: device and drive detection over images, devices and the
// partitions of whole disks, each bound to a drive letter of its own.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "Command.h"
#include "DeviceList.h"
#include "LostVolumes.h"
#include "MoxVolScan.h"
#include "Names.h"
#include "FileSystems.h"
#include "Ntfs.h"
#include "ItemFacts.h"
#include "Volume.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

// One volume the program bound: a source given (or found) and, on a whole
// disk, which of its partitions.
struct Bound {
  char letter = 0;
  std::string source;
  unsigned partition = 0;  // 0: the source is the volume
  uint64_t offset = 0;     // bytes, on the disk
  bool lost = false;       // at a sector the user gave, not in a table
};

class Binder {
 public:
  ~Binder() {
    for (const Bound& b : bound) MoxUnbindDriveLetter(b.letter);
  }
  std::vector<Bound> bound;
  std::vector<std::string> errors;
  bool skipped = false;  // a table had an entry left out

  // Every partition of a partitioned disk, else the source itself; with a
  // sector, the volume there.
  void Add(const std::string& path, const DiskPlace& place) {
    auto raw = place.sector ? nullptr : OpenImageSource(path);
    if (raw) {
      const PartitionTable table = ReadDiskTable(path, *raw);
      PrintTableNotes("drives", path, table);
      skipped |= table.Skipped();
      if (table.scheme != PartitionTable::Scheme::None) {
        if (table.entries.empty())
          errors.push_back(Printable(path) + ": a partitioned disk (" + PartitionSchemeName(table.scheme) +
                           ") with no usable partition");
        for (const PartitionEntry& e : table.entries) {
          DriveBinding binding;
          binding.raw = MakeSliceSource(raw, e.start, e.size);
          binding.sectorSize = table.sectorSize;
          if (!Bind(path, binding, e.number, e.start)) return;
        }
        return;
      }
    }
    std::string error;
    const char letter = BindHostPath(path, error, place);
    if (!letter) {
      errors.push_back(error);
    } else if (letter < 'C') {
      MoxUnbindDriveLetter(letter);
      errors.push_back(Printable(path) + ": no free drive letter from C: to Y:");
    } else {
      const uint64_t offset = place.sector ? *place.sector * GetDriveBinding(letter)->sectorSize : 0;
      bound.push_back({letter, path, 0, offset, bool(place.sector)});
    }
  }

 private:
  bool Bind(const std::string& path, const DriveBinding& binding, unsigned number, uint64_t offset) {
    // Detection looks at C: to Z: only.
    const char letter = FindFreeDriveLetter();
    if (letter < 'C' || !MoxBindDriveLetter(letter, binding)) {
      errors.push_back(Printable(path) + ": no free drive letter from C: to Y: for partition " +
                       std::to_string(number));
      return false;
    }
    bound.push_back({letter, path, number, offset, false});
    return true;
  }
};

// Block devices the user can read: partitions, and disks without a table.
std::vector<std::string> ReadableBlockDevices() {
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/block", ec)) {
    const std::string path = "/dev/" + entry.path().filename().string();
    auto raw = OpenImageSource(path);
    if (!raw || raw->Size() == 0) continue;
    if (ReadDiskTable(path, *raw).scheme != PartitionTable::Scheme::None) continue;
    paths.push_back(path);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

const char* DriveClass(const TCustomDrive* drive) {
  if (!drive) return nullptr;
  return dynamic_cast<const TNTFSdrive*>(drive) ? "TNTFSdrive" : "TFATdrive";
}

std::string JsonText(const std::string& s) { return "\"" + JsonEscape(Printable(s)) + "\""; }

// The drive of a volume at a sector the user gave: added the way the library
// adds a volume found by other means, so it is marked lost.
void AddLostDrive(TDriveList& drives, TDevice* device) {
  char fs[256] = {};
  const std::string root = std::string(1, char('A' + device->DriveNumber - 1)) + ":\\";
  GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs);
  const FileSystemType* type = FileSystemNamed(std::string_view(fs));
  if (type && type->Reads()) drives.AddVirtualDrive(device, type->makeDrive().release(), 0, 0, device->TotalSectors, false);
}

// A path as one word of a command line the user can paste.
std::string ShellWord(const std::string& s) {
  if (!s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./+-=:,@%") ==
                        std::string::npos)
    return s;
  std::string out = "'";
  for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Padded(std::string s, size_t width) {
  s.resize(std::max(s.size(), width), ' ');
  return s;
}

// One lost volume: where, how big, what, how it was found, what of the
// table it shares sectors with, and the command that opens it.
std::string SearchLine(const std::string& path, uint32_t sectorSize, const LostVolume& v, const std::string& name,
                       bool opens, bool json) {
  const std::string open = "moxvolscan ls --sector " + std::to_string(v.start) + " " + ShellWord(path);
  std::string overlaps;
  for (const unsigned n : v.overlaps) overlaps += (overlaps.empty() ? "" : ",") + std::to_string(n);
  if (json)
    return "{\"source\":" + JsonText(path) + ",\"sector\":" + std::to_string(v.start) +
           ",\"size\":" + std::to_string(v.sectors * sectorSize) + ",\"file_system\":" + JsonText(v.fileSystem) +
           ",\"volume_name\":" + (opens || !v.label.empty() ? JsonText(opens ? name : v.label) : "null") +
           ",\"boot_sector\":" + (v.bootSector ? "true" : "false") +
           ",\"copy_sector\":" + (v.copy ? std::to_string(v.copy) : "null") + ",\"overlaps\":[" + overlaps +
           "],\"past_end\":" + (v.pastEnd ? "true" : "false") + ",\"opens\":" + (opens ? "true" : "false") +
           ",\"command\":" + JsonText(open) + "}\n";
  std::string found = v.bootSector ? "boot sector" : "copy at " + std::to_string(v.copy);
  if (v.bootSector && v.copy) found += ", copy at " + std::to_string(v.copy);
  std::string where = overlaps.empty() ? "free space" : "overlaps partition " + overlaps;
  if (v.pastEnd) where += ", runs past the disk's end";
  return Padded("sector " + std::to_string(v.start), 16) + "  " + Padded(HumanSize(v.sectors * sectorSize), 10) + "  " +
         Padded(v.fileSystem, 5) + "  " +
         Padded("\"" + Printable(opens ? name : v.label) + (opens ? "\"" : "\" (cannot be opened)"), 13) + "  " +
         Padded(found, 28) + "  " + Padded(where, 10) + "  " + Printable(open) + "\n";
}

// drives --search: each disk searched for the volumes its table lost, each
// found one opened as ls --sector would, for its name and to prove it opens.
int SearchDisks(const std::vector<std::string>& paths, bool json) {
  InstallInterruptHandler([] {});
  bool failed = false;
  for (const std::string& path : paths) {
    const std::string shown = Printable(path);
    auto fail = [&](const std::string& text) {
      std::fprintf(stderr, "moxvolscan drives: %s: %s\n", shown.c_str(), text.c_str());
      failed = true;
    };
    std::error_code ec;
    const bool folder = std::filesystem::is_directory(path, ec);
    auto raw = folder ? nullptr : OpenImageSource(path);
    if (!raw) {
      fail(folder ? "is a folder, not an image or device" : "cannot be opened");
      continue;
    }
    const PartitionTable table = ReadDiskTable(path, *raw);
    PrintTableNotes("drives", path, table);
    const uint32_t ss = table.sectorSize;
    LostVolumeSearch result;
    {
      ProgressLine progress;
      LostVolumeLimits limits;
      limits.progress = [&](uint64_t sector, uint64_t sectors) {
        if (progress.enabled())
          progress.Update("searching " + shown + ": " + HumanSize(sector * ss) + " of " + HumanSize(sectors * ss) +
                          " (" + std::to_string(sectors ? sector * 100 / sectors : 100) + "%)");
        return !Interrupted();
      };
      result = SearchLostVolumes(*raw, table, limits);
    }
    std::string out;
    for (const LostVolume& v : result.volumes) {
      Volume volume;
      std::string error;
      DiskPlace place;
      place.sector = v.start;
      const bool opens = volume.Open(path, error, place);
      std::string name = opens ? volume.drive().Name : "";
      while (!name.empty() && name.back() == ' ') name.pop_back();
      if (!opens)
        std::fprintf(stderr, "moxvolscan drives: the %s volume found at sector %llu: %s\n", v.fileSystem.c_str(),
                     static_cast<unsigned long long>(v.start), error.c_str());
      out += SearchLine(path, ss, v, name, opens, json);
    }
    std::fputs(out.c_str(), stdout);
    if (result.unreadable) fail(std::to_string(result.unreadable) + " reads failed; what they held was not searched");
    if (!result.finished)
      fail(std::string(Interrupted() ? "interrupted" : "the search stopped at its cap of places") + " at sector " +
           std::to_string(result.stoppedAt) + " of " + std::to_string(raw->Size() / ss) +
           "; the rest of the disk was not searched");
    else if (result.volumes.empty())
      std::fprintf(stderr, "moxvolscan drives: %s: no lost FAT or NTFS volume found (%llu places looked at)\n",
                   shown.c_str(), static_cast<unsigned long long>(result.places));
    if (Interrupted()) break;
  }
  return failed ? kExitFailure : kExitOk;
}

int RunDrives(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {"--json", "--verbose", "--search"}, {"--sector"});
  if (!parsed) return kExitUsage;
  const bool json = parsed->Has("--json");
  if (parsed->Has("--search")) {
    if (parsed->positional.empty() || parsed->Has("--sector")) {
      std::fprintf(stderr, "moxvolscan drives: --search needs IMAGE or DEVICE arguments, and no --sector\n");
      return kExitUsage;
    }
    ModuleSession module;
    return SearchDisks(parsed->positional, json);
  }
  DiskPlace place;
  if (!PartitionOption(*parsed, "drives", place)) return kExitUsage;
  std::vector<std::string> sources = parsed->positional;
  const bool named = !sources.empty();
  if (place.sector && !named) {
    std::fprintf(stderr, "moxvolscan drives: --sector needs an IMAGE or DEVICE\n");
    return kExitUsage;
  }
  ModuleSession module;
  if (!named) sources = ReadableBlockDevices();

  Binder binder;
  for (const std::string& s : sources) binder.Add(s, place);
  for (const std::string& e : binder.errors) std::fprintf(stderr, "moxvolscan drives: %s\n", e.c_str());

  TDeviceList devices;
  TDriveList drives;
  TDebugOutEvent log;
  if (parsed->Has("--verbose")) log = [](TObject*, const AnsiString& msg) { std::fprintf(stderr, "%s\n", msg.c_str()); };
  devices.DetectDevices(log);
  for (int i = 0; i < devices.count(); ++i) {
    TDevice* device = devices.GetDevice(i);
    const bool lost = std::any_of(binder.bound.begin(), binder.bound.end(),
                                  [&](const Bound& b) { return b.lost && b.letter - 64 == device->DriveNumber; });
    if (lost)
      AddLostDrive(drives, device);
    else
      drives.DetectDrives(device);
  }

  std::string out;
  size_t unreadable = 0;
  // In the order the sources were given, each partition in number order.
  for (const Bound& bound : binder.bound) {
    const Bound* b = &bound;
    const char letter = b->letter;
    int i = 0;
    while (i < devices.count() && devices.GetDevice(i)->DriveNumber != letter - 64) ++i;
    if (i == devices.count()) {
      ++unreadable;
      std::fprintf(stderr, "moxvolscan drives: %s%s: not a readable device\n", Printable(b->source).c_str(),
                   b->partition ? (" partition " + std::to_string(b->partition)).c_str() : "");
      continue;
    }
    TDevice* device = devices.GetDevice(i);
    const TCustomDrive* drive = nullptr;
    for (int k = 0; k < drives.count(); ++k)
      if (drives.GetDrive(k)->Device == device) drive = drives.GetDrive(k);
    const std::string fs = FileSystemNameOf(letter);
    // Detection makes a FAT drive for every name holding "FAT", exFAT's too;
    // only a volume this program reads is shown with its drive's label.
    const FileSystemType* type = FileSystemNamed(fs);
    const bool reads = drive && type && type->Reads();
    // A FAT label keeps its field's padding; a lost drive's name ends in " (lost)".
    std::string name = drive ? drive->Name : "";
    if (drive && drive->IsLost && name.size() >= 7) name.resize(name.size() - 7);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (json) {
      out += "{\"letter\":\"" + std::string(1, letter) + "\",\"device\":" + JsonText(devices.GetDeviceText(i, true)) +
             ",\"source\":" + JsonText(b->source) +
             ",\"partition\":" + (b->partition ? std::to_string(b->partition) : "null") +
             ",\"offset\":" + std::to_string(b->offset) +
             ",\"size\":" + std::to_string(uint64_t{device->TotalSectors} * device->BytesPerSector) +
             ",\"file_system\":" + (!fs.empty() ? JsonText(fs) : "null") +
             ",\"volume_name\":" + (reads ? JsonText(name) : "null") +
             ",\"drive\":" + (drive ? "\"" + std::string(DriveClass(drive)) + "\"" : "null") +
             ",\"lost\":" + (b->lost ? "true" : "false") + "}\n";
    } else {
      std::string line = devices.GetDeviceText(i, true);
      line.resize(std::max<size_t>(line.size(), 20), ' ');
      line += "  " + (!fs.empty() ? fs : "-");
      line.resize(std::max<size_t>(line.size(), 30), ' ');
      line += "  " + (reads ? "\"" + Printable(name) + "\"" : "(not " + FileSystemsRead("or") + ")");
      line += "  " + Printable(b->source);
      if (b->partition) line += " partition " + std::to_string(b->partition);
      if (b->lost) line += " sector " + std::to_string(b->offset / device->BytesPerSector) + " (lost)";
      out += line + "\n";
    }
  }
  std::fputs(out.c_str(), stdout);
  if (!named && devices.count() == 0)
    std::fprintf(stderr,
                 "moxvolscan drives: no readable block device holds a volume; name images or devices "
                 "(reading devices may need privileges)\n");
  // Detection also finds the system's own drives (on Windows every letter
  // it has): what counts is that each bound source became a device.
  return binder.errors.empty() && !binder.skipped && unreadable == 0 ? kExitOk : kExitFailure;
}

CommandRegistrar registrar({
    "drives",
    "drives [IMAGE|DEVICE...] [--sector S | --search] [--json] [--verbose]",
    "find the FAT and NTFS volumes of images, devices and partitioned disks",
    "Binds each IMAGE or DEVICE to a free drive letter (each partition of a\n"
    "partitioned disk, MBR or GPT, to a letter of its own), runs device and\n"
    "drive detection over the letters and prints one line per volume: the\n"
    "letter with the size, the file system, the volume name (in quotes), and\n"
    "the source with its partition number, as Linux numbers partitions (use it\n"
    "with --partition N of ls, cat, save and info). Without arguments, the\n"
    "block devices this user can read are looked at. An entry the partition\n"
    "table reader skips or mends is told on stderr; a skipped one makes the\n"
    "exit status 1, the volumes found still listed.\n\n"
    "  --sector S the volume starting at sector S of each IMAGE or DEVICE (in\n"
    "             its own sectors), whose table entry is lost; shown as lost\n"
    "  --search   search each whole disk for FAT and NTFS volumes its table\n"
    "             does not list (deleted or lost entries): boot sectors and\n"
    "             the copies FAT32 and NTFS keep, where partitioning tools\n"
    "             put volumes (every MiB, cylinders and tracks, after each\n"
    "             volume); one line per volume: its sector, size, file\n"
    "             system, name, whether its boot sector or only a copy was\n"
    "             found, the partitions it overlaps, and the command that\n"
    "             opens it. With --json: source, sector, size, file_system,\n"
    "             volume_name, boot_sector, copy_sector, overlaps, past_end,\n"
    "             opens, command\n"
    "  --json     one JSON object per volume: letter, device, source,\n"
    "             partition, offset (bytes on the disk), size, file_system,\n"
    "             volume_name, drive (TFATdrive, TNTFSdrive or null), lost\n"
    "  --verbose  the detection's log lines on stderr",
    RunDrives,
});

}  // namespace
