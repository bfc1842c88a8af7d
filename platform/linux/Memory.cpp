// Regions of memory as the sector units ask for them: whole pages, released
// by their start.
#include <sys/mman.h>

#include <cstdint>
#include <map>
#include <mutex>

#include "WinApi.h"

namespace {
struct Allocations {
  std::mutex lock;
  std::map<void*, size_t> sizes;
};
Allocations& VirtualAllocations() {
  static Allocations a;
  return a;
}
}  // namespace

void* VirtualAlloc(void* address, size_t size, DWORD allocationType, DWORD protect) {
  // Only fresh committed read/write regions are asked for.
  if (address || size == 0 || !(allocationType & MEM_COMMIT) || protect != PAGE_READWRITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Large regions (transfer buffers) start on a huge-page boundary and ask
  // for huge pages: one TLB entry instead of hundreds per pass over them.
  constexpr size_t kHuge = size_t{2} << 20;
  const bool huge = size >= kHuge;
  const size_t mapped = huge ? size + kHuge : size;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* p = raw;
  if (huge) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHuge - 1) & ~(kHuge - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = aligned + ((size + 4095) & ~size_t{4095});
    if (start + mapped > end) ::munmap(reinterpret_cast<void*>(end), start + mapped - end);
    p = reinterpret_cast<void*>(aligned);
    ::madvise(p, size, MADV_HUGEPAGE);
  }
  auto& a = VirtualAllocations();
  std::lock_guard guard(a.lock);
  a.sizes[p] = size;
  return p;
}

BOOL VirtualFree(void* address, size_t size, DWORD freeType) {
  if (freeType != MEM_RELEASE || size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& a = VirtualAllocations();
  std::lock_guard guard(a.lock);
  auto it = a.sizes.find(address);
  if (it == a.sizes.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::munmap(it->first, it->second);
  a.sizes.erase(it);
  return TRUE;
}
