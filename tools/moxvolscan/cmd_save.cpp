// moxvolscan save: copy files and folders, deleted or not, out of a volume
// image or device into a host folder, with their times and attributes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "CliSupport.h"
#include "Command.h"
#include "Names.h"
#include "Volume.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

void Say(const std::string& text) { std::fprintf(stderr, "moxvolscan save: %s\n", text.c_str()); }

// The argument of a library text made from string id ("...%s..."), or false
// when text is not one; a question's second string is dropped first.
bool ArgumentOf(const std::string& text, int id, std::string& arg) {
  const std::string format = LoadStr(id);
  const size_t at = format.find("%s");
  if (at == std::string::npos) return false;
  const std::string prefix = format.substr(0, at), suffix = format.substr(at + 2);
  std::string body = text.substr(0, text.find("\r\r"));
  if (body.size() < prefix.size() + suffix.size() || body.compare(0, prefix.size(), prefix) != 0 ||
      body.compare(body.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  arg = body.substr(prefix.size(), body.size() - prefix.size() - suffix.size());
  return true;
}

// Where the library's "X:\a\b" lands: DEST as the user gave it, then the
// names below it as ls shows names.
class Destination {
 public:
  Destination(std::string given, std::string host, char letter)
      : given_(std::move(given)), host_(std::move(host)), letter_(letter) {}
  std::string LibraryPath() const { return std::string(1, letter_) + ":\\"; }

  std::string Shown(const std::string& libraryPath) const {
    std::string out = Printable(given_);
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    for (const auto& name : Names(libraryPath)) out += "/" + ShownName(name);
    return out;
  }
  std::string Host(const std::string& libraryPath) const {
    std::string out = host_;
    for (const auto& name : Names(libraryPath)) out += "/" + name;
    return out;
  }
  // Any other library text, its "X:\..." path in host form.
  std::string Rewrite(std::string text) const {
    const size_t at = text.find(LibraryPath());
    if (at == std::string::npos) return Printable(text);
    text.replace(at, 3, given_ + "/");
    for (size_t i = at + given_.size() + 1; i < text.size(); ++i)
      if (text[i] == '\\') text[i] = '/';
    return Printable(text);
  }
  // "DEST/a/b: what", saying so when a link is what stood in the way.
  std::string Trouble(const std::string& libraryPath, const std::string& what) const {
    return Shown(libraryPath) + ": " + what + (LinkInTheWay(libraryPath) ? " (a symbolic link is in the way)" : "");
  }

 private:
  // Whether a symbolic link stands on the way to the path, below DEST.
  bool LinkInTheWay(const std::string& libraryPath) const {
    std::string at = host_;
    struct stat st {};
    for (const auto& name : Names(libraryPath))
      if (::lstat((at += "/" + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
    return false;
  }

  std::vector<std::string> Names(const std::string& libraryPath) const {
    std::vector<std::string> names;
    const std::string rest = libraryPath.size() >= 3 ? libraryPath.substr(3) : "";
    for (size_t pos = 0; pos < rest.size();) {
      const size_t end = std::min(rest.find('\\', pos), rest.size());
      if (end > pos) names.push_back(rest.substr(pos, end - pos));
      pos = end + 1;
    }
    return names;
  }
  std::string given_, host_;
  char letter_;
};

// Every folder below dir gets its children, live and deleted, before the
// save starts: a folder saved from a volume comes out with all it holds.
void BuildTree(FileSystem& fs, TCustomDirectory* dir) {
  std::vector<TCustomDirectory*> todo{dir};
  while (!todo.empty()) {
    TCustomDirectory* d = todo.back();
    todo.pop_back();
    fs.Build(d);
    if (d->Children)
      for (TObject* child : *d->Children)
        if (auto* sub = dynamic_cast<TCustomDirectory*>(child)) todo.push_back(sub);
  }
}

int Ask(const std::string& question) {
  for (;;) {
    std::fprintf(stderr, "%s [y]es, [n]o, [a]ll: ", question.c_str());
    std::fflush(stderr);
    // A line of stdin through stdio: iostreams would cost every command
    // their start-up.
    std::string answer;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') answer += char(c);
    if (c == EOF && answer.empty()) {
      std::fprintf(stderr, "no\n");
      return IDNO;  // nobody to ask: keep what is there
    }
    if (answer == "y" || answer == "yes" || answer == "Y") return IDYES;
    if (answer == "n" || answer == "no" || answer == "N" || answer.empty()) return IDNO;
    if (answer == "a" || answer == "all" || answer == "A") return IDALL;
  }
}

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
  Volume volume;
  std::string error;
  if (!volume.Open(pos[0], error, place)) {
    Say(error);
    return kExitFailure;
  }
  FileSystem& fs = volume.fs();
  if (!fs.SetReadOption(parsed->Get("--fat"), error)) {
    Say(error);
    return kExitUsage;
  }
  bool ok = true;
  std::vector<TObject*> items;
  std::set<std::string> topNames;
  for (size_t i = 1; i + 1 < pos.size(); ++i) {
    TObject* item = volume.Resolve(pos[i], error);
    if (item == fs.Root() && !fs.SavesRoot()) error = Printable(pos[i]) + ": name a file or folder, not the volume root";
    if (!item || (item == fs.Root() && !fs.SavesRoot())) {
      Say(error);
      ok = false;
    } else if (!topNames.insert(fs.SaveName(item)).second) {
      Say(ShownPath(fs, item) + ": not saved: an item named before it is saved as " + ShownName(fs.SaveName(item)));
      ok = false;
    } else {
      items.push_back(item);
    }
  }
  if (items.empty()) return kExitFailure;

  // DEST is the user's: made when missing (and taken away again if nothing
  // came of it), then reached through a letter of its own, so the names
  // below it are volume names and never cross a link.
  const std::string given = pos.back();
  struct stat st {};
  bool created = false;
  if (::stat(given.c_str(), &st) != 0) {
    if (::mkdir(given.c_str(), 0777) != 0) {
      Say(Printable(given) + ": cannot make the destination folder");
      return kExitFailure;
    }
    created = true;
  } else if (!S_ISDIR(st.st_mode)) {
    Say(Printable(given) + ": not a folder");
    return kExitFailure;
  }
  const char letter = BindHostPath(given, error);
  if (!letter) {
    Say(error);
    return kExitFailure;
  }
  const Destination dest(given, GetDriveBinding(letter)->rootDir, letter);
  struct Cleanup {
    char letter;
    bool removeDest;
    std::string given;
    ~Cleanup() {
      UnbindDriveLetter(letter);
      if (removeDest) ::rmdir(given.c_str());  // only when it stayed empty
    }
  } cleanup{letter, false, given};
  volume.UseSectorCache(2048);

  ProgressLine progress;
  int failures = 0;
  TObject* current = nullptr;  // the file being copied
  bool currentFailed = false;
  std::string folderTarget;  // the folder last entered
  SetDialogHandler([&](const DialogRequest& r) -> int {
    progress.Clear();
    std::string arg;
    if (r.buttons & mbAll) {
      // "none" keeps every existing file but still enters existing folders
      // to save what is new in them; any answer but Yes/No/All means "go on".
      const bool folder = ArgumentOf(r.text, 1715, arg);
      if (mode == "all") return IDALL;
      if (mode == "none") return folder ? IDOK : IDNO;
      if (folder) return Ask(dest.Shown(folderTarget) + ": the folder exists; save into it and replace its files?");
      if (ArgumentOf(r.text, 1718, arg)) return Ask(dest.Shown(arg) + ": the file exists; replace it?");
      return Ask(Printable(r.text));
    }
    // A failure the library reports: one line naming the host path.
    ++failures;
    currentFailed = true;
    if (ArgumentOf(r.text, 1711, arg)) {
      Say(dest.Trouble(arg, "cannot write the file") + "; not saved");
    } else if (ArgumentOf(r.text, 1720, arg)) {
      Say(dest.Trouble(arg, "cannot make the folder"));
    } else if (current && (r.text.rfind(LoadStr(1712).substr(0, 20), 0) == 0)) {
      Say(ShownPath(fs, current) + ": cannot read the file from the volume (" + fs.ShortReadReason(current) +
          "); not saved");
    } else {
      Say(dest.Rewrite(r.text));
    }
    return IDOK;
  });
  TCustomDrive& drive = volume.drive();
  // A name that had to change to stay apart from a sibling's is told.
  auto tellRenamed = [&](TObject* item, const std::string& target) {
    const std::string leaf = target.substr(target.rfind('\\') + 1), plain = fs.SaveName(item);
    if (leaf != plain) Say(ShownPath(fs, item) + ": saved as " + dest.Shown(target) + " (another item took its name)");
  };
  drive.OnStart = [&](TObject*, TObject* item, const AnsiString& target) {
    current = item;
    currentFailed = false;
    tellRenamed(item, target);
  };
  drive.OnProgress = [&](TObject*, TObject* item, const AnsiString& target, int percent, bool& cancel) {
    if (Interrupted()) cancel = true;
    if (percent < 0) {
      folderTarget = target;
      tellRenamed(item, target);
      return;
    }
    if (!progress.enabled()) return;
    const int filled = std::min(std::max(percent, 0), 100) / 5;
    const std::string bar = "[" + std::string(size_t(filled), '#') + std::string(size_t(20 - filled), ' ') + "] ";
    progress.Update(bar + std::to_string(percent) + "%  " + ShownName(target.substr(target.rfind('\\') + 1)));
  };
  // A copy that came out shorter than its file is named with what was read;
  // one that did not come out at all without a word from the library too.
  drive.OnEnd = [&](TObject*, TObject* item, const AnsiString& target) {
    progress.Clear();
    struct stat saved {};
    if (currentFailed || Interrupted()) return;
    if (::lstat(dest.Host(target).c_str(), &saved) != 0) {
      Say(dest.Trouble(target, "cannot write the file") + "; not saved");
      ++failures;
    } else if (uint64_t(saved.st_size) < SizeOf(item)) {
      Say(ShownPath(fs, item) + ": " +
          ShortReadText(uint64_t(saved.st_size), SizeOf(item), fs.ShortReadReason(item)) + "; saved as far as it goes");
      ++failures;
    }
  };
  InstallInterruptHandler([] {});

  for (TObject* item : items) {
    if (Interrupted()) break;
    if (auto* dir = dynamic_cast<TCustomDirectory*>(item)) BuildTree(fs, dir);
    if (!fs.Save(item, dest.LibraryPath())) ok = false;
  }
  progress.Clear();
  SetDialogHandler(nullptr);
  drive.OnStart = nullptr;
  drive.OnProgress = nullptr;
  drive.OnEnd = nullptr;
  const bool success = ok && failures == 0 && !Interrupted();
  cleanup.removeDest = created && !success;
  if (Interrupted()) Say("interrupted");
  return success ? kExitOk : kExitFailure;
}

CommandRegistrar registrar({
    "save",
    "save IMAGE|DEVICE PATH|--mft N|--entry C:I ... DEST [--partition N | --sector S] [--fat N] [--overwrite ask|all|none] [--no-posix-names]",
    "copy files and folders, deleted ones too, out of a volume image or device",
    "Copies each PATH (as 'moxvolscan ls' shows it) into the host folder DEST,\n"
    "made when missing. Folders are copied with all they hold, live and\n"
    "deleted. The copies get the item's last-write time; read-only becomes the\n"
    "file's permissions and the other DOS attributes go to the user.DOSATTRIB\n"
    "extended attribute. Names that are no good on this system ('/', '..',\n"
    "control characters) are made harmless with '_'; names alike after that\n"
    "get ' (2)', ' (3)' ... and are told. Each file is written under a\n"
    "temporary name and renamed when complete. Nothing is written through a\n"
    "symbolic link inside DEST; such an item is named and not saved. A file\n"
    "whose data ends early is saved as far as it goes and named with the bytes\n"
    "read. The status is 1 when anything was not saved whole. On NTFS,\n"
    "--mft N names the item of MFT record N (a deleted one first), and files of\n"
    "4 GiB and more are saved whole. On FAT, --entry C:I names an item by its\n"
    "directory entry (see 'moxvolscan cat --help'), and PATH '/' is the whole\n"
    "volume, saved into DEST itself.\n\n"
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
