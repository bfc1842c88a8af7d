// Disk bytes written by hand: MBR and EBR slots, GPT headers with their
// entry arrays, in sectors of any size. A disk may stand for only a window
// of a larger one (its first sector firstLba), to write the ends of a big
// sparse image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

struct MemoryDisk {
  explicit MemoryDisk(uint64_t sectors, uint32_t sectorSize = 512, uint64_t firstLba = 0)
      : ss(sectorSize), first(firstLba), bytes(size_t(sectors) * sectorSize) {}
  uint64_t At(uint64_t lba) const { return (lba - first) * ss; }
  void Put32(uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
  }
  void Put64(uint64_t at, uint64_t v) { Put32(at, uint32_t(v)), Put32(at + 4, uint32_t(v >> 32)); }
  // One 16-byte slot of the MBR or EBR at sector lba, with its 55 AA.
  void Slot(uint64_t lba, int slot, uint8_t type, uint32_t firstSector, uint32_t count, uint8_t status = 0) {
    const uint64_t at = At(lba) + 446 + 16 * slot;
    bytes[at] = status;
    bytes[at + 4] = type;
    Put32(at + 8, firstSector);
    Put32(at + 12, count);
    bytes[At(lba) + 510] = 0x55;
    bytes[At(lba) + 511] = 0xAA;
  }
  uint32_t ss;
  uint64_t first;
  std::vector<uint8_t> bytes;
};

inline uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
  }
  return ~c;
}

struct GptEntry {
  uint32_t index;
  uint64_t first, last;
};

// A GPT header at headerLba with its array at arrayLba; CRCs right unless
// the caller spoils them afterwards.
inline void WriteGpt(MemoryDisk& d, uint64_t headerLba, uint64_t arrayLba, const std::vector<GptEntry>& entries,
                     uint32_t count = 128, uint32_t entrySize = 128) {
  const uint64_t array = d.At(arrayLba);
  for (const GptEntry& e : entries) {
    const uint64_t at = array + uint64_t{e.index} * entrySize;
    static const uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                           0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    std::memcpy(&d.bytes[at], kBasicData, 16);
    d.Put64(at + 32, e.first);
    d.Put64(at + 40, e.last);
    d.bytes[at + 56] = 'p';
  }
  const uint64_t h = d.At(headerLba);
  std::memcpy(&d.bytes[h], "EFI PART", 8);
  d.Put32(h + 12, 92);
  d.Put64(h + 24, headerLba);
  d.Put64(h + 72, arrayLba);
  d.Put32(h + 80, count);
  d.Put32(h + 84, entrySize);
  const uint64_t arrayBytes = uint64_t{count} * entrySize;
  if (array + arrayBytes <= d.bytes.size()) d.Put32(h + 88, Crc32(&d.bytes[array], size_t(arrayBytes)));
  d.Put32(h + 16, 0);
  d.Put32(h + 16, Crc32(&d.bytes[h], 92));
}

// The protective MBR of a GPT disk of the given sectors.
inline void Protective(MemoryDisk& d, uint64_t diskSectors) {
  d.Slot(0, 0, 0xEE, 1, uint32_t(std::min<uint64_t>(diskSectors - 1, UINT32_MAX)));
}
