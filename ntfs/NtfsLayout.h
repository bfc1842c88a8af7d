// On-disk records of an NTFS volume: boot sector, FILE and INDX record
// headers, attribute headers, run lists, file names, index structures and
// attribute-list entries, with the small decoding helpers every reader uses.
//
// Every multi-byte field is a little-endian byte group read explicitly, so
// the records have alignment 1, may be overlaid on any buffer offset and mean
// the same on any host. Overlaying is safe only after the caller has checked
// that the record's bytes lie inside its buffer; the Fits/End helpers below
// do that. Depends on nothing but the standard library and WinTypes.h, so a
// separate library can share it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "WinTypes.h"

namespace ntfs_layout {

// A little-endian integer of N bytes stored as bytes.
template <typename T, int N>
struct LittleEndian {
  uint8_t b[N];
  operator T() const {
    uint64_t v = 0;
    // Read on every listed item: one load where the host is little-endian too.
    if constexpr (std::endian::native == std::endian::little)
      std::memcpy(&v, b, N);
    else
      for (int i = N - 1; i >= 0; --i) v = (v << 8) | b[i];
    return static_cast<T>(v);
  }
  LittleEndian& operator=(T v) {
    for (int i = 0; i < N; ++i) b[i] = static_cast<uint8_t>(uint64_t(v) >> (8 * i));
    return *this;
  }
};

}  // namespace ntfs_layout

using nle16 = ntfs_layout::LittleEndian<uint16_t, 2>;
using nle32 = ntfs_layout::LittleEndian<uint32_t, 4>;
using nle64 = ntfs_layout::LittleEndian<uint64_t, 8>;
using nlei64 = ntfs_layout::LittleEndian<int64_t, 8>;
static_assert(sizeof(nle64) == 8 && alignof(nle64) == 1);

inline uint16_t NtfsRead16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t NtfsRead32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t NtfsRead64(const uint8_t* p) { return NtfsRead32(p) | (uint64_t(NtfsRead32(p + 4)) << 32); }

// ---- Boot sector ----------------------------------------------------------------
struct TBOOT_BLOCK {
  uint8_t Jump[3];               // 0x00
  char Format[8];                // 0x03  "NTFS    "
  nle16 BytesPerSector;          // 0x0B
  uint8_t SectorsPerCluster;     // 0x0D
  uint8_t BiosFields[26];        // 0x0E
  nle64 TotalSectors;            // 0x28  sectors of the volume (BIOS parameter block)
  nlei64 MFTStartLcn;            // 0x30
  nlei64 Mft2StartLcn;           // 0x38
  nle32 ClustersPerFileRecord;   // 0x40  encoded size, see NtfsEncodedSize
  nle32 ClustersPerIndexBlock;   // 0x44  encoded size
  nle64 VolumeSerialNumber;      // 0x48
  uint8_t BootCode[432];         // 0x50  boot code and signature
};
static_assert(sizeof(TBOOT_BLOCK) == 512);
static_assert(offsetof(TBOOT_BLOCK, BytesPerSector) == 0x0B);
static_assert(offsetof(TBOOT_BLOCK, TotalSectors) == 0x28);
static_assert(offsetof(TBOOT_BLOCK, MFTStartLcn) == 0x30);
static_assert(offsetof(TBOOT_BLOCK, ClustersPerFileRecord) == 0x40);
static_assert(offsetof(TBOOT_BLOCK, ClustersPerIndexBlock) == 0x44);
static_assert(offsetof(TBOOT_BLOCK, BootCode) == 0x50);

// Bytes of a record or index block from its encoded boot-sector value: below
// 0x80 a count of clusters, else a power of two (0xF6 -> 1024). Computed in
// 64 bits so absurd values can be refused by the caller instead of wrapping.
inline uint64_t NtfsEncodedSize(uint32_t v, uint32_t sectorsPerCluster, uint32_t bytesPerSector) {
  if (v < 0x80) return uint64_t(v) * sectorsPerCluster * bytesPerSector;
  const uint32_t shift = 0x100 - (v & 0xFF);
  return (v > 0xFF || shift >= 32) ? 0 : uint64_t(1) << shift;
}

// ---- Record headers -----------------------------------------------------------------
struct TNTFS_RECORD_HEADER {
  char Type[4];      // 0x00  "FILE" or "INDX"
  nle16 UsaOffset;   // 0x04
  nle16 UsaCount;    // 0x06
  nle64 Usn;         // 0x08
};
static_assert(sizeof(TNTFS_RECORD_HEADER) == 16);

