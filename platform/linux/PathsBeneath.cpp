// The link-safe resolver behind every path-taking file call.
#include "PathsBeneath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "Volumes.h"

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_INVALID_PARAMETER;
  }
}

// "X:\..." through the letter's root directory, "/..." as it is; empty when
// neither applies.
std::string HostPathOf(const char* path) {
  if (!path) return {};
  std::string p = StripLongPathPrefix(path);
  if (p.size() >= 2 && p[1] == ':') return HostPathFromWindowsPath(p);
  std::replace(p.begin(), p.end(), '\\', '/');
  if (!p.empty() && p[0] == '/') return p;
  return {};
}

BeneathPath::~BeneathPath() {
  if (dirfd >= 0) ::close(dirfd);
}

namespace {

enum class Beneath { NotALetterPath, Resolved, Failed };

// "X:\a\b" opened from X's root one folder at a time without following a
// link, so a folder the host bound (a save's destination) can hold links that
// are never written through. ".." is taken lexically and stops at the root.
Beneath ResolveBeneath(const char* path, BeneathPath& out) {
  if (!path) return Beneath::NotALetterPath;
  const std::string p = StripLongPathPrefix(path);
  if (p.size() < 2 || p[1] != ':') return Beneath::NotALetterPath;
  auto binding = GetDriveBinding(p[0]);
  if (!binding || binding->rootDir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return Beneath::Failed;
  }
  std::vector<std::string> names;
  std::string name;
  for (size_t i = 2; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '\\' && p[i] != '/') {
      name += p[i];
      continue;
    }
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    name.clear();
  }
  out.hostPath = HostPathFromWindowsPath(p);
  int fd = ::open(binding->rootDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return Beneath::Failed;
  }
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    const int next = ::openat(fd, names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      const int e = errno;
      struct stat st {};
      const bool link = ::fstatat(fd, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      ::close(fd);
      SetLastError(link ? ERROR_CANT_RESOLVE_FILENAME : e == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(e));
      return Beneath::Failed;
    }
    ::close(fd);
    fd = next;
  }
  out.dirfd = fd;
  out.leaf = names.empty() ? "." : names.back();
  return Beneath::Resolved;
}

}  // namespace

bool Locate(const char* path, BeneathPath& where) {
  switch (ResolveBeneath(path, where)) {
    case Beneath::Resolved: return true;
    case Beneath::Failed: return false;
    case Beneath::NotALetterPath: break;
  }
  where.hostPath = HostPathOf(path);
  if (where.hostPath.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  where.leaf = where.hostPath;
  return true;
}

bool IsLinkAt(const BeneathPath& where) {
  struct stat st {};
  return where.dirfd >= 0 && ::fstatat(where.dirfd, where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

