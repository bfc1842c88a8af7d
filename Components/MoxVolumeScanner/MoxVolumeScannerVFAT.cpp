#include "MoxVolumeScannerVFAT.h"

#include "Assert.h"
#include "Diskfs.h"
#include "FileSystems.h"
#include "Ldiskio.h"
#include "MoxVolScan.h"

namespace {

constexpr const char* kUnit = "MoxVolumeScannerVFAT";

uint8_t LetterNumber(WCHAR c) {
  if (c >= u'A' && c <= u'Z') return uint8_t(c - u'A' + 1);
  if (c >= u'a' && c <= u'z') return uint8_t(c - u'a' + 1);
  return 0;
}

// The record's times: FAT keeps local wall-clock times, a find record UTC
// ones, as the other scanners give; creation and last access have no time
// of day. A date the conversion refuses (0, for one) leaves the time zero.
void SetTime(FILETIME& ft, uint16_t date, uint16_t time) {
  FILETIME local;
  if (!DosDateTimeToFileTime(date, time, &local) || !LocalFileTimeToFileTime(&local, &ft)) ft = FILETIME{0, 0};
}

}  // namespace

// Only a volume's root names the volume: a folder mount point such as
// "C:\Mount\" names something else, and scanning all of C: for it would
// report files the host did not ask for.
uint8_t TMoxVolumeScannerVFAT::DriveNumberOf(const WideString& M) {
  if (M.size() == 3 && M[1] == u':' && M[2] == u'\\') return LetterNumber(M[0]);
  if (M.size() == 7 && M.compare(0, 4, u"\\\\?\\") == 0 && M[5] == u':' && M[6] == u'\\') return LetterNumber(M[4]);
  return 0;
}

TMoxVolumeScannerVFAT::TMoxVolumeScannerVFAT(const WideString& AMountPoint)
    : TMoxVolumeScannerThreaded(vsaVFAT, AMountPoint, kUnit) {
  if (!FIsValid) return;
  // Each refusal leaves the reason as the thread's last error.
  auto refuse = [this](DWORD why) {
    Invalidate();
    SetLastError(why);
  };
  const uint8_t N = DriveNumberOf(AMountPoint);
  if (N == 0) {
    refuse(ERROR_INVALID_DRIVE);
    return;
  }
  // The sector routines' buffers and handles come from the module's start-up.
  if (!MoxIsInitialized()) {
    refuse(ERROR_NOT_READY);
    return;
  }
  const AnsiString root = AnsiString(1, char('A' + N - 1)) + ":\\";
  const UINT driveType = GetDriveTypeA(root.c_str());
  if (driveType == DRIVE_NO_ROOT_DIR) {
    refuse(ERROR_PATH_NOT_FOUND);
    return;
  }
  if (driveType != DRIVE_REMOVABLE && driveType != DRIVE_FIXED && driveType != DRIVE_RAMDISK) {
    refuse(ERROR_NOT_SUPPORTED);  // network drives and CD-ROMs
    return;
  }
  TLogDriveParams params{};
  if (!GetLogDriveParams(N, params)) {
    refuse(ERROR_NOT_READY);
    return;
  }
  FDevice = std::make_unique<TDevice>();
  FDevice->Kind = 1;
  FDevice->DriveType = uint8_t(driveType);
  if (params.Removable & 1) FDevice->MediaAttr |= 1;
  FDevice->TotalSectors = params.TotalSectors;
  FDevice->BytesPerSector = uint16_t(params.BytesPerSector);
  FDevice->DeviceFlags = 0;
  FDevice->DriveNumber = N;
  FDevice->CacheLineSize = 0;  // read without the shared cache

  FDrive = std::make_unique<TFATdrive>();
  FDrive->Device = FDevice.get();
  FDrive->IsLost = false;
  FDrive->BootSector = 0;
  FDrive->FirstSector = 0;
  FDrive->TotalSectors = FDevice->TotalSectors;
  FDrive->OnStart = [this](TObject* Sender, TObject* item, const AnsiString& itemStr) { OnStart(Sender, item, itemStr); };
  FDrive->OnFoundItem = [this](TObject* Sender, TObject* item) { OnItem(Sender, item); };
  if (!FDrive->MountDrive(false)) {
    refuse(ERROR_UNRECOGNIZED_VOLUME);
    return;
  }
  // The volume's name must be one of those the registry gives this scanner.
  char fileSystem[261] = {0};
  const FileSystemType* type = nullptr;
  if (GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem, sizeof fileSystem) &&
      CharUpperA(fileSystem) == fileSystem)
    type = FileSystemNamed(std::string_view(fileSystem));
  if (!type || type->rawScanner != vsaVFAT) refuse(ERROR_UNRECOGNIZED_VOLUME);
}

