// Sequential volume reads: a whole image through ReadLogicalSectors in
// 1000-sector transfers, as a raw reader walks a volume. Prints the bytes
// read and a checksum so the work can't be skipped.
// Usage: bench_sequential IMAGE
#include <algorithm>
#include <cstdio>
#include <vector>

#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Volumes.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_sequential IMAGE\n");
    return 2;
  }
  Initialize();
  const char letter = FindFreeDriveLetter();
  DriveBinding binding;
  binding.raw = OpenImageSource(argv[1]);
  if (!letter || !binding.raw || !MoxBindDriveLetter(letter, binding)) {
    std::fprintf(stderr, "bench_sequential: cannot open %s\n", argv[1]);
    return 1;
  }
  const uint8_t drive = static_cast<uint8_t>(letter - 64);
  TLogDriveParams params{};
  if (!GetLogDriveParams(drive, params) || params.BytesPerSector == 0) {
    std::fprintf(stderr, "bench_sequential: no drive parameters for %s\n", argv[1]);
    return 1;
  }
  constexpr uint32_t kTransfer = 1000;
  std::vector<uint8_t> buffer(size_t{kTransfer} * params.BytesPerSector);
  uint64_t bytes = 0, sum = 0;
  for (uint32_t sector = 0; sector < params.TotalSectors; sector += kTransfer) {
    const uint16_t count = static_cast<uint16_t>(std::min<uint32_t>(kTransfer, params.TotalSectors - sector));
    if (!ReadLogicalSectors(drive, sector, count, buffer.data())) {
      std::fprintf(stderr, "bench_sequential: read failed at sector %u\n", sector);
      return 1;
    }
    bytes += uint64_t{count} * params.BytesPerSector;
    sum += buffer[0] + buffer[buffer.size() / 2];
  }
  std::printf("%llu bytes, checksum %llu\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(sum));
  UnbindDriveLetter(letter);
  Finalize();
  return 0;
}
