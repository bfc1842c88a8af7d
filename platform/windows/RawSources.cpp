// Raw sources over image files and the system's volume and disk devices, and
// the volume behind a folder.
#include <algorithm>
#include <cstring>
#include <vector>

#include "BootSector.h"
#include "NativeFiles.h"
#include "Partitions.h"
#include "RawDevices.h"
#include "Volumes.h"

namespace {

constexpr DWORD kOpenExisting = OPEN_EXISTING;
// Others may go on writing, renaming or deleting an image while it is read,
// as on Linux.
constexpr DWORD kFileShareDelete = 0x4;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | kFileShareDelete;

// "\\.\X:", "\\.\PhysicalDriveN", a volume's GUID name; not "\\?\C:\..." files.
bool IsDevicePath(const std::string& path) {
  return path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 11, "\\\\?\\Volume{") == 0;
}

// Reads and writes at an offset of a synchronous handle. A device takes
// only whole sectors at sector offsets and fails past its end: such
// transfers go through a bounce buffer and stop at the size.
class HandleRawSource final : public RawSource {
 public:
  HandleRawSource(void* handle, uint64_t size, bool writable, uint32_t sectorAlign)
      : handle_(handle), size_(size), writable_(writable), align_(sectorAlign) {}
  ~HandleRawSource() override { native::CloseFile(handle_); }

  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    done = 0;
    if (align_ == 0) return native::ReadAt(handle_, offset, buffer, len, done);
    if (offset >= size_) return true;
    len = static_cast<size_t>(std::min<uint64_t>(len, size_ - offset));
    if (offset % align_ == 0 && len % align_ == 0) return native::ReadAt(handle_, offset, buffer, len, done);
    const uint64_t start = offset - offset % align_;
    const uint64_t end = std::min<uint64_t>((offset + len + align_ - 1) / align_ * align_, size_);
    std::vector<uint8_t> bounce(static_cast<size_t>(end - start));
    size_t got = 0;
    if (!native::ReadAt(handle_, start, bounce.data(), bounce.size(), got)) return false;
    const size_t skip = static_cast<size_t>(offset - start);
    done = got > skip ? std::min(got - skip, len) : 0;
    std::memcpy(buffer, bounce.data() + skip, done);
    return true;
  }

  bool WriteAt(uint64_t offset, const void* buffer, size_t len, size_t& done) override {
    done = 0;
    if (!writable_) return false;
    // The sector layers above write whole sectors only.
    if (align_ != 0 && (offset % align_ != 0 || len % align_ != 0 || offset + len > size_)) return false;
    if (!native::WriteAt(handle_, offset, buffer, len, done)) return false;
    if (offset + done > size_) size_ = offset + done;
    return done == len;
  }

  uint64_t Size() const override { return size_; }
  bool Writable() const override { return writable_; }

 private:
  void* handle_;
  uint64_t size_;
  bool writable_;
  uint32_t align_;
};

// The device of a volume's root ("C:\" -> "\\.\C:", a mounted folder -> its
// volume's GUID name without the final backslash).
std::u16string VolumeDeviceOf(const std::u16string& root) {
  if (root.size() == 3 && root[1] == u':' && root[2] == u'\\') return u"\\\\.\\" + root.substr(0, 2);
  std::u16string name = native::VolumeNameOf(root.c_str());
  if (!name.empty() && name.back() == u'\\') name.pop_back();
  return name;
}

bool SameNoCase(const std::u16string& a, const std::u16string& b) {
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::u16string WithFinalBackslash(std::u16string path) {
  if (path.empty() || path.back() != u'\\') path += u'\\';
  return path;
}

// The file system Windows names for the volume holding a folder.
std::string SystemFileSystemName(const std::u16string& volumeRoot) {
  char16_t name[MAX_PATH + 1] = {};
  if (volumeRoot.empty() ||
      !native::VolumeInformationW(volumeRoot.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
    return {};
  return native::WideToUtf8(name);
}

}  // namespace

std::shared_ptr<RawSource> OpenImageSource(const std::string& hostPath, bool writable) {
  const std::u16string path = native::PathToWide(hostPath);
  if (path.empty()) return nullptr;
  const bool device = IsDevicePath(hostPath);
  if (!device) {
    // Folders have no sectors.
    const DWORD a = native::Attributes(path.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
  }
  void* h = native::Open(path.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0), kShareAll, kOpenExisting, 0);
  if (!h) return nullptr;
  uint64_t size = 0;
  uint32_t align = 0;
  // A volume or disk tells its length; an image file behind a device name
  // (as wine links one to a letter) only its file size.
  if (!(device && native::DeviceLength(h, size)) && !native::FileSize(h, size)) {
    native::CloseFile(h);
    return nullptr;
  }
  if (device) {
    align = native::DeviceSectorSize(h);
    if (align == 0 || (align & (align - 1)) != 0) align = 512;
  }
  return std::make_shared<HandleRawSource>(h, size, writable, align);
}

std::shared_ptr<RawSource> RawSourceForMountPoint(const std::string& dir, std::string& fsName) {
  fsName.clear();
  const std::u16string full = WithFinalBackslash(native::FullPathName(native::PathToWide(dir).c_str()));
  const std::u16string root = native::VolumePathName(full.c_str());
  if (root.empty() || !SameNoCase(WithFinalBackslash(root), full)) return nullptr;  // not the root of a volume
  std::shared_ptr<RawSource> raw;
  const std::u16string device = VolumeDeviceOf(root);
  if (!device.empty()) raw = OpenImageSource(native::WideToUtf8(device));
  BootSectorInfo info;
  // Only a source whose boot sector reads is worth binding (opening a
  // volume wants privileges a process may lack).
  if (raw && ReadBootSectorInfo(*raw, info))
    fsName = info.fileSystemName;
  else
    raw.reset();
  if (fsName.empty()) fsName = SystemFileSystemName(root);
  return raw;
}

std::string FileSystemNameFromMountTable(const std::string& dir) {
  const std::u16string full = native::FullPathName(native::PathToWide(dir).c_str());
  return full.empty() ? std::string() : SystemFileSystemName(native::VolumePathName(full.c_str()));
}

uint32_t SystemDriveLetters() { return native::LogicalDrives(); }

bool DescribeHostDevice(const std::string& hostPath, UINT& driveType, uint32_t& sectorSize) {
  if (IsDevicePath(hostPath)) {
    const std::string rest = hostPath.substr(4);
    const bool letter = rest.size() == 2 && rest[1] == ':';
    const auto device = OpenImageSource(hostPath);
    if (!device) return false;
    driveType = letter ? native::DriveType(native::PathToWide(rest + "\\").c_str()) : DRIVE_FIXED;
    if (driveType == DRIVE_UNKNOWN || driveType == DRIVE_NO_ROOT_DIR) driveType = DRIVE_FIXED;
    void* h = native::Open(native::PathToWide(hostPath).c_str(), 0, kShareAll, kOpenExisting, 0);
    sectorSize = h ? native::DeviceSectorSize(h) : 0;
    if (h) native::CloseFile(h);
    // An image file behind the name has no geometry: its content tells.
    if (sectorSize < 512 || sectorSize > 65536) sectorSize = driveType == DRIVE_CDROM ? 2048 : SectorSizeOfImage(*device);
    return true;
  }
  const auto image = OpenImageSource(hostPath);
  if (!image) return false;
  DescribeImageContent(*image, driveType, sectorSize);
  return true;
}
