// Items and tool output as the oracle suites compare them.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Devices.h"
#include "ToolProcess.h"

// The lines of a text, without their ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// The value of "key" in one of our JSON lines (strings unescaped; numbers as text).
inline std::string JsonField(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  size_t p = line.find(tag);
  if (p == std::string::npos) return "<missing>";
  p += tag.size();
  if (line[p] != '"') return line.substr(p, line.find_first_of(",}", p) - p);
  std::string out;
  for (++p; p < line.size() && line[p] != '"'; ++p) {
    const char e = line[p] == '\\' ? line[++p] : 0;
    if (e == 'u') out += char(std::stoi(line.substr(p + 1, 4), nullptr, 16)), p += 4;
    else out += e == 'n' ? '\n' : e == 't' ? '\t' : e ? e : line[p];
  }
  return out;
}

// "YYYY-MM-DD hh:mm:ss" of MS-DOS date and time words.
inline std::string DosTime(uint16_t date, uint16_t time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

// "YYYY-MM-DD hh:mm:ss" of a FILETIME, in UTC (the fraction left out).
inline std::string FileTimeText(const FILETIME& ft) {
  const time_t t = time_t(((uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10'000'000) - 11'644'473'600);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &utc);
  return buf;
}

// An item's path from the root with "/" separators: the folders GetPath gives, then name.
inline std::string ItemPath(TObject* item, const AnsiString& name) {
  AnsiString folder;
  if (auto* f = dynamic_cast<TCustomFile*>(item)) folder = f->GetPath(nullptr);
  if (auto* d = dynamic_cast<TCustomDirectory*>(item); d && d->Parent) folder = d->Parent->GetPath(nullptr);
  std::replace(folder.begin(), folder.end(), '\\', '/');
  if (!folder.empty() && folder[0] == '/') folder.erase(0, 1);
  return folder.empty() ? name : folder + "/" + name;
}

// One item as a reader lists it, ours or The Sleuth Kit's.
struct Listed {
  std::string path;  // from the root, "/" separators
  bool dir = false;
  bool deleted = false;
  uint64_t size = 0;    // files only
  uint64_t record = 0;  // The Sleuth Kit's address: a directory entry's or an MFT record's
  std::string mtime;    // "YYYY-MM-DD hh:mm:ss" in UTC
  // Ours only:
  uint8_t attributes = 0;
  uint8_t condition = 0;
  uint8_t deletedState = 0;  // folders: bit 0 deleted, bit 2 "MFT n" placeholder
  TObject* item = nullptr;
};

// "fls -r -p -l" in UTC with one more option if given; virtual files left out.
inline std::vector<Listed> FlsListing(const std::string& image, const std::string& option = "") {
  std::vector<std::string> argv{"fls", "-r", "-p", "-l", "-z", "UTC", image};
  if (!option.empty()) argv.insert(argv.end() - 1, option);
  std::vector<Listed> entries;
  for (const std::string& line : Lines(RunProgram(argv).out)) {
    // "r/r 66-128-2:\tpath\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid", deleted ones as "-/r * 84-128-2:\t...".
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || tab < 3 || line[2] == 'v' || line[2] == 'V') continue;
    std::vector<std::string> cols;
    std::istringstream rest(line.substr(tab + 1));
    for (std::string col; std::getline(rest, col, '\t');) cols.push_back(col);
    if (cols.size() < 6) continue;
    const std::string head = line.substr(0, tab);
    entries.push_back({cols[0], head[2] == 'd', head.find(" * ") != std::string::npos,
                       std::strtoull(cols[5].c_str(), nullptr, 10),
                       std::strtoull(head.c_str() + head.rfind(' ', head.rfind(':')) + 1, nullptr, 10),
                       cols[1].substr(0, 19)});
  }
  return entries;
}

// What a drive's scan reports, in report order; more() adds what only its file system knows.
inline std::vector<Listed> ScanListing(TCustomDrive& drive, bool includeDeleted, bool deletedOnly,
                                       const std::function<void(TObject*, Listed&)>& more) {
  std::vector<Listed> entries;
  drive.OnFoundItem = [&](TObject*, TObject* item) {
    Listed e;
    e.item = item;
    if (auto* f = dynamic_cast<TCustomFile*>(item)) {
      e.path = ItemPath(item, f->Name), e.mtime = DosTime(f->Date, f->Time);
      e.size = uint64_t(f->Size), e.deleted = f->Deleted, e.condition = f->DeletedCondition;
    } else if (auto* d = dynamic_cast<TCustomDirectory*>(item)) {
      e.path = ItemPath(item, d->Name), e.mtime = DosTime(d->Date, d->Time), e.condition = d->DeletedCondition;
      e.dir = true, e.deletedState = d->DeletedState, e.deleted = d->DeletedState == 1;
    }
    more(item, e);
    entries.push_back(e);
  };
  drive.ScanDrive("*", includeDeleted, deletedOnly);
  drive.OnFoundItem = nullptr;
  return entries;
}

// The columns of a body-file line.
inline std::vector<std::string> BodyColumns(const std::string& line) {
  std::vector<std::string> cols;
  size_t from = 0;
  for (size_t bar; (bar = line.find('|', from)) != std::string::npos; from = bar + 1)
    cols.push_back(line.substr(from, bar - from));
  cols.push_back(line.substr(from));
  return cols;
}

// The lines of a body file, sorted, each time cut to whole seconds as fls
// writes them; with anyOwner the owner column too (fls reads NTFS owners
// where short records keep none).
inline std::vector<std::string> WholeSecondBody(const std::string& text, bool anyOwner = false) {
  std::vector<std::string> out;
  for (const std::string& line : Lines(text)) {
    std::vector<std::string> cols = BodyColumns(line);
    if (cols.size() != 11) {
      out.push_back("malformed: " + line);
      continue;
    }
    if (anyOwner) cols[4] = "*";
    for (size_t i = 7; i < 11; ++i) cols[i] = cols[i].substr(0, cols[i].find('.'));
    std::string joined = cols[0];
    for (size_t i = 1; i < cols.size(); ++i) joined += "|" + cols[i];
    out.push_back(joined);
  }
  std::sort(out.begin(), out.end());
  return out;
}
