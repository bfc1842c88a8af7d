// moxvolscan ls: every item of a volume image or device, deleted ones on request.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "CliSupport.h"
#include "Command.h"
#include "Helpers.h"
#include "Names.h"
#include "ItemFacts.h"
#include "Volume.h"

namespace {

TCustomDirectory* ParentOf(TObject* item) {
  if (auto* f = ItemAs<TCustomFile>(item)) return f->Parent;
  if (auto* d = ItemAs<TCustomDirectory>(item)) return d->Parent;
  return nullptr;
}

bool IsAncestorOrSelf(const TCustomDirectory* a, const TCustomDirectory* d) {
  for (int depth = 0; d && depth <= kMaxPathDepth; d = d->Parent, ++depth)
    if (d == a) return true;
  return false;
}

// Where the deleted items come from a tree of their own, walked before the
// live one (NTFS), they are held back and listed after the live items of
// the folder they were in, once the walk has left that folder, as fls does.
class DeletedAfterLive {
 public:
  DeletedAfterLive(FileSystem& fs, std::function<void(TObject*)> list) : fs_(fs), list_(std::move(list)) {}

  void Found(TObject* item) {
    if (IsDeletedItem(item)) {
      // The live folder it was in: the path folder standing for it, or the
      // root. Items under an "MFT n" folder (their folder is gone) come last.
      auto* folder = ItemAs<TCustomDirectory>(item);
      if (!folder || !folder->Parent) folder = ParentOf(item);
      bool orphan = false;
      for (int depth = 0; folder && folder->Parent && IsDeletedItem(folder) && depth < kMaxPathDepth; ++depth) {
        orphan = orphan || (folder->DeletedState & 4);
        folder = folder->Parent;
      }
      const int64_t record = folder && !orphan ? fs_.RecordOf(folder) : -1;
      auto [at, added] = held_.try_emplace(record);
      if (added) order_.push_back(record);
      at->second.push_back(item);
      return;
    }
    TCustomDirectory* parent = ParentOf(item);
    while (!open_.empty() && !IsAncestorOrSelf(open_.back(), parent)) Leave();
    const size_t from = open_.size();
    for (TCustomDirectory* d = parent; d && (open_.empty() || d != open_.back()); d = d->Parent) open_.push_back(d);
    std::reverse(open_.begin() + long(from), open_.end());
    list_(item);
  }
  // The rest: folders still open, then items of folders the walk never met.
  void Finish() {
    while (!open_.empty()) Leave();
    for (const int64_t record : order_) ListHeld(record);
  }

