// moxvolscan info: the drive parameters and file system of an image, a block
// device or a mounted folder, as the disk library sees them.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "Diskfs.h"
#include "Ldiskio.h"
#include "Names.h"
#include "Ntfs.h"
#include "Volume.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

const char* MediaKindName(uint16_t kind) {
  switch (kind) {
    case 1: return "floppy";
    case 2: return "removable";
    case 3: return "fixed";
    case 4: return "CD-ROM";
    default: return "unknown";
  }
}

struct VolumeFacts {
  bool hasParams = false;
  TLogDriveParams params{};
  bool hasFileSystem = false;
  std::string fileSystem, label;
  DWORD serial = 0;
};

// What the NTFS boot sector and system records say.
struct NtfsFacts {
  bool mounted = false;
  std::string name;
  unsigned major = 0, minor = 0;
  bool dirty = false;
  uint32_t sector = 0, cluster = 0, record = 0, indexBlock = 0;
  int64_t mftStart = 0;
  uint64_t records = 0;
};

// What the FAT boot sector says: an image's device sectors are 512 bytes
// whatever the volume's own are.
struct FatFacts {
  bool mounted = false;
  unsigned type = 0;  // 12, 16 or 32, by the count of clusters
  uint32_t sector = 0, cluster = 0, fats = 0, sectorsPerFat = 0, reserved = 0, rootEntries = 0, rootCluster = 0,
           clusters = 0;
};

// False with the reason when the volume cannot be mounted.
bool InspectDrive(const std::string& path, DiskPlace place, NtfsFacts& n, FatFacts& f, std::string& error) {
  Volume volume;
  place.command = nullptr;  // the table's notes were told at the first look
  if (!volume.Open(path, error, place)) return false;
  if (!volume.Truncation().empty())
    std::fprintf(stderr, "moxvolscan info: %s: %s\n", Printable(path).c_str(), volume.Truncation().c_str());
  if (auto* d = dynamic_cast<TNTFSdrive*>(&volume.drive()))
    n = {true, d->Name, d->MajorVersion, d->MinorVersion, d->Dirty(), d->BytesPerSector(), d->BytesPerCluster,
         d->BytesPerFileRecord, d->BytesPerIndexBlock, d->MftStartLcn(), d->MftRecordCount()};
  if (auto* d = dynamic_cast<TFATdrive*>(&volume.drive()))
    f = {true, d->FATType == 1 ? 12u : d->FATType == 2 ? 16u : 32u, d->BytesPerSector(), d->BytesPerCluster,
         d->BootSec.NumberOfFATs, d->SectorsPerFAT, d->BootSec.ReservedSectors, d->BootSec.RootEntries,
         d->RootCluster, d->ClusterCount};
  return true;
}

void PrintFatText(const FatFacts& f) {
  std::printf("FAT type:          FAT%u\n", f.type);
  std::printf("bytes per sector:  %" PRIu32 " (volume)\n", f.sector);
  std::printf("cluster:           %" PRIu32 " bytes\n", f.cluster);
  std::printf("FATs:              %" PRIu32 " of %" PRIu32 " sectors\n", f.fats, f.sectorsPerFat);
  std::printf("reserved sectors:  %" PRIu32 "\n", f.reserved);
  if (f.type == 32)
    std::printf("root cluster:      %" PRIu32 "\n", f.rootCluster);
  else
    std::printf("root entries:      %" PRIu32 "\n", f.rootEntries);
  std::printf("clusters:          %" PRIu32 "\n", f.clusters);
}

std::string FatJson(const FatFacts& f) {
  if (!f.mounted) return "";
  return ",\"fat\":{\"type\":\"FAT" + std::to_string(f.type) + "\",\"bytes_per_sector\":" + std::to_string(f.sector) +
         ",\"cluster_bytes\":" + std::to_string(f.cluster) + ",\"fats\":" + std::to_string(f.fats) +
         ",\"sectors_per_fat\":" + std::to_string(f.sectorsPerFat) + ",\"reserved_sectors\":" +
         std::to_string(f.reserved) + ",\"root_entries\":" + std::to_string(f.rootEntries) +
         ",\"root_cluster\":" + std::to_string(f.rootCluster) + ",\"clusters\":" + std::to_string(f.clusters) + "}";
}

