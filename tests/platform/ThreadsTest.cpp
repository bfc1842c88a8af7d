// Threads created suspended, waits, thread ids, the per-thread last error and its texts
// (critical sections: see the scanner base suite).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
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

// Both threads set their code before either reads it back; nothing between
// may call the system (starting and joining a thread may reset the code).
TEST(LastError, IsKeptPerThread) {
  std::atomic<int> step{0};
  DWORD seenThere = 0;
  std::thread other([&] {
    SetLastError(ERROR_NOT_READY);
    step = 1;
    while (step != 2) {
    }
    seenThere = GetLastError();
  });
  while (step != 1) {
  }
  SetLastError(ERROR_ACCESS_DENIED);
  step = 2;
  const DWORD seenHere = GetLastError();
  other.join();
  EXPECT_EQ(std::pair(seenHere, seenThere), std::pair(ERROR_ACCESS_DENIED, ERROR_NOT_READY));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The system's words (Windows' own on Linux too), without the line end
// Windows puts after them.
TEST(LastError, TextsOfCodesWithoutTheLineEnd) {
  char buffer[256];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 ERROR_FILE_NOT_FOUND, 0, buffer, sizeof buffer, nullptr);
  const std::string text(buffer, n);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_EQ(SysErrorMessage(ERROR_FILE_NOT_FOUND), text);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, buffer, n, nullptr),
            0u);  // no room for the terminator
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x2000FFFF, 0, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

}  // namespace
