// Threads created suspended, waits, thread ids and the per-thread last error
// (critical sections: see the scanner base suite).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "WinApi.h"

namespace {

struct Shared {
  std::atomic<int> seenAtStart{-1};
  std::atomic<int> value{0};
  std::atomic<bool> release{false};
  std::atomic<DWORD> id{0};
};

int RecordAndWait(void* p) {
  auto* s = static_cast<Shared*>(p);
  s->seenAtStart = s->value.load();
  s->id = GetCurrentThreadId();
  while (!s->release) Sleep(1);
  return 0;
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResumeAndAnExceptionEndsOnlyItsThread) {
  Shared s, never;
  DWORD id = 0;
  HANDLE t = BeginThread(nullptr, 0, RecordAndWait, &s, CREATE_SUSPENDED, &id);
  ASSERT_NE(t, nullptr);
  CloseHandle(BeginThread(nullptr, 0, RecordAndWait, &never, CREATE_SUSPENDED, nullptr));  // never resumed
  s.value = 42;  // written after creation: a thread that ran early would miss it
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, 5), WAIT_TIMEOUT);  // still waiting for release
  s.release = true;
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(std::tuple(s.seenAtStart.load(), s.id.load()), std::tuple(42, id));
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_TRUE(CloseHandle(t));
  HANDLE thrower = BeginThread(nullptr, 0, [](void*) -> int { throw std::runtime_error("x"); }, nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thrower, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thrower);
  EXPECT_EQ(never.seenAtStart, -1);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

TEST(LastError, IsKeptPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  std::thread([] {
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    SetLastError(ERROR_NOT_READY);
  }).join();
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
