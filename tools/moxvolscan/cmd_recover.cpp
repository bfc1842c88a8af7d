// moxvolscan recover: every deleted file and folder of a volume (or of every
// volume of a disk) saved into a host folder in the folders it was in, with
// the filters a person reaches for.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <unordered_set>

#include "CliSupport.h"
#include "Command.h"
#include "Names.h"
#include "Partitions.h"
#include "Saver.h"
#include "ItemFacts.h"
#include "Volume.h"
#include "Volumes.h"

namespace {

void Say(const std::string& text) { SayAs("recover", text); }

// ---- Filters ------------------------------------------------------------------------------

// Letters compared as the file systems compare them: without regard to case
// (the scripts most names are written in).
char32_t Fold(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

std::u32string Folded(const std::string& utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const int n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    char32_t c = n == 1 ? b : b & (0x3F >> (n - 1));
    for (int k = 1; k < n && i + size_t(k) < utf8.size(); ++k) c = (c << 6) | (utf8[i + size_t(k)] & 0x3F);
    out += Fold(c);
    i += size_t(n);
  }
  return out;
}

// A glob over a whole path: '?' one character and '*' any run of them, both
// within one name; '**' any run across names, and "**/" also no folder at all.
class PathPattern {
 public:
  explicit PathPattern(const std::string& pattern) {
    size_t from = 0;
    while (from < pattern.size() && (pattern[from] == '/' || pattern[from] == '\\')) ++from;
    pattern_ = Folded(pattern.substr(from));
    for (char32_t& c : pattern_)
      if (c == '\\') c = '/';
  }

  // Dynamic programming over (pattern, path) positions: no backtracking, so
  // no pattern can make a long path slow.
  bool Matches(const std::u32string& path) const {
    const size_t m = pattern_.size(), n = path.size();
    // can[i][j]: pattern_[i..] matches path[j..]; kept row by row from the end.
    std::vector<std::vector<char>> can(m + 1, std::vector<char>(n + 1, 0));
    can[m][n] = 1;
    for (size_t i = m; i-- > 0;) {
      const char32_t p = pattern_[i];
      const bool twoStars = p == '*' && i + 1 < m && pattern_[i + 1] == '*';
      for (size_t j = n + 1; j-- > 0;) {
        bool ok = false;
        if (twoStars) {
          const size_t next = i + 2 < m && pattern_[i + 2] == '/' ? i + 3 : i + 2;
          ok = can[i + 2][j] || (next != i + 2 && can[next][j]) || (j < n && can[i][j + 1]);
        } else if (p == '*' && (i == 0 || pattern_[i - 1] != '*')) {
          ok = can[i + 1][j] || (j < n && path[j] != '/' && can[i][j + 1]);
        } else if (p == '*') {
          ok = can[i + 1][j];  // the second star of a pair, handled with the first
        } else if (j < n) {
          ok = (p == '?' ? path[j] != '/' : p == path[j]) && can[i + 1][j + 1];
        }
        can[i][j] = ok;
      }
    }
    return can[0][0];
  }

