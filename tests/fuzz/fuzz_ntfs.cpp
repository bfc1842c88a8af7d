// Mounts a mutated NTFS image, builds the live and the deleted tree through
// a scan, and reads every file it lists through the byte reader and the
// stream. Nothing may crash, hang, allocate without bound or read outside a
// buffer.
//
// The input is the start of an image; the rest of a 2 MiB volume reads as
// zeros, so the boot sector, the MFT and the first clusters (all an NTFS
// reader starts from) fit a small input. Starting inputs:
// tests/fuzz/make_ntfs_corpus.sh DIR; run with -max_len=163840.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Ntfs.h"
#include "Volumes.h"
#include "FuzzDevice.h"
#include "WinApi.h"

namespace {

constexpr uint64_t kVolumeBytes = 2 << 20;

class ZeroPaddedSource : public RawSource {
 public:
  ZeroPaddedSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    done = offset < Size() ? size_t(std::min<uint64_t>(len, Size() - offset)) : 0;
    std::memset(buffer, 0, done);
    if (offset < size_) std::memcpy(buffer, data_ + offset, size_t(std::min<uint64_t>(done, size_ - offset)));
    return true;
  }
  bool WriteAt(uint64_t, const void*, size_t, size_t& done) override {
    done = 0;
    __builtin_trap();  // the reader never writes to a volume
  }
  uint64_t Size() const override { return std::max<uint64_t>(size_, kVolumeBytes); }
  bool Writable() const override { return false; }

 private:
  const uint8_t* data_;
  size_t size_;
};

constexpr size_t kItemCap = 2000;
// Bytes all files of one input may read together, and one file at most:
// thousands of names over one sparse 4 GiB run would otherwise make one
// input cost gigabytes of zeros.
constexpr uint64_t kInputReadCap = 4 << 20;
constexpr uint32_t kFileReadCap = 256 << 10;

void ReadFile(TNTFSdrive& drive, TNTFSFile& file, uint64_t& budget) {
  static std::vector<uint8_t> buffer(65536);
  TNTFSfileInfo info;
  drive.resetByMFTfileRef(int64_t(file.MFTfileRef), file.Size, info);
  uint32_t total = 0, got = 0;
  while (total < kFileReadCap && budget > 0 && drive.blockread(info, uint32_t(buffer.size()), buffer.data(), got) &&
         got > 0) {
    total += got;
    budget -= std::min<uint64_t>(got, budget);
  }
  // Far positions cost nothing to reach here: a byte range is found by runs.
  if (drive.seek(info, file.Size - 10)) drive.blockread(info, 4096, buffer.data(), got);
  // The stream's positions are 32-bit signed: a seek past 2 GiB raises by design.
  if (file.Size >= 0 && file.Size < (int64_t(1) << 31)) {
    TNTFSStream stream(&drive, int64_t(file.MFTfileRef), file.Size);
    stream.Seek(-100, soFromEnd);
    stream.Read(buffer.data(), 1000);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = (Initialize(), optNtfsPosixNames = true, true);
  (void)started;
  WithFuzzDevice(std::make_shared<ZeroPaddedSource>(data, size), [&](TDevice& device) {
    TNTFSdrive drive;
    drive.Device = &device;
    if (drive.MountDrive(false)) {
      std::vector<TNTFSFile*> files;
      size_t found = 0;
      drive.OnProgress = [&](TObject*, TObject*, const AnsiString&, int, bool& cancel) {
        cancel = found >= kItemCap;
      };
      drive.OnFoundItem = [&](TObject*, TObject* item) {
        ++found;
        if (auto* f = dynamic_cast<TNTFSFile*>(item)) files.push_back(f);
      };
      drive.ScanDrive("*", true, false);
      uint64_t budget = kInputReadCap;
      for (TNTFSFile* f : files) {
        (void)f->GetPath(nullptr);
        ReadFile(drive, *f, budget);
      }
    }
  });
  return 0;
}
