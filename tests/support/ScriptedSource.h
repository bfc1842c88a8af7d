// A host raw source whose behaviour a test scripts: bytes follow a pattern of
// their offset, every call is logged, chosen calls fail or come up short.
// Sizes beyond what is worth keeping in memory are served from the pattern
// alone (and refuse writes).
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "Volumes.h"

class ScriptedSource : public RawSource {
 public:
  struct Call {
    uint64_t offset;
    size_t len;
  };

  explicit ScriptedSource(uint64_t size, bool writable = false) : size_(size), writable_(writable) {
    if (size <= kKeptLimit) {
      bytes_.resize(size);
      for (uint64_t i = 0; i < size; ++i) bytes_[i] = Pattern(i);
    }
  }

  static uint8_t Pattern(uint64_t offset) {
    return static_cast<uint8_t>((offset >> 9) * 7 + (offset >> 20) * 13 + (offset & 511) * 31 + (offset >> 32));
  }

  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    const size_t index = reads.size();
    reads.push_back({offset, len});
    done = 0;
    if (failReads.count(index)) return false;
    if (offset >= size_) return true;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, size_ - offset));
    if (auto it = shortReads.find(index); it != shortReads.end()) n = std::min(n, it->second);
    auto* out = static_cast<uint8_t*>(buffer);
    if (!bytes_.empty())
      std::memcpy(out, bytes_.data() + offset, n);
    else
      for (size_t i = 0; i < n; ++i) out[i] = Pattern(offset + i);
    done = n;
    return true;
  }

  bool WriteAt(uint64_t offset, const void* buffer, size_t len, size_t& done) override {
    const size_t index = writes.size();
    writes.push_back({offset, len});
    done = 0;
    if (!writable_ || bytes_.empty() || failWrites.count(index)) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, offset >= size_ ? 0 : size_ - offset));
    std::memcpy(bytes_.data() + offset, buffer, n);
    done = n;
    return n == len;
  }

  uint64_t Size() const override { return size_; }
  bool Writable() const override { return writable_; }

  const std::vector<uint8_t>& Bytes() const { return bytes_; }

  std::vector<Call> reads, writes;
  std::map<size_t, size_t> shortReads;  // read call index -> bytes it delivers
  std::set<size_t> failReads, failWrites;  // call indices that fail

 private:
  static constexpr uint64_t kKeptLimit = 64ull << 20;
  uint64_t size_;
  bool writable_;
  std::vector<uint8_t> bytes_;
};

// Binds letter to source for the life of the object.
class ScopedLetter {
 public:
  ScopedLetter(char letter, std::shared_ptr<RawSource> raw, UINT driveType = DRIVE_FIXED, uint32_t sectorSize = 512,
               std::string fileSystemName = {})
      : letter_(letter) {
    DriveBinding b;
    b.raw = std::move(raw);
    b.driveType = driveType;
    b.sectorSize = sectorSize;
    b.fileSystemName = std::move(fileSystemName);
    BindDriveLetter(letter, std::move(b));
  }
  ~ScopedLetter() { UnbindDriveLetter(letter_); }
  ScopedLetter(const ScopedLetter&) = delete;
  ScopedLetter& operator=(const ScopedLetter&) = delete;

 private:
  char letter_;
};
