// A host reader object for the device tests: sectors in memory whose bytes
// tell which sector they came from, every read recorded, faults on demand.
#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "Volumes.h"

class CountingSource : public RawSource {
 public:
  struct Read {
    uint64_t offset;
    size_t len;
  };

  CountingSource(uint32_t sectors, uint32_t sectorSize, uint8_t salt = 0)
      : sectorSize_(sectorSize), bytes_(uint64_t{sectors} * sectorSize) {
    for (uint64_t i = 0; i < bytes_.size(); ++i) bytes_[i] = Expected(i / sectorSize, i % sectorSize, salt);
  }

  // The byte at position pos of sector s of a source made with salt.
  static uint8_t Expected(uint64_t s, uint64_t pos, uint8_t salt = 0) {
    return static_cast<uint8_t>(s * 7 + (s >> 8) * 13 + pos * 31 + salt);
  }

  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    std::lock_guard guard(lock_);
    reads_.push_back({offset, len});
    done = 0;
    if (len > 0 && offset < failEnd_ && offset + len > failBegin_) return false;
    if (offset >= bytes_.size()) return true;
    done = static_cast<size_t>(std::min<uint64_t>(len, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, done);
    return true;
  }
  bool WriteAt(uint64_t, const void*, size_t, size_t& done) override {
    done = 0;
    return false;
  }
  uint64_t Size() const override { return bytes_.size(); }
  bool Writable() const override { return false; }

  // Reads touching sectors first..last fail from now on.
  void FailSectors(uint64_t first, uint64_t last) {
    std::lock_guard guard(lock_);
    failBegin_ = first * sectorSize_;
    failEnd_ = (last + 1) * sectorSize_;
  }
  void Heal() {
    std::lock_guard guard(lock_);
    failBegin_ = ~uint64_t(0);
    failEnd_ = 0;
  }

  std::vector<Read> TakeReads() {
    std::lock_guard guard(lock_);
    return std::exchange(reads_, {});
  }

 private:
  std::mutex lock_;
  uint32_t sectorSize_;
  std::vector<uint8_t> bytes_;
  std::vector<Read> reads_;
  uint64_t failBegin_ = ~uint64_t(0);
  uint64_t failEnd_ = 0;
};