 private:
  std::u32string pattern_;
};

// "100", "64K", "1.5M", "2G" (binary units); false when it is none of these.
bool ParseSize(const std::string& text, uint64_t& bytes) {
  size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (...) {
    return false;
  }
  if (value < 0 || text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  std::string unit = text.substr(used);
  for (char& c : unit) c = char(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() > 1 && unit.back() == 'B') unit.pop_back();
  if (unit.size() > 1 && unit.back() == 'I') unit.pop_back();
  static const std::string units = "KMGT";
  double scale = 1;
  if (unit.size() == 1 && units.find(unit[0]) != std::string::npos)
    for (size_t k = 0; k <= units.find(unit[0]); ++k) scale *= 1024;
  else if (!unit.empty() && unit != "B")
    return false;
  if (value * scale > 1.8e19) return false;
  bytes = uint64_t(value * scale + 0.5);
  return true;
}

// "2024-05-01", "2024-05-01T12:30", "2024-05-01 12:30:15.5Z" in the form ls
// shows times, padded to 100 ns so that texts compare as times do.
bool ParseDate(const std::string& text, std::string& when) {
  std::string t = text;
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
  const auto digits = [&](size_t at, size_t n) {
    if (at + n > t.size()) return false;
    for (size_t k = at; k < at + n; ++k)
      if (!std::isdigit(static_cast<unsigned char>(t[k]))) return false;
    return true;
  };
  if (!digits(0, 4) || t.size() < 10 || t[4] != '-' || !digits(5, 2) || t[7] != '-' || !digits(8, 2)) return false;
  when = t.substr(0, 10) + "T00:00:00.0000000";
  if (t.size() == 10) return true;
  if ((t[10] != 'T' && t[10] != ' ') || !digits(11, 2) || t.size() < 16 || t[13] != ':' || !digits(14, 2))
    return false;
  when.replace(11, 5, t.substr(11, 5));
  if (t.size() == 16) return true;
  if (t[16] != ':' || !digits(17, 2)) return false;
  when.replace(17, 2, t.substr(17, 2));
  if (t.size() == 19) return true;
  if (t[19] != '.' || t.size() > 27 || !digits(20, t.size() - 20)) return false;
  when.replace(20, t.size() - 20, t.substr(20));
  return true;
}

// A listed time ("2023-08-14T10:30:00", "...:00.1234567Z") in ParseDate's form.
std::string Comparable(const std::string& mtime) {
  std::string t = mtime;
  if (!t.empty() && t.back() == 'Z') t.pop_back();
  if (t.size() == 19) t += '.';
  t.resize(std::max<size_t>(t.size(), 27), '0');
  return t;
}

// How sure a deleted item's data is: the order --min-verdict goes by.
enum Verdict { kReused = 0, kUnknown = 1, kIntact = 2 };
Verdict VerdictOf(uint8_t condition) { return condition == 1 ? kIntact : condition == 2 ? kReused : kUnknown; }
const char* VerdictName(const ItemFacts& f) {
  if (!f.deleted) return "live";
  static const char* names[] = {"reused", "unknown", "intact"};
  return names[VerdictOf(f.condition)];
}

struct Filters {
  std::vector<PathPattern> patterns;
  std::optional<uint64_t> minSize, maxSize;
  std::string after, before;  // ParseDate's form, "" for none
  Verdict minVerdict = kUnknown;
  bool live = false;

  bool PathAndTime(const ItemFacts& f) const {
    if (!patterns.empty()) {
      const std::u32string path = Folded(f.path);
      if (std::none_of(patterns.begin(), patterns.end(), [&](const PathPattern& p) { return p.Matches(path); }))
        return false;
    }
    if (after.empty() && before.empty()) return true;
    if (f.mtime.empty()) return false;  // a time the volume does not give is no match
    const std::string t = Comparable(f.mtime);
    return (after.empty() || t >= after) && (before.empty() || t < before);
  }
  bool File(const ItemFacts& f) const {
    if (f.deleted && VerdictOf(f.condition) < minVerdict) return false;
    if ((minSize && f.size < *minSize) || (maxSize && f.size > *maxSize)) return false;
    return PathAndTime(f);
  }
  // A folder is made for what is saved in it; on its own (empty) only when
  // it matches by itself and no size was asked for, which it has none of.
  bool FolderAlone(const ItemFacts& f) const { return !minSize && !maxSize && PathAndTime(f); }
};

// ---- The walk -----------------------------------------------------------------------------

// What the filters chose on one volume.
struct Choice {
  std::unordered_set<TObject*> keep;  // the items to save and the folders on their way
  uint64_t files = 0, bytes = 0, reused = 0, leftOut = 0, leftOutReused = 0;
};

class Chooser {
 public:
  Chooser(FileSystem& fs, Saver& saver, const Filters& filters, bool dryRun, std::string prefix)
      : fs_(fs), saver_(saver), filters_(filters), dryRun_(dryRun), prefix_(std::move(prefix)), describer_(fs) {}

  Choice choice;

  void Walk() { Visit(fs_.Root(), 0); }
  // What the dry run has yet to write.
  void Flush() {
    std::fwrite(out_.data(), 1, out_.size(), stdout);
    out_.clear();
  }

 private:
  // Whether anything in d is kept.
  bool Visit(TCustomDirectory* d, int depth) {
    if (depth >= kMaxPathDepth || !visited_.insert(d).second) return false;
    bool any = false;
    for (TObject* child : saver_.ChildrenOf(d)) {
      if (Interrupted()) break;
      // Most files of a volume are live: left out before they are described.
      if (!filters_.live && ItemAs<TCustomFile>(child) && !IsDeletedItem(child)) continue;
      describer_.Describe(child, facts_);
      const bool wanted = facts_.deleted || filters_.live;
      if (auto* sub = ItemAs<TCustomDirectory>(child)) {
        const bool alone = wanted && filters_.FolderAlone(facts_);
        if (alone) Show();  // before what it holds
        if (Visit(sub, depth + 1) || alone) {
          choice.keep.insert(child);
          any = true;
        }
        continue;
      }
      if (!wanted) continue;
      if (!filters_.File(facts_)) {
        ++choice.leftOut;
        if (facts_.deleted && VerdictOf(facts_.condition) == kReused) ++choice.leftOutReused;
        continue;
      }
      choice.keep.insert(child);
      any = true;
      ++choice.files;
      choice.bytes += facts_.size;
      if (facts_.deleted && VerdictOf(facts_.condition) == kReused) ++choice.reused;
      Show();
    }
    return any;
  }

  // The dry run's line for the item described last, in big writes.
  void Show() {
    if (!dryRun_) return;
    char head[64];
    std::snprintf(head, sizeof head, "%-4s %12llu  %-7s  ", facts_.dir ? "dir" : "file",
                  static_cast<unsigned long long>(facts_.size), VerdictName(facts_));
    (out_ += head).append(prefix_).append(facts_.path) += '\n';
    if (out_.size() >= 65536) Flush();
  }

  FileSystem& fs_;
  Saver& saver_;
  const Filters& filters_;
  const bool dryRun_;
  const std::string prefix_;
  ItemDescriber describer_;
  ItemFacts facts_;
  std::unordered_set<TCustomDirectory*> visited_;
  std::string out_;
};

// ---- The command --------------------------------------------------------------------------

struct Totals {
  Tally tally;
  uint64_t files = 0, bytes = 0, reused = 0, leftOut = 0, leftOutReused = 0;
  bool ok = true;
};

struct Options {
  Filters filters;
  bool dryRun = false;
  std::string mode, fat;
};

// One volume into dest (its folder made only when something is saved);
// the shown paths begin with prefix.
void RecoverVolume(const std::string& image, const DiskPlace& place, const std::string& dest,
                   const std::string& prefix, const Options& o, Totals& totals) {
  Volume volume;
  std::string error;
  if (!volume.Open(image, error, place)) {
    Say(error);
    totals.ok = false;
    return;
  }
  FileSystem& fs = volume.fs();
  if (!fs.SetReadOption(o.fat, error)) {
    Say(error);
    totals.ok = false;
    return;
  }
  // No sector cache: a recovery reads scattered records and small files, and
  // a cache line filled for each copies far more than it serves.
  // The walk needs a saver for the folders' children; its destination is
  // bound only when there is something to save.
  const Destination none("", "", 'A');
  std::unique_ptr<Saver> walker = std::make_unique<Saver>("recover", fs, none, o.mode);
  // What no folder reaches joins the root's children, found once the live
  // tree is whole (the walk builds all of it anyway).
  // Without --live the live files are walked past: their room is given back
  // as soon as they are counted, a million files' worth on a big volume.
  if (!o.filters.live) fs.FreeFilesOnceListed();
  fs.Orphans(true);
  Chooser chooser(fs, *walker, o.filters, o.dryRun, prefix);
  chooser.Walk();
  Choice& c = chooser.choice;
  totals.files += c.files;
  totals.bytes += c.bytes;
  totals.reused += c.reused;
  totals.leftOut += c.leftOut;
  totals.leftOutReused += c.leftOutReused;
  chooser.Flush();
  if (!o.dryRun && !c.keep.empty() && !Interrupted()) {
    DestFolder folder("recover");
    if (!folder.Open(dest)) {
      totals.ok = false;
      return;
    }
    Saver saver("recover", fs, folder.dest(), o.mode);
    saver.SaveOnly(&c.keep);
    std::vector<TObject*> top;
    for (TObject* child : walker->ChildrenOf(fs.Root()))
      if (c.keep.count(child)) top.push_back(child);
    walker.reset();
    saver.Run(top);
    totals.tally.Add(saver.tally);
    folder.Succeeded(saver.tally.saved > 0);
  }
  if (!Interrupted() && volume.TellIncomplete("recover")) totals.ok = false;
  if (!volume.Truncation().empty()) totals.ok = false;
  volume.KeepTreeUntilExit();
}

// Every --match, which may come more than once, taken out of args.
std::vector<std::string> TakePatterns(std::vector<std::string>& args) {
  std::vector<std::string> patterns, rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--match" && i + 1 < args.size()) {
      patterns.push_back(args[++i]);
    } else if (args[i].rfind("--match=", 0) == 0) {
      patterns.push_back(args[i].substr(8));
    } else {
      rest.push_back(args[i]);
    }
  }
  args = rest;
  return patterns;
}

