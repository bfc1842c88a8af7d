// The one raw source of the tests: bytes in memory (a pattern of their offset
// unless a test puts an image in), every call logged, chosen calls or sectors
// failing, chosen calls coming up short. Sizes beyond what is worth keeping in
// memory are served from the pattern alone (and refuse writes).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "Volumes.h"

class ScriptedSource : public RawSource {
 public:
  struct Call {
    uint64_t offset;
    size_t len;
  };

  explicit ScriptedSource(uint64_t size = 0, bool writable = false, uint8_t salt = 0)
      : size_(size), writable_(writable), salt_(salt) {
    if (size <= kKeptLimit) {
      bytes_.resize(size);
      for (uint64_t i = 0; i < size; ++i) bytes_[i] = Pattern(i, salt);
    }
  }

  // The byte at offset of a source made with salt.
  static uint8_t Pattern(uint64_t offset, uint8_t salt = 0) {
    return static_cast<uint8_t>((offset >> 9) * 7 + (offset >> 20) * 13 + (offset & 511) * 31 + (offset >> 32) + salt);
  }

  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    std::lock_guard guard(lock_);
    const size_t index = reads.size();
    reads.push_back({offset, len});
    done = 0;
    if (failReads.count(index)) return false;
    for (uint64_t s = offset / 512; len > 0 && s <= (offset + len - 1) / 512; ++s)
      if (failingSectors.count(s)) return false;
    if (offset >= size_) return true;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, size_ - offset));
    if (auto it = shortReads.find(index); it != shortReads.end()) n = std::min(n, it->second);
    auto* out = static_cast<uint8_t*>(buffer);
    if (size_ <= kKeptLimit)
      std::memcpy(out, bytes_.data() + offset, n);
    else
      for (size_t i = 0; i < n; ++i) out[i] = Pattern(offset + i, salt_);
    done = n;
    return true;
  }

  bool WriteAt(uint64_t offset, const void* buffer, size_t len, size_t& done) override {
    std::lock_guard guard(lock_);
    const size_t index = writes.size();
    writes.push_back({offset, len});
    done = 0;
    if (!writable_ || size_ > kKeptLimit || failWrites.count(index)) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, offset >= size_ ? 0 : size_ - offset));
    std::memcpy(bytes_.data() + offset, buffer, n);
    done = n;
    return n == len;
  }

  uint64_t Size() const override { return size_; }
  bool Writable() const override { return writable_; }

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  // Serves image from now on, with no faults scripted.
  void SetImage(std::vector<uint8_t> image) {
    std::lock_guard guard(lock_);
    bytes_ = std::move(image);
    size_ = bytes_.size();
    failingSectors.clear();
  }
  std::vector<Call> TakeReads() {
    std::lock_guard guard(lock_);
    return std::exchange(reads, {});
  }

  std::vector<Call> reads, writes;
  std::map<size_t, size_t> shortReads;     // read call index -> bytes it delivers
  std::set<size_t> failReads, failWrites;  // call indices that fail
  std::set<uint64_t> failingSectors;       // 512-byte sectors whose reads fail

 private:
  static constexpr uint64_t kKeptLimit = 64ull << 20;
  std::mutex lock_;
  uint64_t size_;
  bool writable_;
  uint8_t salt_;
  std::vector<uint8_t> bytes_;
};

// Binds letter to source for the life of the object.
class ScopedLetter {
 public:
  ScopedLetter(char letter, std::shared_ptr<RawSource> raw, UINT driveType = DRIVE_FIXED, uint32_t sectorSize = 512,
               std::string fileSystemName = {})
      : letter_(letter) {
    BindDriveLetter(letter, DriveBinding{{}, std::move(raw), driveType, sectorSize, std::move(fileSystemName)});
  }
  ~ScopedLetter() { UnbindDriveLetter(letter_); }
  ScopedLetter(const ScopedLetter&) = delete;
  ScopedLetter& operator=(const ScopedLetter&) = delete;

 private:
  char letter_;
};

// Every unit started and sources bound to letters for a whole test program:
// the sector layer keeps its volume handle open between calls, so a letter
// keeps its source and tests swap the bytes behind it.
class BoundSources : public ::testing::Environment {
 public:
  explicit BoundSources(std::vector<std::pair<char, std::shared_ptr<ScriptedSource>>> bindings)
      : bindings_(std::move(bindings)) {}
  void SetUp() override;
  void TearDown() override;

 private:
  std::vector<std::pair<char, std::shared_ptr<ScriptedSource>>> bindings_;
};
