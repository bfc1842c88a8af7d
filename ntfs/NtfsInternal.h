// Helpers shared by the NTFS unit's source files; not part of its interface.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

#include "Ntfs.h"

namespace ntfs {

// A log line, formatted only when someone listens: record reads log on
// every call, and most hosts install no handler.
template <typename... Args>
void Log(const char* fmt, Args... args) {
  if (!dbg || !dbg->OnDebugOut) return;
  char text[1024];
  std::snprintf(text, sizeof text, fmt, args...);
  dbg->DebugOut(text);
}

inline void Log(const char* text) {
  if (dbg) dbg->DebugOut(text);
}

// "EXCEPTION occured: <message> at address: <p>" followed by the context.
template <typename... Args>
void LogException(const std::exception* e, const char* contextFmt, Args... args) {
  if (!dbg || !dbg->OnDebugOut) return;
  char context[768];
  if constexpr (sizeof...(Args) == 0)
    std::snprintf(context, sizeof context, "%s", contextFmt);
  else
    std::snprintf(context, sizeof context, contextFmt, args...);
  char text[1024];
  std::snprintf(text, sizeof text, "EXCEPTION occured: %s at address: %p%s", e ? e->what() : "unknown error",
                static_cast<const void*>(e), context);
  dbg->DebugOut(text);
}

// Parent chains and sub-node recursion stop this deep: real volumes nest far
// less, and the walks recurse once per level.
constexpr int kMaxTreeDepth = 512;
constexpr int kMaxIndexDepth = 32;

// UTF-16 code units of a name on the volume (at most 255 are read) in the
// system's 8-bit code page, cut at the first zero byte.
AnsiString NameToAnsi(const uint8_t* utf16le, size_t units);

}  // namespace ntfs
