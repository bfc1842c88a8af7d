// FAT drive: construction, sector reads, mounting and geometry.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "BootSector.h"
#include "DiskfsInternal.h"

using diskfs::Fmt;
using diskfs::Log;

namespace {

// Items one tree may hold at once: every 32-byte record the volume can
// really hold, once. A boot sector may claim far more than its source has,
// so the source's own size counts where it is known.
uint64_t ItemBudgetFor(uint64_t volumeBytes, uint64_t sourceBytes) {
  const uint64_t bytes = sourceBytes ? std::min(volumeBytes, sourceBytes) : volumeBytes;
  return std::min<uint64_t>(bytes / 32 + 64, 1u << 25);
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

TFATdrive::TFATdrive() = default;

TFATdrive::~TFATdrive() {
  RootDir.reset();
  DeletedTreeRoot.reset();
  SpareDir1.reset();
  SpareDir2.reset();
}

bool TFATdrive::ReadSec(uint32_t Sector, uint16_t Count, void* Buffer, bool showErrors) {
  if (!Device) return false;
  return Device->ReadSec(static_cast<int32_t>(Sector + FirstSector), Count, Buffer, showErrors);
}

uint32_t TFATdrive::DeviceSectorSize() const {
  return Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
}

bool TFATdrive::ReadVolumeSectors(uint32_t Sector, uint32_t Count, void* Buffer) {
  // A volume sector may span several device sectors (a 4 KiB-sector FAT on a
  // 512-byte device); the device's count is 16 bits, so read in pieces.
  uint64_t first = uint64_t(Sector) * FSectorRatio;
  uint64_t total = uint64_t(Count) * FSectorRatio;
  auto* out = static_cast<uint8_t*>(Buffer);
  const uint32_t devSize = DeviceSectorSize();
  while (total > 0) {
    uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(total, 0x8000));
    if (first > 0xFFFFFFFFull || !ReadSec(static_cast<uint32_t>(first), n, out, true)) return false;
    first += n;
    total -= n;
    out += size_t(n) * devSize;
  }
  return true;
}

bool TFATdrive::ReadVolumeSector(uint32_t Sector, void* Buffer) { return ReadVolumeSectors(Sector, 1, Buffer); }

bool TFATdrive::ReadCachedSector(uint32_t Sector, std::vector<uint8_t>& Buffer, uint32_t& BufferSector) {
  if (BufferSector == Sector && Sector != 0) return true;
  if (!ReadVolumeSector(Sector, Buffer.data())) {
    // Never serve a half-read sector later as if it were cached.
    BufferSector = 0;
    return false;
  }
  BufferSector = Sector;
  return true;
}

bool TFATdrive::MountDrive(bool /*Flag*/) {
  // The device may have sectors larger than 512 bytes; leave room for one.
  std::vector<uint8_t> boot(std::max<uint32_t>(512, DeviceSectorSize()), 0);
  if (!ReadSec(BootSector - FirstSector, 1, boot.data(), true)) return false;
  std::memcpy(&BootSec, boot.data(), sizeof(TBootSec));
  const bool result = CalcDriveInfo(BootSec);
  Log(Fmt("Mounting drive: %s (TFATdrive.MountDrive)", Name.c_str()));
  CreateStartItems();
  return result;
}

bool TFATdrive::CalcDriveInfo(const TBootSec& Boot) {
  const uint32_t bps = Boot.BytesPerSector;
  // Sector sizes of 512 to 4096 bytes are read properly (buffers follow the
  // volume's size, a volume sector may span several device sectors); other
  // values are not a FAT volume anyone made, so they are refused.
  const uint32_t dev = DeviceSectorSize();
  if (bps == 0 || bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0 || bps % dev != 0) {
    Log(Fmt("bad parameter in boot sector: Bytes Per Sector = %d ! (FATdrive.CalcDriveInfo)", int(bps)));
    return false;
  }
  // One rule for every reader of a boot sector: the platform names a volume
  // FAT only on these terms, so the drive refuses what it would not name.
  if (!IsPowerOfTwo(Boot.SectorsPerCluster)) {
    Log(Fmt("bad parameter in boot sector: Sectors Per Cluster = %d ! (FATdrive.CalcDriveInfo)",
            int(Boot.SectorsPerCluster)));
    return false;
  }
  if (Boot.ReservedSectors == 0 || Boot.NumberOfFATs == 0 || Boot.NumberOfFATs > 4 ||
      (Boot.Jump[0] != 0xEB && Boot.Jump[0] != 0xE9)) {
    Log(Fmt("bad parameter in boot sector: %d reserved sectors, %d FATs, jump $%02X ! (FATdrive.CalcDriveInfo)",
            int(Boot.ReservedSectors), int(Boot.NumberOfFATs), int(Boot.Jump[0])));
    return false;
  }
  if (FatTypeOf(Boot.RootEntries, Boot.SectorsPerFAT16, Boot.SectorsPerFAT32, 0) == 0) {
    Log(Boot.SectorsPerFAT16 == 0 ? "bad parameter in boot sector: no sectors per FAT ! (FATdrive.CalcDriveInfo)"
                                  : "bad parameter in boot sector: no root entries ! (FATdrive.CalcDriveInfo)");
    return false;
  }
  try {
    const uint32_t spc = Boot.SectorsPerCluster;
    RootDirSectors = static_cast<uint16_t>((uint32_t(Boot.RootEntries) * 32 + bps - 1) / bps);
    SectorsPerFAT = Boot.SectorsPerFAT16 != 0 ? uint32_t(Boot.SectorsPerFAT16) : uint32_t(Boot.SectorsPerFAT32);
    FATSectors = SectorsPerFAT * Boot.NumberOfFATs;
    FirstDataSector = Boot.NumberOfFATs * SectorsPerFAT + Boot.ReservedSectors + RootDirSectors;
    SectorCount = Boot.TotalSectors16 != 0 ? uint32_t(Boot.TotalSectors16) : uint32_t(Boot.TotalSectors32);
    DataSectors = SectorCount - FirstDataSector;
    ClusterCount = DataSectors / spc;
    if (uint64_t(SectorCount) < uint64_t(FirstDataSector) + spc) {
      Log(Fmt("bad parameter in boot sector: %u total sectors end before the data area at %u ! "
              "(FATdrive.CalcDriveInfo)",
              unsigned(SectorCount), unsigned(FirstDataSector)));
      return false;
    }
    const unsigned type = FatTypeOf(Boot.RootEntries, Boot.SectorsPerFAT16, Boot.SectorsPerFAT32, ClusterCount);
    FATType = type == 12 ? 1 : type == 16 ? 2 : 3;
    if (FATType == 3 && ClusterCount < 65525)
      Log(Fmt("FAT32 layout (no fixed root, no 16-bit FAT size) with %u clusters, fewer than 65525: read as FAT32 "
              "(FATdrive.CalcDriveInfo)",
              unsigned(ClusterCount)));
    // Kept at full width: 64 KiB (and larger) clusters are read like any other.
    BytesPerCluster = bps * spc;
    if (BytesPerCluster > 32768)
      Log(Fmt("bad parameter in boot sector: bytes per sector %d > 32768 ! (FATdrive.CalcDriveInfo)",
              int(BytesPerCluster)));
    if (FATType == 3) {
      // A root outside the volume has nothing to list (cluster 0 would walk
      // the area before the data as if it were a folder): not a usable volume.
      const uint32_t root = Boot.RootCluster;
      if (uint64_t(root) > uint64_t(ClusterCount) + 1) {
        Log(Fmt("bad parameter in boot sector: root directory cluster %u > count of clusters ! "
                "(FATdrive.CalcDriveInfo)",
                unsigned(root)));
        return false;
      }
      if (root < 2) {
        Log(Fmt("bad parameter in boot sector: root directory cluster %u < 2 ! (FATdrive.CalcDriveInfo)",
                unsigned(root)));
        return false;
      }
      RootStartSector = (root - 2) * spc + FirstDataSector;
      RootCluster = root;
    } else {
      RootStartSector = Boot.NumberOfFATs * SectorsPerFAT + Boot.ReservedSectors;
      RootCluster = 0;
    }
    FBytesPerSector = static_cast<uint16_t>(bps);
    FSectorRatio = bps / dev;
    FSectorsPerCluster = spc;
    FATBuffer.assign(size_t(bps) * 2, 0);
    DirBuffer.assign(bps, 0);
    DataBuffer.assign(bps, 0);
    FATBufferSector = DirBufferSector = DataBufferSector = 0;
    ActiveFAT = 1;
    FItemLimit = ItemBudgetFor(uint64_t(SectorCount) * bps, uint64_t(TotalSectors) * dev);
    const uint64_t sourceSectors = TotalSectors ? uint64_t(TotalSectors) * dev / bps : SectorCount;
    FLastSourceCluster = uint32_t(std::min<uint64_t>(
        uint64_t(ClusterCount) + 1,
        sourceSectors > FirstDataSector ? (sourceSectors - FirstDataSector + spc - 1) / spc + 1 : 1));
    const char* label = FATType == 3 ? Boot.VolumeLabel32 : Boot.VolumeLabel16;
    Name.assign(label, strnlen(label, 11));
    return true;
  } catch (...) {
    Log("Bad parameters for calculating logical drive information from Boot Sector (FATdrive.CalcDriveInfo)");
    return false;
  }
}

uint32_t TFATdrive::Cluster2Sec(uint32_t Cluster) const {
  return (Cluster - 2) * FSectorsPerCluster + FirstDataSector;
}

uint32_t TFATdrive::Sec2Cluster(uint32_t Sector) const {
  return (Sector - FirstDataSector) / FSectorsPerCluster + 2;
}