struct TFILE_RECORD_HEADER {
  TNTFS_RECORD_HEADER Ntfs;   // 0x00
  nle16 SequenceNumber;       // 0x10
  nle16 LinkCount;            // 0x12  0 in extension records
  nle16 AttributesOffset;     // 0x14
  nle16 Flags;                // 0x16  bit 0: in use
  nle32 BytesInUse;           // 0x18
  nle32 BytesAllocated;       // 0x1C
  nle64 BaseFileRecord;       // 0x20
  nle16 NextAttributeNumber;  // 0x28
};
static_assert(sizeof(TFILE_RECORD_HEADER) == 0x2A);
static_assert(offsetof(TFILE_RECORD_HEADER, LinkCount) == 0x12);
static_assert(offsetof(TFILE_RECORD_HEADER, BaseFileRecord) == 0x20);

constexpr uint16_t kRecordInUse = 0x0001;

inline bool HasMagic(const void* record, const char* magic) { return std::memcmp(record, magic, 4) == 0; }

// ---- Attributes -------------------------------------------------------------------------
struct TATTRIBUTE {
  nle32 AttributeType;    // 0x00
  nle32 Length;           // 0x04
  uint8_t Nonresident;    // 0x08
  uint8_t NameLength;     // 0x09  UTF-16 code units
  nle16 NameOffset;       // 0x0A
  nle16 Flags;            // 0x0C
  nle16 AttributeNumber;  // 0x0E
};
static_assert(sizeof(TATTRIBUTE) == 16);

struct TRESIDENT_ATTRIBUTE {
  TATTRIBUTE Attribute;   // 0x00
  nle32 ValueLength;      // 0x10
  nle16 ValueOffset;      // 0x14
  nle16 IndexedFlag;      // 0x16
};
static_assert(sizeof(TRESIDENT_ATTRIBUTE) == 0x18);

struct TNONRESIDENT_ATTRIBUTE {
  TATTRIBUTE Attribute;     // 0x00
  nlei64 LowVcn;            // 0x10
  nlei64 HighVcn;           // 0x18
  nle16 RunArrayOffset;     // 0x20
  uint8_t CompressionUnit;  // 0x22
  uint8_t AlignmentOrReserved[5];
  nlei64 AllocatedSize;     // 0x28
  nlei64 DataSize;          // 0x30
  nlei64 InitializedSize;   // 0x38
};
static_assert(sizeof(TNONRESIDENT_ATTRIBUTE) == 0x40);
static_assert(offsetof(TNONRESIDENT_ATTRIBUTE, RunArrayOffset) == 0x20);
static_assert(offsetof(TNONRESIDENT_ATTRIBUTE, AllocatedSize) == 0x28);
static_assert(offsetof(TNONRESIDENT_ATTRIBUTE, DataSize) == 0x30);
constexpr uint32_t kCompressedSizeOffset = 0x40;  // present in compressed attributes only
// TATTRIBUTE.Flags of a data attribute.
constexpr uint16_t kDataCompressed = 0x0001;
constexpr uint16_t kDataEncrypted = 0x4000;
constexpr uint16_t kDataSparse = 0x8000;

// Attribute type codes.
constexpr uint32_t atAttributeList = 0x20;
constexpr uint32_t atFileName = 0x30;
constexpr uint32_t atVolumeName = 0x60;
constexpr uint32_t atVolumeInformation = 0x70;
constexpr uint32_t atData = 0x80;
constexpr uint32_t atIndexRoot = 0x90;
constexpr uint32_t atIndexAllocation = 0xA0;
constexpr uint32_t atBitmap = 0xB0;
constexpr uint32_t atEnd = 0xFFFFFFFF;

// Fixed MFT record numbers.
constexpr uint32_t kMftRecordMft = 0;
constexpr uint32_t kMftRecordVolume = 3;
constexpr uint32_t kMftRecordRoot = 5;
constexpr uint32_t kMftRecordBitmap = 6;
constexpr uint32_t kLastSystemRecord = 15;

// Whether an attribute header at offset `at` of a record of `size` bytes is
// whole: its common header, its Length, and the resident or non-resident
// fields, value and name it names all lie inside both the record and Length.
// Every walker checks this before it overlays anything.
inline bool AttributeFits(const uint8_t* record, size_t size, size_t at) {
  if (at > size || size - at < 8) return false;
  const uint8_t* a = record + at;
  const uint32_t type = NtfsRead32(a);
  if (type == atEnd) return true;  // the end marker needs nothing more
  const uint32_t len = NtfsRead32(a + 4);
  if (size - at < sizeof(TATTRIBUTE) || len < sizeof(TATTRIBUTE) || len > size - at) return false;
  const auto* h = reinterpret_cast<const TATTRIBUTE*>(a);
  if (uint32_t(h->NameOffset) + 2u * h->NameLength > len) return false;
  if (h->Nonresident) {
    if (len < sizeof(TNONRESIDENT_ATTRIBUTE) - 8) return false;  // InitializedSize may be cut in short records
    const auto* n = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(a);
    return n->RunArrayOffset < len;
  }
  if (len < sizeof(TRESIDENT_ATTRIBUTE)) return false;
  const auto* r = reinterpret_cast<const TRESIDENT_ATTRIBUTE*>(a);
  return uint64_t(r->ValueOffset) + r->ValueLength <= len;
}

