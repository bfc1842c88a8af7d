// Files, volumes and devices on Windows: names bound in our namespace are
// ours (raw sources behind "\\.\X:" and "\\.\PhysicalDriveN", folders behind
// "X:\"), everything else goes to the system.
#include <cctype>
#include <cstring>
#include <string>

#include "BootSector.h"
#include "NativeFiles.h"
#include "RawDevices.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;

// A file or device the system opened.
struct NativeFile : KernelObject {
  void* handle;
  std::string deviceName;  // "\\.\X:" and the like, for devices
  explicit NativeFile(void* h) : handle(h) {}
  ~NativeFile() override { native::CloseFile(handle); }
};

// The handle when the system opened it; null with the last error set otherwise.
NativeFile* AsNative(HANDLE h) {
  auto* f = (h == nullptr || h == INVALID_HANDLE_VALUE) ? nullptr : dynamic_cast<NativeFile*>(h);
  if (!f) SetLastError(ERROR_INVALID_HANDLE);
  return f;
}

bool IsReparsePoint(const std::u16string& path) {
  const DWORD a = native::Attributes(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Where the system finds a path. "X:\..." of a letter bound to a folder maps
// into that folder, never above it and never through a reparse point on the
// way (beneath tells such paths, whose last name callers check too); a bound
// letter without a folder has no files; any other path is the system's own.
// False with the last error set.
bool SystemPath(const char* path, std::u16string& out, bool& beneath) {
  beneath = false;
  if (!path || !*path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  const std::string p = StripLongPathPrefix(path);
  const bool letterPath = p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]));
  const auto binding = letterPath ? GetDriveBinding(p[0]) : std::nullopt;
  if (!binding) {
    out = native::PathToWide(path);
    return true;
  }
  if (binding->rootDir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  const std::string host = HostPathFromWindowsPath(p);
  std::string root = HostPathFromWindowsPath(p.substr(0, 2) + "\\");
  if (host.compare(0, root.size(), root) != 0) root = host;  // the root itself, spelt without its backslash
  // Every folder between the letter's root and the last name.
  for (size_t at = host.find('\\', root.size()); at != std::string::npos; at = host.find('\\', at + 1)) {
    if (at + 1 >= host.size()) break;
    if (IsReparsePoint(native::PathToWide(root) + native::PathToWide(host.substr(root.size(), at - root.size())))) {
      SetLastError(ERROR_CANT_RESOLVE_FILENAME);
      return false;
    }
  }
  // The host named the folder; the names below it may be the library's ANSI text.
  out = native::PathToWide(root) + native::PathToWide(host.substr(root.size()));
  beneath = true;
  return true;
}

// SystemPath for calls that must not act on a link at the end of a bound
// folder's path either.
bool SystemPathNoLink(const char* path, std::u16string& out) {
  bool beneath = false;
  if (!SystemPath(path, out, beneath)) return false;
  if (beneath && IsReparsePoint(out)) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return false;
  }
  return true;
}

// The file system the boot sector of a letter's device names, where the
// device can be read (it takes privileges on Windows). It is the name the
// raw readers go by, and the one an image behind a letter has (wine names
// such a letter by the folder it also maps, not by the image).
bool DeviceFileSystem(char letter, std::string& name) {
  const auto device = OpenImageSource(std::string("\\\\.\\") + letter + ":");
  BootSectorInfo info;
  if (!device || !ReadBootSectorInfo(*device, info)) return false;
  name = info.fileSystemName;
  return true;
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool isDeviceName = false;
  const auto binding = DeviceBindingOf(name, isDeviceName);
  if (binding) return OpenRawHandle(binding, access);
  std::u16string path;
  if (isDeviceName) {
    path = native::PathToWide(name);
  } else if (!SystemPathNoLink(name, path)) {
    return INVALID_HANDLE_VALUE;
  }
  void* h = native::Open(path.c_str(), access, share, disposition, flags & FILE_FLAG_WRITE_THROUGH);
  if (!h) return INVALID_HANDLE_VALUE;
  auto* f = new NativeFile(h);
  if (isDeviceName) f->deviceName = name;
  SetLastError(ERROR_SUCCESS);
  return f;
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
  if (RawHandle* r = AsRawHandle(h)) return RawReadFile(*r, buffer, toRead, read);
  if (read) *read = 0;
  NativeFile* f = AsNative(h);
  if (!f) return FALSE;
  uint32_t got = 0;
  const bool ok = native::Read(f->handle, buffer, toRead, &got);
  if (read) *read = got;
  return ok;
}

