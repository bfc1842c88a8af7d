// The link-safe resolver behind every path-taking file call.
#include "PathsBeneath.h"

#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <string_view>
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

namespace {

// Each letter's root folder, opened once while its binding lasts: every call
// below a letter starts there.
struct RootFolder {
  uint64_t generation = 0;
  std::string dir;
  FolderFd fd;
};
std::mutex rootsLock;
RootFolder roots[26];

FolderFd Kept(int fd) {
  return FolderFd(new int(fd), [](const int* p) {
    ::close(*p);
    delete p;
  });
}

FolderFd RootFolderOf(char letter, const std::string& dir) {
  const uint64_t generation = VolumeBindingsGeneration();
  std::lock_guard guard(rootsLock);
  RootFolder& r = roots[std::toupper(static_cast<unsigned char>(letter)) - 'A'];
  if (r.fd && r.generation == generation && r.dir == dir) return r.fd;
  const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Closed once no call holds it any more, though the letter be bound anew meanwhile.
  r = {generation, dir, Kept(fd)};
  return r.fd;
}

// Kernels before 5.6, and sandboxes that refuse the call, take the walk.
std::atomic<bool> noOpenat2{false};

// The folder "a/b" below root in one call, no link followed
// and nothing above root reached; -1 for the walk to decide (with the last
// error untouched), -2 having set the last error.
int OpenAtOnce(int root, const std::string& relative) {
  if (noOpenat2.load(std::memory_order_relaxed)) return -1;
  if (relative.size() >= PATH_MAX) return -1;  // the walk takes a name at a time
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    switch (errno) {
      case EAGAIN: continue;  // a rename elsewhere on the volume raced the look-up
      case ENOSYS:
      case EPERM:
      case EINVAL:
      case E2BIG: noOpenat2 = true; return -1;
      case ELOOP: SetLastError(ERROR_CANT_RESOLVE_FILENAME); return -2;
      case ENOENT: SetLastError(ERROR_PATH_NOT_FOUND); return -2;
      default: SetLastError(ErrorFromErrno(errno)); return -2;
    }
  }
  return -1;
}

// The same one folder at a time.
int OpenByWalk(int root, const std::vector<std::string>& names) {
  int fd = root;
  for (const auto& name : names) {
    const int next = ::openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int e = errno;
    struct stat st {};
    const bool link = next < 0 && ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    if (fd != root) ::close(fd);
    if (next < 0) {
      SetLastError(link ? ERROR_CANT_RESOLVE_FILENAME : e == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(e));
      return -1;
    }
    fd = next;
  }
  return fd;
}

// The folder the last look-up below a root found. A save names one folder
// several times for every file it puts there, and each look-up costs system
// calls. A rename that may move the folder forgets it; one another program
// makes is noticed once the folder has been kept for kFolderKept.
struct RecentFolderOf {
  char letter = 0;
  uint64_t generation = 0;
  std::string relative;
  FolderFd fd;
  std::chrono::steady_clock::time_point until;
};
constexpr std::chrono::milliseconds kFolderKept{100};
std::mutex recentLock;
RecentFolderOf recent;

FolderFd RecentFolder(char letter, const std::string& relative) {
  std::lock_guard guard(recentLock);
  if (!recent.fd || recent.letter != letter || recent.generation != VolumeBindingsGeneration() ||
      recent.relative != relative || std::chrono::steady_clock::now() >= recent.until)
    return nullptr;
  return recent.fd;
}

void KeepRecentFolder(char letter, const std::string& relative, const FolderFd& fd) {
  std::lock_guard guard(recentLock);
  recent = {letter, VolumeBindingsGeneration(), relative, fd, std::chrono::steady_clock::now() + kFolderKept};
}

enum class Beneath { NotALetterPath, Resolved, Failed };

// "X:\a\b" opened as far as "X:\a" from X's root without following a link.
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
  out.path = p;
  auto root = RootFolderOf(p[0], binding->rootDir);
  if (!root) {
    SetLastError(ErrorFromErrno(errno));
    return Beneath::Failed;
  }
  out.leaf = names.empty() ? "." : names.back();
  if (names.size() <= 1) {
    out.folder = std::move(root);
    return Beneath::Resolved;
  }
  names.pop_back();
  std::string relative;
  for (const auto& folder : names) relative += (relative.empty() ? "" : "/") + folder;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
  if ((out.folder = RecentFolder(letter, relative))) return Beneath::Resolved;
  int fd = OpenAtOnce(*root, relative);
  if (fd == -1) fd = OpenByWalk(*root, names);
  if (fd < 0) return Beneath::Failed;
  out.folder = Kept(fd);
  KeepRecentFolder(letter, relative, out.folder);
  return Beneath::Resolved;
}

}  // namespace

bool Locate(const char* path, BeneathPath& where) {
  switch (ResolveBeneath(path, where)) {
    case Beneath::Resolved: return true;
    case Beneath::Failed: return false;
    case Beneath::NotALetterPath: break;
  }
  where.path = HostPathOf(path);
  if (where.path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  where.leaf = where.path;
  return true;
}

std::string BeneathPath::HostPath() const { return folder ? HostPathFromWindowsPath(path) : path; }

bool LocateBeside(const char* besidePath, const BeneathPath& beside, const char* path, BeneathPath& where) {
  if (!beside.Beneath() || !besidePath || !path) return Locate(path, where);
  const std::string_view a(besidePath), b(path);
  const size_t cutA = a.find_last_of("\\/"), cutB = b.find_last_of("\\/");
  const std::string_view leaf = b.substr(cutB + 1);
  if (cutA == std::string_view::npos || cutB == std::string_view::npos || a.substr(0, cutA) != b.substr(0, cutB) ||
      leaf.empty() || leaf == "." || leaf == ".." || a.substr(cutA + 1) == "." || a.substr(cutA + 1) == "..")
    return Locate(path, where);
  where.folder = beside.folder;
  where.leaf = leaf;
  where.path = StripLongPathPrefix(path);
  return true;
}

void ForgetFoldersMovedBy(const BeneathPath& from, const BeneathPath& to) {
  std::lock_guard guard(recentLock);
  // A name moved within the kept folder leaves the folder where it is.
  if (recent.fd && (from.folder != recent.fd || to.folder != recent.fd)) recent = {};
}

bool IsLinkAt(const BeneathPath& where) {
  struct stat st {};
  return where.Beneath() && ::fstatat(where.At(), where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