 private:
  void Leave() {
    ListHeld(fs_.RecordOf(open_.back()));
    open_.pop_back();
  }
  void ListHeld(int64_t record) {
    const auto at = held_.find(record);
    if (at == held_.end()) return;
    for (TObject* item : at->second) list_(item);
    held_.erase(at);
  }
  FileSystem& fs_;
  std::function<void(TObject*)> list_;
  std::vector<TCustomDirectory*> open_;  // the live folders the walk is in, outermost first
  std::unordered_map<int64_t, std::vector<TObject*>> held_;
  std::vector<int64_t> order_;
};

// A folder the scan does not walk, walked as it walks: the folder, then
// what is below it depth first, each item whose name matches the mask.
void WalkAsScanWalks(FileSystem& fs, TCustomDirectory* top, const std::string& mask,
                     const std::function<void(TObject*)>& found) {
  const auto matches = [&](TObject* item) {
    return mask.empty() || mask == "*" || MatchWildCard(fs.NameOf(item), mask, '?', '*', false);
  };
  if (matches(top)) found(top);
  std::vector<std::pair<TCustomDirectory*, size_t>> open{{top, 0}};
  while (!open.empty() && !Interrupted()) {
    TCustomDirectory* dir = open.back().first;
    fs.Build(dir);
    if (!dir->Children || open.back().second >= dir->Children->size() || open.size() > size_t(kMaxPathDepth)) {
      open.pop_back();
      continue;
    }
    TObject* child = (*dir->Children)[open.back().second++];
    if (matches(child)) found(child);
    if (auto* sub = ItemAs<TCustomDirectory>(child)) open.emplace_back(sub, 0);
  }
}

int RunLs(const std::vector<std::string>& args) {
  auto parsed =
      ParseArgs(args, {"--deleted", "--deleted-only", "--json", "--no-posix-names"}, {"--format", "--mask", "--partition", "--sector"});
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
  const std::string formatName = parsed->Get("--format", parsed->Has("--json") ? "json" : "text");
  enum class Format { Text, Json, Body };
  const Format format = formatName == "json" ? Format::Json : formatName == "body" ? Format::Body : Format::Text;
  if ((format == Format::Text && formatName != "text") || (parsed->Has("--json") && format != Format::Json)) {
    std::fprintf(stderr, "moxvolscan ls: --format takes text, json or body (--json is --format json)\n");
    return kExitUsage;
  }
  DiskPlace place;
  if (!PartitionOption(*parsed, "ls", place)) return kExitUsage;

  ListPosixNames(!parsed->Has("--no-posix-names"));
  Volume volume;
  std::string error;
  if (!volume.Open(parsed->positional[0], error, place)) {
    std::fprintf(stderr, "moxvolscan ls: %s\n", error.c_str());
    return kExitFailure;
  }
  TCustomDrive& drive = volume.drive();
  if (const uint32_t line = volume.fs().ListingCacheLine(deletedOnly)) volume.UseSectorCache(line);
  // The callback runs on a helper thread, perhaps only after the walk has
  // stopped: it reaches the volume only while the walk runs, and the program
  // does not exit under it.
  struct Walk {
    std::mutex lock;
    std::condition_variable called;
    bool done = false;
    FileSystem* fs = nullptr;
  };
  const auto walk = std::make_shared<Walk>();
  walk->fs = &volume.fs();
  InstallInterruptHandler([walk] {
    std::lock_guard guard(walk->lock);
    if (walk->fs) walk->fs->CancelScan();
    walk->done = true;
    walk->called.notify_all();
  });

  ProgressLine progress;
  ItemDescriber describer(volume.fs());
  ItemFacts facts;
  ItemTimes times;
  std::string out;
  uint64_t items = 0;
  // NTFS has no cancel of its own: the walk stops through its progress event.
  drive.OnProgress = [&](TObject*, TObject*, const AnsiString& folder, int, bool& cancel) {
    if (Interrupted()) cancel = true;
    if (progress.enabled()) progress.Update(std::to_string(items) + " items  " + Printable(folder));
  };
  auto list = [&](TObject* item) {
    describer.Describe(item, facts);
    if (format == Format::Text) {
      AppendItemLine(out, facts);
    } else if (format == Format::Body) {
      if (!volume.fs().TimesOf(item, times)) times = ItemTimes{};
      AppendBodyLines(out, facts, times);
    } else {
      AppendItemJson(out, facts);
      if (volume.fs().TimesOf(item, times)) {
        out.resize(out.size() - 2);  // the object's "}\n"
        AppendTimesJson(out, times);
        out += "}\n";
      }
    }
    ++items;
    // Whole lines in big writes; on a terminal each line shows at once.
    if (out.size() >= 65536 || progress.enabled()) {
      if (progress.enabled()) progress.Clear();
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  };
  // The deleted tree takes its final shape before the scan walks it.
  const bool reorder = includeDeleted && volume.fs().DeletedRoot() && !deletedOnly;
  DeletedAfterLive ordered(volume.fs(), list);
  drive.OnFoundItem = [&](TObject*, TObject* item) {
    if (Interrupted()) return;
    // The live walk lists the folders deleted items were found in.
    if (!deletedOnly && IsPathFolder(volume.fs(), item)) return;
    reorder ? ordered.Found(item) : list(item);
  };
  // Each line is written as its item is met; only folders need to stay.
  volume.fs().FreeFilesOnceListed();
  drive.ScanDrive(parsed->Get("--mask", "*"), includeDeleted, deletedOnly);
  // What no folder reaches, once the scan has built the whole live tree.
  // Where deleted items have no tree of their own (FAT) the deleted ones
  // among them are found only here.
  if ((!deletedOnly || !volume.fs().DeletedRoot()) && !Interrupted())
    if (TCustomDirectory* orphans = volume.fs().Orphans(includeDeleted))
      WalkAsScanWalks(volume.fs(), orphans, parsed->Get("--mask", "*"), [&](TObject* item) {
        if (!deletedOnly || IsDeletedItem(item)) drive.OnFoundItem(&drive, item);
      });
  {
    std::unique_lock guard(walk->lock);
    walk->fs = nullptr;
    if (Interrupted()) walk->called.wait_for(guard, std::chrono::seconds(2), [&] { return walk->done; });
  }
  if (reorder && !Interrupted()) ordered.Finish();
  drive.OnFoundItem = nullptr;
  drive.OnProgress = nullptr;
  progress.Clear();
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  // A listing that may lack items says where; a cut image was told at Open.
  const bool incomplete = !Interrupted() && volume.TellIncomplete("ls");
  volume.KeepTreeUntilExit();
  if (Interrupted()) {
    std::fprintf(stderr, "moxvolscan ls: interrupted\n");
    return kExitFailure;
  }
  return incomplete || !volume.Truncation().empty() ? kExitFailure : kExitOk;
}

CommandRegistrar registrar({
    "ls",
    "ls IMAGE|DEVICE [--partition N | --sector S] [--deleted | --deleted-only] [--mask MASK]\n"
    "   [--format text|json|body | --json] [--no-posix-names]",
    "list the files and folders of a FAT or NTFS image or device, deleted ones too",
    "Reads the FAT or NTFS volume sector by sector and prints one line per item:\n"
    "type, size, last-write time, attributes (R H S A), state and the path\n"
    "from the volume root. Times are what the volume keeps: on NTFS the instant\n"
    "in UTC to 100 ns (2024-05-01T12:00:00.1234567Z), on FAT the wall-clock\n"
    "time with no zone (2023-08-14T10:30:00), read as local time when saved.\n"
    "Deleted items show the state 'deleted:intact' (their clusters are still\n"
    "free, the data is likely whole) or 'deleted:reused' (their space belongs\n"
    "to something else now).\n"
    "Names are shown as UTF-8 with control characters, '%', '/' and '\\' as %XX\n"
    "(hex); '.' and '..' as %2E and %2E%2E, an empty name as %. 8.3 names that\n"
    "are not UTF-8 are read in code page 437. cat and save take names so.\n"
    "On NTFS, deleted items are listed under the folders they were in (the live\n"
    "folders, listed once more) or under a folder '$OrphanFiles/MFT n' when their\n"
    "folder's record n is gone. $OrphanFiles, listed last, also holds the items\n"
    "in use that no folder lists, and free records without a name as\n"
    "OrphanFile-N. On FAT, $OrphanFiles holds the deleted items found in free\n"
    "clusters that no folder leads to.\n"
    "On FAT, a line whose path also names another item (two deleted files\n"
    "both shown as _.TXT, or anything in a folder like that) ends with\n"
    "'  --entry C:I', the item's directory entry, which cat and save take.\n\n"
    "  --deleted       list deleted items as well\n"
    "  --deleted-only  list deleted items only (folders are still walked)\n"
    "  --mask MASK     only names matching MASK (* and ?, any letter case)\n"
    "  --json, --format json\n"
    "                  one JSON object per line with the keys path, type,\n"
    "                  size, mtime (as in the text, null when the volume has\n"
    "                  none), attributes, deleted and condition\n"
    "                  (0 live, 1 data likely intact, 2 space reused), on\n"
    "                  NTFS also mft (the item's MFT record number), on FAT\n"
    "                  entry (\"C:I\", its directory entry); orphan (true) for\n"
    "                  $OrphanFiles and what is in it; and every time the\n"
    "                  volume keeps: atime, ctime (NTFS: the record's change;\n"
    "                  null on FAT), crtime, on NTFS from the item's record,\n"
    "                  with file_name {mtime, atime, ctime, crtime}\n"
    "  --format body   a body file for mactime (The Sleuth Kit's, version 3):\n"
    "                  MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime,\n"
    "                  times in seconds since 1970 with their fraction (NTFS to\n"
    "                  100 ns; FAT read as local time of TZ); on NTFS a second\n"
    "                  line 'NAME ($FILE_NAME)' with the file name's times\n" +
        std::string(kNoPosixHelp) + kPartitionHelp,
    RunLs,
});

}  // namespace
