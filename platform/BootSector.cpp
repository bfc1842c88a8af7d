// The file system a volume's first bytes name, as both systems read it.
#include <cstring>
#include <vector>

#include "BootSector.h"
#include "LittleEndian.h"
#include "Volumes.h"

namespace {

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool At(const uint8_t* head, size_t size, size_t offset, const char* text, size_t length) {
  return offset + length <= size && std::memcmp(head + offset, text, length) == 0;
}

std::string TrimmedLabel(const uint8_t* p, size_t len) {
  std::string s(reinterpret_cast<const char*>(p), len);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  if (s == "NO NAME") s.clear();
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20) c = '_';
  return s;
}

// A plausible BIOS parameter block; old floppies may lack 55 AA.
bool RecogniseFat(const uint8_t* s, RecognisedVolume& v) {
  const uint32_t bytesPerSector = Le16(s + 11);
  const uint32_t sectorsPerCluster = s[13];
  const uint32_t reserved = Le16(s + 14);
  const uint32_t fats = s[16];
  const uint32_t rootEntries = Le16(s + 17);
  const uint32_t fatSize16 = Le16(s + 22);
  const uint32_t fatSize32 = Le32(s + 36);
  const bool jump = s[0] == 0xEB || s[0] == 0xE9;
  if (!jump || bytesPerSector < 512 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector) ||
      !IsPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 || fats > 4)
    return false;
  const uint32_t total = Le16(s + 19) ? Le16(s + 19) : Le32(s + 32);
  const uint64_t dataStart = reserved + uint64_t(fats) * (fatSize16 ? fatSize16 : fatSize32) +
                             (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
  const uint32_t clusters = total > dataStart ? uint32_t((total - dataStart) / sectorsPerCluster) : 0;
  const unsigned type = FatTypeOf(uint16_t(rootEntries), uint16_t(fatSize16), fatSize32, clusters);
  if (type == 0) return false;
  v.format = VolumeFormat::Fat;
  if (type == 32) v.name = "FAT32";
  v.windowsNamesIt = v.sound = true;
  v.fatBits = type;
  v.bytesPerSector = bytesPerSector;
  v.clusterSectors = sectorsPerCluster;
  v.sectors = total;
  v.reservedSectors = reserved;
  v.media = s[21];
  v.backupSector = type == 32 ? Le16(s + 50) : 0;
  const size_t ext = type == 32 ? 0x40 : 0x24;  // extended parameter block
  if (s[ext + 2] == 0x29) {
    v.serial = Le32(s + ext + 3);
    v.hasSerial = true;
    v.label = TrimmedLabel(s + ext + 7, 11);
  }
  return true;
}

void RecogniseNtfs(const uint8_t* s, RecognisedVolume& v) {
  v.format = VolumeFormat::Ntfs;
  v.windowsNamesIt = true;
  v.serial = Le32(s + 0x48);
  v.hasSerial = true;
  v.bytesPerSector = Le16(s + 11);
  // Clusters above 64 KiB are given as a power of two ($F4..$FF).
  const uint8_t code = s[13];
  const uint64_t bps = v.bytesPerSector;
  if (code <= 0x80)
    v.clusterSectors = IsPowerOfTwo(code) ? code : 0;
  else if (code >= 0xF4 && bps != 0)
    v.clusterSectors = (uint64_t(1) << (256 - code)) / bps;
  v.sectors = Le64(s + 0x28);
  v.mftCluster = Le64(s + 0x30);
  v.mirrorCluster = Le64(s + 0x38);
  v.sound = bps >= 256 && bps <= 4096 && IsPowerOfTwo(bps) && v.clusterSectors != 0 && v.sectors != 0 &&
            v.mftCluster < v.sectors / v.clusterSectors;
}

void RecogniseExfat(const uint8_t* s, RecognisedVolume& v) {
  v.format = VolumeFormat::Exfat;
  v.windowsNamesIt = true;
  v.serial = Le32(s + 0x64);
  v.hasSerial = true;
  const uint8_t sectorShift = s[108], clusterShift = s[109];
  v.bytesPerSector = sectorShift >= 9 && sectorShift <= 12 ? 1u << sectorShift : 0;
  v.clusterSectors = clusterShift <= 25 ? uint64_t(1) << clusterShift : 0;
  v.sectors = Le64(s + 0x48);
}

struct Signature {
  VolumeFormat format;
  size_t offset;
  const char* bytes;
  size_t length;
};

