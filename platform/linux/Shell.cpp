// No file-type registry here: every name gets what Windows shows for a type
// nobody registered, and no icon.
#include <algorithm>
#include <cstring>

#include "WinApi.h"

namespace {

AnsiString TypeName(const char* path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "File folder";
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/') name = p + 1;
  const char* dot = std::strrchr(name, '.');
  if (!dot || !dot[1]) return "File";
  AnsiString extension = dot + 1;
  CharUpperA(extension.data());
  return extension + " File";
}

}  // namespace

uintptr_t SHGetFileInfoA(const char* path, DWORD attributes, SHFILEINFOA* info, UINT size, UINT flags) {
  if (!path || !info || size < sizeof *info || !(flags & SHGFI_USEFILEATTRIBUTES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  *info = {};
  info->iIcon = -1;
  if (flags & SHGFI_TYPENAME) {
    const AnsiString type = TypeName(path, attributes);
    const size_t n = std::min(type.size(), sizeof info->szTypeName - 1);
    std::memcpy(info->szTypeName, type.data(), n);
  }
  return 1;
}