void PrintNtfsText(const NtfsFacts& n) {
  std::printf("volume name:       %s\n", Printable(n.name).c_str());
  std::printf("NTFS version:      %u.%u\n", n.major, n.minor);
  std::printf("dirty:             %s\n", n.dirty ? "yes" : "no");
  std::printf("bytes per sector:  %" PRIu32 " (volume)\n", n.sector);
  std::printf("cluster:           %" PRIu32 " bytes\n", n.cluster);
  std::printf("MFT record:        %" PRIu32 " bytes\n", n.record);
  std::printf("index block:       %" PRIu32 " bytes\n", n.indexBlock);
  std::printf("MFT start cluster: %" PRId64 "\n", n.mftStart);
  std::printf("MFT records:       %" PRIu64 "\n", n.records);
}

std::string NtfsJson(const NtfsFacts& n) {
  if (!n.mounted) return "";
  return ",\"ntfs\":{\"volume_name\":\"" + JsonEscape(Printable(n.name)) + "\",\"version\":\"" +
         std::to_string(n.major) + "." + std::to_string(n.minor) + "\",\"dirty\":" + (n.dirty ? "true" : "false") +
         ",\"bytes_per_sector\":" + std::to_string(n.sector) + ",\"cluster_bytes\":" + std::to_string(n.cluster) +
         ",\"mft_record_bytes\":" + std::to_string(n.record) + ",\"index_block_bytes\":" +
         std::to_string(n.indexBlock) + ",\"mft_start_cluster\":" + std::to_string(n.mftStart) +
         ",\"mft_records\":" + std::to_string(n.records) + "}";
}

VolumeFacts Inspect(char letter) {
  VolumeFacts f;
  f.hasParams = GetLogDriveParams(static_cast<uint8_t>(letter - 64), f.params);
  const std::string root = std::string(1, letter) + ":\\";
  char label[MAX_PATH + 1] = {}, fs[MAX_PATH + 1] = {};
  if (GetVolumeInformationA(root.c_str(), label, sizeof label, &f.serial, nullptr, nullptr, fs, sizeof fs)) {
    f.hasFileSystem = true;
    f.fileSystem = fs;
    f.label = label;
  }
  return f;
}

void PrintText(const std::string& path, const VolumeFacts& f) {
  std::printf("path:              %s\n", Printable(path).c_str());
  std::printf("file system:       %s\n", f.hasFileSystem ? f.fileSystem.c_str() : "(not recognised)");
  if (f.hasFileSystem && !f.label.empty()) std::printf("label:             %s\n", Printable(f.label).c_str());
  if (f.hasFileSystem && f.serial) std::printf("serial:            %04X-%04X\n", f.serial >> 16, f.serial & 0xFFFF);
  if (!f.hasParams) {
    std::printf("drive parameters:  not available (the device can't be read)\n");
    return;
  }
  const auto& p = f.params;
  std::printf("media kind:        %u (%s)\n", p.MediaKind, MediaKindName(p.MediaKind));
  std::printf("removable:         %s\n", p.Removable ? "yes" : "no");
  std::printf("cylinders:         %" PRIu32 "\n", p.Cylinders);
  std::printf("heads:             %" PRIu32 "\n", p.Heads);
  std::printf("sectors per track: %" PRIu32 "\n", p.SectorsPerTrack);
  std::printf("bytes per sector:  %" PRIu32 "\n", p.BytesPerSector);
  std::printf("total sectors:     %" PRIu32 "\n", p.TotalSectors);
  std::printf("size:              %" PRIu64 " bytes\n", uint64_t{p.TotalSectors} * p.BytesPerSector);
}

void PrintJson(const std::string& path, const VolumeFacts& f, const NtfsFacts& n, const FatFacts& fat) {
  std::string out = "{\"path\":\"" + JsonEscape(Printable(path)) + "\",\"file_system\":";
  out += f.hasFileSystem ? "\"" + JsonEscape(f.fileSystem) + "\"" : "null";
  out += ",\"label\":";
  out += f.hasFileSystem ? "\"" + JsonEscape(Printable(f.label)) + "\"" : "null";
  out += ",\"serial\":" + std::to_string(f.serial);
  if (f.hasParams) {
    const auto& p = f.params;
    out += ",\"media_kind\":" + std::to_string(p.MediaKind) + ",\"removable\":" + (p.Removable ? "true" : "false") +
           ",\"cylinders\":" + std::to_string(p.Cylinders) + ",\"heads\":" + std::to_string(p.Heads) +
           ",\"sectors_per_track\":" + std::to_string(p.SectorsPerTrack) +
           ",\"bytes_per_sector\":" + std::to_string(p.BytesPerSector) +
           ",\"total_sectors\":" + std::to_string(p.TotalSectors) +
           ",\"size\":" + std::to_string(uint64_t{p.TotalSectors} * p.BytesPerSector);
  } else {
    out += ",\"params\":null";
  }
  out += NtfsJson(n) + FatJson(fat) + "}\n";
  std::fputs(out.c_str(), stdout);
}

