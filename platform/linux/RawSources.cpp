// Raw sources over host files and block devices, and the mounts and block
// devices behind folders.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "BatchReads.h"
#include "BootSector.h"
#include "RawDevices.h"
#include "Volumes.h"

namespace {

class FileRawSource final : public RawSource {
 public:
  FileRawSource(int fd, uint64_t size, bool writable) : fd_(fd), size_(size), writable_(writable), batch_(fd) {}
  ~FileRawSource() override { ::close(fd_); }

  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < len) {
      const ssize_t n = ::pread(fd_, out + done, len - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;  // end of the source
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void ReadManyAt(ReadPiece* pieces, size_t count) override { batch_.Read(pieces, count); }

  bool WriteAt(uint64_t offset, const void* buffer, size_t len, size_t& done) override {
    done = 0;
    if (!writable_) return false;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (done < len) {
      const ssize_t n = ::pwrite(fd_, in + done, len - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;
      done += static_cast<size_t>(n);
    }
    if (offset + done > size_) size_ = offset + done;
    return true;
  }

  uint64_t Size() const override { return size_; }
  bool Writable() const override { return writable_; }

 private:
  int fd_;
  uint64_t size_;
  bool writable_;
  BatchReader batch_;
};

// Mount table fields are octal-escaped ("\040" for a space).
std::string UnescapeMountField(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out += static_cast<char>(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

struct MountEntry {
  std::string source;
  std::string fsType;
  unsigned major = 0, minor = 0;
};

// The last mount at dir wins, as it is the one visible there. With
// containing, the mount holding dir will do (the longest mount point above it).
bool FindMount(const std::string& dir, MountEntry& entry, bool containing = false) {
  char resolved[PATH_MAX];
  if (!::realpath(dir.c_str(), resolved)) return false;
  const std::string target = resolved;
  std::ifstream in("/proc/self/mountinfo");
  if (!in) return false;
  bool found = false;
  size_t bestLength = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, mountPoint;
    if (!(fields >> id >> parent >> devno >> root >> mountPoint)) continue;
    const std::string point = UnescapeMountField(mountPoint);
    if (point != target) {
      const bool above = containing && point.size() >= bestLength && target.compare(0, point.size(), point) == 0 &&
                         (point == "/" || target[point.size()] == '/');
      if (!above) continue;
    }
    std::string word;
    while (fields >> word && word != "-") {
    }
    MountEntry e;
    if (!(fields >> e.fsType >> e.source)) continue;
    e.source = UnescapeMountField(e.source);
    std::sscanf(devno.c_str(), "%u:%u", &e.major, &e.minor);
    if (found && point.size() < bestLength) continue;
    bestLength = point.size();
    entry = e;
    found = true;
  }
  return found;
}

// The mount types of the file systems Windows names, under the names the
// boot-sector recogniser gives them.
std::string WindowsFileSystemName(const std::string& fsType) {
  if (fsType == "vfat" || fsType == "msdos" || fsType == "fat") return VolumeFormatName(VolumeFormat::Fat);
  if (fsType == "ntfs" || fsType == "ntfs3" || fsType == "ntfs-3g") return VolumeFormatName(VolumeFormat::Ntfs);
  if (fsType == "exfat") return VolumeFormatName(VolumeFormat::Exfat);
  if (fsType == "iso9660") return "CDFS";
  if (fsType == "udf") return "UDF";
  return fsType;
}

}  // namespace

std::string FileSystemNameFromMountTable(const std::string& dir) {
  MountEntry e;
  if (!FindMount(dir, e, true)) return {};
  return WindowsFileSystemName(e.fsType);
}

std::shared_ptr<RawSource> OpenImageSource(const std::string& hostPath, bool writable) {
  const int fd = ::open(hostPath.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return nullptr;
  }
  uint64_t size = 0;
  if (S_ISBLK(st.st_mode)) {
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
      ::close(fd);
      return nullptr;
    }
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else {
    ::close(fd);  // directories, pipes and the like have no sectors
    return nullptr;
  }
  return std::make_shared<FileRawSource>(fd, size, writable);
}

std::shared_ptr<RawSource> RawSourceForMountPoint(const std::string& dir, std::string& fsName) {
  fsName.clear();
  MountEntry e;
  if (!FindMount(dir, e)) return nullptr;
  std::shared_ptr<RawSource> raw;
  // The mount's source names the device; the device number finds it when the
  // source is something like "/dev/root".
  if (!e.source.empty() && e.source[0] == '/') raw = OpenImageSource(e.source);
  if (!raw && e.major != 0) {
    raw = OpenImageSource("/dev/block/" + std::to_string(e.major) + ":" + std::to_string(e.minor));
  }
  BootSectorInfo info;
  if (raw && ReadBootSectorInfo(*raw, info)) fsName = info.fileSystemName;
  if (fsName.empty()) fsName = WindowsFileSystemName(e.fsType);
  return raw;
}

namespace {

std::string ReadSysFile(const std::string& path) {
  std::ifstream in(path);
  std::string value;
  std::getline(in, value);
  return value;
}

}  // namespace

bool DescribeHostDevice(const std::string& hostPath, UINT& driveType, uint32_t& sectorSize) {
  struct stat st {};
  if (::stat(hostPath.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode)) {
    const auto image = OpenImageSource(hostPath);
    if (!image) return false;
    DescribeImageContent(*image, driveType, sectorSize);
    return true;
  }
  if (!S_ISBLK(st.st_mode)) return false;
  const unsigned major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
  // A partition's removable flag and queue live with the whole disk above it.
  char resolved[PATH_MAX];
  std::string sys = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  if (::realpath(sys.c_str(), resolved)) sys = resolved;
  std::string disk = sys;
  if (::access((sys + "/partition").c_str(), F_OK) == 0) disk = sys.substr(0, sys.rfind('/'));
  constexpr unsigned kScsiCdromMajor = 11, kRamDiskMajor = 1, kScsiTypeCdrom = 5;
  if (major == kScsiCdromMajor || ReadSysFile(disk + "/device/type") == std::to_string(kScsiTypeCdrom))
    driveType = DRIVE_CDROM;
  else if (major == kRamDiskMajor || disk.compare(disk.rfind('/') + 1, 4, "zram") == 0)
    driveType = DRIVE_RAMDISK;
  else if (ReadSysFile(disk + "/removable") == "1")
    driveType = DRIVE_REMOVABLE;
  else
    driveType = DRIVE_FIXED;
  const unsigned long logical = std::strtoul(ReadSysFile(disk + "/queue/logical_block_size").c_str(), nullptr, 10);
  if (logical >= 512 && logical <= 65536)
    sectorSize = static_cast<uint32_t>(logical);
  else
    sectorSize = driveType == DRIVE_CDROM ? 2048 : 512;
  return true;
}

// Linux has no drive letters of its own.
uint32_t SystemDriveLetters() { return 0; }
