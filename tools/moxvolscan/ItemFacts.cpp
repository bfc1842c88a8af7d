#include "ItemFacts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

#include "CliSupport.h"
#include "ItemPaths.h"
#include "Names.h"
#include "WinApi.h"

std::string HumanSize(uint64_t bytes) {
  static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double v = double(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 5) v /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[unit]);
  return text;
}

namespace {
// "2024-05-01T12:00:00" straight from the MS-DOS fields, a wall-clock time
// of no zone; nothing for fields that name no time (DosDateTimeToFileTime
// refuses the same ones).
void AppendDosTimeIso(std::string& out, uint16_t date, uint16_t time) {
  static const uint8_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, second = (time & 0x1F) * 2;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] + unsigned(month == 2 && leap) ||
      hour > 23 || minute > 59 || second > 59)
    return;
  char text[] = "0000-00-00T00:00:00";
  auto put = [&text](size_t at, unsigned v) {  // two digits
    text[at] = char('0' + v / 10);
    text[at + 1] = char('0' + v % 10);
  };
  put(0, year / 100), put(2, year % 100), put(5, month), put(8, day), put(11, hour), put(14, minute), put(17, second);
  out.append(text, sizeof text - 1);
}
}  // namespace

std::string ShortReadText(uint64_t got, uint64_t size, const std::string& reason) {
  return "only " + std::to_string(got) + " of " + std::to_string(size) + " bytes could be read (" + reason + ")";
}

void ItemDescriber::Describe(TObject* item, ItemFacts& facts) {
  TCustomDirectory* folder = nullptr;
  uint16_t date = 0, time = 0;
  if (auto* f = ItemAs<TCustomFile>(item)) {
    folder = f->Parent;
    facts.dir = false;
    facts.size = uint64_t(f->Size);
    facts.deleted = f->Deleted;
    facts.condition = f->DeletedCondition;
    date = f->Date, time = f->Time;
  } else if (auto* d = ItemAs<TCustomDirectory>(item)) {
    folder = d->Parent;
    facts.dir = true;
    facts.size = 0;
    facts.deleted = d->DeletedState & 1;
    facts.condition = d->DeletedCondition;
    date = d->Date, time = d->Time;
  }
  facts.attributes = fs_.AttributesOf(item);
  facts.mft = fs_.RecordOf(item);
  facts.entry = fs_.EntryOf(item);
  if (folder != folder_) {
    folder_ = folder;
    folderOrphan_ = false;
    for (TCustomDirectory* d = folder; d && !folderOrphan_; d = d->Parent) folderOrphan_ = fs_.IsOrphanFolder(d);
    folderPath_ = folder ? ShownPath(fs_, folder) : "";
    if (!folderPath_.empty()) folderPath_ += '/';
    folderShared_ = folder && !facts.entry.empty() && PathShared(folder);
  }
  // The strings keep their room from item to item: a listing of a big
  // volume then allocates almost nothing per line.
  facts.path.assign(folderPath_);
  const std::string_view name = fs_.NameView(item);
  facts.samePath = folderShared_;
  facts.orphan = folderOrphan_ || fs_.IsOrphanFolder(item);
  if (!facts.samePath && folder && !facts.entry.empty()) {
    const auto& namesakes = Namesakes(folder);
    facts.samePath = (!namesakes.empty() && namesakes.count(std::string(name))) ||
                     (facts.deleted && fs_.LeftOutNamesake(folder, name));
  }
  AppendShownName(facts.path, name);
  facts.mtime.clear();
  FILETIME instant;
  if (fs_.WriteInstantOf(item, instant))
    AppendFileTimeIso(facts.mtime, instant);
  else
    AppendDosTimeIso(facts.mtime, date, time);
}

const std::unordered_set<std::string>& ItemDescriber::Namesakes(TCustomDirectory* dir) {
  auto [at, added] = namesakes_.try_emplace(dir);
  if (added && dir->Children) {
    std::unordered_set<std::string> seen;
    for (TObject* child : *dir->Children) {
      std::string name = fs_.NameOf(child);
      if (!seen.insert(name).second) at->second.insert(std::move(name));
    }
  }
  return at->second;
}

