// Unit Ldiskio: sectors of lettered volumes through the volume device
// "\\.\X:", read in chunks of at most 1000 sectors through one preallocated
// buffer. Only the NT branch is offered: this platform is of the NT family, so
// the Windows 9x disk services have nothing to stand for.
#include "Ldiskio.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "SectorUnits.h"
#include "WinApi.h"

bool optUseINT25 = true;

namespace {

constexpr size_t kTransferBufferSize = 2048000;  // 1000 sectors of 2048 bytes
constexpr uint32_t kChunkSectors = 1000;

bool IsNT = false;
KeptHandle volume;
TLogDriveParams volumeParams{};
int sectorShift = 0;
uint8_t* transferBuffer = nullptr;

std::string VolumeName(uint8_t drive) {
  return std::string("\\\\.\\") + static_cast<char>(drive + 64) + ":";
}

int Log2Rounded(uint32_t v) {
  int shift = 0;
  while (shift < 31 && (uint64_t{1} << (shift + 1)) <= uint64_t{v} + (v >> 1)) ++shift;
  return shift;
}

// Keeps one volume handle open per drive and mode, and the drive's geometry
// beside it.
bool OpenVolume(uint8_t drive, AccessMode mode) {
  if (volume.IsOpenFor(drive, mode)) return true;
  volume.Close();
  const DWORD access = mode == AccessMode::Read ? GENERIC_READ : GENERIC_WRITE;
  volume.Keep(CreateFileA(VolumeName(drive).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
              drive, mode);
  // Cleared first so a failed query can't leave another drive's sector size.
  volumeParams = TLogDriveParams{};
  GetLogDriveParams(drive, volumeParams);
  sectorShift = Log2Rounded(volumeParams.BytesPerSector);
  return volume.handle != INVALID_HANDLE_VALUE;
}

// The buffer and the platform check come from the unit's start-up; before it
// (or after its end) a call fails and says why instead of reading nothing.
bool Ready() {
  if (IsNT && transferBuffer) return true;
  SetLastError(ERROR_NOT_READY);
  return false;
}

bool SeekToSector(uint32_t sector) { return volume.SeekTo(uint64_t{sector} * volumeParams.BytesPerSector); }

}  // namespace

bool ReadLogicalSectors(uint8_t drive, uint32_t sector, uint16_t count, void* buffer) {
  if (!Ready() || !OpenVolume(drive, AccessMode::Read)) return false;
  const uint32_t bytesPerSector = volumeParams.BytesPerSector;
  if (bytesPerSector == 0 || !SeekToSector(sector)) return false;
  // Sectors above 2048 bytes would overflow the buffer in 1000-sector chunks.
  const size_t maxChunk =
      std::min<size_t>(size_t{kChunkSectors} * bytesPerSector, kTransferBufferSize / bytesPerSector * bytesPerSector);
  auto* out = static_cast<uint8_t*>(buffer);
  size_t remaining = size_t{count} * bytesPerSector;
  bool ok;
  do {
    const size_t chunk = std::min(remaining, maxChunk);
    DWORD got = 0;
    ok = ReadFile(volume.handle, transferBuffer, static_cast<DWORD>(chunk), &got, nullptr) != FALSE;
    if (ok) std::memcpy(out, transferBuffer, std::min<size_t>(got, chunk));
    ok = ok && got == chunk;
    out += chunk;
    remaining -= chunk;
  } while (ok && remaining > 0);
  return ok;
}

void ReadLogicalSectorPieces(uint8_t drive, TSectorPiece* pieces, size_t count) {
  for (size_t i = 0; i < count; ++i) pieces[i].ok = false;
  if (!Ready() || !OpenVolume(drive, AccessMode::Read)) return;
  const uint32_t bytesPerSector = volumeParams.BytesPerSector;
  if (bytesPerSector == 0) return;
  thread_local std::vector<ReadPiece> reads;
  reads.resize(count);
  for (size_t i = 0; i < count; ++i)
    reads[i] = {uint64_t{pieces[i].sector} * bytesPerSector, pieces[i].buffer, size_t{pieces[i].count} * bytesPerSector};
  if (!ReadFilePieces(volume.handle, reads.data(), count)) return;
  for (size_t i = 0; i < count; ++i) pieces[i].ok = reads[i].ok && reads[i].done == reads[i].len;
}

bool WriteLogicalSectors(uint8_t drive, uint32_t sector, uint16_t count, const void* buffer) {
  if (!Ready() || !OpenVolume(drive, AccessMode::Write)) return false;
  const uint32_t bytesPerSector = volumeParams.BytesPerSector;
  if (bytesPerSector == 0 || !SeekToSector(sector)) return false;
  const DWORD length = static_cast<DWORD>(uint64_t{count} * bytesPerSector);
  DWORD written = 0;
  return WriteFile(volume.handle, buffer, length, &written, nullptr) && written == length;
}

bool GetLogDriveParams(uint8_t drive, TLogDriveParams& params) {
  if (!Ready()) return false;
  const std::string name = VolumeName(drive);
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::string root = std::string(1, static_cast<char>(drive + 64)) + ":\\";
  DISK_GEOMETRY g{};
  DWORD returned = 0;
  if (GetDriveTypeA(root.c_str()) != DRIVE_CDROM) {
    const bool ok = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr);
    CloseHandle(h);
    return ok && FillParamsFromGeometry(g, params);
  }
  params = TLogDriveParams{};
  params.MediaKind = 4;
  params.Removable = 1;
  const bool ok = DeviceIoControl(h, IOCTL_CDROM_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr);
  CloseHandle(h);
  if (!ok) {
    // What a CD holds at most, so callers still get a usable size.
    params.BytesPerSector = 2048;
    params.TotalSectors = 358400;
    return false;
  }
  TLogDriveParams fromGeometry{};
  const bool fits = FillParamsFromGeometry(g, fromGeometry);
  params.BytesPerSector = fromGeometry.BytesPerSector;
  params.TotalSectors = fromGeometry.TotalSectors;
  return fits;
}

void LdiskioInitialization() {
  optUseINT25 = true;
  volume.Close();
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  IsNT = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  if (!transferBuffer)
    transferBuffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, kTransferBufferSize, MEM_COMMIT, PAGE_READWRITE));
  if (!transferBuffer) MessageBoxA(nullptr, "Error allocating memory buffer!", "Error", MB_OK | MB_ICONEXCLAMATION);
}

void LdiskioFinalization() {
  volume.Close();
  if (transferBuffer) VirtualFree(transferBuffer, 0, MEM_RELEASE);
  transferBuffer = nullptr;
}
