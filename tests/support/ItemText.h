// Items and tool output as the oracle suites compare them.
#pragma once

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Devices.h"

// The lines of a text, without their ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// "YYYY-MM-DD hh:mm:ss" of MS-DOS date and time words.
inline std::string DosTime(uint16_t date, uint16_t time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2);
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
