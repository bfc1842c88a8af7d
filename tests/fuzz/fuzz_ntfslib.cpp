// NtfsLib's MFT pass over a mutated NTFS image: the boot sector, the MFT
// read along its own run list (extension records included), every record
// fixed up and parsed, then each reportable name placed in its folder as the
// scan thread does. Nothing may crash, hang or read outside a buffer.
//
// The pass is compiled into this target, not loaded from libNtfsLib, so the
// fuzzer sees inside it and needs no thread or drive letter. The input is the
// start of an image; the rest of a 2 MiB volume reads as zeros. Starting
// inputs: tests/fuzz/make_ntfs_corpus.sh DIR; run with -max_len=163840.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "MftScan.h"

namespace {

constexpr uint64_t kVolumeBytes = 2 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t volumeBytes = std::max<uint64_t>(size, kVolumeBytes);
  ntfslib::VolumeRead read = [&](uint64_t offset, void* buffer, size_t len) -> size_t {
    if (offset >= volumeBytes) return 0;
    const size_t done = size_t(std::min<uint64_t>(len, volumeBytes - offset));
    std::memset(buffer, 0, done);
    if (offset < size) std::memcpy(buffer, data + offset, size_t(std::min<uint64_t>(done, size - offset)));
    return done;
  };
  uint8_t boot[512];
  ntfslib::Geometry g;
  if (read(0, boot, sizeof boot) != sizeof boot || !ntfslib::ParseBootSector(boot, sizeof boot, g)) return 0;
  // A boot sector may claim a volume of petabytes: the pass sizes its tables
  // by the MFT, which reads as zeros past the input.
  ntfslib::MftScan scan;
  const std::atomic<bool> abort{false};
  if (!scan.Load(g, read, abort)) return 0;
  size_t pathUnits = 0;
  for (const ntfslib::FileName& n : scan.names) {
    if (!scan.Reportable(n)) continue;
    const int32_t node = scan.FolderOf(n);
    if (node >= 0) pathUnits += scan.FolderPath(node).size();
    pathUnits += scan.Text(n).size() + scan.DosAliasOf(n).size();
  }
  return pathUnits == SIZE_MAX;  // keeps the work from being optimised away
}
