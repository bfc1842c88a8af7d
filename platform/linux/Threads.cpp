// Threads, waits, recursive critical sections and the scan thread's
// read-everything capability.
#include <linux/capability.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "WinApi.h"

namespace {

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;

// Shared by the handle and the running thread, so either may go first.
struct ThreadState {
  std::mutex lock;
  std::condition_variable changed;
  bool resumed = false;
  bool cancelled = false;  // handle closed before the thread was ever resumed
  bool finished = false;
  DWORD id = 0;
  TThreadFunc func = nullptr;
  void* parameter = nullptr;
};

struct ThreadObject : KernelObject {
  std::shared_ptr<ThreadState> state;
  pthread_t thread{};
  bool started = false;

  ~ThreadObject() override {
    if (!started) return;
    bool finished;
    {
      std::lock_guard guard(state->lock);
      finished = state->finished;
      if (!state->resumed) state->cancelled = true;
    }
    state->changed.notify_all();
    // A finished thread is joined so its end is visible to whoever closed it;
    // a running one keeps running, as closing a thread handle allows.
    if (finished)
      pthread_join(thread, nullptr);
    else
      pthread_detach(thread);
  }
};

void* ThreadEntry(void* arg) {
  auto* holder = static_cast<std::shared_ptr<ThreadState>*>(arg);
  std::shared_ptr<ThreadState> state = std::move(*holder);
  delete holder;
  currentThreadId = state->id;
  {
    std::unique_lock guard(state->lock);
    state->changed.wait(guard, [&] { return state->resumed || state->cancelled; });
    if (state->cancelled) return nullptr;
  }
  try {
    state->func(state->parameter);
  } catch (...) {
    // An exception must not cross the thread's boundary; the thread just ends.
  }
  {
    std::lock_guard guard(state->lock);
    state->finished = true;
  }
  state->changed.notify_all();
  return nullptr;
}

// Deep folder trees recurse deeply; give threads more than the 1 MiB a
// Windows thread gets by default.
constexpr size_t kMinStackSize = size_t(16) << 20;

}  // namespace

HANDLE BeginThread(void* security, size_t stackSize, TThreadFunc func, void* parameter, DWORD creationFlags,
                   DWORD* threadId) {
  if (!func) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_unique<ThreadObject>();
  object->state = std::make_shared<ThreadState>();
  auto& st = *object->state;
  st.id = nextThreadId.fetch_add(1);
  st.func = func;
  st.parameter = parameter;
  st.resumed = (creationFlags & CREATE_SUSPENDED) == 0;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::max(stackSize, kMinStackSize));
  auto* holder = new std::shared_ptr<ThreadState>(object->state);
  const int rc = pthread_create(&object->thread, &attr, ThreadEntry, holder);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete holder;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->started = true;
  if (threadId) *threadId = st.id;
  return object.release();
}

DWORD ResumeThread(HANDLE thread) {
  auto* t = dynamic_cast<ThreadObject*>(thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return DWORD(-1);
  }
  DWORD previous;
  {
    std::lock_guard guard(t->state->lock);
    previous = t->state->resumed ? 0 : 1;
    t->state->resumed = true;
  }
  t->state->changed.notify_all();
  return previous;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
  auto* t = (h && h != INVALID_HANDLE_VALUE) ? dynamic_cast<ThreadObject*>(h) : nullptr;
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  auto& st = *t->state;
  std::unique_lock guard(st.lock);
  if (milliseconds == INFINITE) {
    st.changed.wait(guard, [&] { return st.finished; });
    return WAIT_OBJECT_0;
  }
  return st.changed.wait_for(guard, std::chrono::milliseconds(milliseconds), [&] { return st.finished; })
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

DWORD GetCurrentThreadId() {
  if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(1);
  return currentThreadId;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount) {
  if (!cs) return FALSE;
  cs->impl = new std::recursive_mutex;
  return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) { static_cast<std::recursive_mutex*>(cs->impl)->lock(); }

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
  return static_cast<std::recursive_mutex*>(cs->impl)->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) { static_cast<std::recursive_mutex*>(cs->impl)->unlock(); }

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  if (!cs) return;
  delete static_cast<std::recursive_mutex*>(cs->impl);
  cs->impl = nullptr;
}

// Capabilities are per thread on Linux: raising CAP_DAC_READ_SEARCH in this
// thread's effective set lets the walk list folders whose permissions would
// hide them, where the process was granted the capability at all.
void EnableBackupPrivilegeForThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return;
  const unsigned index = CAP_DAC_READ_SEARCH / 32, bit = 1u << (CAP_DAC_READ_SEARCH % 32);
  if (!(data[index].permitted & bit) || (data[index].effective & bit)) return;
  data[index].effective |= bit;
  syscall(SYS_capset, &header, data);
}
