// moxvolscan save: copy files and folders, deleted or not, out of a FAT image
// or device into a host folder, with their times and attributes.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "CliSupport.h"
#include "Command.h"
#include "FatVolume.h"
#include "WinApi.h"

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Printable(std::string text) {
  for (char& c : text)
    if (c == '\r') c = '\n';
  return text;
}

int RunSave(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {}, {"--fat", "--overwrite"});
  if (!parsed) return kExitUsage;
  const auto& pos = parsed->positional;
  const std::string mode = parsed->Get("--overwrite", "ask");
  if (pos.size() < 3 || (mode != "ask" && mode != "all" && mode != "none")) {
    std::fprintf(stderr, "moxvolscan save: give IMAGE, PATH... and DEST; --overwrite is ask, all or none\n");
    return kExitUsage;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path dest = fs::absolute(pos.back(), ec);
  if (!fs::is_directory(dest, ec) && !fs::create_directory(dest, ec)) {
    std::fprintf(stderr, "moxvolscan save: %s: cannot make the destination folder\n", pos.back().c_str());
    return kExitFailure;
  }
  FatVolume volume;
  std::string error;
  if (!volume.Open(pos[0], error)) {
    std::fprintf(stderr, "moxvolscan save: %s\n", error.c_str());
    return kExitFailure;
  }
  TFATdrive& drive = volume.drive();
  volume.UseSectorCache(2048);

  ProgressLine progress;
  int failures = 0;
  const std::string folderQuestion = LoadStr(1716);
  SetDialogHandler([&](const DialogRequest& r) -> int {
    progress.Clear();
    if (!(r.buttons & mbAll)) {  // a failure the library reports
      std::fprintf(stderr, "moxvolscan save: %s\n", Printable(r.text).c_str());
      ++failures;
      return IDOK;
    }
    // "none" keeps every existing file but still enters existing folders to
    // save what is new in them; any answer but Yes/No/All means "go on".
    if (mode == "all") return IDALL;
    if (mode == "none") return EndsWith(r.text, folderQuestion) ? IDOK : IDNO;
    for (;;) {
      std::fprintf(stderr, "%s [y]es, [n]o, [a]ll: ", Printable(r.text).c_str());
      std::fflush(stderr);
      std::string answer;
      if (!std::getline(std::cin, answer)) {
        std::fprintf(stderr, "no\n");
        return IDNO;  // nobody to ask: keep what is there
      }
      if (answer == "y" || answer == "yes" || answer == "Y") return IDYES;
      if (answer == "n" || answer == "no" || answer == "N" || answer.empty()) return IDNO;
      if (answer == "a" || answer == "all" || answer == "A") return IDALL;
    }
  });
  std::string current;
  drive.OnStart = [&](TObject*, TObject*, const AnsiString& target) { current = target; };
  drive.OnProgress = [&](TObject*, TObject* item, const AnsiString& target, int percent, bool& cancel) {
    if (Interrupted()) cancel = true;
    if (!progress.enabled() || percent < 0) return;
    int filled = std::min(std::max(percent, 0), 100) / 5;
    std::string bar = "[" + std::string(size_t(filled), '#') + std::string(size_t(20 - filled), ' ') + "] ";
    progress.Update(bar + std::to_string(percent) + "%  " + fs::path(target).filename().string());
  };
  drive.OnEnd = [&](TObject*, TObject*, const AnsiString&) { progress.Clear(); };
  InstallInterruptHandler([] {});

  bool ok = true;
  std::string destPath = dest.string();
  if (!EndsWith(destPath, "/")) destPath += "/";
  for (size_t i = 1; i + 1 < pos.size() && !Interrupted(); ++i) {
    TObject* item = volume.Resolve(pos[i], error);
    if (!item) {
      std::fprintf(stderr, "moxvolscan save: %s\n", error.c_str());
      ok = false;
      continue;
    }
    int fat = ChooseFATNumber(drive, item, parsed->Get("--fat"), error);
    if (fat < 0) {
      std::fprintf(stderr, "moxvolscan save: %s\n", error.c_str());
      return kExitUsage;
    }
    if (item == drive.DeletedTreeRoot.get()) {
      std::fprintf(stderr, "moxvolscan save: name a file or folder, not the volume root\n");
      ok = false;
      continue;
    }
    if (!drive.SaveItem(item, destPath, uint8_t(fat))) ok = false;
  }
  progress.Clear();
  SetDialogHandler(nullptr);
  if (Interrupted()) {
    std::fprintf(stderr, "moxvolscan save: interrupted\n");
    return kExitFailure;
  }
  return ok && failures == 0 ? kExitOk : kExitFailure;
}

CommandRegistrar registrar({
    "save",
    "save IMAGE|DEVICE PATH... DEST [--fat N] [--overwrite ask|all|none]",
    "copy files and folders, deleted ones too, out of a FAT image or device",
    "Copies each PATH (as 'moxvolscan ls' shows it) into the host folder DEST,\n"
    "made when missing. Folders are copied with what they hold. The copies get\n"
    "the item's last-write time; read-only becomes the file's permissions and\n"
    "the other DOS attributes go to the user.DOSATTRIB extended attribute.\n"
    "Names that are no good on this system ('/', '..', control characters)\n"
    "are made harmless with '_'. A progress bar shows on a terminal.\n\n"
    "  --fat N          0 reads the clusters as contiguous (for deleted files,\n"
    "                   whose chains were cleared); 1 or 2 follows that copy of\n"
    "                   the FAT. Default: 0 for deleted items, 1 for live ones;\n"
    "                   a folder's files all use the folder's number.\n"
    "  --overwrite ask  ask on the terminal before replacing a file or entering\n"
    "                   an existing folder (the default; no answer means no)\n"
    "  --overwrite all  replace without asking\n"
    "  --overwrite none keep every existing file, save only what is new",
    RunSave,
});

}  // namespace
