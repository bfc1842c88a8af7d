// moxvolscan save: copy files and folders, deleted or not, out of a volume
// image or device into a host folder, with their times and attributes.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "CliSupport.h"
#include "Command.h"
#include "Names.h"
#include "SaveSteps.h"
#include "Volume.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

void Say(const std::string& text) { std::fprintf(stderr, "moxvolscan save: %s\n", text.c_str()); }

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
    for (const auto& name : Names(libraryPath))
      if (IsHostLink(at += "/" + name)) return true;
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

// What one save did, told in its last line.
struct Tally {
  uint64_t saved = 0, bytes = 0, shortCopies = 0, reused = 0, skipped = 0, failed = 0;
};

// The walk of a save. The program walks the tree itself instead of handing
// it to the drive's SaveItem: on NTFS a folder's deleted items hang in a
// tree of their own that SaveItem never visits, names alike once made safe
// need one rule on both file systems, a file that fails must not end the
// save of its folder, and a short copy is kept.
class Saver {
 public:
  Saver(FileSystem& fs, const Destination& dest, const std::string& mode)
      : fs_(fs), drive_(fs.drive()), dest_(dest), mode_(mode), buffer_(1 << 20) {}
  ~Saver() { SetDialogHandler(nullptr); }

  Tally tally;

  void Run(const std::vector<TObject*>& items) {
    SetDialogHandler([this](const DialogRequest& r) { return Dialog(r); });
    SaveAll(items, dest_.LibraryPath(), 0);
    progress_.Clear();
  }

  // What a folder holds, live and deleted; the root's are what saving the
  // whole volume saves.
  std::vector<TObject*> ChildrenOf(TCustomDirectory* d) {
    std::vector<TObject*> out;
    fs_.Build(d);
    if (d->Children) out.assign(d->Children->begin(), d->Children->end());
    TCustomDirectory* deleted = DeletedCounterpart(d);
    if (!deleted || !deleted->Children) return out;
    std::set<int64_t> live;
    for (TObject* child : out)
      if (ItemAs<TCustomDirectory>(child)) live.insert(fs_.RecordOf(child));
    for (TObject* child : *deleted->Children) {
      // A folder standing for a live one is walked as that one.
      if (ItemAs<TCustomDirectory>(child) && !IsDeletedItem(child) && live.count(fs_.RecordOf(child))) continue;
      out.push_back(child);
    }
    return out;
  }

 private:
  enum class Step { None, File, Folder };

  // Where a live folder's deleted items were found, by its record; null on
  // FAT, whose folders hold their deleted items themselves.
  TCustomDirectory* DeletedCounterpart(TCustomDirectory* d) {
    TCustomDirectory* root = fs_.DeletedRoot();
    if (!root) return nullptr;
    if (d == fs_.Root()) return root;
    if (IsDeletedItem(d) || IsPathFolder(fs_, d)) return nullptr;
    if (pathFolders_.empty()) {
      std::vector<TCustomDirectory*> todo{root};
      while (!todo.empty()) {
        TCustomDirectory* p = todo.back();
        todo.pop_back();
        if (!p->Children) continue;
        for (TObject* child : *p->Children)
          if (auto* sub = ItemAs<TCustomDirectory>(child); sub && !IsDeletedItem(sub) &&
                                                           pathFolders_.emplace(fs_.RecordOf(sub), sub).second)
            todo.push_back(sub);
      }
      pathFolders_.emplace(-1, nullptr);  // walked once, even when it found none
    }
    const auto at = pathFolders_.find(fs_.RecordOf(d));
    return at == pathFolders_.end() ? nullptr : at->second;
  }

  // Items into the library folder path into, each under a name of its own:
  // live items keep theirs, a deleted one alike gets a number.
  void SaveAll(std::vector<TObject*> items, const std::string& into, int depth) {
    std::stable_partition(items.begin(), items.end(), [](TObject* item) { return !IsDeletedItem(item); });
    std::set<std::string> used;
    for (TObject* item : items) {
      if (Interrupted()) return;
      const std::string name = savesteps::DistinctName(fs_.SaveName(item), used);
      used.insert(name);
      if (auto* f = ItemAs<TCustomFile>(item))
        SaveFile(f, into, name);
      else if (auto* d = ItemAs<TCustomDirectory>(item))
        SaveFolder(d, into, name, depth);
    }
  }

