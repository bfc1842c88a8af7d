// FAT item saving: files and folder trees copied out into a host folder,
// with the overwrite questions, progress, and time and attributes restored.
#include <cfenv>
#include <cmath>
#include <memory>
#include <vector>

#include "DiskfsInternal.h"
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

// A confirmation: the first text formatted, two carriage returns, the second as it stands.
int Ask(int first, const AnsiString& arg, int second) {
  return MessageDlg(Fmt(LoadStr(first).c_str(), arg.c_str()) + "\r\r" + LoadStr(second), TMsgDlgType::mtConfirmation,
                    mbYes | mbNo | mbAll);
}

AnsiString TargetName(const AnsiString& name, bool longName) {
  return MakeSafeFileName(ReplaceDeletedChar(name, longName));
}

// Strings 1712/1713 name the device, the first cluster and the 64-bit size.
void ShowSourceError(int id, const TFATdrive& drive, const TFATFile& f) {
  AnsiString fmt = LoadStr(id);
  for (size_t p = fmt.find("%d"); p != AnsiString::npos; p = fmt.find("%d", p + 4)) fmt.replace(p, 2, "%lld");
  MessageDlg(Fmt(fmt.c_str(), drive.Device ? drive.Device->Text.c_str() : "", (long long)f.StartCluster,
                 (long long)f.Size),
             TMsgDlgType::mtWarning, mbOK);
}

}  // namespace

AnsiString MakeSafeFileName(const AnsiString& Name) {
  if (Name.empty() || Name == ".") return "_";
  if (Name == "..") return "__";
  AnsiString out = Name;
  // A long name of 255 characters can pass the host's 255-byte limit in
  // UTF-8; cut it at a character boundary rather than fail the save.
  if (out.size() > 255) {
    size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == '/' || c == '\\') c = '_';
  }
  return out;
}

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

bool TFATdrive::SaveFile(TFATFile* F, const AnsiString& DestPath, uint8_t FATNumber, bool& OverwriteFiles) {
  const AnsiString target = DestPath + TargetName(F->Name, F->LongName);
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
    MessageDlg(Fmt(LoadStr(1717).c_str(), ReplaceDeletedChar(F->Name, F->LongName).c_str(), DestPath.c_str()),
               TMsgDlgType::mtError, mbOK);
    return false;
  }
  return F->SaveTo(DestPath, FATNumber);
}

bool TFATdrive::SaveDirectory(TFATDirectory* D, const AnsiString& DestPath, bool IncludeDeleted, bool DeletedOnly,
                              bool Recurse, uint8_t FATNumber, bool& OverwriteAllDirs, bool& OverwriteFiles) {
  bool result = true;
  const AnsiString target = DestPath + TargetName(D->Name, D->LongName);
  if (OnProgress) {
    bool cancel = false;
    OnProgress(this, D, target, -1, cancel);
    if (cancel) return true;
  }
  if (IsFolder(target)) {
    if (!OverwriteAllDirs) {
      const int answer = Ask(1715, ReplaceDeletedChar(D->Name, D->LongName), 1716);
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
  bool result = false;
  TFATFileInfo info;
  const auto size = static_cast<uint32_t>(Size);
  if (!drive->ResetByCluster(StartCluster, size, info)) {
    ShowSourceError(1713, *drive, *this);
    return false;
  }
  const AnsiString target = DestPath + MakeSafeFileName(ReplaceDeletedChar(Name, LongName));
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

  std::vector<uint8_t> buffer(65536);
  HANDLE h = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  result = h != INVALID_HANDLE_VALUE;
  struct HandleGuard {
    HANDLE h;
    ~HandleGuard() {
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  } handleGuard{h};

  if (Size > 0) {
    uint64_t total = 0;
    DWORD written = 0;
    uint32_t n = 0;
    bool cancel = false;
    do {
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
  if (h != INVALID_HANDLE_VALUE) {
    if (Time != 0 && Date != 0) {
      FILETIME ft;
      if (DosDateTimeToFileTime(Date, Time, &ft)) SetFileTime(h, nullptr, nullptr, &ft);
    }
    // Read-only lands as permissions, the other DOS bits where Samba keeps them.
    SetFileAttributesA(target.c_str(), Attributes);
  }
  return result;
}
