// The fuzz input itself as a read-only raw source, not a copy: it outlives
// the binding. A write traps: nothing fuzzed may write to what it reads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Volumes.h"

class MemorySource : public RawSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    done = 0;
    if (offset >= size_) return true;
    done = size_t(std::min<uint64_t>(len, size_ - offset));
    std::memcpy(buffer, data_ + offset, done);
    return true;
  }
  bool WriteAt(uint64_t, const void*, size_t, size_t& done) override {
    done = 0;
    __builtin_trap();
  }
  uint64_t Size() const override { return size_; }
  bool Writable() const override { return false; }

 private:
  const uint8_t* data_;
  size_t size_;
};
