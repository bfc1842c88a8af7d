// The C face of the drive-letter namespace, so that a C host can give a
// letter the volume it wants NtfsLib to read; and the texts of the statuses.
#include <filesystem>
#include <string>
#include <system_error>

#include "NtfsLib.h"
#include "Partitions.h"
#include "Volumes.h"

namespace {

bool IsLetter(char letter) { return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'); }

int32_t Bind(char letter, DriveBinding binding) {
  return BindDriveLetter(letter, std::move(binding)) ? NTFSLIB_OK : NTFSLIB_E_LETTER;
}

// An image file or block device, read-only, with the drive type and sector
// size the platform tells for it.
bool OpenRaw(const char* path, DriveBinding& binding) {
  if (!path || !DescribeHostDevice(path, binding.driveType, binding.sectorSize)) return false;
  binding.raw = OpenImageSource(path);
  return binding.raw != nullptr;
}

}  // namespace

extern "C" {

NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibBindFolder(char letter, const char* folder) {
  if (!IsLetter(letter)) return NTFSLIB_E_LETTER;
  std::error_code ec;
  if (!folder || !std::filesystem::is_directory(folder, ec)) return NTFSLIB_E_OPEN;
  DriveBinding binding;
  binding.rootDir = std::filesystem::absolute(folder, ec).string();
  return Bind(letter, std::move(binding));
}

NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibBindImage(char letter, const char* path) {
  if (!IsLetter(letter)) return NTFSLIB_E_LETTER;
  DriveBinding binding;
  if (!OpenRaw(path, binding)) return NTFSLIB_E_OPEN;
  return Bind(letter, std::move(binding));
}

NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibBindPartition(char letter, const char* disk, uint32_t partition) {
  if (!IsLetter(letter)) return NTFSLIB_E_LETTER;
  DriveBinding binding;
  if (!OpenRaw(disk, binding)) return NTFSLIB_E_OPEN;
  const PartitionTable table = ReadPartitionTable(*binding.raw, binding.sectorSize);
  for (const PartitionEntry& e : table.entries)
    if (e.number == partition && partition != 0) {
      binding.raw = MakeSliceSource(binding.raw, e.start, e.size);
      binding.driveType = DRIVE_FIXED;
      return Bind(letter, std::move(binding));
    }
  return NTFSLIB_E_PARTITION;
}

NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibUnbind(char letter) {
  if (!IsLetter(letter)) return NTFSLIB_E_LETTER;
  UnbindDriveLetter(letter);
  return NTFSLIB_OK;
}

NTFSLIB_API char NTFSLIB_CALL NtfsLibFreeLetter(void) { return FindFreeDriveLetter(); }

NTFSLIB_API const char* NTFSLIB_CALL NtfsLibStatusText(int32_t status) {
  switch (status) {
    case NTFSLIB_OK: return "success";
    case NTFSLIB_E_HANDLE: return "null handle or argument";
    case NTFSLIB_E_MOUNTPOINT: return "not a volume root, or no raw source behind it";
    case NTFSLIB_E_NOT_NTFS: return "the volume is not a usable NTFS volume";
    case NTFSLIB_E_NO_VOLUME: return "no mount point accepted yet";
    case NTFSLIB_E_SCAN_THREAD: return "called from the scan's own thread, which cannot wait for itself";
    case NTFSLIB_E_THREAD: return "the scan thread could not be started";
    case NTFSLIB_E_NO_ITEM: return "not the item being reported on this thread";
    case NTFSLIB_E_BUSY: return "a scan of this handle is still running";
    case NTFSLIB_E_LETTER: return "not a drive letter A to Z";
    case NTFSLIB_E_OPEN: return "cannot open the folder, image or device";
    case NTFSLIB_E_PARTITION: return "no such partition on the disk";
    default: return "unknown status";
  }
}

NTFSLIB_API const char* NTFSLIB_CALL NtfsLibVersion(void) { return NTFSLIB_VERSION; }

}  // extern "C"
