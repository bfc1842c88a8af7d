#include "RWSync.h"

#include "WinApi.h"

void TMultiReadExclusiveWriteSynchronizer::BeginRead() {
  const DWORD self = GetCurrentThreadId();
  std::unique_lock guard(FLock);
  int& depth = FReadDepth[self];
  // Nested reads, and reads inside one's own write, never wait.
  if (depth == 0 && FWriter != self) {
    FChanged.wait(guard, [&] { return FWriter == 0 && FWaitingWriters == 0; });
    ++FReaders;
  }
  ++depth;
}

void TMultiReadExclusiveWriteSynchronizer::EndRead() {
  const DWORD self = GetCurrentThreadId();
  std::lock_guard guard(FLock);
  const auto it = FReadDepth.find(self);
  if (it == FReadDepth.end()) return;  // unbalanced: nothing to end
  if (--it->second > 0) return;
  FReadDepth.erase(it);
  if (FWriter != self && --FReaders == 0) FChanged.notify_all();
}

bool TMultiReadExclusiveWriteSynchronizer::BeginWrite() {
  const DWORD self = GetCurrentThreadId();
  std::unique_lock guard(FLock);
  if (FWriter == self) {
    ++FWriteDepth;
    return true;
  }
  const uint32_t seen = FRevision;
  const auto it = FReadDepth.find(self);
  if (it != FReadDepth.end()) --FReaders;  // our read lock steps aside while we wait
  ++FWaitingWriters;
  FChanged.wait(guard, [&] { return FWriter == 0 && FReaders == 0; });
  --FWaitingWriters;
  FWriter = self;
  FWriteDepth = 1;
  return FRevision++ == seen;
}

void TMultiReadExclusiveWriteSynchronizer::EndWrite() {
  const DWORD self = GetCurrentThreadId();
  std::lock_guard guard(FLock);
  if (FWriter != self) return;  // unbalanced: nothing to end
  if (--FWriteDepth > 0) return;
  FWriter = 0;
  // Read locks taken before or during the write are held on as plain reads.
  if (FReadDepth.count(self)) ++FReaders;
  FChanged.notify_all();
}
