// moxvolscan save: copy files and folders, deleted or not, out of a volume
// image or device into a host folder, with their times and attributes.
#include <algorithm>
#include <cstdio>

#include "CliSupport.h"
#include "Command.h"
#include "Saver.h"
#include "Volume.h"

namespace {

void Say(const std::string& text) { SayAs("save", text); }

int RunSave(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(RecordArguments(args), {"--no-posix-names"}, {"--fat", "--overwrite", "--partition", "--sector"});
  if (!parsed) return kExitUsage;
  const auto& pos = parsed->positional;
  const std::string mode = parsed->Get("--overwrite", "ask");
  if (pos.size() < 3 || (mode != "ask" && mode != "all" && mode != "none")) {
    std::fprintf(stderr, "moxvolscan save: give IMAGE, PATH... and DEST; --overwrite is ask, all or none\n");
    return kExitUsage;
  }
  DiskPlace place;
  if (!PartitionOption(*parsed, "save", place)) return kExitUsage;
  ListPosixNames(!parsed->Has("--no-posix-names"));
  Tally tally;
  // Every save that ran ends with this line, for people and scripts alike.
  auto finish = [&tally](int status) {
    Say(tally.Text());
    return status;
  };
  Volume volume;
  std::string error;
  if (!volume.Open(pos[0], error, place)) {
    Say(error);
    return finish(kExitFailure);
  }
  FileSystem& fs = volume.fs();
  if (!fs.SetReadOption(parsed->Get("--fat"), error)) {
    Say(error);
    return kExitUsage;
  }
  bool ok = true;
  std::vector<TObject*> named;
  for (size_t i = 1; i + 1 < pos.size(); ++i) {
    TObject* item = volume.Resolve(pos[i], error);
    if (!item) {
      Say(error);
      ok = false;
      ++tally.failed;
    } else if (std::find(named.begin(), named.end(), item) == named.end()) {
      named.push_back(item);
    }
  }
  if (named.empty()) return finish(kExitFailure);

  DestFolder dest("save");
  if (!dest.Open(pos.back())) return finish(kExitFailure);
  volume.UseSectorCache(2048);
  InstallInterruptHandler([] {});

  {
    Saver saver("save", fs, dest.dest(), mode);
    // The root stands for what it holds: saving the volume fills DEST.
    std::vector<TObject*> items;
    for (TObject* item : named) {
      if (item != fs.Root()) {
        items.push_back(item);
        continue;
      }
      for (TObject* child : saver.ChildrenOf(fs.Root()))
        if (std::find(items.begin(), items.end(), child) == items.end()) items.push_back(child);
    }
    saver.tally = tally;
    saver.Run(items);
    tally = saver.tally;
  }
  // A folder whose items could not all be read saved only what could be.
  const bool incomplete = !Interrupted() && volume.TellIncomplete("save");
  const bool success = ok && tally.failed == 0 && tally.shortCopies == 0 && !incomplete && !Interrupted();
  dest.Succeeded(success);
  if (Interrupted()) Say("interrupted");
  return finish(success ? kExitOk : kExitFailure);
}

CommandRegistrar registrar({
    "save",
    "save IMAGE|DEVICE PATH|--mft N|--entry C:I ... DEST [--partition N | --sector S] [--fat N] [--overwrite ask|all|none] [--no-posix-names]",
    "copy files and folders, deleted ones too, out of a volume image or device",
    "Copies each PATH (as 'moxvolscan ls' shows it) into the host folder DEST,\n"
    "made when missing; '/' (the volume root) copies the whole volume into DEST.\n"
    "Folders are copied with all that 'ls --deleted' lists in them, live and\n"
    "deleted. The copies get the item's last-write time; read-only becomes the\n"
    "file's permissions and the other DOS attributes go to the user.DOSATTRIB\n"
    "extended attribute. Names that are no good on this system ('/', '..',\n"
    "control characters) are made harmless with '_'; names alike after that\n"
    "get ' (2)', ' (3)' ... (live items keep theirs) and are told. Each file is\n"
    "written under a temporary name and renamed when complete. Nothing is\n"
    "written through a symbolic link inside DEST; such an item is named and not\n"
    "saved. A file whose data ends early is saved as far as it goes and named\n"
    "with the bytes read; one of which nothing can be read is named and not\n"
    "saved. A deleted file whose space was reused is saved and named. An item\n"
    "that fails is named and the save goes on with the others. The last line\n"
    "on stderr tells what was done:\n"
    "  moxvolscan save: 12 saved (345678 bytes), 1 short, 2 reused, 0 skipped, 0 failed\n"
    "(files saved, short and reused among them; items left as they were by an\n"
    "answer or --overwrite none; items not saved). The status is 1 when\n"
    "anything was not saved whole (short or failed), 0 otherwise, also with\n"
    "reused files. On NTFS, --mft N names the item of MFT record N (a deleted\n"
    "one first), and files of 4 GiB and more are saved whole. On FAT, --entry C:I\n"
    "names an item by its directory entry (see 'moxvolscan cat --help').\n\n"
    "  --fat N          0 reads the clusters as contiguous; 1 or 2 follows that\n"
    "                   copy of the FAT, for every file. Default: 0 for deleted\n"
    "                   files (their chains were cleared), 1 for live ones (FAT).\n"
    "  --overwrite ask  ask on the terminal before replacing a file or entering\n"
    "                   an existing folder (the default; no answer means no)\n"
    "  --overwrite all  replace without asking\n"
    "  --overwrite none keep every existing file, save only what is new\n" +
        std::string(kNoPosixHelp) + kPartitionHelp,
    RunSave,
});

}  // namespace