bool ReadOptions(const ParsedArgs& parsed, const std::vector<std::string>& patterns, Options& o) {
  Filters& f = o.filters;
  for (const std::string& p : patterns) f.patterns.emplace_back(p);
  for (const char* name : {"--min-size", "--max-size"}) {
    if (!parsed.Has(name)) continue;
    uint64_t bytes = 0;
    if (!ParseSize(parsed.Get(name), bytes)) {
      Say(std::string(name) + " takes a size in bytes, or with K, M, G (1024-based): 100, 64K, 1.5M");
      return false;
    }
    (std::string(name) == "--min-size" ? f.minSize : f.maxSize) = bytes;
  }
  for (const char* name : {"--after", "--before"}) {
    if (!parsed.Has(name)) continue;
    std::string& when = std::string(name) == "--after" ? f.after : f.before;
    if (!ParseDate(parsed.Get(name), when)) {
      Say(std::string(name) + " takes a date as ls shows times: 2024-05-01 or 2024-05-01T12:30:00");
      return false;
    }
  }
  const std::string verdict = parsed.Get("--min-verdict", parsed.Has("--all-verdicts") ? "reused" : "unknown");
  if (verdict == "intact") f.minVerdict = kIntact;
  else if (verdict == "unknown") f.minVerdict = kUnknown;
  else if (verdict == "reused") f.minVerdict = kReused;
  else {
    Say("--min-verdict is intact, unknown or reused");
    return false;
  }
  if (parsed.Has("--all-verdicts") && parsed.Has("--min-verdict") && verdict != "reused") {
    Say("--all-verdicts and --min-verdict " + verdict + " exclude each other");
    return false;
  }
  f.live = parsed.Has("--live");
  o.dryRun = parsed.Has("--dry-run");
  o.mode = parsed.Get("--overwrite", "ask");
  o.fat = parsed.Get("--fat");
  if (o.mode != "ask" && o.mode != "all" && o.mode != "none") {
    Say("--overwrite is ask, all or none");
    return false;
  }
  return true;
}

