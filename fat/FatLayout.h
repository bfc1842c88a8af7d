// On-disk records of a FAT volume: the boot sector head, the 32-byte short
// directory entry and the long-name record. Every multi-byte field is a
// little-endian byte group read explicitly, so the records have alignment 1,
// may be overlaid on any buffer offset and mean the same on any host.
#pragma once

#include <cstddef>
#include <cstdint>

// A little-endian unsigned integer of N bytes stored as bytes.
template <typename T, int N>
struct TLittleEndian {
  uint8_t b[N];
  operator T() const {
    T v = 0;
    for (int i = N - 1; i >= 0; --i) v = static_cast<T>((v << 8) | b[i]);
    return v;
  }
  TLittleEndian& operator=(T v) {
    for (int i = 0; i < N; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }
};
using le16 = TLittleEndian<uint16_t, 2>;
using le32 = TLittleEndian<uint32_t, 4>;
static_assert(sizeof(le16) == 2 && alignof(le16) == 1);
static_assert(sizeof(le32) == 4 && alignof(le32) == 1);

inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The first 90 bytes of a FAT boot sector. The FAT12/16 and FAT32 layouts
// overlap from offset 36 on; the FAT type decides which fields count.
struct TBootSec {
  uint8_t Jump[3];              //  0
  char OEMName[8];              //  3
  le16 BytesPerSector;          // 11
  uint8_t SectorsPerCluster;    // 13
  le16 ReservedSectors;         // 14
  uint8_t NumberOfFATs;         // 16
  le16 RootEntries;             // 17
  le16 TotalSectors16;          // 19
  uint8_t MediaByte;            // 21
  le16 SectorsPerFAT16;         // 22
  le16 SectorsPerTrack;         // 24
  le16 Heads;                   // 26
  le32 HiddenSectors;           // 28
  le32 TotalSectors32;          // 32
  union {
    struct {                    // FAT12/16 layout
      uint8_t DriveNumber16;    // 36
      uint8_t Reserved16;       // 37
      uint8_t BootSig16;        // 38
      le32 Serial16;            // 39
      char VolumeLabel16[11];   // 43
      char FSName16[8];         // 54
      uint8_t Pad16[28];        // 62
    };
    struct {                    // FAT32 layout
      le32 SectorsPerFAT32;     // 36
      le16 ExtFlags;            // 40
      le16 FSVersion;           // 42
      le32 RootCluster;         // 44
      le16 FSInfoSector;        // 48
      le16 BackupBootSector;    // 50
      uint8_t Reserved32[12];   // 52
      uint8_t DriveNumber32;    // 64
      uint8_t Reserved32b;      // 65
      uint8_t BootSig32;        // 66
      le32 Serial32;            // 67
      char VolumeLabel32[11];   // 71
      char FSName32[8];         // 82
    };
  };
};
static_assert(sizeof(TBootSec) == 90, "TBootSec is the first 90 bytes of the boot sector");
static_assert(offsetof(TBootSec, TotalSectors32) == 32);
static_assert(offsetof(TBootSec, VolumeLabel16) == 43);
static_assert(offsetof(TBootSec, RootCluster) == 44);
static_assert(offsetof(TBootSec, VolumeLabel32) == 71);

// Attribute bits of a directory entry.
constexpr uint8_t faReadOnly = 0x01;
constexpr uint8_t faHidden = 0x02;
constexpr uint8_t faSysFile = 0x04;
constexpr uint8_t faVolumeID = 0x08;
constexpr uint8_t faDirectory = 0x10;
constexpr uint8_t faArchive = 0x20;
constexpr uint8_t faLongName = 0x0F;

constexpr uint8_t kDeletedMark = 0xE5;  // first name byte of a deleted entry
constexpr uint8_t kEscapedE5 = 0x05;    // a name whose first character really is $E5

// The 32-byte short directory entry.
struct TDirEntry {
  uint8_t Name[11];        //  0  8.3, blank padded
  uint8_t Attributes;      // 11
  uint8_t Reserved;        // 12
  uint8_t CheckSum;        // 13  long-name records: checksum of the short name
  le16 CreationTime;       // 14
  le16 CreationDate;       // 16
  le16 AccessDate;         // 18
  le16 ClusterHigh;        // 20
  le16 Time;               // 22
  le16 Date;               // 24
  le16 ClusterLow;         // 26
  le32 Size;               // 28

  uint32_t FirstCluster() const { return (uint32_t(ClusterHigh) << 16) | ClusterLow; }
};
static_assert(sizeof(TDirEntry) == 32);

// The same 32 bytes read as a long-name record.
struct TLongNameEntry {
  uint8_t Sequence;        //  0  bit 6: the record holding the name's last part
  uint8_t Name1[10];       //  1  characters 1-5, UTF-16LE
  uint8_t Attributes;      // 11  $0F
  uint8_t Kind;            // 12
  uint8_t CheckSum;        // 13
  uint8_t Name2[12];       // 14  characters 6-11
  le16 ClusterLow;         // 26  always 0
  uint8_t Name3[4];        // 28  characters 12-13
};
static_assert(sizeof(TLongNameEntry) == 32);
