// The runtime's multi-reader/exclusive-writer synchronizer: any number of
// threads may read at once, one thread writes alone. Reentrant per thread: a
// reader may read again, a writer may write and read again, and a reader may
// ask to write (its read lock is set aside while it waits, so two readers
// asking at once do not deadlock; BeginWrite then answers False because
// another writer went first). A waiting writer holds back new readers but not
// a thread that already reads. Every Begin is ended on the thread that began it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "WinTypes.h"

class TMultiReadExclusiveWriteSynchronizer {
 public:
  TMultiReadExclusiveWriteSynchronizer() = default;
  TMultiReadExclusiveWriteSynchronizer(const TMultiReadExclusiveWriteSynchronizer&) = delete;
  TMultiReadExclusiveWriteSynchronizer& operator=(const TMultiReadExclusiveWriteSynchronizer&) = delete;

  void BeginRead();
  void EndRead();
  // True when no other thread wrote between the call and the lock being granted.
  bool BeginWrite();
  void EndWrite();

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::unordered_map<DWORD, int> FReadDepth;  // read locks held, per thread
  int FReaders = 0;         // threads holding a read lock that are neither writing nor waiting to
  int FWaitingWriters = 0;
  DWORD FWriter = 0;        // thread holding the write lock, 0 for none
  int FWriteDepth = 0;
  uint32_t FRevision = 0;   // bumped by every granted write lock
};
