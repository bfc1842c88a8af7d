// The bridge to the Windows file services: this file includes <windows.h>
// and none of our own API headers.
#include "NativeFiles.h"

#include <algorithm>

#include <windows.h>
#include <winioctl.h>

static_assert(sizeof(WIN32_FIND_DATAW) == 592);
static_assert(sizeof(DISK_GEOMETRY) == 24);
static_assert(sizeof(FILETIME) == 8);
static_assert(sizeof(DWORD) == sizeof(uint32_t));
static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

const wchar_t* W(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
wchar_t* W(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
HANDLE H(void* h) { return static_cast<HANDLE>(h); }
// DWORD is unsigned long here, of the same width.
DWORD* D(uint32_t* p) { return reinterpret_cast<DWORD*>(p); }

constexpr size_t kMaxTransfer = size_t{1} << 30;

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

}  // namespace

namespace native {

std::u16string Utf8ToWide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), W(out.data()), n);
  return out;
}

std::u16string PathToWide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n > 0) return Utf8ToWide(s);
  const int m = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(m), u'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), W(out.data()), m);
  return out;
}

std::string WideToUtf8(const std::u16string& s) {
  if (s.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, W(s.data()), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, W(s.data()), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void* Open(const char16_t* name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
  const HANDLE h = CreateFileW(W(name), access, share, nullptr, disposition, flags, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool CloseFile(void* h) { return ::CloseHandle(H(h)) != 0; }

bool Read(void* h, void* buffer, uint32_t toRead, uint32_t* read) {
  DWORD n = 0;
  const bool ok = ::ReadFile(H(h), buffer, toRead, &n, nullptr) != 0;
  *read = n;
  return ok;
}

bool Write(void* h, const void* buffer, uint32_t toWrite, uint32_t* written) {
  DWORD n = 0;
  const bool ok = ::WriteFile(H(h), buffer, toWrite, &n, nullptr) != 0;
  *written = n;
  return ok;
}

bool ReadAt(void* h, uint64_t offset, void* buffer, size_t len, size_t& done) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  done = 0;
  while (done < len) {
    OVERLAPPED o = At(offset + done);
    DWORD n = 0;
    if (!::ReadFile(H(h), bytes + done, static_cast<DWORD>(std::min(len - done, kMaxTransfer)), &n, &o))
      return ::GetLastError() == ERROR_HANDLE_EOF;
    if (n == 0) break;  // the end of the file
    done += n;
  }
  return true;
}

bool WriteAt(void* h, uint64_t offset, const void* buffer, size_t len, size_t& done) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  done = 0;
  while (done < len) {
    OVERLAPPED o = At(offset + done);
    DWORD n = 0;
    if (!::WriteFile(H(h), bytes + done, static_cast<DWORD>(std::min(len - done, kMaxTransfer)), &n, &o) || n == 0)
      return false;
    done += n;
  }
  return true;
}

uint32_t Seek(void* h, int32_t distance, int32_t* distanceHigh, uint32_t method) {
  LONG high = distanceHigh ? *distanceHigh : 0;
  const DWORD low = ::SetFilePointer(H(h), distance, distanceHigh ? &high : nullptr, method);
  if (distanceHigh) *distanceHigh = high;
  return low;
}

bool FileSize(void* h, uint64_t& size) {
  LARGE_INTEGER n{};
  if (!GetFileSizeEx(H(h), &n)) return false;
  size = static_cast<uint64_t>(n.QuadPart);
  return true;
}

bool DeviceLength(void* h, uint64_t& size) {
  GET_LENGTH_INFORMATION info{};
  DWORD got = 0;
  if (!::DeviceIoControl(H(h), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &got, nullptr))
    return false;
  size = static_cast<uint64_t>(info.Length.QuadPart);
  return true;
}

uint32_t DeviceSectorSize(void* h) {
  DISK_GEOMETRY g{};
  DWORD got = 0;
  if (!::DeviceIoControl(H(h), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr)) return 0;
  return g.BytesPerSector;
}

bool IoControl(void* h, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* returned) {
  DWORD got = 0;
  const bool ok = ::DeviceIoControl(H(h), code, in, inSize, out, outSize, &got, nullptr) != 0;
  if (returned) *returned = got;
  return ok;
}

bool SetTimes(void* h, const void* creation, const void* lastAccess, const void* lastWrite) {
  return ::SetFileTime(H(h), static_cast<const FILETIME*>(creation), static_cast<const FILETIME*>(lastAccess),
                       static_cast<const FILETIME*>(lastWrite)) != 0;
}

bool Truncate(void* h) { return ::SetEndOfFile(H(h)) != 0; }

bool MakeDirectory(const char16_t* path) { return CreateDirectoryW(W(path), nullptr) != 0; }
uint32_t Attributes(const char16_t* path) { return GetFileAttributesW(W(path)); }
bool SetAttributes(const char16_t* path, uint32_t attributes) {
  return SetFileAttributesW(W(path), attributes) != 0;
}
bool Move(const char16_t* existing, const char16_t* newName, uint32_t flags) {
  return MoveFileExW(W(existing), W(newName), flags) != 0;
}
bool Remove(const char16_t* path) { return DeleteFileW(W(path)) != 0; }

uint32_t DriveType(const char16_t* rootPath) { return GetDriveTypeW(W(rootPath)); }

bool VolumeInformationA(const char* rootPath, char* volumeName, uint32_t volumeNameSize, uint32_t* serialNumber,
                        uint32_t* maxComponentLength, uint32_t* fileSystemFlags, char* fileSystemName,
                        uint32_t fileSystemNameSize) {
  // Null stays null: asking for a serial number makes the system read the volume.
  return ::GetVolumeInformationA(rootPath, volumeName, volumeNameSize, D(serialNumber), D(maxComponentLength),
                                 D(fileSystemFlags), fileSystemName, fileSystemNameSize) != 0;
}

bool VolumeInformationW(const char16_t* rootPath, char16_t* volumeName, uint32_t volumeNameSize,
                        uint32_t* serialNumber, uint32_t* maxComponentLength, uint32_t* fileSystemFlags,
                        char16_t* fileSystemName, uint32_t fileSystemNameSize) {
  return ::GetVolumeInformationW(W(rootPath), W(volumeName), volumeNameSize, D(serialNumber), D(maxComponentLength),
                                 D(fileSystemFlags), W(fileSystemName), fileSystemNameSize) != 0;
}

bool DiskFreeSpace(const char16_t* rootPath, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                   uint32_t* freeClusters, uint32_t* totalClusters) {
  return GetDiskFreeSpaceW(W(rootPath), D(sectorsPerCluster), D(bytesPerSector), D(freeClusters), D(totalClusters)) !=
         0;
}

std::u16string VolumePathName(const char16_t* path) {
  char16_t out[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(W(path), W(out), MAX_PATH + 1)) return {};
  return out;
}

std::u16string VolumeNameOf(const char16_t* volumeRoot) {
  char16_t out[64] = {};
  if (!GetVolumeNameForVolumeMountPointW(W(volumeRoot), W(out), 64)) return {};
  return out;
}

std::u16string FullPathName(const char16_t* path) {
  const DWORD n = GetFullPathNameW(W(path), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::u16string out(n, u'\0');
  const DWORD got = GetFullPathNameW(W(path), n, W(out.data()), nullptr);
  if (got == 0 || got >= n) return {};
  out.resize(got);
  return out;
}

uint32_t LogicalDrives() { return ::GetLogicalDrives(); }

bool Version(uint32_t& major, uint32_t& minor, uint32_t& build, uint32_t& platformId) {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
  major = info.dwMajorVersion;
  minor = info.dwMinorVersion;
  build = info.dwBuildNumber;
  platformId = info.dwPlatformId;
  return true;
}

uint32_t TickCount() { return ::GetTickCount(); }

void* Allocate(size_t size, uint32_t allocationType, uint32_t protect) {
  return ::VirtualAlloc(nullptr, size, allocationType, protect);
}

bool Release(void* address) { return ::VirtualFree(address, 0, MEM_RELEASE) != 0; }

void* FindFirst(const char16_t* pattern, void* data) {
  const HANDLE h = FindFirstFileW(W(pattern), static_cast<WIN32_FIND_DATAW*>(data));
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool FindNext(void* search, void* data) {
  return FindNextFileW(H(search), static_cast<WIN32_FIND_DATAW*>(data)) != 0;
}

bool FindEnd(void* search) { return ::FindClose(H(search)) != 0; }

uint32_t ErrorMode(uint32_t mode) { return ::SetErrorMode(mode); }

}  // namespace native
