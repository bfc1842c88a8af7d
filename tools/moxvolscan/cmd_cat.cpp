// moxvolscan cat: a file's bytes from a FAT image or device to stdout.
#include <cstdio>
#include <vector>

#include "CliSupport.h"
#include "Command.h"
#include "FatVolume.h"

namespace {

bool WriteAll(const char* data, size_t len) { return std::fwrite(data, 1, len, stdout) == len; }

int RunCat(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {}, {"--fat"});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 2) {
    std::fprintf(stderr, "moxvolscan cat: give IMAGE and PATH (try 'moxvolscan cat --help')\n");
    return kExitUsage;
  }
  FatVolume volume;
  std::string error;
  if (!volume.Open(parsed->positional[0], error)) {
    std::fprintf(stderr, "moxvolscan cat: %s\n", error.c_str());
    return kExitFailure;
  }
  TObject* item = volume.Resolve(parsed->positional[1], error);
  auto* file = dynamic_cast<TFATFile*>(item);
  if (!file) {
    std::fprintf(stderr, "moxvolscan cat: %s\n", item ? (parsed->positional[1] + ": is a folder").c_str() : error.c_str());
    return kExitFailure;
  }
  int fat = ChooseFATNumber(volume.drive(), file, parsed->Get("--fat"), error);
  if (fat < 0) {
    std::fprintf(stderr, "moxvolscan cat: %s\n", error.c_str());
    return kExitUsage;
  }
  InstallInterruptHandler([] {});
  volume.UseSectorCache(2048);
  TFATStream stream(&volume.drive(), int32_t(file->StartCluster), int32_t(uint32_t(file->Size)), uint8_t(fat));
  std::vector<char> buffer(1 << 20);
  uint64_t total = 0;
  while (!Interrupted()) {
    int32_t n = stream.Read(buffer.data(), int32_t(buffer.size()));
    if (n <= 0) break;
    if (!WriteAll(buffer.data(), size_t(n))) {
      std::fprintf(stderr, "moxvolscan cat: cannot write to stdout\n");
      return kExitFailure;
    }
    total += uint64_t(n);
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "moxvolscan cat: cannot write to stdout\n");
    return kExitFailure;
  }
  if (total < uint64_t(uint32_t(file->Size))) {
    std::fprintf(stderr, "moxvolscan cat: %s: read %llu of %llu bytes\n", parsed->positional[1].c_str(),
                 (unsigned long long)total, (unsigned long long)uint32_t(file->Size));
    return kExitFailure;
  }
  return kExitOk;
}

CommandRegistrar registrar({
    "cat",
    "cat IMAGE|DEVICE PATH [--fat N]",
    "print a file of a FAT image or device, deleted or not",
    "Writes the file's bytes to stdout. PATH is the path from the volume root\n"
    "as 'moxvolscan ls' shows it ('/' or '\\' between names, any letter case);\n"
    "deleted files are found by their shown name (a lost first letter is '_').\n\n"
    "  --fat N   0 reads the clusters as contiguous from the first one (the way\n"
    "            to get a deleted file back: its chain was cleared); 1 or 2\n"
    "            follows the chain in that copy of the FAT. Default: 0 for\n"
    "            deleted files, 1 for live ones.",
    RunCat,
});

}  // namespace
