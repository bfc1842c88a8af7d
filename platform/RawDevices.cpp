#include "RawDevices.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "BootSector.h"
#include "Partitions.h"

namespace {

constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kFileCasePreservedNames = 0x2;
constexpr DWORD kFileUnicodeOnDisk = 0x4;

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

bool CopyName(const std::string& name, char* out, DWORD size) {
  if (!out) return true;
  if (name.size() + 1 > size) return false;
  std::memcpy(out, name.c_str(), name.size() + 1);
  return true;
}

}  // namespace

RawHandle* AsRawHandle(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<RawHandle*>(h);
}

std::optional<DriveBinding> DeviceBindingOf(const std::string& name, bool& isDeviceName) {
  isDeviceName = false;
  if (name.compare(0, 4, "\\\\.\\") != 0) return std::nullopt;
  isDeviceName = true;
  const std::string rest = name.substr(4);
  if (rest.size() == 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0])))
    return GetDriveBinding(rest[0]);
  if (StartsWithNoCase(rest, "PhysicalDrive") && rest.size() > 13 && rest.size() <= 13 + 9) {
    unsigned number = 0;
    for (size_t i = 13; i < rest.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return std::nullopt;
      number = number * 10 + static_cast<unsigned>(rest[i] - '0');
    }
    return GetPhysicalDriveBinding(number);
  }
  return std::nullopt;
}