// Value of a resident attribute (only after AttributeFits).
inline const uint8_t* ResidentValue(const TATTRIBUTE* a) {
  return reinterpret_cast<const uint8_t*>(a) + reinterpret_cast<const TRESIDENT_ATTRIBUTE*>(a)->ValueOffset;
}
inline uint32_t ResidentValueLength(const TATTRIBUTE* a) {
  return reinterpret_cast<const TRESIDENT_ATTRIBUTE*>(a)->ValueLength;
}

inline uint32_t AttributeValueLength(const TATTRIBUTE* a) {
  if (!a->Nonresident) return reinterpret_cast<const TRESIDENT_ATTRIBUTE*>(a)->ValueLength;
  return static_cast<uint32_t>(int64_t(reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(a)->DataSize));
}
inline uint32_t AttributeAllocatedLength(const TATTRIBUTE* a) {
  if (!a->Nonresident) return reinterpret_cast<const TRESIDENT_ATTRIBUTE*>(a)->ValueLength;
  return static_cast<uint32_t>(int64_t(reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(a)->AllocatedSize));
}

// ---- Run lists --------------------------------------------------------------------------
// A run: header byte (low nibble L = length bytes, high nibble O = offset
// bytes), L bytes of length, O bytes of signed cluster delta. 0 ends the list.
inline uint32_t RunHeaderSize(const uint8_t* run) { return (run[0] & 0x0F) + (run[0] >> 4) + 1; }

// Whether the run at `run` is whole before `end` and its fields fit 64 bits.
inline bool RunFits(const uint8_t* run, const uint8_t* end) {
  if (run >= end) return false;
  if (run[0] == 0) return true;
  return (run[0] & 0x0F) <= 8 && (run[0] >> 4) <= 8 && size_t(end - run) >= RunHeaderSize(run);
}

inline uint64_t RunLength(const uint8_t* run) {
  const int l = run[0] & 0x0F;
  uint64_t v = 0;
  for (int i = l; i >= 1; --i) v = (v << 8) | run[i];
  return v;
}

inline int64_t RunLcnDelta(const uint8_t* run) {
  const int l = run[0] & 0x0F, o = run[0] >> 4;
  if (o == 0) return 0;
  uint64_t v = (run[l + o] & 0x80) ? ~uint64_t(0) : 0;  // sign from the top byte
  for (int i = l + o; i > l; --i) v = (v << 8) | run[i];
  return static_cast<int64_t>(v);
}

// ---- File names and volume information -------------------------------------------------
struct TFILENAME_ATTRIBUTE {
  nle64 ParentDirectory;       // 0x00
  nlei64 CreationTime;         // 0x08
  nlei64 LastWriteTime;        // 0x10
  nlei64 MftChangeTime;        // 0x18
  nlei64 LastAccessTime;       // 0x20
  nlei64 AllocatedSize;        // 0x28
  nlei64 DataSize;             // 0x30
  nle32 FileAttributes;        // 0x38
  nle32 AlignmentOrReserved;   // 0x3C
  uint8_t NameLength;          // 0x40
  uint8_t NameType;            // 0x41
  uint8_t Name[2];             // 0x42  UTF-16LE, NameLength units (the first shown)
};
static_assert(offsetof(TFILENAME_ATTRIBUTE, FileAttributes) == 0x38);
static_assert(offsetof(TFILENAME_ATTRIBUTE, Name) == 0x42);
constexpr size_t kFileNameHeader = 0x42;
// Whether a file name of `size` bytes holds its name.
inline bool FileNameFits(const uint8_t* p, size_t size) {
  return size >= kFileNameHeader && size - kFileNameHeader >= 2u * p[0x40];
}

constexpr uint8_t nsPosix = 0, nsWin32 = 1, nsDos = 2, nsWin32AndDos = 3;
constexpr uint32_t kFileNameIsDirectory = 0x10000000;
constexpr uint32_t kFileAttributeCompressed = 0x800;
constexpr uint32_t kFileAttributeEncrypted = 0x4000;

struct TVOLUME_INFORMATION {
  nle64 Reserved;        // 0x00
  uint8_t MajorVersion;  // 0x08
  uint8_t MinorVersion;  // 0x09
  nle16 Flags;           // 0x0A  bit 0: dirty
};
static_assert(sizeof(TVOLUME_INFORMATION) == 12);