TMoxVolumeScannerVFAT::~TMoxVolumeScannerVFAT() { Invalidate(); }

void TMoxVolumeScannerVFAT::ReleaseScanState() {
  FDrive.reset();
  FDevice.reset();
  FCurrentFile = nullptr;
  FCurrentDirectory = nullptr;
  FPathFolder = nullptr;
}

WideString TMoxVolumeScannerVFAT::GetCurrentPath() {
  // The items belong to the running walk: only its own thread may read them.
  if (GetCurrentThreadId() != FThreadId) return {};
  // A file's path is its folder's; a folder's is its parent's.
  TCustomDirectory* folder = FCurrentFile ? FCurrentFile->Parent
                             : FCurrentDirectory ? FCurrentDirectory->Parent
                                                 : nullptr;
  if (!folder) return {};
  // Items of one folder come one after another: its path is worked out once.
  if (folder != FPathFolder) {
    AnsiString S = folder->GetPath(nullptr);
    if (!S.empty() && S[0] == '\\') S.erase(0, 1);
    if (!S.empty() && S.back() != '\\') S += '\\';
    FPathFolder = folder;
    FPath = AnsiToWide(S);
  }
  return FPath;
}

void TMoxVolumeScannerVFAT::RunScan() {
  FPathFolder = nullptr;
  if (FDrive) FDrive->ScanDrive("*", false, false);
}

bool TMoxVolumeScannerVFAT::ScanWasWhole() { return !FDrive || FDrive->IncompleteFolders == 0; }

// The drive raises its start event only while saving; a scan never gets here.
void TMoxVolumeScannerVFAT::OnStart(TObject* Sender, TObject* item, const AnsiString&) { OnItem(Sender, item); }

void TMoxVolumeScannerVFAT::OnItem(TObject*, TObject* item) {
  if (FAbort.load(std::memory_order_relaxed)) {
    FDrive->CancelScan();
    return;
  }
  if (!item) return;
  auto* file = dynamic_cast<TFATFile*>(item);
  auto* dir = file ? nullptr : dynamic_cast<TFATDirectory*>(item);
  const AnsiString* name = file ? &file->Name : dir ? &dir->Name : nullptr;
  if (!name || name->empty()) return;

  WIN32_FIND_DATAW R{};
  const uint16_t date = file ? file->Date : dir->Date, time = file ? file->Time : dir->Time;
  const uint16_t created = file ? file->CreationDate : dir->CreationDate;
  const uint16_t accessed = file ? file->AccessDate : dir->AccessDate;
  SetTime(R.ftCreationTime, created, 0);
  SetTime(R.ftLastAccessTime, accessed, 0);
  SetTime(R.ftLastWriteTime, date, time);
  if (file) {
    R.dwFileAttributes = file->Attributes;
    R.nFileSizeHigh = DWORD(uint64_t(file->Size) >> 32);
    R.nFileSizeLow = DWORD(uint64_t(file->Size));
  } else {
    R.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  }
  // The terminator is converted too; a name that doesn't fit is not reported.
  if (MultiByteToWideChar(CP_ACP, 0, name->c_str(), int(name->size() + 1), R.cFileName, MAX_PATH) == 0) return;

  // GetCurrentPath reads these while the receivers run; cleared also when one throws.
  struct Current {
    TFATFile*& file;
    TFATDirectory*& dir;
    ~Current() { file = nullptr, dir = nullptr; }
  } current{FCurrentFile, FCurrentDirectory};
  FCurrentFile = file;
  FCurrentDirectory = dir;
  DoItem(this, R);
}
