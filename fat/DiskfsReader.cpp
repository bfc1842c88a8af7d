// FAT file reading: the open-file record's operations and the stream.
#include <algorithm>
#include <cstring>

#include "DiskfsInternal.h"

namespace {
// Longest single transfer of a read: 1 MiB of 512-byte sectors.
constexpr uint32_t kMaxRunSectors = 2048;
}  // namespace

bool TFATdrive::ResetByCluster(uint32_t Cluster, uint32_t Size, TFATFileInfo& Info) {
  Info.StartCluster = Info.CurrentCluster = Cluster;
  Info.Position = 0;
  Info.Size = Size;
  Info.Visited.clear();
  return true;
}

uint32_t TFATdrive::filepos(const TFATFileInfo& Info) const { return Info.Position; }
uint32_t TFATdrive::filesize(const TFATFileInfo& Info) const { return Info.Size; }
void TFATdrive::Close(TFATFileInfo& /*Info*/) {}

bool TFATdrive::Seek(TFATFileInfo& Info, uint32_t Pos, uint8_t FATNumber) {
  if (Info.StartCluster == 0 || Pos >= Info.Size) return false;
  uint32_t cluster = Info.StartCluster;
  if (!GetRecPosCluster(cluster, Pos, FATNumber)) return false;
  Info.CurrentCluster = cluster;
  Info.Position = Pos;
  // The clusters before Pos are not marked again: a loop back into them is
  // then caught one round later, still before the volume's size is passed.
  Info.Visited.clear();
  return true;
}

bool TFATdrive::BlockRead(TFATFileInfo& Info, uint32_t Count, void* Buffer, uint8_t FATNumber, uint32_t& BytesRead) {
  BytesRead = 0;
  if (Info.Size < Info.Position) return false;
  if (Info.Size == Info.Position) return true;
  if (DataBuffer.size() < FBytesPerSector || BytesPerCluster == 0) return false;
  try {
    const uint32_t bps = FBytesPerSector;
    uint32_t n = std::min(Count, Info.Size - Info.Position);
    auto* out = static_cast<uint8_t*>(Buffer);
    bool failed = false;
    // However the chain loops, a file never holds more than the volume's clusters.
    const uint64_t volumeBytes = uint64_t(ClusterCount) * BytesPerCluster;
    while (n > 0 && !failed) {
      // A chain that ended before the file's size (or data that would lie
      // outside the volume) ends the read with a short count: repeating the
      // last cluster would hand out wrong bytes as if they were the file's.
      if (!InVolumeCluster(Info.CurrentCluster) || Info.Position >= volumeBytes ||
          (Info.Position % BytesPerCluster == 0 && !FirstVisit(Info, Info.CurrentCluster, FATNumber)))
        break;
      const uint32_t s = (Info.Position / bps) % FSectorsPerCluster;
      const uint32_t o = Info.Position % bps;
      const uint32_t sector = Cluster2Sec(Info.CurrentCluster) + s;
      uint32_t piece;
      if (o == 0 && n >= bps) {
        // Whole sectors go straight to the caller, the cluster's rest and any
        // clusters that follow it on disk in one transfer.
        uint32_t sectors = std::min(n / bps, FSectorsPerCluster - s);
        uint32_t last = Info.CurrentCluster;
        if (s + sectors == FSectorsPerCluster) {
          while (n / bps - sectors >= FSectorsPerCluster && sectors + FSectorsPerCluster <= kMaxRunSectors) {
            const uint32_t next = NextDataCluster(last, FATNumber);
            if (next != last + 1 || !InVolumeCluster(next) || !FirstVisit(Info, next, FATNumber)) break;
            last = next;
            sectors += FSectorsPerCluster;
          }
        }
        if (sectors > 1 && ReadVolumeSectors(sector, sectors, out)) {
          piece = sectors * bps;
          Info.CurrentCluster = last;
        } else if (ReadVolumeSector(sector, out)) {
          // The run's clusters after the first are read again one by one.
          ForgetVisits(Info, Info.CurrentCluster + 1, last);
          piece = bps;  // one by one around a bad sector, so every good byte before it arrives
        } else {
          // The next read starts again at this cluster: it has not been read.
          ForgetVisits(Info, Info.CurrentCluster, last);
          failed = true;
          break;
        }
      } else {
        if (!ReadCachedSector(sector, DataBuffer, DataBufferSector)) {
          failed = true;
          break;
        }
        piece = std::min(bps - o, n);
        std::memcpy(out, DataBuffer.data() + o, piece);
      }
      out += piece;
      n -= piece;
      BytesRead += piece;
      Info.Position += piece;
      if (Info.Position % BytesPerCluster == 0) Info.CurrentCluster = NextDataCluster(Info.CurrentCluster, FATNumber);
    }
    // A sector that can't be read ends the read: the bytes before it are
    // handed out, and a read that got nothing at all reports the failure.
    return !(failed && BytesRead == 0);
  } catch (...) {
    return false;
  }
}

