// Helpers shared by the FAT unit's source files; not part of its interface.
#pragma once

#include <cstdio>
#include <string>
#include <unordered_set>

#include "Diskfs.h"

namespace diskfs {

// printf-style text for log lines and dialogs.
template <typename... Args>
AnsiString Fmt(const char* fmt, Args... args) {
  char text[1024];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

inline void Log(const AnsiString& text) {
  if (dbg) dbg->DebugOut(text);
}

// Directories nested deeper than this are not expanded: real paths stop far
// earlier, and the walk recurses once per level.
constexpr int kMaxTreeDepth = 256;

// Whether 32 bytes can be a directory record (or the end mark): the name
// and attribute bytes only.
bool LooksLikeRecord(const uint8_t* r);

}  // namespace diskfs

// One item tree's shared state: how many items it holds against its limit,
// and the first clusters its directories have opened.
struct TFATTree {
  explicit TFATTree(uint64_t limit, const TFATDirectory* top) : Limit(limit), Top(top) {}
  const uint64_t Limit;
  const TFATDirectory* const Top;  // the directory that started the tree; not counted
  uint64_t Items = 0;
  std::unordered_set<uint32_t> Opened;
};
