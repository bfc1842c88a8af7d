#include "SaveSteps.h"

#include <cstdio>

#include "WinApi.h"

namespace savesteps {
namespace {

AnsiString Format(int id, const AnsiString& arg) {
  char text[1024];
  std::snprintf(text, sizeof text, LoadStr(id).c_str(), arg.c_str());
  return text;
}

// A confirmation: the first text formatted, two carriage returns, the second as it stands.
int Ask(int first, const AnsiString& arg, int second) {
  return MessageDlg(Format(first, arg) + "\r\r" + LoadStr(second), TMsgDlgType::mtConfirmation, mbYes | mbNo | mbAll);
}

DWORD AttributesOf(const AnsiString& path) { return GetFileAttributesA(path.c_str()); }

}  // namespace

void WriteFailed(const AnsiString& target) { MessageDlg(Format(1711, target), TMsgDlgType::mtWarning, mbOK); }

bool RefusedAsLink(const AnsiString& target, int message) {
  const DWORD a = AttributesOf(target);
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  MessageDlg(Format(message, target), TMsgDlgType::mtWarning, mbOK);
  return true;
}

int BeforeFile(const AnsiString& target, const AnsiString& destPath, const AnsiString& shownName, int64_t size,
               bool& OverwriteFiles) {
  if (RefusedAsLink(target, 1711)) return 0;
  const DWORD a = AttributesOf(target);
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
    char text[1024];
    std::snprintf(text, sizeof text, LoadStr(1717).c_str(), shownName.c_str(), destPath.c_str());
    MessageDlg(text, TMsgDlgType::mtError, mbOK);
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
  if (RefusedAsLink(target, 1720)) return false;
  const DWORD a = AttributesOf(target);
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
    MessageDlg(Format(1720, target), TMsgDlgType::mtWarning, mbOK);
  }
  return true;
}

}  // namespace savesteps