bool TFATdrive::FirstVisit(TFATFileInfo& Info, uint32_t Cluster, uint8_t FATNumber) {
  if (FATNumber == 0) return true;  // contiguous clusters never come back
  // A cluster past the end of the source can't be read, and the failed read
  // ends the chain: the marks cover only what the source holds, not what a
  // boot sector claims (a hostile one claims millions of clusters, and each
  // file read would clear megabytes).
  if (Cluster > FLastSourceCluster) return true;
  if (Info.Visited.empty()) Info.Visited.resize((uint64_t(FLastSourceCluster) + 1 + 63) / 64);
  const uint64_t bit = uint64_t(1) << (Cluster % 64);
  uint64_t& word = Info.Visited[Cluster / 64];
  if (word & bit) return false;
  word |= bit;
  return true;
}

void TFATdrive::ForgetVisits(TFATFileInfo& Info, uint32_t First, uint32_t Last) {
  for (uint32_t c = First; c <= Last && uint64_t(c) / 64 < Info.Visited.size(); ++c)
    Info.Visited[c / 64] &= ~(uint64_t(1) << (c % 64));
}

bool TFATdrive::InVolumeCluster(uint32_t Cluster) const {
  return Cluster >= 2 && uint64_t(Cluster) <= uint64_t(ClusterCount) + 1;
}

uint32_t TFATdrive::NextDataCluster(uint32_t Cluster, uint8_t FATNumber) {
  if (FATNumber == 0) return Cluster + 1;  // past the volume ends the read at the next piece
  if (IsEOF(Cluster)) return 0;
  const uint32_t next = GetFAT(Cluster, FATNumber - 1);
  return InVolumeCluster(next) ? next : 0;
}

// ---- Stream ---------------------------------------------------------------------------------

TFATStream::TFATStream(TFATdrive* Drive, int32_t Cluster, int32_t Size, uint8_t FATNumber)
    : FSize(Size), FStartCluster(Cluster), FDrive(Drive), FFATNumber(FATNumber) {
  if (!FDrive || !FDrive->ResetByCluster(uint32_t(Cluster), uint32_t(Size), FInfo)) FSize = 0;
}

TFATStream::~TFATStream() {
  if (FDrive) FDrive->Close(FInfo);
}

int32_t TFATStream::Read(void* Buffer, int32_t Count) {
  if (!FDrive || Count <= 0) return 0;
  uint32_t n = 0;
  if (!FDrive->BlockRead(FInfo, uint32_t(Count), Buffer, FFATNumber, n)) return 0;
  return static_cast<int32_t>(n);
}

int32_t TFATStream::Seek(int32_t Offset, uint16_t Origin) {
  switch (Origin) {
    case soFromBeginning: FPosition = Offset; break;
    case soFromCurrent: FPosition = int32_t(uint32_t(FPosition) + uint32_t(Offset)); break;
    case soFromEnd: FPosition = int32_t(uint32_t(FSize) + uint32_t(Offset)); break;
    default: break;
  }
  if (FDrive) FDrive->Seek(FInfo, uint32_t(FPosition), FFATNumber);
  return FPosition;
}

void TFATStream::SetPosition(int64_t Pos) {
  if (FDrive) FDrive->Seek(FInfo, uint32_t(Pos), FFATNumber);
}