BOOL ReadFilePieces(HANDLE h, ReadPiece* pieces, size_t count) {
  if (RawHandle* r = AsRawHandle(h)) return RawReadFilePieces(*r, pieces, count);
  NativeFile* f = AsNative(h);
  if (!f) return FALSE;
  if (!PiecesValid(pieces, count)) return FALSE;
  // Reads at an offset move a synchronous handle's pointer: it is put back.
  LONG high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = native::Seek(f->handle, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return FALSE;
  for (size_t i = 0; i < count; ++i)
    pieces[i].ok = native::ReadAt(f->handle, pieces[i].offset, pieces[i].buffer, pieces[i].len, pieces[i].done);
  native::Seek(f->handle, static_cast<LONG>(low), &high, FILE_BEGIN);
  return TRUE;
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
  if (RawHandle* r = AsRawHandle(h)) return RawWriteFile(*r, buffer, toWrite, written);
  if (written) *written = 0;
  NativeFile* f = AsNative(h);
  if (!f) return FALSE;
  uint32_t done = 0;
  const bool ok = native::Write(f->handle, buffer, toWrite, &done);
  if (written) *written = done;
  return ok;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
  if (RawHandle* r = AsRawHandle(h))
    return MoveFilePointer(r->position, r->raw->Size(), distance, distanceHigh, method);
  NativeFile* f = AsNative(h);
  if (!f) return INVALID_SET_FILE_POINTER;
  SetLastError(ERROR_SUCCESS);  // tells a low part of 0xFFFFFFFF from a failure
  return native::Seek(f->handle, distance, distanceHigh, method);
}

BOOL SetFileTime(HANDLE h, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  NativeFile* f = AsNative(h);
  if (!f) return FALSE;
  return native::SetTimes(f->handle, creation, lastAccess, lastWrite);
}

BOOL CreateDirectoryA(const char* path, void* security) {
  std::u16string p;
  bool beneath = false;
  return SystemPath(path, p, beneath) && native::MakeDirectory(p.c_str());
}

DWORD GetFileAttributesA(const char* path) {
  std::u16string p;
  bool beneath = false;
  if (!SystemPath(path, p, beneath)) return INVALID_FILE_ATTRIBUTES;
  return native::Attributes(p.c_str());
}

BOOL SetFileAttributesA(const char* path, DWORD attributes) {
  std::u16string p;
  if (!SystemPathNoLink(path, p)) return FALSE;
  const DWORD settable = attributes & kSettableAttributes;
  return native::SetAttributes(p.c_str(), settable ? settable : FILE_ATTRIBUTE_NORMAL);
}

BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags) {
  std::u16string from, to;
  bool beneath = false;
  // Replacing a link would put the file where the link stood.
  if (!SystemPath(existing, from, beneath) || !SystemPathNoLink(newName, to)) return FALSE;
  return native::Move(from.c_str(), to.c_str(), flags & MOVEFILE_REPLACE_EXISTING);
}

