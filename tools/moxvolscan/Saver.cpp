#include "Saver.h"

#include <algorithm>
#include <cstdio>

#include "HostSystem.h"
#include "ItemFacts.h"
#include "Names.h"
#include "SaveSteps.h"
#include "Volumes.h"
#include "WinApi.h"

void SayAs(const char* command, const std::string& text) {
  std::fprintf(stderr, "moxvolscan %s: %s\n", command, text.c_str());
}

// ---- Destination --------------------------------------------------------------------------

std::string Destination::Shown(const std::string& libraryPath) const {
  std::string out = Printable(given_);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  for (const auto& name : Names(libraryPath)) out += "/" + ShownName(name);
  return out;
}

std::string Destination::Trouble(const std::string& libraryPath, const std::string& what) const {
  return Shown(libraryPath) + ": " + what + (LinkInTheWay(libraryPath) ? " (a symbolic link is in the way)" : "");
}

// Whether a symbolic link stands on the way to the path, below DEST.
bool Destination::LinkInTheWay(const std::string& libraryPath) const {
  std::string at = host_;
  for (const auto& name : Names(libraryPath))
    if (IsHostLink(at += "/" + name)) return true;
  return false;
}

std::vector<std::string> Destination::Names(const std::string& libraryPath) const {
  std::vector<std::string> names;
  const std::string rest = libraryPath.size() >= 3 ? libraryPath.substr(3) : "";
  for (size_t pos = 0; pos < rest.size();) {
    const size_t end = std::min(rest.find('\\', pos), rest.size());
    if (end > pos) names.push_back(rest.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

// ---- DestFolder ---------------------------------------------------------------------------

bool DestFolder::Open(const std::string& given) {
  given_ = given;
  const HostPathKind givenKind = HostPathKindOf(given);
  if (givenKind == HostPathKind::Missing) {
    if (!MakeHostFolder(given)) {
      SayAs(command_, Printable(given) + ": cannot make the destination folder");
      return false;
    }
    created_ = removeIfEmpty_ = true;
  } else if (givenKind != HostPathKind::Folder) {
    SayAs(command_, Printable(given) + ": not a folder");
    return false;
  }
  std::string error;
  letter_ = BindHostPath(given, error);
  if (!letter_) {
    SayAs(command_, error);
    return false;
  }
  dest_ = std::make_unique<Destination>(given, GetDriveBinding(letter_)->rootDir, letter_);
  return true;
}

DestFolder::~DestFolder() {
  if (letter_) UnbindDriveLetter(letter_);
  if (removeIfEmpty_) RemoveHostFolder(given_);  // only when it stayed empty
}

// ---- Tally --------------------------------------------------------------------------------

void Tally::Add(const Tally& t) {
  saved += t.saved;
  bytes += t.bytes;
  shortCopies += t.shortCopies;
  reused += t.reused;
  skipped += t.skipped;
  failed += t.failed;
}

std::string Tally::Text() const {
  return std::to_string(saved) + " saved (" + std::to_string(bytes) + " bytes), " + std::to_string(shortCopies) +
         " short, " + std::to_string(reused) + " reused, " + std::to_string(skipped) + " skipped, " +
         std::to_string(failed) + " failed";
}

// ---- Saver --------------------------------------------------------------------------------

namespace {

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
}  // namespace

Saver::Saver(const char* command, FileSystem& fs, const Destination& dest, const std::string& mode)
    : command_(command), fs_(fs), drive_(fs.drive()), dest_(dest), mode_(mode), buffer_(1 << 20) {}

Saver::~Saver() { SetDialogHandler(nullptr); }

void Saver::Run(const std::vector<TObject*>& items) {
  SetDialogHandler([this](const DialogRequest& r) { return Dialog(r); });
  SaveAll(items, dest_.LibraryPath(), 0);
  progress_.Clear();
}

// What a folder holds, live and deleted; the root's are what saving the
// whole volume saves.
std::vector<TObject*> Saver::ChildrenOf(TCustomDirectory* d) {
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

// Where a live folder's deleted items were found, by its record; null on
// FAT, whose folders hold their deleted items themselves.
TCustomDirectory* Saver::DeletedCounterpart(TCustomDirectory* d) {
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
void Saver::SaveAll(std::vector<TObject*> items, const std::string& into, int depth) {
  if (keep_) items.erase(std::remove_if(items.begin(), items.end(), [&](TObject* item) { return !keep_->count(item); }),
                        items.end());
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

void Saver::Begin(const std::string& target, TObject* item) {
  target_ = target;
  failed_ = false;
  if (target.substr(target.rfind('\\') + 1) != fs_.SaveName(item))
    Say(ShownPath(fs_, item) + ": saved as " + dest_.Shown(target) + " (another item took its name)");
}

void Saver::SaveFolder(TCustomDirectory* d, const std::string& into, const std::string& name, int depth) {
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
  Begin(target, d);
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

void Saver::SaveFile(TCustomFile* f, const std::string& into, const std::string& name) {
  const std::string target = into + name;
  Begin(target, f);
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

void Saver::ShowProgress(uint64_t total, uint64_t size, const std::string& name) {
  if (!progress_.enabled()) return;
  const int percent = int(size ? total * 100 / size : 100), filled = percent / 5;
  const std::string bar = "[" + std::string(size_t(filled), '#') + std::string(size_t(20 - filled), ' ') + "] ";
  progress_.Update(bar + std::to_string(percent) + "%  " + ShownName(name));
}

// The library's questions and failures, told by the number of the string
// they come with and its arguments; the texts are the host's to word.
int Saver::Dialog(const DialogRequest& r) {
  progress_.Clear();
  if (!r.caption.empty()) {  // a message box of the device layer, not of a save step
    Say(Printable(r.text));
    return IDABORT;
  }
  const SaveReport report = ReadSaveReport(r);
  using Kind = SaveReport::Kind;
  if (r.buttons & mbAll) {
    const bool folder = report.kind == Kind::FolderExists;
    // "none" keeps every existing file but still enters existing folders
    // to save what is new in them; any answer but Yes/No/All means "go on".
    if (mode_ == "all") return IDALL;
    if (mode_ == "none") return folder ? IDOK : IDNO;
    // A folder's question names it by its volume name: its target is the step's.
    const std::string& path = folder || report.path.empty() ? target_ : report.path;
    return Ask(dest_.Shown(path) +
               (folder ? ": the folder exists; save into it and replace its files?" : ": the file exists; replace it?"));
  }
  failed_ = true;
  switch (report.kind) {
    case Kind::WriteFailed:
      Say(dest_.Trouble(report.path, "cannot write the file") + "; not saved");
      break;
    case Kind::FolderFailed:
      Say(dest_.Trouble(report.path, "cannot make the folder") + "; not saved, nor what it holds");
      break;
    case Kind::NoRoom:
      Say(dest_.Shown(target_) + ": not enough free space in " + dest_.Shown(report.path) + "; not saved");
      break;
    default:
      Say(Printable(r.text));
      break;
  }
  return IDOK;
}