  void Begin(Step step, const std::string& target, TObject* item) {
    step_ = step;
    target_ = target;
    failed_ = false;
    if (target.substr(target.rfind('\\') + 1) != fs_.SaveName(item))
      Say(ShownPath(fs_, item) + ": saved as " + dest_.Shown(target) + " (another item took its name)");
  }

  void SaveFolder(TCustomDirectory* d, const std::string& into, const std::string& name, int depth) {
    if (depth >= kMaxPathDepth) {
      Say(ShownPath(fs_, d) + ": nested too deep; not saved");
      ++tally.failed;
      return;
    }
    // A live folder that a damaged index lists again (inside itself, or
    // twice at every level) is saved once.
    const int64_t record = IsDeletedItem(d) || IsPathFolder(fs_, d) ? -1 : fs_.RecordOf(d);
    if (record >= 0 && !liveFolders_.insert(record).second) {
      Say(ShownPath(fs_, d) + ": not saved again: the volume lists this folder more than once");
      return;
    }
    const std::string target = into + name;
    Begin(Step::Folder, target, d);
    const bool enter = savesteps::EnterFolder(drive_, d, target, fs_.NameOf(d), overwriteAllDirs_, overwriteFiles_);
    if (failed_) {
      ++tally.failed;  // with all it holds: named once
      return;
    }
    if (!enter) {
      ++tally.skipped;
      return;
    }
    SaveAll(ChildrenOf(d), target + "\\", depth + 1);
  }

  void SaveFile(TCustomFile* f, const std::string& into, const std::string& name) {
    const std::string target = into + name;
    Begin(Step::File, target, f);
    const uint64_t size = SizeOf(f);
    const int go = savesteps::BeforeFile(target, into, fs_.NameOf(f), int64_t(size), overwriteFiles_);
    if (go <= 0) {
      ++(go < 0 || failed_ ? tally.failed : tally.skipped);
      return;
    }
    auto reader = fs_.Open(f);
    uint64_t total = 0;
    bool nothing = false;
    // Read as far as the data goes: what came is kept and the file named.
    const auto copy = [&](HANDLE h) {
      if (h == INVALID_HANDLE_VALUE) {
        savesteps::WriteFailed(target);
        return false;
      }
      while (reader && total < size && !Interrupted()) {
        const size_t n = reader->Read(buffer_.data(), size_t(std::min<uint64_t>(buffer_.size(), size - total)));
        if (n == 0) break;
        DWORD written = 0;
        if (!WriteFile(h, buffer_.data(), DWORD(n), &written, nullptr) || written != n) {
          savesteps::WriteFailed(target);
          return false;
        }
        total += n;
        ShowProgress(total, size, name);
      }
      nothing = total == 0 && size > 0;  // an empty file would pass for a copy
      return !Interrupted() && !nothing;
    };
    // The instant the volume records where it keeps one, else its wall-clock time.
    FILETIME written{};
    const bool saved = fs_.WriteInstantOf(f, written)
                           ? savesteps::SaveThroughTemporary(target, written, fs_.AttributesOf(f), copy)
                           : savesteps::SaveThroughTemporary(target, f->Date, f->Time, fs_.AttributesOf(f), copy);
    progress_.Clear();
    if (nothing && !Interrupted())
      Say(ShownPath(fs_, f) + ": " + ShortReadText(0, size, fs_.ShortReadReason(f)) + "; not saved");
    if (!saved) {
      if (!Interrupted()) ++tally.failed;
      return;
    }
    ++tally.saved;
    tally.bytes += total;
    if (total < size) {
      Say(ShownPath(fs_, f) + ": " + ShortReadText(total, size, fs_.ShortReadReason(f)) + "; saved as far as it goes");
      ++tally.shortCopies;
    } else if (const std::string damage = fs_.SizeDamage(f); !damage.empty()) {
      Say(ShownPath(fs_, f) + ": " + damage + "; saved as far as they go");
      ++tally.shortCopies;
    }
    if (f->Deleted && f->DeletedCondition == 2) {
      Say(ShownPath(fs_, f) + ": saved, but its space was reused after it was deleted: the copy may hold other data");
      ++tally.reused;
    }
  }

