// Threads, waits and critical sections are the system's; a thread's handle is
// wrapped so that CloseHandle closes the real one.
#include <algorithm>

#include "NativeSys.h"
#include "WinApi.h"

namespace {

struct ThreadObject : KernelObject {
  void* handle;
  explicit ThreadObject(void* h) : handle(h) {}
  ~ThreadObject() override { native::CloseNativeHandle(handle); }
};

ThreadObject* ThreadOf(HANDLE h) {
  return (h && h != INVALID_HANDLE_VALUE) ? dynamic_cast<ThreadObject*>(h) : nullptr;
}

// Deep folder trees recurse deeply: reserve more than the 1 MiB a thread gets
// by default (reserved address space, committed only as it is used).
constexpr size_t kMinStackSize = size_t(16) << 20;

}  // namespace

HANDLE BeginThread(void* security, size_t stackSize, TThreadFunc func, void* parameter, DWORD creationFlags,
                   DWORD* threadId) {
  if (!func) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  uint32_t id = 0;
  void* h = native::StartThread(std::max(stackSize, kMinStackSize), func, parameter,
                                (creationFlags & CREATE_SUSPENDED) != 0, &id);
  if (!h) return nullptr;
  if (threadId) *threadId = id;
  return new ThreadObject(h);
}

DWORD ResumeThread(HANDLE thread) {
  auto* t = ThreadOf(thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return DWORD(-1);
  }
  return native::ResumeNativeThread(t->handle);
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
  auto* t = ThreadOf(h);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return native::WaitNative(t->handle, milliseconds);
}

DWORD GetCurrentThreadId() { return native::CurrentThreadId(); }

void Sleep(DWORD milliseconds) { native::SleepFor(milliseconds); }

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount) {
  if (!cs) return FALSE;
  cs->impl = native::NewCriticalSection(spinCount);
  return cs->impl ? TRUE : FALSE;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) { native::EnterCriticalSection(cs->impl); }

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) { return native::TryEnterCriticalSection(cs->impl) ? TRUE : FALSE; }

void LeaveCriticalSection(CRITICAL_SECTION* cs) { native::LeaveCriticalSection(cs->impl); }

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
  if (!cs || !cs->impl) return;
  native::DeleteCriticalSection(cs->impl);
  cs->impl = nullptr;
}

// The walk reads folders whose permissions would hide them where the account
// holds the backup privilege; without it nothing changes.
void EnableBackupPrivilegeForThread() { native::EnableBackupPrivilege(); }
