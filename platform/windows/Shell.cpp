// The shell's file-type registry answers.
#include "NativeSys.h"
#include "WinApi.h"

uintptr_t SHGetFileInfoA(const char* path, DWORD attributes, SHFILEINFOA* info, UINT size, UINT flags) {
  return native::ShellFileInfo(path, attributes, info, size, flags);
}