BOOL DeleteFileA(const char* path) {
  std::u16string p;
  bool beneath = false;
  return SystemPath(path, p, beneath) && native::Remove(p.c_str());
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                     void* overlapped) {
  if (RawHandle* r = AsRawHandle(h)) return RawDeviceIoControl(*r, code, out, outSize, returned);
  if (returned) *returned = 0;
  NativeFile* f = AsNative(h);
  if (!f) return FALSE;
  uint32_t got = 0;
  if (native::IoControl(f->handle, code, in, inSize, out, outSize, &got)) {
    if (returned) *returned = got;
    return TRUE;
  }
  const DWORD error = GetLastError();
  const bool diskControl = code == IOCTL_DISK_GET_DRIVE_GEOMETRY || code == IOCTL_CDROM_GET_DRIVE_GEOMETRY ||
                           code == IOCTL_STORAGE_CHECK_VERIFY;
  if (f->deviceName.empty() || !diskControl || (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION))
    return FALSE;
  // A device name that leads to a plain file (wine links an image to a
  // letter so) answers no disk controls: it gets what an image bound to a
  // letter would.
  RawHandle image;
  image.raw = OpenImageSource(f->deviceName);
  if (!image.raw || !DescribeHostDevice(f->deviceName, image.driveType, image.sectorSize)) {
    SetLastError(error);
    return FALSE;
  }
  return RawDeviceIoControl(image, code, out, outSize, returned);
}

UINT GetDriveTypeA(const char* rootPath) {
  if (const char letter = LetterOfRoot(rootPath)) {
    if (auto binding = GetDriveBinding(letter)) return binding->driveType;
  }
  std::u16string p;
  bool beneath = false;
  if (!rootPath || !SystemPath(rootPath, p, beneath)) return DRIVE_NO_ROOT_DIR;
  return native::DriveType(p.c_str());
}

BOOL GetVolumeInformationA(const char* rootPath, char* volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, char* fileSystemName,
                           DWORD fileSystemNameSize) {
  const char letter = LetterOfRoot(rootPath);
  if (letter) {
    if (auto binding = GetDriveBinding(letter))
      return BoundVolumeInformation(*binding, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                    fileSystemFlags, fileSystemName, fileSystemNameSize);
  }
  std::string bootName;
  if (!letter || !DeviceFileSystem(letter, bootName))
    return native::VolumeInformationA(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                      fileSystemFlags, fileSystemName, fileSystemNameSize);
  // The label and flags are the system's; the name is the boot sector's.
  char systemName[MAX_PATH + 1] = {};
  if (!native::VolumeInformationA(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                  fileSystemFlags, systemName, sizeof systemName)) {
    DriveBinding device;
    device.raw = OpenImageSource(std::string("\\\\.\\") + letter + ":");
    if (!device.raw) return FALSE;
    return BoundVolumeInformation(device, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                  fileSystemFlags, fileSystemName, fileSystemNameSize);
  }
  if (fileSystemName) {
    if (bootName.size() + 1 > fileSystemNameSize) {
      SetLastError(kErrorBadLength);
      return FALSE;
    }
    std::memcpy(fileSystemName, bootName.c_str(), bootName.size() + 1);
  }
  return TRUE;
}

BOOL GetVolumeInformationW(const WCHAR* rootPath, WCHAR* volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, WCHAR* fileSystemName,
                           DWORD fileSystemNameSize) {
  const std::string root = rootPath ? native::WideToUtf8(rootPath) : std::string();
  std::string bootName;
  const char letter = LetterOfRoot(rootPath ? root.c_str() : nullptr);
  if (letter && (GetDriveBinding(letter) || DeviceFileSystem(letter, bootName)))
    return WideVolumeInformationFromAnsi(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                         fileSystemFlags, fileSystemName, fileSystemNameSize);
  return native::VolumeInformationW(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                    fileSystemFlags, fileSystemName, fileSystemNameSize);
}

BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
  std::u16string p;
  bool beneath = false;
  if (!SystemPath(rootPath, p, beneath)) return FALSE;
  // A folder's space is that of the volume holding it, asked at its root.
  const std::u16string root = native::VolumePathName(p.c_str());
  if (!root.empty()) p = root;
  return native::DiskFreeSpace(p.c_str(), sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}