// A folder's path names another item too when a folder on the way, or the
// folder itself, shows the name of a sibling: a path then reaches one of them.
bool ItemDescriber::PathShared(TCustomDirectory* dir) {
  std::vector<TCustomDirectory*> way;
  bool shared = false;
  for (TCustomDirectory* d = dir; d && d->Parent && d != fs_.Root() && way.size() < size_t(kMaxPathDepth);
       d = d->Parent) {
    if (const auto known = shared_.find(d); known != shared_.end()) {
      shared = known->second;
      break;
    }
    way.push_back(d);
  }
  for (auto it = way.rbegin(); it != way.rend(); ++it) {
    shared = shared || Namesakes((*it)->Parent).count(fs_.NameOf(*it)) > 0;
    shared_[*it] = shared;
  }
  return shared;
}

void AppendItemLine(std::string& out, const ItemFacts& f) {
  char attrs[5] = "----";
  if (f.attributes & FILE_ATTRIBUTE_READONLY) attrs[0] = 'R';
  if (f.attributes & FILE_ATTRIBUTE_HIDDEN) attrs[1] = 'H';
  if (f.attributes & FILE_ATTRIBUTE_SYSTEM) attrs[2] = 'S';
  if (f.attributes & FILE_ATTRIBUTE_ARCHIVE) attrs[3] = 'A';
  const std::string_view state = !f.deleted ? "" : f.condition == 1 ? "deleted:intact" : f.condition == 2 ? "deleted:reused" : "deleted";
  const std::string_view mtime = f.mtime.empty() ? std::string_view("-") : std::string_view(f.mtime);
  char digits[24];
  const size_t size = size_t(std::to_chars(digits, digits + sizeof digits, f.size).ptr - digits);
  // Columns padded by hand rather than through printf, into room made at
  // once and filled with blanks: this runs once per listed item.
  // An instant may come with seven digits of fraction or none: its column is wide enough for both.
  const size_t sizeWidth = std::max<size_t>(size, 12);
  const size_t timeWidth = std::max<size_t>(mtime.size(), mtime.back() == 'Z' ? 28 : 20);
  const size_t stateWidth = std::max<size_t>(state.size(), 14);
  size_t at = out.size();
  out.resize(at + 5 + sizeWidth + 2 + timeWidth + 2 + 4 + 2 + stateWidth + 2 + f.path.size() + 1, ' ');
  auto put = [&](std::string_view text, size_t width) {
    text.copy(out.data() + at, text.size());
    at += width;
  };
  put(f.dir ? "dir" : "file", 5);
  at += sizeWidth - size;
  put({digits, size}, size + 2);
  put(mtime, timeWidth + 2);
  put(attrs, 4 + 2);
  put(state, stateWidth + 2);
  put(f.path, f.path.size());
  out[at] = '\n';
  // A path that names another item too gets what names this one alone.
  if (f.samePath && !f.entry.empty()) out.insert(at, "  --entry " + f.entry);
}

void AppendItemJson(std::string& out, const ItemFacts& f) {
  out += "{\"path\":\"";
  AppendJsonEscaped(out, f.path.data(), f.path.size());
  // The rest written straight into room made at once (176 bytes hold all
  // but the time and the entry): this runs once per listed item.
  const size_t at = out.size();
  out.resize(at + 176 + f.mtime.size() + 12 + f.entry.size());
  char* p = out.data() + at;
  auto put = [&p](std::string_view part) { p = std::copy(part.begin(), part.end(), p); };
  auto number = [&p](auto v) { p = std::to_chars(p, p + 24, v).ptr; };
  put(f.dir ? "\",\"type\":\"dir\",\"size\":" : "\",\"type\":\"file\",\"size\":");
  number(f.size);
  if (f.mtime.empty()) {
    put(",\"mtime\":null");
  } else {
    put(",\"mtime\":\"");
    put(f.mtime);
    put("\"");
  }
  put(",\"attributes\":");
  number(unsigned(f.attributes));
  put(f.deleted ? ",\"deleted\":true,\"condition\":" : ",\"deleted\":false,\"condition\":");
  number(unsigned(f.condition));
  if (f.mft >= 0) {
    put(",\"mft\":");
    number(f.mft);
  }
  if (!f.entry.empty()) {
    put(",\"entry\":\"");
    put(f.entry);
    put("\"");
  }
  if (f.orphan) put(",\"orphan\":true");
  put("}\n");
  out.resize(size_t(p - out.data()));
}
