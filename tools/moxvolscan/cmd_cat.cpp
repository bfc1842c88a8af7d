// moxvolscan cat: a file's bytes from a volume image or device to stdout.
#include <cstdio>
#include <vector>

#include "CliSupport.h"
#include "Command.h"
#include "Names.h"
#include "ItemFacts.h"
#include "Volume.h"

namespace {

bool WriteAll(const char* data, size_t len) { return std::fwrite(data, 1, len, stdout) == len; }

int RunCat(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(RecordArguments(args), {"--no-posix-names"}, {"--fat", "--partition", "--sector"});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 2) {
    std::fprintf(stderr, "moxvolscan cat: give IMAGE and PATH, --mft N or --entry C:I (try 'moxvolscan cat --help')\n");
    return kExitUsage;
  }
  DiskPlace place;
  if (!PartitionOption(*parsed, "cat", place)) return kExitUsage;
  ListPosixNames(!parsed->Has("--no-posix-names"));
  Volume volume;
  std::string error;
  if (!volume.Open(parsed->positional[0], error, place)) {
    std::fprintf(stderr, "moxvolscan cat: %s\n", error.c_str());
    return kExitFailure;
  }
  if (!volume.fs().SetReadOption(parsed->Get("--fat"), error)) {
    std::fprintf(stderr, "moxvolscan cat: %s\n", error.c_str());
    return kExitUsage;
  }
  TObject* item = volume.Resolve(parsed->positional[1], error);
  auto* file = dynamic_cast<TCustomFile*>(item);
  if (!file) {
    if (item) error = ShownPath(volume.fs(), item) + ": is a folder";
    std::fprintf(stderr, "moxvolscan cat: %s\n", error.c_str());
    return kExitFailure;
  }
  InstallInterruptHandler([] {});
  volume.UseSectorCache(2048);
  auto reader = volume.fs().Open(file);
  std::vector<char> buffer(1 << 20);
  uint64_t total = 0;
  while (reader && !Interrupted()) {
    const size_t n = reader->Read(buffer.data(), buffer.size());
    if (n == 0) break;
    if (!WriteAll(buffer.data(), n)) {
      std::fprintf(stderr, "moxvolscan cat: cannot write to stdout\n");
      return kExitFailure;
    }
    total += n;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "moxvolscan cat: cannot write to stdout\n");
    return kExitFailure;
  }
  if (total < SizeOf(file)) {
    std::fprintf(stderr, "moxvolscan cat: %s: %s\n", ShownPath(volume.fs(), file).c_str(),
                 Interrupted() ? "interrupted"
                               : ShortReadText(total, SizeOf(file), volume.fs().ShortReadReason(file)).c_str());
    return kExitFailure;
  }
  if (const std::string damage = volume.fs().SizeDamage(file); !damage.empty()) {
    std::fprintf(stderr, "moxvolscan cat: %s: %s, written whole\n", ShownPath(volume.fs(), file).c_str(),
                 damage.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

CommandRegistrar registrar({
    "cat",
    "cat IMAGE|DEVICE PATH|--mft N|--entry C:I [--partition N | --sector S] [--fat N] [--no-posix-names]",
    "print a file of a volume image or device, deleted or not",
    "Writes the file's bytes to stdout. PATH is the path from the volume root\n"
    "as 'moxvolscan ls' shows it ('/' or '\\' between names, any letter case,\n"
    "%XX for a byte as ls writes it); deleted files are found by their shown\n"
    "name (a lost first letter is '_'). A file whose data ends before its size\n"
    "(a chain that breaks off or comes back to a cluster) is written as far as\n"
    "it goes, named on stderr with the bytes read, and the status is 1.\n"
    "On NTFS, --mft N names the file of MFT record N (a deleted one first), which\n"
    "tells apart deleted files of the same path; files of 4 GiB and more come\n"
    "out whole.\n"
    "On FAT, --entry C:I names the item whose directory entry is record I of\n"
    "cluster C (cluster 0: the fixed root), as 'ls --json' shows it and 'ls'\n"
    "adds it to a path that names another item too.\n\n"
    "  --fat N   0 reads the clusters as contiguous from the first one (the way\n"
    "            to get a deleted file back: its chain was cleared); 1 or 2\n"
    "            follows the chain in that copy of the FAT. Default: 0 for\n"
    "            deleted files, 1 for live ones (FAT only).\n"
        + std::string(kNoPosixHelp) + kPartitionHelp,
    RunCat,
});

}  // namespace
