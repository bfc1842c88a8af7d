// moxvolscan ls: every item of a volume image or device, deleted ones on request.
#include <cstdio>

#include "CliSupport.h"
#include "Command.h"
#include "Names.h"
#include "Volume.h"

namespace {

int RunLs(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {"--deleted", "--deleted-only", "--json", "--no-posix-names"}, {"--mask"});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1) {
    std::fprintf(stderr, "moxvolscan ls: give one IMAGE or DEVICE (try 'moxvolscan ls --help')\n");
    return kExitUsage;
  }
  if (parsed->Has("--deleted") && parsed->Has("--deleted-only")) {
    std::fprintf(stderr, "moxvolscan ls: --deleted and --deleted-only exclude each other\n");
    return kExitUsage;
  }
  const bool deletedOnly = parsed->Has("--deleted-only");
  const bool includeDeleted = deletedOnly || parsed->Has("--deleted");
  const bool json = parsed->Has("--json");

  ListPosixNames(!parsed->Has("--no-posix-names"));
  Volume volume;
  std::string error;
  if (!volume.Open(parsed->positional[0], error)) {
    std::fprintf(stderr, "moxvolscan ls: %s\n", error.c_str());
    return kExitFailure;
  }
  TCustomDrive& drive = volume.drive();
  // Directory sectors come one at a time; 128 KiB lines serve the records
  // of neighbouring folders from one read.
  volume.UseSectorCache(256);
  InstallInterruptHandler([&volume] { volume.fs().CancelScan(); });

  ProgressLine progress;
  ItemDescriber describer(volume.fs());
  ItemFacts facts;
  std::string out;
  uint64_t items = 0;
  // NTFS has no cancel of its own: the walk stops through its progress event.
  drive.OnProgress = [&](TObject*, TObject*, const AnsiString& folder, int, bool& cancel) {
    if (Interrupted()) cancel = true;
    if (progress.enabled()) progress.Update(std::to_string(items) + " items  " + Printable(folder));
  };
  drive.OnFoundItem = [&](TObject*, TObject* item) {
    if (Interrupted()) return;
    // The live walk lists the folders deleted items were found in.
    if (!deletedOnly && IsPathFolder(volume.fs(), item)) return;
    describer.Describe(item, facts);
    (json ? AppendItemJson : AppendItemLine)(out, facts);
    ++items;
    // Whole lines in big writes; on a terminal each line shows at once.
    if (out.size() >= 65536 || progress.enabled()) {
      if (progress.enabled()) progress.Clear();
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  };
  drive.ScanDrive(parsed->Get("--mask", "*"), includeDeleted, deletedOnly);
  drive.OnFoundItem = nullptr;
  drive.OnProgress = nullptr;
  progress.Clear();
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  if (Interrupted()) {
    std::fprintf(stderr, "moxvolscan ls: interrupted\n");
    return kExitFailure;
  }
  return kExitOk;
}

CommandRegistrar registrar({
    "ls",
    "ls IMAGE|DEVICE [--deleted | --deleted-only] [--mask MASK] [--json] [--no-posix-names]",
    "list the files and folders of a FAT or NTFS image or device, deleted ones too",
    "Reads the FAT or NTFS volume sector by sector and prints one line per item:\n"
    "type, size, last-write time (as the volume keeps it), attributes (R H S A),\n"
    "state and the path from the volume root. Deleted items show the state\n"
    "'deleted:intact' (their clusters are still free, the data is likely\n"
    "whole) or 'deleted:reused' (their space belongs to something else now).\n"
    "Names are shown as UTF-8 with control characters, '%', '/' and '\\' as %XX\n"
    "(hex); '.' and '..' as %2E and %2E%2E, an empty name as %. 8.3 names that\n"
    "are not UTF-8 are read in code page 437. cat and save take names so.\n"
    "On NTFS, deleted items are listed under the folders they were in (the live\n"
    "folders, listed once more) or under a folder 'MFT n' when their folder's\n"
    "record n is gone.\n\n"
    "  --deleted       list deleted items as well\n"
    "  --deleted-only  list deleted items only (folders are still walked)\n"
    "  --mask MASK     only names matching MASK (* and ?, any letter case)\n"
    "  --json          one JSON object per line with the keys path, type,\n"
    "                  size, mtime, attributes, deleted and condition\n"
    "                  (0 live, 1 data likely intact, 2 space reused), on\n"
    "                  NTFS also mft (the item's MFT record number)\n" +
        std::string(kNoPosixHelp),
    RunLs,
});

}  // namespace