// Superblocks and headers known by a few bytes at a fixed place, for naming
// what this system does not read. Byte 0 of each is no FAT jump, so none
// is taken for FAT; those further in are looked at after FAT.
constexpr Signature kAtStart[] = {
    {VolumeFormat::Refs, 3, "ReFS\0\0\0\0", 8},
    {VolumeFormat::BitLocker, 3, "-FVE-FS-", 8},
    {VolumeFormat::Xfs, 0, "XFSB", 4},
    {VolumeFormat::Luks, 0, "LUKS\xBA\xBE", 6},
    {VolumeFormat::Squashfs, 0, "hsqs", 4},
};
constexpr Signature kFurtherIn[] = {
    {VolumeFormat::LvmPhysical, 512 + 24, "LVM2 001", 8},
    {VolumeFormat::HfsPlus, 1024, "H+\0\x04", 4},
    {VolumeFormat::HfsPlus, 1024, "HX\0\x05", 4},
    {VolumeFormat::F2fs, 1024, "\x10\x20\xF5\xF2", 4},
    {VolumeFormat::Ext, 1080, "\x53\xEF", 2},
    {VolumeFormat::Swap, 4096 - 10, "SWAPSPACE2", 10},
    {VolumeFormat::Swap, 4096 - 10, "SWAP-SPACE", 10},
};

bool Matches(const uint8_t* head, size_t size, const Signature& sig, RecognisedVolume& v) {
  if (!At(head, size, sig.offset, sig.bytes, sig.length)) return false;
  v.format = sig.format;
  return true;
}

}  // namespace

const char* VolumeFormatName(VolumeFormat format) {
  switch (format) {
    case VolumeFormat::None: return "";
    case VolumeFormat::Fat: return "FAT";
    case VolumeFormat::Ntfs: return "NTFS";
    case VolumeFormat::Exfat: return "exFAT";
    case VolumeFormat::Ext: return "ext2/ext3/ext4";
    case VolumeFormat::Xfs: return "XFS";
    case VolumeFormat::HfsPlus: return "HFS+";
    case VolumeFormat::Refs: return "ReFS";
    case VolumeFormat::BitLocker: return "BitLocker";
    case VolumeFormat::Luks: return "LUKS";
    case VolumeFormat::LvmPhysical: return "LVM2";
    case VolumeFormat::Swap: return "Linux swap";
    case VolumeFormat::Squashfs: return "squashfs";
    case VolumeFormat::F2fs: return "F2FS";
  }
  return "";
}

uint64_t RecognisedVolume::Bytes() const {
  if (bytesPerSector == 0 || sectors > UINT64_MAX / bytesPerSector) return 0;
  return sectors * bytesPerSector;
}

RecognisedVolume RecogniseVolume(const uint8_t* s, size_t size) {
  RecognisedVolume v;
  if (size < 512) return v;
  if (At(s, size, 3, "NTFS    ", 8)) {
    RecogniseNtfs(s, v);
  } else if (At(s, size, 3, "EXFAT   ", 8)) {
    RecogniseExfat(s, v);
  } else {
    bool found = false;
    for (const Signature& sig : kAtStart)
      if (!found) found = Matches(s, size, sig, v);
    if (!found) found = RecogniseFat(s, v);
    for (const Signature& sig : kFurtherIn)
      if (!found) found = Matches(s, size, sig, v);
  }
  if (!*v.name) v.name = VolumeFormatName(v.format);
  v.signature = s[510] == 0x55 && s[511] == 0xAA;
  return v;
}

RecognisedVolume RecogniseSource(RawSource& source) {
  std::vector<uint8_t> head(kVolumeHeadBytes);
  size_t done = 0;
  if (!source.ReadAt(0, head.data(), head.size(), done)) return {};
  return RecogniseVolume(head.data(), done);
}

bool ParseBootSector(const uint8_t* s, size_t size, BootSectorInfo& info) {
  info = BootSectorInfo{};
  const RecognisedVolume v = RecogniseVolume(s, size);
  if (!v.windowsNamesIt) return false;
  info.fileSystemName = v.name;
  info.label = v.label;
  info.serial = v.serial;
  info.hasSerial = v.hasSerial;
  return true;
}

bool ReadBootSectorInfo(RawSource& source, BootSectorInfo& info) {
  std::vector<uint8_t> sector(kVolumeHeadBytes);
  size_t done = 0;
  if (!source.ReadAt(0, sector.data(), sector.size(), done) || done < 512) {
    info = BootSectorInfo{};
    return false;
  }
  return ParseBootSector(sector.data(), done, info);
}
