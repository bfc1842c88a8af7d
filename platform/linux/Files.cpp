// Files, volumes and devices: the handle-based file calls over host files and
// over the raw sources bound to drive letters and physical drives; path-taking
// calls reach names below a letter through PathsBeneath.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "BatchReads.h"
#include "PathsBeneath.h"
#include "RawDevices.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

constexpr const char* kDosAttribXattr = "user.DOSATTRIB";

// One open host file; devices are RawHandles.
struct FileHandle : KernelObject {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  uint64_t position = 0;

  ~FileHandle() override {
    if (fd >= 0) ::close(fd);
  }

  uint64_t Size() const {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
};

FileHandle* AsFile(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<FileHandle*>(h);
}

HANDLE OpenHostFile(int dirfd, const std::string& name, DWORD access, DWORD disposition, bool noFollow) {
  int flags = O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0);
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    flags |= O_RDWR;
  else if (access & GENERIC_WRITE)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case OPEN_EXISTING: break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if ((flags & O_TRUNC) && !(access & GENERIC_WRITE)) flags = (flags & ~O_ACCMODE) | O_RDWR;
  const int fd = ::openat(dirfd, name.c_str(), flags, 0666);
  if (fd < 0) {
    SetLastError(noFollow && errno == ELOOP ? ERROR_CANT_RESOLVE_FILENAME : ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  // Directories are not opened as files here; opening one for writing
  // already failed (EISDIR).
  struct stat st {};
  if ((flags & O_ACCMODE) == O_RDONLY && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  auto* f = new FileHandle;
  f->fd = fd;
  f->canRead = (access & GENERIC_READ) != 0;
  f->canWrite = (access & GENERIC_WRITE) != 0;
  SetLastError(ERROR_SUCCESS);
  return f;
}

// The DOS bits kept beside a host file, as Samba keeps them: "0x" + hex.
DWORD ReadDosAttrib(const std::string& path) {
  char value[64] = {};
  const ssize_t n = ::getxattr(path.c_str(), kDosAttribXattr, value, sizeof value - 1);
  if (n < 3 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) return 0;
  return static_cast<DWORD>(std::strtoul(value + 2, nullptr, 16));
}


// setxattrat (Linux 6.13) sets them in the located folder, without looking the
// whole path up again or following a link on it; older kernels take the path.
void SetDosAttrib(const BeneathPath& where, const char* value, size_t size) {
  static std::atomic<bool> noSetxattrat{false};
  if (where.Beneath() && !noSetxattrat.load(std::memory_order_relaxed)) {
    struct {
      uint64_t value;
      uint32_t size;
      uint32_t flags;
    } args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
    constexpr long kSetxattrat = 463;
    if (::syscall(kSetxattrat, where.At(), where.leaf.c_str(), AT_SYMLINK_NOFOLLOW, kDosAttribXattr, &args,
                  sizeof args) == 0)
      return;
    if (errno != ENOSYS && errno != EPERM) return;
    noSetxattrat = true;
  }
  (void)::setxattr(where.HostPath().c_str(), kDosAttribXattr, value, size, 0);
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool isDeviceName = false;
  auto binding = DeviceBindingOf(name, isDeviceName);
  if (isDeviceName) return OpenRawHandle(binding, access);
  BeneathPath where;
  if (!Locate(name, where)) return INVALID_HANDLE_VALUE;
  return OpenHostFile(where.At(), where.leaf, access, disposition, where.Beneath());
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
  if (RawHandle* r = AsRawHandle(h)) return RawReadFile(*r, buffer, toRead, read);
  if (read) *read = 0;
  FileHandle* f = AsFile(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!TransferAllowed(f->canRead, buffer, toRead)) return FALSE;
  ReadPiece piece{f->position, buffer, toRead};
  ReadPieceDirectly(f->fd, piece);
  if (!piece.ok) {
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  f->position += piece.done;
  if (read) *read = static_cast<DWORD>(piece.done);
  return TRUE;
}

BOOL ReadFilePieces(HANDLE h, ReadPiece* pieces, size_t count) {
  if (RawHandle* r = AsRawHandle(h)) return RawReadFilePieces(*r, pieces, count);
  FileHandle* f = AsFile(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!TransferAllowed(f->canRead, nullptr, 0)) return FALSE;
  if (!PiecesValid(pieces, count)) return FALSE;
  for (size_t i = 0; i < count; ++i) {
    pieces[i].done = 0;
    ReadPieceDirectly(f->fd, pieces[i]);
  }
  return TRUE;
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
  if (RawHandle* r = AsRawHandle(h)) return RawWriteFile(*r, buffer, toWrite, written);
  if (written) *written = 0;
  FileHandle* f = AsFile(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!TransferAllowed(f->canWrite, buffer, toWrite)) return FALSE;
  size_t done = 0;
  bool ok = true;
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (done < toWrite) {
    const ssize_t n = ::pwrite(f->fd, in + done, toWrite - done, static_cast<off_t>(f->position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  f->position += done;
  if (written) *written = static_cast<DWORD>(done);
  if (!ok) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
  if (RawHandle* r = AsRawHandle(h))
    return MoveFilePointer(r->position, r->raw->Size(), distance, distanceHigh, method);
  FileHandle* f = AsFile(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  return MoveFilePointer(f->position, method == FILE_END ? f->Size() : 0, distance, distanceHigh, method);
}

BOOL SetFileTime(HANDLE h, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  FileHandle* f = AsFile(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Creation time has no place on this platform and is left alone.
  auto toTimespec = [](const FILETIME* ft) {
    timespec ts{};
    if (!ft || (ft->dwLowDateTime == 0 && ft->dwHighDateTime == 0)) {
      ts.tv_nsec = UTIME_OMIT;
      return ts;
    }
    constexpr int64_t kEpochDiff = 116444736000000000LL;  // 1601 -> 1970 in 100 ns
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime) - kEpochDiff;
    ts.tv_sec = static_cast<time_t>(ticks / 10000000);
    int64_t rest = ticks % 10000000;
    if (rest < 0) {
      rest += 10000000;
      ts.tv_sec -= 1;
    }
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
  };
  const timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
  if (::futimens(f->fd, times) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryA(const char* path, void* security) {
  BeneathPath where;
  if (!Locate(path, where)) return FALSE;
  if (::mkdirat(where.At(), where.leaf.c_str(), 0777) != 0) {
    const int e = errno;
    SetLastError(e == EEXIST ? kErrorAlreadyExists : e == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(e));
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileAttributesA(const char* path) {
  BeneathPath where;
  if (!Locate(path, where)) return INVALID_FILE_ATTRIBUTES;
  struct stat st {};
  if (::fstatat(where.At(), where.leaf.c_str(), &st,
                where.Beneath() ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISLNK(st.st_mode)) return FILE_ATTRIBUTE_REPARSE_POINT;
  DWORD attributes = ReadDosAttrib(where.HostPath()) &
                     (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  else if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesA(const char* path, DWORD attributes) {
  BeneathPath where;
  if (!Locate(path, where)) return FALSE;
  struct stat st {};
  if (::fstatat(where.At(), where.leaf.c_str(), &st, where.Beneath() ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  if (S_ISLNK(st.st_mode)) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return FALSE;
  }
  // Read-only is honoured on files only: a read-only folder would refuse its children.
  if (!S_ISDIR(st.st_mode)) {
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      mode &= ~(S_IWUSR | S_IWGRP | S_IWOTH);
    } else if (!(mode & S_IWUSR)) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      mode |= S_IWUSR | ((S_IWGRP | S_IWOTH) & ~mask);
    }
    if (mode != (st.st_mode & 07777) && ::fchmodat(where.At(), where.leaf.c_str(), mode, 0) != 0) {
      SetLastError(ErrorFromErrno(errno));
      return FALSE;
    }
  }
  const DWORD kept = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_DIRECTORY);
  char value[16];
  const int n = std::snprintf(value, sizeof value, "0x%x", static_cast<unsigned>(kept));
  // File systems without user attributes just don't keep the DOS bits.
  SetDosAttrib(where, value, static_cast<size_t>(n));
  return TRUE;
}

BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags) {
  BeneathPath from, to;
  if (!Locate(existing, from) || !LocateBeside(existing, from, newName, to)) return FALSE;
  ForgetFoldersMovedBy(from, to);
  const auto move = [&](unsigned how) {
    return ::renameat2(from.At(), from.leaf.c_str(), to.At(), to.leaf.c_str(), how) == 0;
  };
  // Most targets are new, and then there is no link to look for.
  if (move(RENAME_NOREPLACE)) return TRUE;
  int e = errno;
  if (e == EEXIST || e == EINVAL) {  // EINVAL: a file system that cannot refuse to replace
    // Replacing a link would put the file where the link stood; a link in a
    // bound folder is left alone instead, as links on the way are.
    if (IsLinkAt(to)) {
      SetLastError(ERROR_CANT_RESOLVE_FILENAME);
      return FALSE;
    }
    if (flags & MOVEFILE_REPLACE_EXISTING) {
      if (move(0)) return TRUE;
      e = errno;
    }
  }
  SetLastError(e == EEXIST ? kErrorAlreadyExists : ErrorFromErrno(e));
  return FALSE;
}

BOOL DeleteFileA(const char* path) {
  BeneathPath where;
  if (!Locate(path, where)) return FALSE;
  if (::unlinkat(where.At(), where.leaf.c_str(), 0) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                     void* overlapped) {
  if (RawHandle* r = AsRawHandle(h)) return RawDeviceIoControl(*r, code, out, outSize, returned);
  if (returned) *returned = 0;
  SetLastError(AsFile(h) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
  return FALSE;
}

UINT GetDriveTypeA(const char* rootPath) {
  if (const char letter = LetterOfRoot(rootPath)) {
    auto binding = GetDriveBinding(letter);
    return binding ? binding->driveType : DRIVE_NO_ROOT_DIR;
  }
  const std::string hostPath = HostPathOf(rootPath);
  struct stat st {};
  if (hostPath.empty() || ::stat(hostPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return DRIVE_NO_ROOT_DIR;
  return DRIVE_FIXED;
}

BOOL GetVolumeInformationA(const char* rootPath, char* volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, char* fileSystemName,
                           DWORD fileSystemNameSize) {
  std::optional<DriveBinding> binding;
  if (const char letter = LetterOfRoot(rootPath)) binding = GetDriveBinding(letter);
  if (!binding) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return BoundVolumeInformation(*binding, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                fileSystemFlags, fileSystemName, fileSystemNameSize);
}

BOOL GetVolumeInformationW(const WCHAR* rootPath, WCHAR* volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, WCHAR* fileSystemName,
                           DWORD fileSystemNameSize) {
  return WideVolumeInformationFromAnsi(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                       fileSystemFlags, fileSystemName, fileSystemNameSize);
}

BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
  struct statvfs vfs {};
  // A folder below a letter is asked through the folder itself, located as
  // the parent of a name in it: saves ask before every file, in a folder just
  // looked up.
  std::string inside = rootPath ? rootPath : "";
  if (!inside.empty() && inside.back() != '\\' && inside.back() != '/') inside += '\\';
  BeneathPath where;
  if (!Locate((inside + "x").c_str(), where)) return FALSE;
  if (where.Beneath() ? ::fstatvfs(where.At(), &vfs) != 0 : ::statvfs(HostPathOf(rootPath).c_str(), &vfs) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  const uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  const uint64_t perCluster = std::max<uint64_t>(1, unit / 512);
  const uint64_t clusterBytes = perCluster * 512;
  auto clamp = [](uint64_t v) { return static_cast<DWORD>(std::min<uint64_t>(v, 0xFFFFFFFFu)); };
  if (sectorsPerCluster) *sectorsPerCluster = clamp(perCluster);
  if (bytesPerSector) *bytesPerSector = 512;
  if (freeClusters) *freeClusters = clamp(uint64_t(vfs.f_bavail) * unit / clusterBytes);
  if (totalClusters) *totalClusters = clamp(uint64_t(vfs.f_blocks) * unit / clusterBytes);
  return TRUE;
}
