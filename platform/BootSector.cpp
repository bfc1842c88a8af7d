// The file system a volume's first sector names, as both systems read it.
#include <cstring>
#include <vector>

#include "BootSector.h"
#include "Volumes.h"

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::string TrimmedLabel(const uint8_t* p, size_t len) {
  std::string s(reinterpret_cast<const char*>(p), len);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  if (s == "NO NAME") s.clear();
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20) c = '_';
  return s;
}

}  // namespace

bool ParseBootSector(const uint8_t* s, size_t size, BootSectorInfo& info) {
  info = BootSectorInfo{};
  if (size < 512) return false;
  if (std::memcmp(s + 3, "NTFS    ", 8) == 0) {
    info.fileSystemName = "NTFS";
    info.serial = Le32(s + 0x48);
    info.hasSerial = true;
    return true;
  }
  if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) {
    info.fileSystemName = "exFAT";
    info.serial = Le32(s + 0x64);
    info.hasSerial = true;
    return true;
  }
  // FAT: a plausible BIOS parameter block; old floppies may lack 55 AA.
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
  const bool fat32 = type == 32;
  info.fileSystemName = fat32 ? "FAT32" : "FAT";
  const size_t ext = fat32 ? 0x40 : 0x24;  // extended parameter block
  if (s[ext + 2] == 0x29) {
    info.serial = Le32(s + ext + 3);
    info.hasSerial = true;
    info.label = TrimmedLabel(s + ext + 7, 11);
  }
  return true;
}

bool ReadBootSectorInfo(RawSource& source, BootSectorInfo& info) {
  std::vector<uint8_t> sector(4096);
  size_t done = 0;
  if (!source.ReadAt(0, sector.data(), sector.size(), done) || done < 512) {
    info = BootSectorInfo{};
    return false;
  }
  return ParseBootSector(sector.data(), done, info);
}