int RunInfo(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {"--json"}, {"--partition", "--sector"});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1) {
    std::fprintf(stderr, "moxvolscan info: give one PATH (try 'moxvolscan info --help')\n");
    return kExitUsage;
  }
  const std::string& path = parsed->positional[0];
  DiskPlace place;
  if (!PartitionOption(*parsed, "info", place)) return kExitUsage;
  ModuleSession module;
  std::string error;
  const char letter = BindHostPath(path, error, place);
  if (!letter) {
    std::fprintf(stderr, "moxvolscan info: %s\n", error.c_str());
    return kExitFailure;
  }
  VolumeFacts facts = Inspect(letter);
  const SourceFacts source = ExamineSource(letter);
  const auto binding = GetDriveBinding(letter);
  const bool folder = binding && !binding->rootDir.empty();
  UnbindDriveLetter(letter);
  // Named as the other commands name it, though not read here.
  if (!facts.hasFileSystem) facts.fileSystem = source.volume.name;
  if (!facts.fileSystem.empty()) facts.hasFileSystem = true;
  NtfsFacts ntfs;
  FatFacts fat;
  std::string problem;
  // A folder is read through its mount's device where it can be. A volume
  // of a file system read here that cannot be mounted, one not read here
  // and an empty file fail with the words the other commands use; bytes
  // that hold no file system at all just show their size.
  const bool read = source.type ? source.type->Reads() : facts.hasFileSystem;
  if (source.kind == SourceKind::Bytes && read) {
    if (InspectDrive(path, place, ntfs, fat, problem) || folder) problem.clear();
  } else if (!folder) {
    problem = SourceProblem(source);
    if (!problem.empty()) problem = Printable(path) + ": " + problem;
  }
  if (parsed->Has("--json")) {
    PrintJson(path, facts, ntfs, fat);
  } else {
    PrintText(path, facts);
    if (ntfs.mounted) PrintNtfsText(ntfs);
    if (fat.mounted) PrintFatText(fat);
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "moxvolscan info: %s\n", problem.c_str());
    return kExitFailure;
  }
  if (!facts.hasParams && !facts.hasFileSystem) {
    std::fprintf(stderr, "moxvolscan info: %s: no readable volume\n", Printable(path).c_str());
    return kExitFailure;
  }
  return kExitOk;
}

CommandRegistrar registrar({
    "info",
    "info PATH [--partition N | --sector S] [--json]",
    "show the drive parameters and file system of an image, device or mount",
    "Binds PATH (an image file, a block device or a mounted folder) to a free\n"
    "drive letter and prints what the disk library reports for it: media kind,\n"
    "geometry (cylinders x heads x sectors per track = total sectors), bytes\n"
    "per sector, size, and the file-system name with label and serial where\n"
    "the boot sector keeps them. A mounted folder is read through its block\n"
    "device, which may need privileges; without them only the file-system\n"
    "name from the mount table is shown. An NTFS volume adds its name, NTFS\n"
    "version, dirty flag, volume sector, cluster, MFT record and index block\n"
    "sizes, the MFT's first cluster and its number of records. A FAT volume\n"
    "adds its FAT type, volume sector and cluster sizes, FAT copies and their\n"
    "size, reserved sectors, root entries (FAT32: root cluster) and clusters.\n\n"
    "  --json  one JSON object: path, file_system, label, serial, media_kind,\n"
    "          removable, cylinders, heads, sectors_per_track,\n"
    "          bytes_per_sector, total_sectors, size; on NTFS also ntfs:\n"
    "          {volume_name, version, dirty, bytes_per_sector, cluster_bytes,\n"
    "          mft_record_bytes, index_block_bytes, mft_start_cluster,\n"
    "          mft_records}; on FAT also fat: {type, bytes_per_sector,\n"
    "          cluster_bytes, fats, sectors_per_fat, reserved_sectors,\n"
    "          root_entries, root_cluster, clusters}\n" +
        std::string(kPartitionHelp),
    RunInfo,
});

}  // namespace
