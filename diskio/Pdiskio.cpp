// Unit Pdiskio: sectors of whole disks ("\\.\PhysicalDriveN", drive 128 + N)
// and floppies (drives 0 and 1 as "\\.\A:" and "\\.\B:"), in fixed 512-byte
// units and 64 KiB chunks. A failed chunk may ask Abort/Retry/Ignore.
#include "Pdiskio.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "SectorUnits.h"
#include "Helpers.h"
#include "WinApi.h"

namespace {

constexpr uint32_t kUnit = 512;
constexpr size_t kChunkBytes = 65536;

bool IsNT = false;
bool started = false;
KeptHandle disk;
uint8_t transferBuffer[kChunkBytes];

// Empty for 2..127, which name nothing.
std::string DeviceName(uint8_t drive) {
  if (drive >= 128) return "\\\\.\\PhysicalDrive" + std::to_string(drive - 128);
  if (drive <= 1) return std::string("\\\\.\\") + static_cast<char>('A' + drive) + ":";
  return {};
}

// Before the unit's start-up (or after its end) a call fails and says why.
bool Ready() {
  if (started && IsNT) return true;
  SetLastError(ERROR_NOT_READY);
  return false;
}

bool OpenDisk(uint8_t drive, AccessMode mode) {
  if (disk.IsOpenFor(drive, mode)) return true;
  disk.Close();
  const std::string name = DeviceName(drive);
  HANDLE opened = INVALID_HANDLE_VALUE;
  if (!name.empty()) {
    opened = mode == AccessMode::Read
                     ? CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH, nullptr)
                     : CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_WRITE_THROUGH, nullptr);
  }
  return disk.Keep(opened, drive, mode);
}

// Abort, Retry or Ignore for one failed chunk.
int AskAboutFailure(const char* caption, DWORD error, uint8_t drive, uint32_t sector, uint16_t count) {
  const std::string text = "error no." + std::to_string(error) + "\r\n" + "drv:" + std::to_string(drive) +
                           " LBA:" + std::to_string(sector) + " blocks:" + std::to_string(count) + "\r\n\r\n" +
                           "Abort, Retry or Ignore?";
  return MessageBoxA(nullptr, text.c_str(), caption, MB_ABORTRETRYIGNORE | MB_ICONEXCLAMATION);
}

// The chunk loop shared by both directions. transfer moves one chunk between
// the handle and the transfer buffer; true when all of it went.
template <class Transfer>
bool TransferChunks(uint8_t drive, uint32_t sector, uint16_t count, uint8_t* user, bool toUser, bool showErrors,
                    const char* caption, Transfer transfer) {
  const uint64_t start = uint64_t{sector} * kUnit;
  if (!disk.SeekTo(start)) return false;
  const size_t total = size_t{count} * kUnit;
  size_t offset = 0;
  bool done = true;
  do {
    const size_t chunk = std::min(total - offset, kChunkBytes);
    if (!toUser) std::memcpy(transferBuffer, user + offset, chunk);
    for (;;) {
      if (transfer(chunk)) {
        done = true;
        break;
      }
      const DWORD error = GetLastError();
      const int answer = showErrors ? AskAboutFailure(caption, error, drive, sector, count) : IDABORT;
      done = answer == IDIGNORE;
      // A short transfer moved the handle: put it where the next attempt starts.
      if (answer == IDRETRY) {
        if (!disk.SeekTo(start + offset)) return false;
        continue;
      }
      if (done && !disk.SeekTo(start + offset + chunk)) return false;
      break;
    }
    if (!done) break;
    if (toUser) std::memcpy(user + offset, transferBuffer, chunk);
    offset += chunk;
  } while (offset < total);
  return done;
}

}  // namespace

bool ReadPhysicalSectors(uint8_t drive, uint32_t sector, uint16_t count, void* buffer, bool showErrors) {
  if (!Ready() || !OpenDisk(drive, AccessMode::Read)) return false;
  return TransferChunks(drive, sector, count, static_cast<uint8_t*>(buffer), true, showErrors, "NT_read error",
                        [](size_t chunk) {
                          DWORD got = 0;
                          return ReadFile(disk.handle, transferBuffer, static_cast<DWORD>(chunk), &got, nullptr) &&
                                 got == chunk;
                        });
}

bool WritePhysicalSectors(uint8_t drive, uint32_t sector, uint16_t count, const void* buffer, bool reserved,
                          bool showErrors) {
  if (!Ready() || !OpenDisk(drive, AccessMode::Write)) return false;
  // The buffer is only read from on this path.
  auto* source = static_cast<uint8_t*>(const_cast<void*>(buffer));
  return TransferChunks(drive, sector, count, source, false, showErrors, "NT_write error", [](size_t chunk) {
    DWORD written = 0;
    return WriteFile(disk.handle, transferBuffer, static_cast<DWORD>(chunk), &written, nullptr) && written == chunk;
  });
}

bool GetPhysDriveParams(uint8_t drive, TPhysDriveParams& params) {
  if (!Ready()) return false;
  const std::string name = DeviceName(drive);
  if (name.empty()) return false;
  // A query-only handle, apart from the transfer handle.
  HANDLE h = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  if (drive <= 1) DeviceIoControl(h, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0, &returned, nullptr);
  DISK_GEOMETRY g{};
  const bool ok = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr);
  CloseHandle(h);
  return ok && FillParamsFromGeometry(g, params);
}

void PdiskioInitialization() {
  disk.Close();
  IsNT = IsWinNT();
  started = true;
}

void PdiskioFinalization() {
  started = false;
  disk.Close();
}
