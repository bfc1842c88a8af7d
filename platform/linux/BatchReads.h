// Scattered reads of one file descriptor submitted together: the deleted
// search reads thousands of 1 KiB MFT records spread over the volume, and one
// system call each costs more than the copying.
#pragma once

#include <cstddef>
#include <mutex>

#include "Volumes.h"

class BatchReader {
 public:
  explicit BatchReader(int fd) : fd_(fd) {}
  ~BatchReader();
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;

  // Reads every piece; see RawSource::ReadManyAt. Safe from several threads.
  void Read(ReadPiece* pieces, size_t count);

 private:
  struct Ring;
  bool RingReady();
  void ReadThroughRing(ReadPiece* pieces, size_t count);

  int fd_;
  std::mutex lock_;
  Ring* ring_ = nullptr;
  bool ringFailed_ = false;
};

// Reads one piece with pread, picking up after what already arrived.
void ReadPieceDirectly(int fd, ReadPiece& piece);
