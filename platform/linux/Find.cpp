// FindFirstFileW/FindNextFileW/FindClose over host directories reached through
// the volume namespace. Attributes come from lstat: a symbolic link is a
// reparse point and is never followed, so a walk cannot loop through links.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "Volumes.h"
#include "WinApi.h"

namespace {

constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;  // 1970-01-01 as a FILETIME
constexpr DWORD IO_REPARSE_TAG_SYMLINK = 0xA000000C;

struct FindSearch : KernelObject {
  DIR* dir = nullptr;
  std::string mask;
  bool matchAll = false;
  bool single = false;  // a search for one named entry: its record was the first and last

  ~FindSearch() override {
    if (dir) closedir(dir);
  }
};

FILETIME ToFileTime(const statx_timestamp& ts) {
  const uint64_t ticks = uint64_t(int64_t(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100 + kUnixEpochTicks);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Windows matches case-insensitively; "*" and "*.*" match every name.
bool MatchMask(const char* mask, const char* name) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
  const char *star = nullptr, *resume = nullptr;
  while (*name) {
    if (*mask == '?' || (*mask && lower(*mask) == lower(*name))) {
      ++mask;
      ++name;
    } else if (*mask == '*') {
      star = mask++;
      resume = name;
    } else if (star) {
      mask = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*mask == '*') ++mask;
  return *mask == 0;
}

// Fills the record for name inside the directory open as dirFd (or AT_FDCWD
// with a full path). False when the entry vanished or cannot be examined.
bool FillRecord(int dirFd, const char* path, const char* name, WIN32_FIND_DATAW* data) {
  struct statx st;
  if (statx(dirFd, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
    return false;
  std::memset(data, 0, offsetof(WIN32_FIND_DATAW, cFileName));
  DWORD attr = 0;
  uint64_t size = 0;
  const mode_t type = st.stx_mode & S_IFMT;
  if (type == S_IFDIR) {
    attr = FILE_ATTRIBUTE_DIRECTORY;
  } else if (type == S_IFLNK) {
    attr = FILE_ATTRIBUTE_REPARSE_POINT;
    data->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    struct stat target;  // a link to a folder is a folder link, as on Windows
    if (fstatat(dirFd, path, &target, 0) == 0 && S_ISDIR(target.st_mode)) attr |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (type == S_IFREG) {
    attr = FILE_ATTRIBUTE_ARCHIVE;
    size = st.stx_size;
  }
  if (type != S_IFDIR && !(st.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attr |= FILE_ATTRIBUTE_READONLY;
  if (name[0] == '.' && !(name[1] == 0 || (name[1] == '.' && name[2] == 0))) attr |= FILE_ATTRIBUTE_HIDDEN;
  if (attr == 0) attr = FILE_ATTRIBUTE_NORMAL;
  data->dwFileAttributes = attr;
  data->ftCreationTime = ToFileTime((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime);
  data->ftLastAccessTime = ToFileTime(st.stx_atime);
  data->ftLastWriteTime = ToFileTime(st.stx_mtime);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  const WideString wide = HostNameToWide(name, std::strlen(name));
  const size_t units = std::min<size_t>(wide.size(), MAX_PATH - 1);
  std::copy_n(wide.data(), units, data->cFileName);
  data->cFileName[units] = 0;
  data->cAlternateFileName[0] = 0;
  return true;
}

bool NextEntry(FindSearch& s, WIN32_FIND_DATAW* data) {
  const int fd = dirfd(s.dir);
  while (const dirent* e = readdir(s.dir)) {
    if (!s.matchAll && !MatchMask(s.mask.c_str(), e->d_name)) continue;
    if (FillRecord(fd, e->d_name, e->d_name, data)) return true;
  }
  return false;
}

// Opens a path of any length: the kernel takes at most PATH_MAX bytes a call,
// so a longer one is opened piece by piece, each piece relative to the last
// (a deep tree is still walked to its bottom).
int OpenLongPath(const std::string& path, int flags) {
  if (path.size() < PATH_MAX) return ::open(path.c_str(), flags | O_CLOEXEC);
  int fd = AT_FDCWD;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.size();
    if (end - pos >= PATH_MAX) {
      end = path.rfind('/', pos + PATH_MAX - 2);
      if (end == std::string::npos || end < pos) end = pos;  // one name longer than PATH_MAX
      if (end == pos && path[pos] == '/') ++end;              // the root itself
    }
    if (end == pos) {
      if (fd != AT_FDCWD) ::close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    const bool last = end >= path.size();
    const int next = ::openat(fd, path.substr(pos, end - pos).c_str(),
                              (last ? flags : O_PATH | O_DIRECTORY) | O_CLOEXEC);
    const int err = errno;
    if (fd != AT_FDCWD) ::close(fd);
    if (next < 0) {
      errno = err;
      return -1;
    }
    fd = next;
    pos = end;
    while (pos < path.size() && path[pos] == '/') ++pos;
  }
  return fd;
}

DWORD ErrorFromErrno(int err, DWORD fallback) {
  switch (err) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return fallback;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return fallback;
  }
}

std::atomic<UINT> errorMode{0};

}  // namespace

HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  size_t patternLen = 0;
  while (pattern[patternLen]) ++patternLen;
  const std::string full = StripLongPathPrefix(WideToHostName(pattern, patternLen));
  const size_t cut = full.find_last_of("\\/");
  if (cut == std::string::npos) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string mask = full.substr(cut + 1);
  std::string dir = full.substr(0, cut + 1);
  if (dir[0] == '/') {
    for (char& c : dir)
      if (c == '\\') c = '/';
  } else {
    dir = HostPathFromWindowsPath(dir);
  }
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (mask.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }

  auto search = new FindSearch;
  search->mask = mask;
  if (mask.find_first_of("*?") == std::string::npos) {
    // One named entry.
    search->single = true;
    const int dirFd = OpenLongPath(dir, O_PATH | O_DIRECTORY);
    const bool found = dirFd >= 0 && FillRecord(dirFd, mask.c_str(), mask.c_str(), data);
    const int err = errno;
    if (dirFd >= 0) ::close(dirFd);
    if (!found) {
      SetLastError(ErrorFromErrno(err, ERROR_FILE_NOT_FOUND));
      delete search;
      return INVALID_HANDLE_VALUE;
    }
    return search;
  }
  search->matchAll = mask == "*" || mask == "*.*";
  const int dirFd = OpenLongPath(dir, O_RDONLY | O_DIRECTORY);
  search->dir = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
  if (!search->dir) {
    const int err = errno;
    if (dirFd >= 0) ::close(dirFd);
    SetLastError(ErrorFromErrno(err, ERROR_PATH_NOT_FOUND));
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  if (!NextEntry(*search, data)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  return search;
}

BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* data) {
  auto* search = (h && h != INVALID_HANDLE_VALUE) ? dynamic_cast<FindSearch*>(h) : nullptr;
  if (!search || !data) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (search->single || !NextEntry(*search, data)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE h) {
  auto* search = (h && h != INVALID_HANDLE_VALUE) ? dynamic_cast<FindSearch*>(h) : nullptr;
  if (!search) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete search;
  return TRUE;
}

UINT SetErrorMode(UINT mode) { return errorMode.exchange(mode); }