int RunRecover(const std::vector<std::string>& given) {
  std::vector<std::string> args = given;
  const std::vector<std::string> patterns = TakePatterns(args);
  auto parsed = ParseArgs(args, {"--all-verdicts", "--live", "--dry-run", "--no-posix-names"},
                          {"--min-size", "--max-size", "--after", "--before", "--min-verdict", "--overwrite", "--fat",
                           "--partition", "--sector"});
  if (!parsed) return kExitUsage;
  const auto& pos = parsed->positional;
  const size_t wanted = parsed->Has("--dry-run") ? 1 : 2;
  if (pos.size() < wanted || pos.size() > 2) {
    Say(wanted == 1 ? "give IMAGE (and DEST, which a dry run does not use)" : "give IMAGE and DEST");
    return kExitUsage;
  }
  Options o;
  if (!ReadOptions(*parsed, patterns, o)) return kExitUsage;
  DiskPlace place;
  if (!PartitionOption(*parsed, "recover", place)) return kExitUsage;
  ListPosixNames(!parsed->Has("--no-posix-names"));
  InstallInterruptHandler([] {});

  const std::string image = pos[0], dest = pos.size() > 1 ? pos[1] : "";
  Totals totals;
  // A partitioned disk without a place: each FAT or NTFS volume on it, into
  // a folder of DEST named by its partition number.
  std::vector<PartitionEntry> volumes;
  if (!place.partition && !place.sector)
    if (auto raw = OpenImageSource(image)) {
      const PartitionTable table = ReadDiskTable(image, *raw);
      PrintTableNotes("recover", image, table);
      const std::string readable = FileSystemsRead("or");
      for (const PartitionEntry& e : table.entries) {
        std::string why;
        const PartitionUse use = UseOfPartition(raw, table, e, why);
        if (use == PartitionUse::Read) {
          volumes.push_back(e);
          continue;
        }
        // What is passed over may hold deleted files: the run did not cover the disk.
        if (use == PartitionUse::PassedOver) totals.ok = false;
        Say(Printable(image) + ": partition " + std::to_string(e.number) + " (" + PartitionFileSystem(raw, table, e) +
            ") passed over: " + why);
      }
      if (table.scheme != PartitionTable::Scheme::None && volumes.empty()) {
        Say(Printable(image) + ": no " + readable + " volume in its partition table; --sector S reads one whose entry is lost");
        totals.ok = false;
      }
    }
  std::unique_ptr<DestFolder> top;
  if (!o.dryRun && !volumes.empty()) {
    top = std::make_unique<DestFolder>("recover");
    if (!top->Open(dest)) return kExitFailure;
  }
  if (volumes.empty() && totals.ok) {
    RecoverVolume(image, place, dest, "", o, totals);
  } else {
    for (const PartitionEntry& e : volumes) {
      if (Interrupted()) break;
      DiskPlace one;
      one.partition = e.number;
      one.command = "recover";
      const std::string name = std::to_string(e.number);
      RecoverVolume(image, one, dest + "/" + name, name + "/", o, totals);
    }
  }

  const bool success =
      totals.ok && totals.tally.failed == 0 && totals.tally.shortCopies == 0 && !Interrupted();
  if (top) top->Succeeded(totals.tally.saved > 0);
  if (Interrupted()) Say("interrupted");
  std::string left = "; " + std::to_string(totals.leftOut) + " left out by the filters";
  if (totals.leftOutReused) left += " (" + std::to_string(totals.leftOutReused) + " of them reused)";
  if (o.dryRun)
    Say(std::to_string(totals.files) + " to save (" + std::to_string(totals.bytes) + " bytes), " +
        std::to_string(totals.reused) + " reused" + left);
  else
    Say(totals.tally.Text() + left);
  return success ? kExitOk : kExitFailure;
}

