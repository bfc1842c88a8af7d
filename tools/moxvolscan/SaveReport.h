// What a dialog of the library's save steps reports, read from the number of
// its string and its arguments, never from its text: a host may reword or
// translate the texts.
#pragma once

#include <string>

#include "WinApi.h"

struct SaveReport {
  enum class Kind { Other, FileExists, FolderExists, WriteFailed, FolderFailed, NoRoom, SourceFailed };
  Kind kind = Kind::Other;
  // The library path the step concerns ("X:\a\b"): the target of a file or
  // folder; for NoRoom the destination's folder. The shown name for
  // FolderExists and NoRoom.
  std::string path, name;
};

inline SaveReport ReadSaveReport(const DialogRequest& r) {
  SaveReport report;
  const auto arg = [&](size_t i) { return i < r.args.size() ? r.args[i] : std::string(); };
  switch (r.stringId) {
    case 1711: report = {SaveReport::Kind::WriteFailed, arg(0), ""}; break;
    case 1720: report = {SaveReport::Kind::FolderFailed, arg(0), ""}; break;
    case 1718: report = {SaveReport::Kind::FileExists, arg(0), ""}; break;
    case 1715: report = {SaveReport::Kind::FolderExists, "", arg(0)}; break;
    case 1717: report = {SaveReport::Kind::NoRoom, arg(1), arg(0)}; break;
    case 1712:
    case 1713:
    case 1721: report.kind = SaveReport::Kind::SourceFailed; break;
    default: break;
  }
  return report;
}
