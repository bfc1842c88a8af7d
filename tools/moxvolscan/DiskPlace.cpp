#include "DiskPlace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BootSector.h"
#include "FileSystems.h"
#include "MoxVolScan.h"
#include "ItemFacts.h"
#include "LostVolumes.h"
#include "Names.h"
#include "Volumes.h"
#include "WinApi.h"

RecognisedVolume PartitionVolume(const std::shared_ptr<RawSource>& disk, const PartitionEntry& e) {
  auto slice = MakeSliceSource(disk, e.start, e.size);
  return slice ? RecogniseSource(*slice) : RecognisedVolume{};
}

std::string PartitionFileSystem(const std::shared_ptr<RawSource>& disk, const PartitionTable& table,
                                const PartitionEntry& e) {
  const std::string fs = PartitionVolume(disk, e).name;
  return fs.empty() ? PartitionTypeName(table, e) : fs;
}

bool ReadByThisProgram(const RecognisedVolume& volume) {
  const FileSystemType* type = FileSystemOf(volume.format);
  return type && type->Reads();
}

PartitionUse UseOfPartition(const std::shared_ptr<RawSource>& disk, const PartitionTable& table,
                            const PartitionEntry& e, std::string& why) {
  auto slice = MakeSliceSource(disk, e.start, e.size);
  const RecognisedVolume volume = slice ? RecogniseSource(*slice) : RecognisedVolume{};
  BackupBootSector copy;
  if (ReadByThisProgram(volume) || (slice && volume.format == VolumeFormat::None && FindBackupBootSector(*slice, copy)))
    return PartitionUse::Read;
  if (volume.format == VolumeFormat::Swap || (volume.format == VolumeFormat::None && PartitionTypeHoldsNoFiles(table, e))) {
    why = "holds no files";
    return PartitionUse::HoldsNoFiles;
  }
  const FileSystemType* type = FileSystemOf(volume.format);
  why = type ? type->What() + ", which this program does not read"
             : "no " + FileSystemsRead("or") + " boot sector, nor a copy of one";
  return PartitionUse::PassedOver;
}

char BindHostPath(const std::string& hostPath, std::string& error, const DiskPlace& place) {
  std::string resolved, reason;
  HostPathKind kind;
  if (!ResolveHostPath(hostPath, resolved, kind, reason)) {
    error = Printable(hostPath) + ": " + reason;
    return 0;
  }
  DriveBinding binding;
  if (kind == HostPathKind::Folder) {
    if (place.partition || place.sector) {
      error = Printable(hostPath) + ": a folder has no partitions or sectors; --" +
              (place.sector ? "sector" : "partition") + " takes a disk image or device";
      return 0;
    }
    binding.rootDir = resolved;
  } else if (kind == HostPathKind::File || kind == HostPathKind::Device) {
    ClearHostError();
    binding.raw = OpenImageSource(resolved);
    if (!binding.raw) {
      const std::string why = HostErrorText();
      error = Printable(hostPath) + ": cannot open" + (why.empty() ? why : ": " + why);
      return 0;
    }
    if (!SelectPartition(hostPath, binding, place, error)) return 0;
  } else {
    error = Printable(hostPath) + ": not a folder, image file or block device";
    return 0;
  }
  const char letter = FindFreeDriveLetter();
  if (!letter || !MoxBindDriveLetter(letter, binding)) {
    error = Printable(hostPath) + ": no free drive letter";
    return 0;
  }
  return letter;
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
  // On a whole disk the sectors count from the volume's start: the place is named with them.
  const std::string where = place.partition ? ": partition " + std::to_string(place.partition)
                            : place.sector  ? ": the volume at sector " + std::to_string(*place.sector)
                                            : "";
  if (place.command)
    std::fprintf(stderr, "moxvolscan %s: %s%s: no usable boot sector at sector 0; read through its %s copy at sector %llu\n",
                 place.command, Printable(hostPath).c_str(), where.c_str(), copy.fileSystemName.c_str(),
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
      return ReadByThisProgram(RecogniseSource(*slice)) ? slice : nullptr;
    };
    auto slice = volumeAt(s * binding.sectorSize);
    // Its boot sector lost too: a copy that places a volume there gives its extent.
    LostVolume lost;
    if (!slice && FindVolumeAt(*raw, binding.sectorSize, s, lost))
      slice = MakeSliceSource(raw, s * binding.sectorSize, lost.sectors * binding.sectorSize);
    if (!slice) {
      error = shown + ": no " + FileSystemsRead("or") + " boot sector at " + at;
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
