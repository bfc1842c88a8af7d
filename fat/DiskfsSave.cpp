// FAT item saving: files and folder trees copied out into a host folder,
// with the overwrite questions, progress, and time and attributes restored.
#include <atomic>
#include <cfenv>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DiskfsInternal.h"
#include "Helpers.h"
#include "WinApi.h"

using diskfs::Fmt;

namespace {

bool IsFolder(const AnsiString& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const AnsiString& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// A link where an item would go is neither written through nor replaced:
// the user is told and the save goes on with the next item.
bool RefusedAsLink(const AnsiString& target, int message) {
  const DWORD a = GetFileAttributesA(target.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  MessageDlg(Fmt(LoadStr(message).c_str(), target.c_str()), TMsgDlgType::mtWarning, mbOK);
  return true;
}

// name, or "name (2).ext", "name (3).ext" ... whichever is not in used yet;
// the stem is cut (at a character boundary) so the name stays in 255 bytes.
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

// A name in the target folder that no save of this process uses at the same time.
AnsiString TemporaryName(const AnsiString& destPath, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  return destPath + ".~save-" + std::to_string(GetTickCount()) + "-" + std::to_string(++counter + attempt) + ".tmp";
}

// A confirmation: the first text formatted, two carriage returns, the second as it stands.
int Ask(int first, const AnsiString& arg, int second) {
  return MessageDlg(Fmt(LoadStr(first).c_str(), arg.c_str()) + "\r\r" + LoadStr(second), TMsgDlgType::mtConfirmation,
                    mbYes | mbNo | mbAll);
}

AnsiString TargetName(const TObject* item) { return MakeSafeFileName(ItemDisplayName(item)); }

// Strings 1712/1713 name the device, the first cluster and the 64-bit size.
void ShowSourceError(int id, const TFATdrive& drive, const TFATFile& f) {
  AnsiString fmt = LoadStr(id);
  for (size_t p = fmt.find("%d"); p != AnsiString::npos; p = fmt.find("%d", p + 4)) fmt.replace(p, 2, "%lld");
  MessageDlg(Fmt(fmt.c_str(), drive.Device ? drive.Device->Text.c_str() : "", (long long)f.StartCluster,
                 (long long)f.Size),
             TMsgDlgType::mtWarning, mbOK);
}

}  // namespace

bool TFATdrive::SaveItem(TObject* Item, const AnsiString& DestPath, uint8_t FATNumber) {
  bool overwriteFiles = false, overwriteAllDirs = false;
  // A folder given without its closing separator still means "into it".
  AnsiString dest = DestPath;
  if (!dest.empty() && dest.back() != '\\' && dest.back() != '/') dest += '\\';
  if (auto* f = dynamic_cast<TFATFile*>(Item)) return SaveFile(f, dest, FATNumber, overwriteFiles);
  if (auto* d = dynamic_cast<TFATDirectory*>(Item))
    return SaveDirectory(d, dest, true, true, true, FATNumber, overwriteAllDirs, overwriteFiles);
  return false;
}

AnsiString TFATdrive::SaveTargetName(TObject* Item) const {
  const auto it = FSaveNames.find(Item);
  return it != FSaveNames.end() ? it->second : TargetName(Item);
}

bool TFATdrive::SaveFile(TFATFile* F, const AnsiString& DestPath, uint8_t FATNumber, bool& OverwriteFiles) {
  const AnsiString target = DestPath + SaveTargetName(F);
  if (RefusedAsLink(target, 1711)) return true;
  if (!OverwriteFiles && IsFile(target)) {
    const int answer = Ask(1718, target, 1719);
    if (answer == IDNO) return true;
    if (answer == IDALL) OverwriteFiles = true;
  }
  // Free space is checked wherever the destination can tell it: a copy that
  // can't fit would only leave a truncated file behind.
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  if (F->Size > 0 && GetDiskFreeSpaceA(DestPath.c_str(), &spc, &bps, &freeClusters, &total) &&
      uint64_t(spc) * bps * freeClusters < uint64_t(F->Size)) {
    MessageDlg(Fmt(LoadStr(1717).c_str(), ItemDisplayName(F).c_str(), DestPath.c_str()),
               TMsgDlgType::mtError, mbOK);
    return false;
  }
  return F->SaveTo(DestPath, FATNumber);
}

bool TFATdrive::SaveDirectory(TFATDirectory* D, const AnsiString& DestPath, bool IncludeDeleted, bool DeletedOnly,
                              bool Recurse, uint8_t FATNumber, bool& OverwriteAllDirs, bool& OverwriteFiles) {
  bool result = true;
  const AnsiString target = DestPath + SaveTargetName(D);
  if (OnProgress) {
    bool cancel = false;
    OnProgress(this, D, target, -1, cancel);
    if (cancel) return true;
  }
  if (RefusedAsLink(target, 1720)) return true;
  if (IsFolder(target)) {
    if (!OverwriteAllDirs) {
      const int answer = Ask(1715, ItemDisplayName(D), 1716);
      if (answer == IDNO) {
        OverwriteFiles = false;
        return true;
      }
      if (answer == IDYES) OverwriteFiles = true;
      if (answer == IDALL) OverwriteAllDirs = OverwriteFiles = true;
    }
  } else if (!CreateDirectoryA(target.c_str(), nullptr)) {
    MessageDlg(Fmt(LoadStr(1720).c_str(), target.c_str()), TMsgDlgType::mtWarning, mbOK);
  }
  const bool built = !D->Children;
  if (built) D->AddChildren(IncludeDeleted, DeletedOnly);
  if (D->Children) {
    std::shared_ptr<TChildList> list = D->Children;
    // Names that are alike once made safe (a live file and its deleted
    // predecessor, "a/b" and "a_b", long names cut to 255 bytes) would
    // overwrite each other: later ones get a number.
    std::set<AnsiString> used;
    for (TObject* child : *list) {
      if (!dynamic_cast<TFATFile*>(child) && !dynamic_cast<TFATDirectory*>(child)) continue;
      const AnsiString name = DistinctName(TargetName(child), used);
      used.insert(name);
      FSaveNames[child] = name;
    }
    struct NamesGuard {
      std::map<const TObject*, AnsiString>& names;
      const TChildList& list;
      ~NamesGuard() {
        for (TObject* child : list) names.erase(child);
      }
    } namesGuard{FSaveNames, *list};
    for (TObject* child : *list) {
      if (auto* f = dynamic_cast<TFATFile*>(child)) {
        result = SaveFile(f, target + "\\", FATNumber, OverwriteFiles);
      } else if (auto* sub = dynamic_cast<TFATDirectory*>(child)) {
        if (!Recurse) continue;
        result = SaveDirectory(sub, target + "\\", IncludeDeleted, DeletedOnly, Recurse, FATNumber, OverwriteAllDirs,
                               OverwriteFiles);
      } else {
        continue;
      }
      if (!result) break;
    }
  }
  if (built && D->Children) {
    D->DeleteChildren();
    D->Children.reset();
  }
  return result;
}

bool TFATFile::SaveTo(const AnsiString& DestPath, uint8_t FATNumber) {
  auto* drive = dynamic_cast<TFATdrive*>(Drive);
  if (!drive) return false;
  // Deleted files have lost their chains; live ones still follow them.
  if (FATNumber == fatNumberByState) FATNumber = Deleted ? 0 : 1;
  bool result = false;
  TFATFileInfo info;
  const auto size = static_cast<uint32_t>(Size);
  if (!drive->ResetByCluster(StartCluster, size, info)) {
    ShowSourceError(1713, *drive, *this);
    return false;
  }
  const AnsiString target = DestPath + drive->SaveTargetName(this);
  if (drive->OnStart) drive->OnStart(this, this, target);
  // OnEnd fires however the copy ends, faults included.
  struct EndGuard {
    TFATFile* file;
    TFATdrive* drive;
    const AnsiString& target;
    ~EndGuard() {
      if (drive->OnEnd) drive->OnEnd(file, file, target);
    }
  } endGuard{this, drive, target};

  // The copy grows under a temporary name and takes the target's name only
  // once complete, so an interrupted or failed save never leaves a partial
  // file that looks like the whole one.
  std::vector<uint8_t> buffer(65536);
  AnsiString temporary;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = TemporaryName(DestPath, attempt);
    h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  result = h != INVALID_HANDLE_VALUE;
  struct TemporaryGuard {
    HANDLE h;
    const AnsiString& name;
    bool keep = false;
    ~TemporaryGuard() {
      if (h == INVALID_HANDLE_VALUE) return;
      CloseHandle(h);
      if (!keep) DeleteFileA(name.c_str());
    }
  } temporaryGuard{h, temporary};

  bool cancel = false;
  if (Size > 0) {
    uint64_t total = 0;
    DWORD written = 0;
    uint32_t n = 0;
    do {
      // The reader ends short where a chain ends early, leaves the volume or
      // comes back to a cluster it has read; the copy is then shorter than
      // the file, which its caller can see, rather than padded with repeated
      // data that would pass for the whole file.
      const bool ok = drive->BlockRead(info, uint32_t(buffer.size()), buffer.data(), FATNumber, n);
      result = ok;
      total += n;
      if (drive->OnProgress) {
        cancel = false;
        const int percent = static_cast<int>(std::nearbyint(double(total) / double(Size) * 100.0));
        drive->OnProgress(this, this, target, percent, cancel);
      }
      if (!ok) {
        ShowSourceError(1712, *drive, *this);
        break;
      }
      written = 0;
      result = WriteFile(h, buffer.data(), n, &written, nullptr) != FALSE;
      if (!result) MessageDlg(Fmt(LoadStr(1711).c_str(), target.c_str()), TMsgDlgType::mtWarning, mbOK);
      // Done at the size: no empty read (and no repeated 100 %) after the last piece.
    } while (written > 0 && result && n >= 4 && !cancel && total < uint64_t(Size));
  }
  // A cancelled copy is not kept, and the caller hears it was not saved.
  if (cancel) result = false;
  if (h != INVALID_HANDLE_VALUE && result) {
    if (Time != 0 && Date != 0) {
      FILETIME ft;
      if (DosDateTimeToFileTime(Date, Time, &ft)) SetFileTime(h, nullptr, nullptr, &ft);
    }
    CloseHandle(h);
    temporaryGuard.h = INVALID_HANDLE_VALUE;
    // Read-only lands as permissions, the other DOS bits where Samba keeps them.
    SetFileAttributesA(temporary.c_str(), Attributes);
    if (MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      temporaryGuard.keep = true;
    } else {
      result = false;
      DeleteFileA(temporary.c_str());
      MessageDlg(Fmt(LoadStr(1711).c_str(), target.c_str()), TMsgDlgType::mtWarning, mbOK);
    }
  }
  return result;
}
