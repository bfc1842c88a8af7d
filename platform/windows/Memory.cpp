// Regions of memory as the sector units ask for them, from the system.
#include "NativeFiles.h"
#include "WinApi.h"

void* VirtualAlloc(void* address, size_t size, DWORD allocationType, DWORD protect) {
  // Only fresh committed read/write regions are asked for.
  if (address || size == 0 || !(allocationType & MEM_COMMIT) || protect != PAGE_READWRITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return native::Allocate(size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

BOOL VirtualFree(void* address, size_t size, DWORD freeType) {
  if (freeType != MEM_RELEASE || size != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return native::Release(address);
}
