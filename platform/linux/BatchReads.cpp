// Batched reads through io_uring, driven by liburing. Where the kernel refuses
// io_uring (too old, or forbidden by a container's seccomp filter) every piece
// is read with pread instead, so callers never see the difference.
#include "BatchReads.h"

#include <liburing.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {

constexpr unsigned kRingEntries = 128;

// Pieces that sit end to end on disk and in memory travel as one read: the
// never-used tail of an MFT is thousands of adjacent free records.
bool Follows(const ReadPiece& a, const ReadPiece& b) {
  return a.offset + a.len == b.offset && static_cast<uint8_t*>(a.buffer) + a.len == b.buffer &&
         a.len + b.len <= (size_t{1} << 20);
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
  io_uring ring{};
  bool open = false;

  ~Ring() {
    if (open) io_uring_queue_exit(&ring);
  }

  bool Open() {
    open = io_uring_queue_init(kRingEntries, &ring, 0) == 0;
    return open && ring.sq.ring_entries >= kRingEntries;
  }

  // Queues one read per piece (at most kRingEntries) and waits until the
  // kernel has finished every read it took, handing each result to
  // done(index, result). False when it would not take them all.
  template <class Done>
  bool Run(int file, ReadPiece* pieces, unsigned count, Done done) {
    for (unsigned i = 0; i < count; ++i) {
      // Never null: every earlier batch was reaped whole, so the ring is empty.
      io_uring_sqe* e = io_uring_get_sqe(&ring);
      const auto len = static_cast<unsigned>(std::min<size_t>(pieces[i].len, size_t{1} << 30));  // pread finishes the rest
      io_uring_prep_read(e, file, pieces[i].buffer, len, pieces[i].offset);
      io_uring_sqe_set_data64(e, i);
    }
    unsigned reaped = 0;
    bool refused = false;
    for (;;) {
      // What the kernel has not taken yet stays queued and goes with the next call.
      const unsigned submitted = count - io_uring_sq_ready(&ring);
      if (reaped == submitted && (refused || submitted == count)) break;
      io_uring_cqe* cqe = nullptr;
      const int r = refused ? io_uring_wait_cqe_nr(&ring, &cqe, submitted - reaped)
                            : io_uring_submit_and_wait(&ring, count - reaped);
      if (r < 0 && r != -EINTR && r != -EAGAIN && r != -EBUSY) {
        if (refused) return false;  // cannot even wait: nothing more to do
        // The reads already taken still land in the callers' buffers: wait for them.
        refused = true;
      }
      unsigned head, seen = 0;
      io_uring_for_each_cqe(&ring, head, cqe) {
        done(static_cast<unsigned>(io_uring_cqe_get_data64(cqe)), cqe->res);
        ++seen;
      }
      io_uring_cq_advance(&ring, seen);
      reaped += seen;
    }
    return !refused;
  }
};

BatchReader::~BatchReader() { delete ring_; }

bool BatchReader::RingReady() {
  if (ring_) return true;
  if (ringFailed_) return false;
  auto* ring = new Ring;
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
    const bool taken = ring_ && ring_->Run(fd_, runs, n, [&](unsigned k, int res) {
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
