#include "ItemPaths.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "Names.h"

namespace {

std::string FoldCase(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

}  // namespace

bool IsDeletedItem(TObject* item) {
  if (auto* f = ItemAs<TCustomFile>(item)) return f->Deleted;
  if (auto* d = ItemAs<TCustomDirectory>(item)) return d->DeletedState & 1;
  return false;
}

bool IsPathFolder(FileSystem& fs, TObject* item) {
  auto* d = ItemAs<TCustomDirectory>(item);
  TCustomDirectory* deleted = d && !IsDeletedItem(d) ? fs.DeletedRoot() : nullptr;
  if (!deleted) return false;
  for (int depth = 0; d->Parent && depth < kMaxPathDepth; ++depth) d = d->Parent;
  return d == deleted;
}

uint64_t SizeOf(TObject* item) {
  auto* f = ItemAs<TCustomFile>(item);
  return f ? uint64_t(f->Size) : 0;
}

namespace {
const std::string kRecordMark = "\x1F" "mft:";
const std::string kEntryMark = "\x1F" "entry:";

// Items of the tree below root in walk order, folders built on the way.
template <typename Visit>
TObject* FindInTree(FileSystem& fs, TCustomDirectory* root, Visit visit) {
  std::vector<TCustomDirectory*> todo{root};
  while (!todo.empty()) {
    TCustomDirectory* d = todo.back();
    todo.pop_back();
    fs.Build(d);
    if (!d->Children) continue;
    for (TObject* child : *d->Children) {
      if (visit(child)) return child;
      if (auto* sub = ItemAs<TCustomDirectory>(child)) todo.push_back(sub);
    }
  }
  return nullptr;
}
}  // namespace

std::vector<std::string> RecordArguments(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--mft" && i + 1 < args.size())
      out.push_back(kRecordMark + args[++i]);
    else if (args[i].rfind("--mft=", 0) == 0)
      out.push_back(kRecordMark + args[i].substr(6));
    else if (args[i] == "--entry" && i + 1 < args.size())
      out.push_back(kEntryMark + args[++i]);
    else if (args[i].rfind("--entry=", 0) == 0)
      out.push_back(kEntryMark + args[i].substr(8));
    else
      out.push_back(args[i]);
  }
  return out;
}

namespace {

// Deleted items first (telling apart deleted namesakes is what --mft is
// for), then live ones, then the path folders that stand for live ones.
TObject* FindRecord(FileSystem& fs, uint64_t record, std::string& error) {
  auto is = [&](TObject* item) { return fs.RecordOf(item) == int64_t(record); };
  TObject* found = nullptr;
  fs.Orphans(true);  // a record in use that no folder reaches is there
  if (TCustomDirectory* deleted = fs.DeletedRoot())
    found = FindInTree(fs, deleted, [&](TObject* item) { return is(item) && IsDeletedItem(item); });
  if (!found) found = FindInTree(fs, fs.Root(), is);
  if (!found && fs.DeletedRoot()) found = FindInTree(fs, fs.DeletedRoot(), is);
  if (!found) error = "--mft " + std::to_string(record) + ": no file or folder of that MFT record on the volume";
  return found;
}

// "C:I" as ls shows it; the numbers are read as numbers, so "2:05" will do.
TObject* FindEntry(FileSystem& fs, const std::string& address, std::string& error) {
  const size_t colon = address.find(':');
  uint32_t cluster = 0, index = 0;
  auto number = [](std::string_view text, uint32_t& n) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
  };
  if (fs.RecordOf(fs.Root()) >= 0) {
    error = "--entry " + Printable(address) + ": directory entries address FAT items; on NTFS give --mft N";
    return nullptr;
  }
  if (colon == std::string::npos || !number(std::string_view(address).substr(0, colon), cluster) ||
      !number(std::string_view(address).substr(colon + 1), index)) {
    error = "--entry " + Printable(address) + ": give a directory entry as CLUSTER:INDEX, as ls shows it";
    return nullptr;
  }
  const std::string wanted = std::to_string(cluster) + ":" + std::to_string(index);
  auto is = [&](TObject* item) { return fs.EntryOf(item) == wanted; };
  TObject* found = FindInTree(fs, fs.Root(), is);
  // Orphans are looked for only when no folder leads to the entry: that costs a search of free clusters.
  if (!found)
    if (TCustomDirectory* orphans = fs.Orphans(true)) found = FindInTree(fs, orphans, is);
  if (!found)
    error = "--entry " + wanted + ": no file or folder has its directory entry there";
  return found;
}