CommandRegistrar registrar({
    "recover",
    "recover IMAGE|DEVICE DEST [--partition N | --sector S] [--match PATTERN]... [--min-size SIZE] [--max-size SIZE] "
    "[--after DATE] [--before DATE] [--min-verdict intact|unknown|reused | --all-verdicts] [--live] [--dry-run] "
    "[--overwrite ask|all|none] [--fat N] [--no-posix-names]",
    "save every deleted file and folder of a volume, or of every volume of a disk",
    "Saves every deleted file and folder of the FAT or NTFS volume into the host\n"
    "folder DEST, each under the folders it was in (as 'moxvolscan ls --deleted'\n"
    "shows its path); live folders on the way are made, nothing else of them.\n"
    "Files are saved as 'moxvolscan save' saves them: whole or named, under a\n"
    "temporary name until complete, with their time and attributes, names made\n"
    "safe and distinct. On a partitioned disk without --partition or --sector\n"
    "each FAT and NTFS volume goes into DEST/N, N its partition number.\n"
    "The last line on stderr tells what was done, as save's does, and how many\n"
    "files the filters left out:\n"
    "  moxvolscan recover: 12 saved (345678 bytes), 0 short, 1 reused, 0 skipped, 0 failed; 3 left out by the filters (2 of them reused)\n"
    "The status is 1 when anything was not saved whole or could not be read.\n\n"
    "  --match PATTERN  only paths matching PATTERN, the whole path from the\n"
    "                   volume root: '?' and '*' within a name, '**' across\n"
    "                   folders ('**/*.jpg' is every .jpg); any letter case.\n"
    "                   Given more than once, a path matching any of them\n"
    "  --min-size SIZE, --max-size SIZE\n"
    "                   files of at least / at most SIZE bytes (K, M, G: 1024-based)\n"
    "  --after DATE, --before DATE\n"
    "                   files last written at or after / before DATE, read as\n"
    "                   ls shows times (FAT: local wall-clock time; NTFS: UTC):\n"
    "                   2024-05-01 or 2024-05-01T12:30:00\n"
    "  --min-verdict V  deleted files whose data is at least V: intact (their\n"
    "                   space is still free), unknown, reused (taken by other\n"
    "                   data since). Default unknown: reused files are left out\n"
    "  --all-verdicts   reused files too (--min-verdict reused)\n"
    "  --live           live files too: with no filter, the whole volume\n"
    "  --dry-run        list what would be saved (type, size, verdict, path)\n"
    "                   and write nothing; DEST may be left out\n"
    "  --overwrite ask|all|none\n"
    "                   existing files in DEST, as for save (default ask)\n"
    "  --fat N          as for save\n" +
        std::string(kNoPosixHelp) + kPartitionHelp,
    RunRecover,
});

}  // namespace