// ---- Indexes -------------------------------------------------------------------------------
struct TINDEX_HEADER {
  nle32 EntriesOffset;  // 0x00  from the start of this header
  nle32 IndexLength;    // 0x04
  nle32 AllocatedSize;  // 0x08
  nle32 Flags;          // 0x0C  1 in a root: the index has blocks
};
static_assert(sizeof(TINDEX_HEADER) == 16);

struct TINDEX_ROOT {
  nle32 AttributeType;          // 0x00
  nle32 CollationRule;          // 0x04
  nle32 BytesPerIndexBlock;     // 0x08
  uint8_t ClustersPerIndexBlock;  // 0x0C
  uint8_t Padding[3];
  TINDEX_HEADER Header;         // 0x10
};
static_assert(sizeof(TINDEX_ROOT) == 0x20);

struct TINDEX_BLOCK_HEADER {
  TNTFS_RECORD_HEADER Ntfs;  // 0x00  "INDX"
  nlei64 IndexBlockVcn;      // 0x10
  TINDEX_HEADER Header;      // 0x18
};
static_assert(sizeof(TINDEX_BLOCK_HEADER) == 0x28);

struct TINDEX_ENTRY {
  nle64 FileReference;  // 0x00  all zero: last entry
  nle16 Length;         // 0x08
  nle16 KeyLength;      // 0x0A
  nle16 Flags;          // 0x0C  bit 0: sub-node, bit 1: last entry
  nle16 Reserved;       // 0x0E
};
static_assert(sizeof(TINDEX_ENTRY) == 16);
constexpr uint8_t kIndexEntrySubNode = 1;
constexpr uint8_t kIndexEntryLast = 2;

struct TATTRIBUTE_LIST_ENTRY {
  nle32 AttributeType;    // 0x00
  nle16 Length;           // 0x04
  uint8_t NameLength;     // 0x06
  uint8_t NameOffset;     // 0x07
  nle64 LowVcn;           // 0x08
  nle64 FileReference;    // 0x10
  nle16 AttributeNumber;  // 0x18
};
static_assert(sizeof(TATTRIBUTE_LIST_ENTRY) == 0x1A);

// ---- Small helpers ---------------------------------------------------------------------------
inline uint64_t RecordNumberOf(uint64_t reference) { return reference & 0xFFFFFFFFFFFFull; }

inline bool BitIsSet(const uint8_t* bytes, uint64_t n) { return (bytes[n / 8] >> (n % 8)) & 1; }
// Same, false for a bit beyond `size` bytes.
inline bool BitIsSet(const uint8_t* bytes, size_t size, uint64_t n) { return n / 8 < size && BitIsSet(bytes, n); }

// What the update sequence array of a record says about it.
enum class UsaVerdict {
  Sound,     // every protected word matched the sequence number and got its saved value back
  Suspect,   // words were put back, but one did not match (a torn or stale write), the
             // array claimed more strides than were read, or it overlaps the header
  Unusable,  // nothing protected, or the array lies outside the bytes read: left as it is
};

// Repairs a FILE or INDX record in place: the last word of every 512-byte
// stride gets its saved value back from the update sequence array. The
// number of strides is clamped to the bytes read; an array that would lie
// outside them leaves the record as it is. The stride is 512 bytes whatever
// the sector size, so the clamp counts strides too: a 1 KiB record on a
// 4 KiB-sector volume carries two protected words like any other.
// Both readers share this: the NTFS drive repairs whatever the verdict (it
// never refused a torn record, and its deleted search wants what such a
// record still holds); NtfsLib lists live files only and skips any record
// that is not Sound.
inline UsaVerdict ApplyUpdateSequenceArray(uint8_t* record, size_t length) {
  if (length < sizeof(TNTFS_RECORD_HEADER)) return UsaVerdict::Unusable;
  const auto* h = reinterpret_cast<const TNTFS_RECORD_HEADER*>(record);
  const size_t offset = h->UsaOffset, strides = length / 512;
  size_t n = h->UsaCount;
  bool sound = n <= strides + 1 && offset >= 8;
  if (n > strides + 1) n = strides + 1;
  if (n < 2 || offset > length || (length - offset) / 2 < n) return UsaVerdict::Unusable;
  for (size_t i = 1; i < n; ++i) {
    uint8_t* end = record + 512 * i - 2;
    sound = sound && std::memcmp(end, record + offset, 2) == 0;
    std::memmove(end, record + offset + 2 * i, 2);  // a hostile array may overlap a stride end
  }
  return sound ? UsaVerdict::Sound : UsaVerdict::Suspect;
}
