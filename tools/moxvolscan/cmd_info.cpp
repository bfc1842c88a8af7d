// moxvolscan info: the drive parameters and file system of an image, a block
// device or a mounted folder, as the disk library sees them.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "CliSupport.h"
#include "Command.h"
#include "Ldiskio.h"
#include "Names.h"
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

void PrintJson(const std::string& path, const VolumeFacts& f) {
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
  out += "}\n";
  std::fputs(out.c_str(), stdout);
}

int RunInfo(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {"--json"}, {});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1) {
    std::fprintf(stderr, "moxvolscan info: give one PATH (try 'moxvolscan info --help')\n");
    return kExitUsage;
  }
  const std::string& path = parsed->positional[0];
  ModuleSession module;
  std::string error;
  const char letter = BindHostPath(path, error);
  if (!letter) {
    std::fprintf(stderr, "moxvolscan info: %s\n", error.c_str());
    return kExitFailure;
  }
  const VolumeFacts facts = Inspect(letter);
  UnbindDriveLetter(letter);
  if (parsed->Has("--json"))
    PrintJson(path, facts);
  else
    PrintText(path, facts);
  if (!facts.hasParams && !facts.hasFileSystem) {
    std::fprintf(stderr, "moxvolscan info: %s: no readable volume\n", Printable(path).c_str());
    return kExitFailure;
  }
  return kExitOk;
}

CommandRegistrar registrar({
    "info",
    "info PATH [--json]",
    "show the drive parameters and file system of an image, device or mount",
    "Binds PATH (an image file, a block device or a mounted folder) to a free\n"
    "drive letter and prints what the disk library reports for it: media kind,\n"
    "geometry (cylinders x heads x sectors per track = total sectors), bytes\n"
    "per sector, size, and the file-system name with label and serial where\n"
    "the boot sector keeps them. A mounted folder is read through its block\n"
    "device, which may need privileges; without them only the file-system\n"
    "name from the mount table is shown.\n\n"
    "  --json  one JSON object: path, file_system, label, serial, media_kind,\n"
    "          removable, cylinders, heads, sectors_per_track,\n"
    "          bytes_per_sector, total_sectors, size",
    RunInfo,
});

}  // namespace