TObject* ResolveIn(FileSystem& fs, TCustomDirectory* root, const std::string& volumePath, std::string& error) {
  TCustomDirectory* dir = root;
  TObject* item = dir;
  size_t pos = 0;
  while (pos <= volumePath.size()) {
    const size_t end = std::min(volumePath.find_first_of("/\\", pos), volumePath.size());
    const std::string part = volumePath.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (dir && dir->Parent) item = dir = dir->Parent;
      continue;
    }
    if (!dir) {
      error = Printable(volumePath) + ": not a folder on the way";
      return nullptr;
    }
    fs.Build(dir);
    // The shown form first, then the bytes "%XX" names, each exactly and
    // then in any letter case; a live item before a deleted one.
    const std::string typed = TypedName(part), folded = FoldCase(part), typedFolded = FoldCase(typed);
    TObject* best = nullptr;
    int bestRank = 0;
    if (dir->Children)
      for (TObject* child : *dir->Children) {
        const std::string name = fs.NameOf(child), shown = ShownName(name);
        int rank = shown == part || name == typed                         ? 4
                   : FoldCase(shown) == folded || FoldCase(name) == typedFolded ? 2
                                                                                : 0;
        if (rank && !IsDeletedItem(child)) ++rank;
        if (rank > bestRank) best = child, bestRank = rank;
      }
    if (!best) {
      error = Printable(volumePath) + ": no such file or folder on the volume";
      return nullptr;
    }
    item = best;
    dir = ItemAs<TCustomDirectory>(best);
  }
  return item;
}

}  // namespace

TObject* ResolveItem(FileSystem& fs, const std::string& volumePath, std::string& error) {
  if (volumePath.rfind(kRecordMark, 0) == 0) {
    const std::string number = volumePath.substr(kRecordMark.size());
    char* end = nullptr;
    const unsigned long long n = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end || fs.RecordOf(fs.Root()) < 0 || n > 0xFFFFFFFFFFFFull) {
      error = "--mft " + Printable(number) + ": give an MFT record number of an NTFS volume";
      return nullptr;
    }
    return FindRecord(fs, n, error);
  }
  // The folder of what no folder reaches is there once looked for.
  const size_t from = volumePath.find_first_not_of("/\\");
  if (from != std::string::npos &&
      FoldCase(volumePath.substr(from, volumePath.find_first_of("/\\", from) - from)) == "$ORPHANFILES")
    fs.Orphans(true);
  if (volumePath.rfind(kEntryMark, 0) == 0) return FindEntry(fs, volumePath.substr(kEntryMark.size()), error);
  TObject* item = ResolveIn(fs, fs.Root(), volumePath, error);
  if (!item && fs.DeletedRoot()) item = ResolveIn(fs, fs.DeletedRoot(), volumePath, error);
  return item;
}

std::string ShownPath(FileSystem& fs, TObject* item) {
  std::vector<std::string> names;
  TCustomDirectory* root = fs.Root();
  TCustomDirectory* parent = nullptr;
  if (auto* f = ItemAs<TCustomFile>(item)) {
    names.push_back(fs.NameOf(item));
    parent = f->Parent;
  } else if (auto* d = ItemAs<TCustomDirectory>(item); d && d != root && d->Parent) {
    names.push_back(fs.NameOf(item));
    parent = d->Parent;
  }
  for (int depth = 0; parent && parent != root && parent->Parent && depth < kMaxPathDepth; ++depth) {
    names.push_back(fs.NameOf(parent));
    parent = parent->Parent;
  }
  std::string out;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!out.empty()) out += '/';
    AppendShownName(out, *it);
  }
  return out;
}
