// NTFS file reading and saving: the open-file record's operations, the
// stream, and items copied out into a host folder.
#include <algorithm>
#include <cmath>
#include <vector>

#include "Helpers.h"
#include "NtfsInternal.h"
#include "SaveSteps.h"
#include "WinApi.h"

using ntfs::Log;

namespace {

// String 1721 (id) or, with id 0, the fixed read-failure text: device,
// record number and 64-bit size.
void ShowSourceError(int id, const TNTFSdrive& drive, const TNTFSFile& f) {
  std::vector<AnsiString> args{drive.Device ? drive.Device->Text : "", std::to_string(f.MFTfileRef),
                               std::to_string(f.Size)};
  if (id) {
    MessageDlgStr(id, std::move(args), TMsgDlgType::mtWarning, mbOK);
    return;
  }
  MessageDlg(FormatStr("Could not read source file! (device: %s, MFT file ref: %d, size: %d)", args),
             TMsgDlgType::mtWarning, mbOK);
}

}  // namespace

// ---- Reading ------------------------------------------------------------------------------

bool TNTFSdrive::resetByMFTfileRef(int64_t MFTfileRef, int64_t Size, TNTFSfileInfo& Info) {
  Info.MFTfileRef = MFTfileRef;
  Info.Position = 0;
  Info.Size = Size;
  ntfs::Log("Resetting MFT file record: %lld... (TNTFSdrive.resetByMFTfileRef)", (long long)MFTfileRef);
  return true;
}

bool TNTFSdrive::seek(TNTFSfileInfo& Info, int64_t Pos) {
  if (Pos >= Info.Size) return false;
  Info.Position = Pos;
  return true;
}

bool TNTFSdrive::blockread(TNTFSfileInfo& Info, uint32_t Count, void* Buffer, uint32_t& BytesRead) {
  ntfs::Log("Reading bytes of MFT file record : %lld at position %lld, count: %d..., filesize: %lld "
            "(TNTFSdrive.blockread)",
            (long long)Info.MFTfileRef, (long long)Info.Position, int(Count), (long long)Info.Size);
  BytesRead = 0;
  if (Info.Size == Info.Position) return true;
  if (Info.Size < Info.Position || Info.Position < 0) return false;
  try {
    const auto n = uint32_t(std::min<int64_t>(Count, Info.Size - Info.Position));
    if (Info.MFTfileRef < 0 || Info.MFTfileRef > 0xFFFFFFFF) throw std::range_error("MFT record number out of range");
    std::vector<uint8_t> record(BytesPerFileRecord);
    if (BytesPerFileRecord == 0 || !ReadFileRecord(uint32_t(Info.MFTfileRef), record.data()) ||
        !HasMagic(record.data(), "FILE"))
      return false;
    // A fragmented file keeps its data runs in extension records.
    std::vector<uint8_t> data;
    if (!GatherAttribute(record.data(), uint32_t(Info.MFTfileRef), atData, nullptr, data)) return false;
    const auto* attribute = reinterpret_cast<const TATTRIBUTE*>(data.data());
    auto* out = static_cast<uint8_t*>(Buffer);
    BytesRead = BlockReadAttribute(attribute, out, Info.Position, n);
    // A run of clusters is read at once and fails whole: the clusters before
    // the one that can't be read are still the file's, and a reader wants
    // them (an image cut short, a bad sector).
    while (BytesRead < n && BytesPerCluster > 0) {
      const int64_t at = Info.Position + BytesRead;
      const uint32_t piece = std::min<uint32_t>(n - BytesRead, BytesPerCluster - uint32_t(at % BytesPerCluster));
      const uint32_t got = BlockReadAttribute(attribute, out + BytesRead, at, piece);
      BytesRead += got;
      if (got < piece) break;
    }
    Info.Position += BytesRead;
    return BytesRead >= n;
  } catch (const std::exception&) {
    return false;
  }
}

// ---- Stream ---------------------------------------------------------------------------------

TNTFSStream::TNTFSStream(TNTFSdrive* Drive, int64_t MFTfileRef, int64_t Size)
    : FSize(Size), FMFTfileRef(MFTfileRef), FDrive(Drive) {
  if (Size < 0 || Size > int64_t(0xFFFFFFFF)) throw std::range_error("stream size out of range");
  if (!FDrive || !FDrive->resetByMFTfileRef(MFTfileRef, Size, FInfo)) FSize = 0;
}

TNTFSStream::~TNTFSStream() {
  if (FDrive) FDrive->close(FInfo);
}

int32_t TNTFSStream::Read(void* Buffer, int32_t Count) {
  if (Count < 0) throw std::range_error("negative count");
  uint32_t n = 0;
  if (!FDrive || !FDrive->blockread(FInfo, uint32_t(Count), Buffer, n)) return 0;
  return static_cast<int32_t>(n);
}

int32_t TNTFSStream::Seek(int32_t Offset, uint16_t Origin) {
  int64_t position = FPosition;
  switch (Origin) {
    case soFromBeginning: position = Offset; break;
    case soFromCurrent: position = FPosition + Offset; break;
    case soFromEnd: position = FSize + Offset; break;
    default: break;
  }
  if (position < INT32_MIN || position > INT32_MAX) throw std::range_error("stream position out of range");
  FPosition = position;
  if (FDrive) FDrive->seek(FInfo, FPosition);
  return static_cast<int32_t>(FPosition);
}

void TNTFSStream::SetPosition(int64_t Pos) {
  if (FDrive) FDrive->seek(FInfo, Pos);
}

// ---- Saving -----------------------------------------------------------------------------------

