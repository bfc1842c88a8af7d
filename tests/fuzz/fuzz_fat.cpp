// Mounts a mutated FAT image, scans it with deleted items and reads every
// file it lists, by chain and as contiguous clusters, through the reader and
// the stream. Nothing may crash, hang or read outside a buffer.
//
// Start corpus: tests/fuzz/make_corpus.sh DIR (small mkfs.fat images); run
// with -max_len=65536 (see bench/RESULTS.md for the last long run).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Diskfs.h"
#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Volumes.h"
#include "FuzzDevice.h"
#include "MemorySource.h"
#include "WinApi.h"

namespace {

// More than the largest input holds: no more is read per file, so a size
// field of 4 GiB over a looping chain costs nothing.
constexpr uint32_t kReadCap = 256 << 10;
constexpr size_t kItemCap = 1000;
// Bytes all files of one input may read together: thousands of files over
// one looping chain would otherwise make one input cost gigabytes of copying.
constexpr uint64_t kInputReadCap = 4 << 20;
uint64_t inputReadLeft = 0;

// Positions for seeking stay within the read cap too: reaching byte N of a
// chain costs N / cluster-size steps, and a 4 GiB size over a looping chain
// would make every input a slow one without reaching any other code.
void ReadFile(TFATdrive& drive, TFATFile& file, uint8_t fat) {
  static std::vector<uint8_t> buffer(65536);
  const uint32_t size = uint32_t(file.Size);
  TFATFileInfo info;
  if (!drive.ResetByCluster(file.StartCluster, size, info)) return;
  uint32_t total = 0, got = 0;
  while (total < kReadCap && inputReadLeft > 0 &&
         drive.BlockRead(info, uint32_t(buffer.size()), buffer.data(), fat, got) && got > 0) {
    total += got;
    inputReadLeft -= std::min<uint64_t>(got, inputReadLeft);
  }
  const uint32_t far = std::min(size, kReadCap);
  drive.Seek(info, far / 2, fat);

  TFATStream stream(&drive, int32_t(file.StartCluster), int32_t(size), fat);
  stream.Seek(int32_t(far) - 10, soFromBeginning);
  stream.Read(buffer.data(), 4096);
  stream.Seek(1, soFromBeginning);
  stream.Read(buffer.data(), 1000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = (Initialize(), true);
  (void)started;
  WithFuzzDevice(std::make_shared<MemorySource>(data, size), [&](TDevice& device) {
    TFATdrive drive;
    drive.Device = &device;
    drive.TotalSectors = device.TotalSectors;
    if (drive.MountDrive(false)) {
      // A tree holds no more items than the source has records, but each
      // file listed is read twice over; a prefix of the tree already has
      // every kind of record there is to parse.
      std::vector<TFATFile*> files;
      size_t found = 0;
      drive.OnFoundItem = [&](TObject*, TObject* item) {
        if (++found == kItemCap) drive.CancelScan();
        if (auto* f = dynamic_cast<TFATFile*>(item)) files.push_back(f);
        if (auto* d = dynamic_cast<TFATDirectory*>(item)) (void)d->GetPath(nullptr);
      };
      drive.ScanDrive("*", true, false);
      inputReadLeft = kInputReadCap;
      for (TFATFile* f : files) {
        (void)f->GetPath(nullptr);
        ReadFile(drive, *f, 1);
        ReadFile(drive, *f, 0);
      }
    }
  });
  return 0;
}