HANDLE OpenRawHandle(const std::optional<DriveBinding>& binding, DWORD access) {
  if (!binding || !binding->raw) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if ((access & GENERIC_WRITE) && !binding->raw->Writable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  auto* f = new RawHandle;
  f->raw = binding->raw;
  f->canRead = (access & GENERIC_READ) != 0;
  f->canWrite = (access & GENERIC_WRITE) != 0;
  f->driveType = binding->driveType;
  f->sectorSize = binding->sectorSize ? binding->sectorSize : 512;
  SetLastError(ERROR_SUCCESS);
  return f;
}

bool TransferAllowed(bool permitted, const void* buffer, DWORD length) {
  if (!permitted) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (length != 0 && !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

BOOL RawReadFile(RawHandle& f, void* buffer, DWORD toRead, DWORD* read) {
  if (read) *read = 0;
  if (!TransferAllowed(f.canRead, buffer, toRead)) return FALSE;
  size_t done = 0;
  if (!f.raw->ReadAt(f.position, buffer, toRead, done)) {
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  done = std::min<size_t>(done, toRead);  // a host source must not claim more than asked
  f.position += done;
  if (read) *read = static_cast<DWORD>(done);
  return TRUE;
}

BOOL RawWriteFile(RawHandle& f, const void* buffer, DWORD toWrite, DWORD* written) {
  if (written) *written = 0;
  if (!TransferAllowed(f.canWrite, buffer, toWrite)) return FALSE;
  // A volume does not grow: writing past its end is a missing sector.
  const uint64_t size = f.raw->Size();
  const size_t room = f.position >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(size - f.position, toWrite));
  size_t done = 0;
  const bool ok = f.raw->WriteAt(f.position, buffer, room, done);
  done = std::min(done, room);
  f.position += done;
  if (written) *written = static_cast<DWORD>(done);
  if (!ok) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (room < toWrite) {
    SetLastError(ERROR_SECTOR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

bool PiecesValid(const ReadPiece* pieces, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (!pieces[i].buffer && pieces[i].len) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  return true;
}

BOOL RawReadFilePieces(RawHandle& f, ReadPiece* pieces, size_t count) {
  if (!TransferAllowed(f.canRead, nullptr, 0)) return FALSE;
  if (!PiecesValid(pieces, count)) return FALSE;
  f.raw->ReadManyAt(pieces, count);
  return TRUE;
}

DWORD MoveFilePointer(uint64_t& position, uint64_t size, LONG distance, LONG* distanceHigh, DWORD method) {
  // Without the high part the distance is a signed 32-bit value.
  const int64_t move = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                           static_cast<uint32_t>(distance))
                                    : static_cast<int64_t>(distance);
  int64_t base;
  switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<int64_t>(position); break;
    case FILE_END: base = static_cast<int64_t>(size); break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
  }
  int64_t target;
  if (__builtin_add_overflow(base, move, &target) || target < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // a negative seek
    return INVALID_SET_FILE_POINTER;
  }
  position = static_cast<uint64_t>(target);
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  SetLastError(ERROR_SUCCESS);  // tells a low part of 0xFFFFFFFF from a failure
  return static_cast<DWORD>(static_cast<uint64_t>(target));
}

// A floppy format where the size is one, 255 heads x 63 sectors where it
// divides, otherwise every sector its own cylinder.
void GeometryFor(uint64_t totalSectors, uint32_t sectorSize, UINT driveType, DISK_GEOMETRY& g) {
  struct Floppy {
    uint64_t sectors;
    uint32_t media, cylinders, heads, perTrack;
  };
  static constexpr Floppy kFloppies[] = {
      {720, 5, 40, 2, 9}, {1440, 6, 80, 2, 9}, {2400, 1, 80, 2, 15}, {2880, 2, 80, 2, 18}, {5760, 3, 80, 2, 36}};
  g = DISK_GEOMETRY{};
  g.BytesPerSector = sectorSize;
  g.MediaType = driveType == DRIVE_REMOVABLE ? RemovableMedia : FixedMedia;
  if (driveType == DRIVE_REMOVABLE && sectorSize == 512) {
    for (const auto& f : kFloppies) {
      if (f.sectors != totalSectors) continue;
      g.MediaType = f.media;
      g.Cylinders = f.cylinders;
      g.TracksPerCylinder = f.heads;
      g.SectorsPerTrack = f.perTrack;
      return;
    }
  }
  if (totalSectors != 0 && totalSectors % (255 * 63) == 0) {
    g.Cylinders = static_cast<int64_t>(totalSectors / (255 * 63));
    g.TracksPerCylinder = 255;
    g.SectorsPerTrack = 63;
  } else {
    g.Cylinders = static_cast<int64_t>(totalSectors);
    g.TracksPerCylinder = 1;
    g.SectorsPerTrack = 1;
  }
}

BOOL RawDeviceIoControl(RawHandle& f, DWORD code, void* out, DWORD outSize, DWORD* returned) {
  if (returned) *returned = 0;
  const uint64_t size = f.raw->Size();
  switch (code) {
    case IOCTL_STORAGE_CHECK_VERIFY:
      if (size == 0) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
      }
      return TRUE;
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
      if (f.driveType != DRIVE_CDROM) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
      }
      [[fallthrough]];
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
      if (!out || outSize < sizeof(DISK_GEOMETRY)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      // An empty source stands for a drive without a medium.
      if (size == 0) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
      }
      DISK_GEOMETRY g;
      GeometryFor(size / f.sectorSize, f.sectorSize, f.driveType, g);
      std::memcpy(out, &g, sizeof g);
      if (returned) *returned = sizeof g;
      return TRUE;
    }
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
  }
}

char LetterOfRoot(const char* rootPath) {
  if (!rootPath) return 0;
  const std::string p = StripLongPathPrefix(rootPath);
  if (p.size() < 2 || p[1] != ':' || !std::isalpha(static_cast<unsigned char>(p[0]))) return 0;
  if (p.size() > 3 || (p.size() == 3 && p[2] != '\\' && p[2] != '/')) return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
}

BOOL BoundVolumeInformation(const DriveBinding& binding, char* volumeName, DWORD volumeNameSize,
                            DWORD* serialNumber, DWORD* maxComponentLength, DWORD* fileSystemFlags,
                            char* fileSystemName, DWORD fileSystemNameSize) {
  BootSectorInfo boot;
  if (binding.raw) ReadBootSectorInfo(*binding.raw, boot);
  std::string fsName = binding.fileSystemName;
  if (fsName.empty()) fsName = boot.fileSystemName;
  if (fsName.empty() && !binding.rootDir.empty()) fsName = FileSystemNameFromMountTable(binding.rootDir);
  if (fsName.empty()) {
    SetLastError(ERROR_NOT_READY);  // nothing recognisable behind the letter
    return FALSE;
  }
  if (!CopyName(boot.label, volumeName, volumeNameSize) || !CopyName(fsName, fileSystemName, fileSystemNameSize)) {
    SetLastError(kErrorBadLength);
    return FALSE;
  }
  if (serialNumber) *serialNumber = boot.hasSerial ? boot.serial : 0;
  if (maxComponentLength) *maxComponentLength = 255;
  if (fileSystemFlags) *fileSystemFlags = kFileCasePreservedNames | kFileUnicodeOnDisk;
  return TRUE;
}

BOOL WideVolumeInformationFromAnsi(const WCHAR* rootPath, WCHAR* volumeName, DWORD volumeNameSize,
                                   DWORD* serialNumber, DWORD* maxComponentLength, DWORD* fileSystemFlags,
                                   WCHAR* fileSystemName, DWORD fileSystemNameSize) {
  const AnsiString root = rootPath ? WideToAnsi(WideString(rootPath)) : AnsiString();
  char label[MAX_PATH + 1] = {};
  char fsName[MAX_PATH + 1] = {};
  if (!GetVolumeInformationA(rootPath ? root.c_str() : nullptr, label, sizeof label, serialNumber,
                             maxComponentLength, fileSystemFlags, fsName, sizeof fsName))
    return FALSE;
  auto copyWide = [](const char* text, WCHAR* out, DWORD size) {
    if (!out) return true;
    const WideString w = AnsiToWide(text);
    if (w.size() + 1 > size) return false;
    std::copy(w.begin(), w.end(), out);
    out[w.size()] = 0;
    return true;
  };
  if (!copyWide(label, volumeName, volumeNameSize) || !copyWide(fsName, fileSystemName, fileSystemNameSize)) {
    SetLastError(kErrorBadLength);
    return FALSE;
  }
  return TRUE;
}

void DescribeImageContent(RawSource& image, UINT& driveType, uint32_t& sectorSize) {
  // An ISO 9660 image: "CD001" in the first volume descriptor (sector 16).
  char id[5] = {};
  size_t done = 0;
  const bool iso = image.ReadAt(16 * 2048 + 1, id, sizeof id, done) && done == sizeof id &&
                   std::memcmp(id, "CD001", sizeof id) == 0;
  driveType = iso ? DRIVE_CDROM : DRIVE_FIXED;
  sectorSize = iso ? 2048 : SectorSizeOfImage(image);
}