bool TNTFSdrive::SaveItem(TObject* Item, const AnsiString& DestPath) {
  bool overwriteFiles = false, overwriteAllDirs = false;
  // A folder given without its closing separator still means "into it".
  AnsiString dest = DestPath;
  if (!dest.empty() && dest.back() != '\\' && dest.back() != '/') dest += '\\';
  if (auto* f = dynamic_cast<TNTFSFile*>(Item)) return SaveFile(f, dest, overwriteFiles);
  if (auto* d = dynamic_cast<TNTFSDirectory*>(Item))
    return SaveDirectory(d, dest, true, true, true, overwriteAllDirs, overwriteFiles);
  return false;
}

AnsiString TNTFSdrive::SaveTargetName(const TObject* Item) const {
  if (const auto it = FSaveNames.find(Item); it != FSaveNames.end()) return it->second;
  if (const auto* f = dynamic_cast<const TNTFSFile*>(Item)) return MakeSafeFileName(f->Name);
  if (const auto* d = dynamic_cast<const TNTFSDirectory*>(Item)) return MakeSafeFileName(d->Name);
  return MakeSafeFileName("");
}

bool TNTFSdrive::SaveFile(TNTFSFile* F, const AnsiString& DestPath, bool& OverwriteFiles) {
  const int go = savesteps::BeforeFile(DestPath + SaveTargetName(F), DestPath, F->Name, F->Size, OverwriteFiles);
  if (go <= 0) return go == 0;
  if (SaveLargeFile && F->Size > int64_t(0xFFFFFFFF)) return SaveLargeFile(F, DestPath);
  return F->SaveTo(DestPath);
}

bool TNTFSdrive::SaveDirectory(TNTFSDirectory* D, const AnsiString& DestPath, bool IncludeDeleted, bool DeletedOnly,
                               bool Recurse, bool& OverwriteAllDirs, bool& OverwriteFiles) {
  ntfs::Log("Saving directory %s to %s... (TNTFSdrive.SaveDirectory)", D->Name.c_str(), DestPath.c_str());
  const AnsiString target = DestPath + SaveTargetName(D);
  if (!savesteps::EnterFolder(*this, D, target, D->Name, OverwriteAllDirs, OverwriteFiles)) return true;
  // Names alike once made safe: later ones get a number, until the folder is done.
  savesteps::FolderNames names(FSaveNames);
  const AnsiString into = target + "\\";
  return savesteps::SaveChildren<TNTFSFile, TNTFSDirectory>(
      D, Recurse,
      [&] {
        D->AddChildren(IncludeDeleted, DeletedOnly);
        // Children made only for the save are freed after it.
        if (D->Children) ItemBudget += D->Children->size();
      },
      [&](const TChildList& list) {
        for (TObject* child : list)
          if (dynamic_cast<TNTFSFile*>(child) || dynamic_cast<TNTFSDirectory*>(child))
            names.Add(child, SaveTargetName(child));
      },
      [&](TNTFSFile* f) { return SaveFile(f, into, OverwriteFiles); },
      [&](TNTFSDirectory* sub) {
        return SaveDirectory(sub, into, IncludeDeleted, DeletedOnly, Recurse, OverwriteAllDirs, OverwriteFiles);
      });
}

bool TNTFSFile::SaveTo(const AnsiString& DestPath) {
  auto* drive = dynamic_cast<TNTFSdrive*>(Drive);
  if (!drive) return false;
  if (Attributes & kFileAttributeCompressed)
    ntfs::Log("WARNING! Compression not supported! file %s, MFT %lld (TNTFSfile.SaveTo)", Name.c_str(),
              (long long)MFTfileRef);
  if (Attributes & kFileAttributeEncrypted)
    ntfs::Log("WARNING! Encryption not supported! file %s, MFT %lld (TNTFSfile.SaveTo)", Name.c_str(),
              (long long)MFTfileRef);
  ntfs::Log("Saving NTFS file %s (MFT: %lld) to %s... (TNTFSfile.SaveTo)", Name.c_str(), (long long)MFTfileRef,
            DestPath.c_str());
  const AnsiString target = DestPath + drive->SaveTargetName(this);
  bool result = false;
  bool bufferAllocated = false;
  try {
    if (Size < 0 || Size > int64_t(0xFFFFFFFF)) throw std::range_error("Range check error");
    TNTFSfileInfo info;
    if (!drive->resetByMFTfileRef(int64_t(MFTfileRef), Size, info)) {
      ShowSourceError(1721, *drive, *this);
      return false;
    }
    if (drive->OnStart) drive->OnStart(this, this, target);
    KeepWindowsAlive();
    std::vector<uint8_t> buffer(65536);
    bufferAllocated = true;
    result = savesteps::SaveThroughTemporary(target, LastWriteTime, Attributes, [&](HANDLE h) {
      bool cancel = false;
      const bool copied = savesteps::CopyPieces(
          *drive, this, target, Size, h, buffer,
          [&](uint8_t* data, uint32_t& n) { return drive->blockread(info, uint32_t(buffer.size()), data, n); },
          [&] { ShowSourceError(0, *drive, *this); }, cancel);
      if (h == INVALID_HANDLE_VALUE) throw std::range_error("Range check error");
      return copied && !cancel;
    });
    drive->close(info);
  } catch (const std::exception& e) {
    ntfs::LogException(&e, " (TNTFSfile.SaveTo file %s, MFTfileRef %lld, destination %s)", Name.c_str(),
                       (long long)MFTfileRef, DestPath.c_str());
    result = false;
  }
  if (bufferAllocated && drive->OnEnd) drive->OnEnd(this, this, target);
  return result;
}
