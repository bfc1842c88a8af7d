// Batched reads through io_uring, set up with the bare system calls (no
// library needed at build or run time). Where the kernel refuses io_uring (too
// old, or forbidden by a container's seccomp filter) every piece is read with
// pread instead, so callers never see the difference.
#include "BatchReads.h"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned kRingEntries = 128;

// Pieces that sit end to end on disk and in memory travel as one read: the
// never-used tail of an MFT is thousands of adjacent free records.
bool Follows(const ReadPiece& a, const ReadPiece& b) {
  return a.offset + a.len == b.offset && static_cast<uint8_t*>(a.buffer) + a.len == b.buffer &&
         a.len + b.len <= (size_t{1} << 20);
}

template <class T>
T* At(void* base, uint32_t offset) {
  return reinterpret_cast<T*>(static_cast<uint8_t*>(base) + offset);
}

}  // namespace

void ReadPieceDirectly(int fd, ReadPiece& piece) {
  auto* out = static_cast<uint8_t*>(piece.buffer);
  piece.ok = true;
  while (piece.done < piece.len) {
    const ssize_t n = ::pread(fd, out + piece.done, piece.len - piece.done, static_cast<off_t>(piece.offset + piece.done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) piece.ok = false;
    if (n <= 0) return;
    piece.done += static_cast<size_t>(n);
  }
}

struct BatchReader::Ring {
  int file = -1;  // what is read
  int ringFd = -1;
  void* sqRing = MAP_FAILED;
  size_t sqRingSize = 0;
  void* cqRing = MAP_FAILED;
  size_t cqRingSize = 0;
  io_uring_sqe* sqes = static_cast<io_uring_sqe*>(MAP_FAILED);
  size_t sqesSize = 0;
  io_uring_params params{};

  ~Ring() {
    if (sqes != MAP_FAILED) ::munmap(sqes, sqesSize);
    if (cqRing != MAP_FAILED && cqRing != sqRing) ::munmap(cqRing, cqRingSize);
    if (sqRing != MAP_FAILED) ::munmap(sqRing, sqRingSize);
    if (ringFd >= 0) ::close(ringFd);
  }

  bool Open() {
    ringFd = static_cast<int>(::syscall(__NR_io_uring_setup, kRingEntries, &params));
    if (ringFd < 0) return false;
    const auto& sq = params.sq_off;
    const auto& cq = params.cq_off;
    sqRingSize = sq.array + params.sq_entries * sizeof(uint32_t);
    cqRingSize = cq.cqes + params.cq_entries * sizeof(io_uring_cqe);
    const bool single = params.features & IORING_FEAT_SINGLE_MMAP;
    if (single) sqRingSize = cqRingSize = std::max(sqRingSize, cqRingSize);
    const int flags = MAP_SHARED | MAP_POPULATE;
    sqRing = ::mmap(nullptr, sqRingSize, PROT_READ | PROT_WRITE, flags, ringFd, IORING_OFF_SQ_RING);
    if (sqRing == MAP_FAILED) return false;
    cqRing = single ? sqRing : ::mmap(nullptr, cqRingSize, PROT_READ | PROT_WRITE, flags, ringFd, IORING_OFF_CQ_RING);
    if (cqRing == MAP_FAILED) return false;
    sqesSize = params.sq_entries * sizeof(io_uring_sqe);
    sqes = static_cast<io_uring_sqe*>(::mmap(nullptr, sqesSize, PROT_READ | PROT_WRITE, flags, ringFd, IORING_OFF_SQES));
    return sqes != MAP_FAILED && params.sq_entries >= kRingEntries;
  }

  // Queues one read per piece (at most kRingEntries) and waits until the
  // kernel has finished every read it took, handing each result to
  // done(index, result). False when it would not take them all.
  template <class Done>
  bool Run(ReadPiece* pieces, unsigned count, Done done) {
    const auto& sq = params.sq_off;
    const auto& cq = params.cq_off;
    auto* sqTail = At<std::atomic<uint32_t>>(sqRing, sq.tail);
    const uint32_t sqMask = *At<uint32_t>(sqRing, sq.ring_mask);
    uint32_t* array = At<uint32_t>(sqRing, sq.array);
    uint32_t tail = sqTail->load(std::memory_order_relaxed);
    for (unsigned i = 0; i < count; ++i, ++tail) {
      const uint32_t slot = tail & sqMask;
      io_uring_sqe& e = sqes[slot];
      std::memset(&e, 0, sizeof e);
      e.opcode = IORING_OP_READ;
      e.fd = file;
      e.off = pieces[i].offset;
      e.addr = reinterpret_cast<uint64_t>(pieces[i].buffer);
      e.len = static_cast<uint32_t>(std::min<size_t>(pieces[i].len, size_t{1} << 30));  // pread finishes the rest
      e.user_data = i;
      array[slot] = slot;
    }
    sqTail->store(tail, std::memory_order_release);
    auto* cqHead = At<std::atomic<uint32_t>>(cqRing, cq.head);
    auto* cqTail = At<std::atomic<uint32_t>>(cqRing, cq.tail);
    const uint32_t cqMask = *At<uint32_t>(cqRing, cq.ring_mask);
    auto* cqes = At<io_uring_cqe>(cqRing, cq.cqes);
    unsigned submitted = 0, reaped = 0;
    bool refused = false;
    while (reaped < submitted || (!refused && submitted < count)) {
      const unsigned toSubmit = refused ? 0 : count - submitted;
      const long r = ::syscall(__NR_io_uring_enter, ringFd, toSubmit, submitted + toSubmit - reaped,
                               IORING_ENTER_GETEVENTS, nullptr, 0);
      if (r > 0) submitted += static_cast<unsigned>(r);
      if (r < 0 && errno != EINTR && errno != EAGAIN && errno != EBUSY) {
        if (toSubmit == 0) return false;  // cannot even wait: nothing more to do
        // The kernel takes entries in order: those it did not take are withdrawn.
        sqTail->store(tail - toSubmit, std::memory_order_release);
        refused = true;
      }
      uint32_t head = cqHead->load(std::memory_order_relaxed);
      const uint32_t end = cqTail->load(std::memory_order_acquire);
      for (; head != end; ++head, ++reaped) done(static_cast<unsigned>(cqes[head & cqMask].user_data), cqes[head & cqMask].res);
      cqHead->store(head, std::memory_order_release);
    }
    return !refused;
  }
};

BatchReader::~BatchReader() { delete ring_; }

bool BatchReader::RingReady() {
  if (ring_) return true;
  if (ringFailed_) return false;
  auto* ring = new Ring;
  ring->file = fd_;
  if (!ring->Open()) {
    delete ring;
    ringFailed_ = true;
    return false;
  }
  ring_ = ring;
  return true;
}

void BatchReader::ReadThroughRing(ReadPiece* pieces, size_t count) {
  // Runs of adjacent pieces are read as one, then their bytes are handed
  // back piece by piece.
  ReadPiece runs[kRingEntries];
  size_t firstOf[kRingEntries + 1];
  for (size_t i = 0; i < count;) {
    unsigned n = 0;
    for (; i < count && n < kRingEntries; ++n) {
      firstOf[n] = i;
      runs[n] = pieces[i];
      for (++i; i < count && Follows(runs[n], pieces[i]); ++i) runs[n].len += pieces[i].len;
    }
    firstOf[n] = i;
    bool unsupported = false;
    const bool taken = ring_ && ring_->Run(runs, n, [&](unsigned k, int res) {
      if (res > 0) runs[k].done = static_cast<size_t>(res);
      if (res == -EINVAL || res == -EOPNOTSUPP) unsupported = true;
    });
    if (!taken || unsupported) {
      delete ring_;
      ring_ = nullptr;
      ringFailed_ = true;
    }
    for (unsigned k = 0; k < n; ++k) {
      // Whatever did not arrive whole (an error, an interrupted or short
      // read) is finished with pread, which also tells the end of the source.
      ReadPieceDirectly(fd_, runs[k]);
      size_t left = runs[k].done;
      for (size_t p = firstOf[k]; p < firstOf[k + 1]; ++p) {
        pieces[p].done = std::min(left, pieces[p].len);
        pieces[p].ok = runs[k].ok;
        left -= pieces[p].done;
      }
    }
  }
}

void BatchReader::Read(ReadPiece* pieces, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    pieces[i].done = 0;
    pieces[i].ok = false;
  }
  std::lock_guard guard(lock_);
  // A single piece gains nothing from a ring.
  if (count < 2 || !RingReady()) {
    for (size_t i = 0; i < count; ++i) ReadPieceDirectly(fd_, pieces[i]);
    return;
  }
  ReadThroughRing(pieces, count);
}
