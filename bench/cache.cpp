// Single-sector TDevice.ReadSec reads over an image bound to a drive letter,
// with the shared cache off or on (after DetectCacheLineSize), as a raw
// reader reads FAT sectors and directory clusters one at a time.
// Prints reads per second of the read loop alone and a checksum.
// Usage: bench_cache IMAGE off|on [seq|random]
//   seq:    every sector in order, once
//   random: 5000 reads at random sectors (fixed sequence): the cache's worst
//           case, each miss filling a whole line for one sector
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "Devices.h"
#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Volumes.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: bench_cache IMAGE off|on [seq|random]\n");
    return 2;
  }
  const bool cached = std::strcmp(argv[2], "on") == 0;
  const bool random = argc == 4 && std::strcmp(argv[3], "random") == 0;
  Initialize();
  const char letter = FindFreeDriveLetter();
  DriveBinding binding;
  binding.raw = OpenImageSource(argv[1]);
  if (!letter || !binding.raw || !MoxBindDriveLetter(letter, binding)) {
    std::fprintf(stderr, "bench_cache: cannot open %s\n", argv[1]);
    return 1;
  }
  const uint8_t drive = static_cast<uint8_t>(letter - 'A' + 1);
  TLogDriveParams params{};
  if (!GetLogDriveParams(drive, params) || params.BytesPerSector == 0) {
    std::fprintf(stderr, "bench_cache: no drive parameters for %s\n", argv[1]);
    return 1;
  }

  // Filled the way device detection fills it.
  TDevice device;
  device.Kind = 1;
  device.DriveNumber = drive;
  device.DriveType = DRIVE_FIXED;
  device.TotalSectors = params.TotalSectors;
  device.BytesPerSector = static_cast<uint16_t>(params.BytesPerSector);
  if (cached) {
    device.DetectCacheLineSize();
    device.UseCache(true);
    optCacheEnabled = true;
  }

  std::vector<uint32_t> order(random ? 5000 : device.TotalSectors);
  std::mt19937 rng(12345);
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = random ? rng() % device.TotalSectors : i;

  std::vector<uint8_t> sector(device.BytesPerSector);
  uint64_t sum = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t s : order) {
    if (!device.ReadSec(static_cast<int32_t>(s), 1, sector.data(), false)) {
      std::fprintf(stderr, "bench_cache: read failed at sector %u\n", s);
      return 1;
    }
    sum += sector[0] + sector[sector.size() - 1];
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("%s %s: %zu reads in %.3f s = %.0f reads/s (line %u sectors), checksum %llu\n", cached ? "on" : "off",
              random ? "random" : "seq", order.size(), seconds, order.size() / seconds, device.CacheLineSize,
              static_cast<unsigned long long>(sum));
  UnbindDriveLetter(letter);
  Finalize();
  return 0;
}