  void ShowProgress(uint64_t total, uint64_t size, const std::string& name) {
    if (!progress_.enabled()) return;
    const int percent = int(size ? total * 100 / size : 100), filled = percent / 5;
    const std::string bar = "[" + std::string(size_t(filled), '#') + std::string(size_t(20 - filled), ' ') + "] ";
    progress_.Update(bar + std::to_string(percent) + "%  " + ShownName(name));
  }

  // The library's questions and failures, told by the step they come in:
  // a file's failure is its write, a folder's the making of it.
  int Dialog(const DialogRequest& r) {
    progress_.Clear();
    if (!r.caption.empty()) {  // a message box of the device layer, not of a save step
      Say(Printable(r.text));
      return IDABORT;
    }
    if (r.buttons & mbAll) {
      // "none" keeps every existing file but still enters existing folders
      // to save what is new in them; any answer but Yes/No/All means "go on".
      if (mode_ == "all") return IDALL;
      if (mode_ == "none") return step_ == Step::Folder ? IDOK : IDNO;
      return Ask(dest_.Shown(target_) + (step_ == Step::Folder
                                             ? ": the folder exists; save into it and replace its files?"
                                             : ": the file exists; replace it?"));
    }
    failed_ = true;
    if (r.type == TMsgDlgType::mtError || step_ == Step::None)
      Say(dest_.Rewrite(r.text));
    else if (step_ == Step::File)
      Say(dest_.Trouble(target_, "cannot write the file") + "; not saved");
    else
      Say(dest_.Trouble(target_, "cannot make the folder") + "; not saved, nor what it holds");
    return IDOK;
  }

  FileSystem& fs_;
  TCustomDrive& drive_;
  const Destination& dest_;
  const std::string mode_;
  std::vector<char> buffer_;
  ProgressLine progress_;
  bool overwriteFiles_ = false, overwriteAllDirs_ = false;
  Step step_ = Step::None;
  std::string target_;  // the library path of the step
  bool failed_ = false;  // the step failed, and said so
  std::map<int64_t, TCustomDirectory*> pathFolders_;
  std::set<int64_t> liveFolders_;
};

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
    Say(std::to_string(tally.saved) + " saved (" + std::to_string(tally.bytes) + " bytes), " +
        std::to_string(tally.shortCopies) + " short, " + std::to_string(tally.reused) + " reused, " +
        std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.failed) + " failed");
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

  // DEST is the user's: made when missing (and taken away again if nothing
  // came of it), then reached through a letter of its own, so the names
  // below it are volume names and never cross a link.
  const std::string given = pos.back();
  const HostPathKind givenKind = HostPathKindOf(given);
  bool created = false;
  if (givenKind == HostPathKind::Missing) {
    if (!MakeHostFolder(given)) {
      Say(Printable(given) + ": cannot make the destination folder");
      return finish(kExitFailure);
    }
    created = true;
  } else if (givenKind != HostPathKind::Folder) {
    Say(Printable(given) + ": not a folder");
    return finish(kExitFailure);
  }
  const char letter = BindHostPath(given, error);
  if (!letter) {
    Say(error);
    return finish(kExitFailure);
  }
  const Destination dest(given, GetDriveBinding(letter)->rootDir, letter);
  struct Cleanup {
    char letter;
    bool removeDest;
    std::string given;
    ~Cleanup() {
      UnbindDriveLetter(letter);
      if (removeDest) RemoveHostFolder(given);  // only when it stayed empty
    }
  } cleanup{letter, false, given};
  volume.UseSectorCache(2048);
  InstallInterruptHandler([] {});

  {
    Saver saver(fs, dest, mode);
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
  cleanup.removeDest = created && !success;
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
