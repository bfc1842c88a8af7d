// Reads a mutated disk's partition table with both common sector sizes and
// the one its content tells, and reads the first and last bytes of every
// partition found through a slice; then searches it for lost volumes.
// Nothing may crash, hang, read outside the input, name a partition that
// leaves the disk or find a volume starting past it.
//
// Starting inputs: tests/fuzz/make_partition_corpus.sh DIR (small MBR and GPT
// disks); run with -max_len=262144.
#include <cstdint>
#include <memory>

#include "LostVolumes.h"
#include "MemorySource.h"
#include "Partitions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto disk = std::make_shared<MemorySource>(data, size);
  for (uint32_t sectorSize : {512u, 4096u, SectorSizeOfImage(*disk)}) {
    const PartitionTable table = ReadPartitionTable(*disk, sectorSize);
    for (const PartitionEntry& e : table.entries) {
      if (e.size == 0 || e.start + e.size > size || e.start + e.size < e.start) __builtin_trap();
      auto slice = MakeSliceSource(disk, e.start, e.size);
      uint8_t b[2];
      size_t done = 0;
      slice->ReadAt(0, b, 1, done);
      slice->ReadAt(e.size - 1, b, 2, done);
      if (done != 1) __builtin_trap();
      (void)PartitionTypeName(table, e);
    }
    LostVolumeLimits limits;
    limits.maxPlaces = 4096;
    for (const LostVolume& v : SearchLostVolumes(*disk, table, limits).volumes)
      if (v.start >= size / sectorSize || v.sectors == 0 || (v.copy && v.copy >= size / sectorSize)) __builtin_trap();
    LostVolume at;
    if (FindVolumeAt(*disk, sectorSize, 1, at) && at.start != 1) __builtin_trap();
  }
  return 0;
}
