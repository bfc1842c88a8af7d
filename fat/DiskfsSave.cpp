// FAT item saving: files and folder trees copied out into a host folder,
// with the overwrite questions, progress, and time and attributes restored.
#include <cfenv>
#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DiskfsInternal.h"
#include "Helpers.h"
#include "SaveSteps.h"
#include "WinApi.h"

namespace {

AnsiString TargetName(const TObject* item) { return MakeSafeFileName(ItemDisplayName(item)); }

// Strings 1712/1713 name the device, the first cluster and the 64-bit size.
void ShowSourceError(int id, const TFATdrive& drive, const TFATFile& f) {
  MessageDlgStr(id, {drive.Device ? drive.Device->Text : "", std::to_string(f.StartCluster), std::to_string(f.Size)},
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
  const int go =
      savesteps::BeforeFile(DestPath + SaveTargetName(F), DestPath, ItemDisplayName(F), F->Size, OverwriteFiles);
  if (go <= 0) return go == 0;
  return F->SaveTo(DestPath, FATNumber);
}

bool TFATdrive::SaveDirectory(TFATDirectory* D, const AnsiString& DestPath, bool IncludeDeleted, bool DeletedOnly,
                              bool Recurse, uint8_t FATNumber, bool& OverwriteAllDirs, bool& OverwriteFiles) {
  // A start folder is the whole volume: what it holds goes into DestPath
  // itself, which its caller has made, and its names follow the rule of any
  // folder's.
  const bool wholeVolume = !D->Parent;
  AnsiString target = wholeVolume ? DestPath : DestPath + SaveTargetName(D);
  if (wholeVolume && !target.empty() && (target.back() == '\\' || target.back() == '/')) target.pop_back();
  if (!wholeVolume &&
      !savesteps::EnterFolder(*this, D, target, ItemDisplayName(D), OverwriteAllDirs, OverwriteFiles))
    return true;
  // Names alike once made safe: later ones get a number, until the folder is done.
  savesteps::FolderNames names(FSaveNames);
  auto nameChildren = [&](const TChildList& list) {
    for (TObject* child : list)
      if (dynamic_cast<TFATFile*>(child) || dynamic_cast<TFATDirectory*>(child)) names.Add(child, TargetName(child));
  };
  const AnsiString into = target + "\\";
  return savesteps::SaveChildren<TFATFile, TFATDirectory>(
      D, Recurse, [&] { D->AddChildren(IncludeDeleted, DeletedOnly); }, nameChildren,
      [&](TFATFile* f) { return SaveFile(f, into, FATNumber, OverwriteFiles); },
      [&](TFATDirectory* sub) {
        return SaveDirectory(sub, into, IncludeDeleted, DeletedOnly, Recurse, FATNumber, OverwriteAllDirs,
                             OverwriteFiles);
      });
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

  std::vector<uint8_t> buffer(65536);
  // The reader ends short where a chain ends early, leaves the volume or
  // comes back to a cluster it has read; the copy is then shorter than the
  // file, which its caller can see, rather than padded with repeated data
  // that would pass for the whole file.
  result = savesteps::SaveThroughTemporary(target, Date, Time, Attributes, [&](HANDLE h) {
    bool cancel = false;
    const bool copied = savesteps::CopyPieces(
        *drive, this, target, Size, h, buffer,
        [&](uint8_t* data, uint32_t& n) { return drive->BlockRead(info, uint32_t(buffer.size()), data, FATNumber, n); },
        [&] { ShowSourceError(1712, *drive, *this); }, cancel);
    // A cancelled copy is not kept, and the caller hears it was not saved.
    return copied && !cancel;
  });
  return result;
}
