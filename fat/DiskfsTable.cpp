// FAT drive: allocation-table entries and cluster chains.
#include "DiskfsInternal.h"

uint8_t ClassifyFATEntry(uint8_t FATType, uint32_t Value) {
  if (Value == 0) return fatEntryFree;
  uint32_t eoc = 0, bad = 0;
  switch (FATType) {
    case 1: eoc = 0xFF8; bad = 0xFF1; break;
    case 2: eoc = 0xFFF8; bad = 0xFFF1; break;
    case 3: eoc = 0x0FFFFFF8; bad = 0x0FFFFFF1; break;
    default: return fatEntryUsed;
  }
  if (Value >= eoc) return fatEntryEndOfChain;
  if (Value >= bad) return fatEntryBad;
  return fatEntryUsed;
}

uint32_t TFATdrive::GetFAT(uint32_t Cluster, uint8_t FATIndex) {
  if (Cluster < 2 || uint64_t(Cluster) > uint64_t(ClusterCount) + 1) return 0;
  if (FATType < 1 || FATType > 3 || FATBuffer.size() < size_t(FBytesPerSector) * 2) return 0;
  try {
    const uint64_t e = FATType == 1 ? uint64_t(Cluster) + Cluster / 2 : uint64_t(Cluster) * (FATType == 2 ? 2 : 4);
    const uint64_t s64 = e / FBytesPerSector + uint64_t(FATIndex) * SectorsPerFAT + BootSec.ReservedSectors;
    const uint32_t b = static_cast<uint32_t>(e % FBytesPerSector);
    // A FAT sector that can't be read ends the chain there: walks stop, and a
    // deleted item is never judged intact on the strength of unread data.
    if (s64 > 0xFFFFFFFFull) return GetClusterMask(fatEntryEndOfChain);
    const uint32_t s = static_cast<uint32_t>(s64);
    if (!ReadCachedSector(s, FATBuffer, FATBufferSector)) return GetClusterMask(fatEntryEndOfChain);
    uint8_t* p = FATBuffer.data() + b;
    switch (FATType) {
      case 1: {
        if (b == FBytesPerSector - 1u) {
          // The 12-bit entry straddles two sectors; the second half is read each time.
          if (!ReadVolumeSector(s + 1, FATBuffer.data() + FBytesPerSector)) return GetClusterMask(fatEntryEndOfChain);
        }
        const uint16_t w = ReadLE16(p);
        return (Cluster & 1) ? uint32_t(w >> 4) : uint32_t(w & 0xFFF);
      }
      case 2: return ReadLE16(p);
      default: return ReadLE32(p) & 0x0FFFFFFF;
    }
  } catch (...) {
    return 0;
  }
}

bool TFATdrive::IsEOF(uint32_t Cluster) const {
  switch (FATType) {
    case 1: return Cluster >= 0xFF8;
    case 2: return Cluster >= 0xFFF8;
    case 3: return Cluster >= 0x0FFFFFF8;
    default: return false;
  }
}

uint32_t TFATdrive::GetClusterMask(uint8_t Kind) const {
  static const uint32_t eoc[] = {0xFFF, 0xFFFF, 0x0FFFFFFF};
  static const uint32_t bad[] = {0xFF7, 0xFFF7, 0x0FFFFFF7};
  if (FATType < 1 || FATType > 3) return 0;
  if (Kind == fatEntryEndOfChain) return eoc[FATType - 1];
  if (Kind == fatEntryBad) return bad[FATType - 1];
  return 0;
}

bool TFATdrive::GetRecPosCluster(uint32_t& Cluster, uint32_t Pos, uint8_t FATNumber) {
  if (BytesPerCluster == 0) return false;
  uint32_t n = Pos / BytesPerCluster;
  // No chain is longer than the volume has clusters: a position further in
  // lies beyond any file, and a looping chain is not walked round and round.
  if (n >= ClusterCount) return false;
  uint32_t cur = Cluster;
  while (n > 0) {
    cur = FATNumber == 0 ? cur + 1 : GetFAT(cur, FATNumber - 1);
    // The chain ending, or leaving the volume, before the position: the
    // position isn't in the file's clusters.
    if (IsEOF(cur) || !InVolumeCluster(cur)) return false;
    --n;
  }
  Cluster = cur;
  return true;
}
