#include "SaveSteps.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "WinApi.h"

namespace savesteps {
namespace {

// A confirmation: the first text formatted, two carriage returns, the second as it stands.
int Ask(int first, const AnsiString& arg, int second) {
  return MessageDlgStr(first, {arg}, TMsgDlgType::mtConfirmation, mbYes | mbNo | mbAll, second);
}

DWORD AttributesOf(const AnsiString& path) { return GetFileAttributesA(path.c_str()); }

}  // namespace

AnsiString DistinctName(const AnsiString& name, const std::set<AnsiString>& used) {
  if (!used.count(name)) return name;
  const size_t dot = name.rfind('.');
  const bool hasExt = dot != AnsiString::npos && dot > 0 && name.size() - dot <= 16;
  const AnsiString ext = hasExt ? name.substr(dot) : AnsiString();
  const AnsiString stem = hasExt ? name.substr(0, dot) : name;
  for (unsigned k = 2;; ++k) {
    const AnsiString suffix = " (" + std::to_string(k) + ")" + ext;
    size_t cut = std::min(stem.size(), 255 - suffix.size());
    while (cut > 0 && cut < stem.size() && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    AnsiString candidate = stem.substr(0, cut) + suffix;
    if (!used.count(candidate)) return candidate;
  }
}

void WriteFailed(const AnsiString& target) { MessageDlgStr(1711, {target}, TMsgDlgType::mtWarning, mbOK); }

namespace {
// A name in the target's folder that no save of this process uses at the
// same time (short: the target's own name may already be the longest allowed).
AnsiString TemporaryName(const AnsiString& target, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  const AnsiString folder = target.substr(0, target.find_last_of("\\/") + 1);
  return folder + ".~save-" + std::to_string(GetTickCount()) + "-" + std::to_string(++counter + attempt) + ".tmp";
}
}  // namespace

bool SaveThroughTemporary(const AnsiString& target, uint16_t date, uint16_t time, DWORD attributes,
                          const std::function<bool(HANDLE h)>& copy) {
  // Midnight is a time too: only a date naming no day leaves the time unset.
  FILETIME local{}, utc{};
  if (!DosDateTimeToFileTime(date, time, &local) || !LocalFileTimeToFileTime(&local, &utc)) utc = FILETIME{};
  return SaveThroughTemporary(target, utc, attributes, copy);
}

bool SaveThroughTemporary(const AnsiString& target, const FILETIME& lastWrite, DWORD attributes,
                          const std::function<bool(HANDLE h)>& copy) {
  AnsiString temporary;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = TemporaryName(target, attempt);
    h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  struct Guard {
    HANDLE h;
    const AnsiString& name;
    ~Guard() {
      if (h == INVALID_HANDLE_VALUE) return;
      CloseHandle(h);
      DeleteFileA(name.c_str());
    }
  } guard{h, temporary};
  if (!copy(h) || h == INVALID_HANDLE_VALUE) return false;
  if (lastWrite.dwLowDateTime != 0 || lastWrite.dwHighDateTime != 0) SetFileTime(h, nullptr, nullptr, &lastWrite);
  CloseHandle(h);
  guard.h = INVALID_HANDLE_VALUE;
  // Read-only lands as permissions, the other DOS bits where Samba keeps them.
  SetFileAttributesA(temporary.c_str(), attributes);
  if (MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileA(temporary.c_str());
  WriteFailed(target);
  return false;
}

namespace {
// The same with the target's attributes already looked up: each look-up
// resolves the whole path again.
bool RefusedAsLink(const AnsiString& target, DWORD a, int message) {
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  MessageDlgStr(message, {target}, TMsgDlgType::mtWarning, mbOK);
  return true;
}
}  // namespace

bool RefusedAsLink(const AnsiString& target, int message) { return RefusedAsLink(target, AttributesOf(target), message); }

int BeforeFile(const AnsiString& target, const AnsiString& destPath, const AnsiString& shownName, int64_t size,
               bool& OverwriteFiles) {
  const DWORD a = AttributesOf(target);
  if (RefusedAsLink(target, a, 1711)) return 0;
  if (!OverwriteFiles && a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) {
    const int answer = Ask(1718, target, 1719);
    if (answer == IDNO) return 0;
    if (answer == IDALL) OverwriteFiles = true;
  }
  // Free space is checked wherever the destination can tell it: a copy that
  // can't fit would only leave a truncated file behind.
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  if (size > 0 && GetDiskFreeSpaceA(destPath.c_str(), &spc, &bps, &freeClusters, &total) &&
      uint64_t(spc) * bps * freeClusters < uint64_t(size)) {
    MessageDlgStr(1717, {shownName, destPath}, TMsgDlgType::mtError, mbOK);
    return -1;
  }
  return 1;
}

bool EnterFolder(TCustomDrive& drive, TObject* D, const AnsiString& target, const AnsiString& shownName,
                 bool& OverwriteAllDirs, bool& OverwriteFiles) {
  if (drive.OnProgress) {
    bool cancel = false;
    drive.OnProgress(&drive, D, target, -1, cancel);
    if (cancel) return false;
  }
  const DWORD a = AttributesOf(target);
  if (RefusedAsLink(target, a, 1720)) return false;
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!OverwriteAllDirs) {
      const int answer = Ask(1715, shownName, 1716);
      if (answer == IDNO) {
        OverwriteFiles = false;
        return false;
      }
      if (answer == IDYES) OverwriteFiles = true;
      if (answer == IDALL) OverwriteAllDirs = OverwriteFiles = true;
    }
  } else if (!CreateDirectoryA(target.c_str(), nullptr)) {
    MessageDlgStr(1720, {target}, TMsgDlgType::mtWarning, mbOK);
  }
  return true;
}

}  // namespace savesteps
