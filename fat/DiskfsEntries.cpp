// FAT drive: directory records, short names and long names.
#include <algorithm>
#include <cstring>

#include "DiskfsInternal.h"
#include "WinApi.h"

AnsiString ReplaceDeletedChar(const AnsiString& S, bool LongName) {
  // The mark is a byte of the short entry; long-name records keep theirs out
  // of the text, where $E5 leads a character (U+5000..U+5FFF).
  if (LongName) return S;
  const size_t at = S.find(char(kDeletedMark));
  if (at == AnsiString::npos) return S;
  AnsiString out = S;
  out[at] = '_';
  return out;
}

AnsiString ItemDisplayName(const TObject* Item) {
  if (auto* f = dynamic_cast<const TFATFile*>(Item)) return ReplaceDeletedChar(f->Name, f->LongName);
  if (auto* d = dynamic_cast<const TFATDirectory*>(Item)) return ReplaceDeletedChar(d->Name, d->LongName);
  return "";
}

AnsiString FormatShortName(const uint8_t* Name11) {
  AnsiString base, ext;
  for (int i = 0; i < 8; ++i)
    if (Name11[i] != ' ') base += char(Name11[i]);
  for (int i = 8; i < 11; ++i)
    if (Name11[i] != ' ') ext += char(Name11[i]);
  return ext.empty() ? base : base + "." + ext;
}

bool TFATdrive::CursorSector(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, uint32_t PerSector,
                             uint32_t PerCluster, uint32_t& Target) {
  if (uint64_t(Cluster) > uint64_t(ClusterCount) + 1) return false;
  // Cluster 1 has no data; reaching it means a broken chain.
  if (Cluster == 1 || PerSector == 0 || PerCluster == 0 || DirBuffer.size() < FBytesPerSector) return false;
  if (Cluster == 0) {
    if (Index >= PerSector) {
      Index = 0;
      ++Sector;
    }
    // The fixed root region ends the walk too: past it lie the data clusters,
    // whose bytes are not root records (and a missing $00 must not run on).
    if (Sector - RootStartSector >= RootDirSectors) return false;
    Target = Sector;
    return true;
  }
  // In a chain Index counts units from the directory's start, so the cursor
  // itself bounds the walk: a directory holds at most 65536 records, which
  // also ends looping chains.
  if (Index == 0xFFFF) return false;
  if (Index > 0 && Index % PerCluster == 0) {
    uint32_t next = ActiveFAT > 0 ? GetFAT(Cluster, ActiveFAT - 1) : Cluster + 1;
    // A free entry is the cleared chain of a deleted directory. Formatters and
    // systems lay directories out contiguously, so the walk goes on into the
    // following cluster while that one is free too and holds directory records:
    // a large deleted folder then shows all its entries, not just a cluster's.
    if (next == 0 && ContinuesClearedDirectory(Cluster + 1)) next = Cluster + 1;
    if (IsEOF(next)) return false;
    // A free, bad or out-of-volume next cluster (the cleared chain of a
    // deleted directory) ends the directory as well.
    if (!InVolumeCluster(next) || ClassifyFATEntry(FATType, next) == fatEntryBad) return false;
    Cluster = next;
  }
  Target = Cluster2Sec(Cluster) + (Index % PerCluster) / PerSector;
  return true;
}

// Whether 32 bytes can be a directory record (or the end mark).
bool diskfs::LooksLikeRecord(const uint8_t* r) {
  if (r[0] == 0) return true;
  const uint8_t attr = r[11];
  if (attr & 0xC0) return false;
  if (attr == faLongName) return ReadLE16(r + 26) == 0 && (r[0] == kDeletedMark || ((r[0] & 0x1F) >= 1 && (r[0] & 0x1F) <= 20));
  for (int i = 0; i < 11; ++i) {
    const uint8_t b = r[i];
    if (i == 0 && (b == kDeletedMark || b == kEscapedE5)) continue;
    if (b < 0x20 || std::strchr("\"*+,/:;<=>?[\\]|", b)) return false;
  }
  return true;
}

using diskfs::LooksLikeRecord;

bool TFATdrive::ContinuesClearedDirectory(uint32_t Cluster) {
  if (!InVolumeCluster(Cluster) || ClassifyFATEntry(FATType, GetFAT(Cluster, 0)) != fatEntryFree) return false;
  if (!ReadCachedSector(Cluster2Sec(Cluster), DirBuffer, DirBufferSector)) return false;
  // A cluster that opens with "." is where another folder starts (a deleted
  // neighbour's clusters are free too): its entries are not this folder's.
  if (std::memcmp(DirBuffer.data(), ".          ", 11) == 0 && (DirBuffer[11] & faDirectory)) return false;
  for (uint32_t i = 0; i + 32 <= FBytesPerSector; i += 32) {
    if (!LooksLikeRecord(DirBuffer.data() + i)) return false;
    if (DirBuffer[i] == 0) break;
  }
  return true;
}

TFATEntryAddress TFATdrive::EntryAddress(uint32_t Cluster, uint32_t Sector, uint16_t Index) const {
  const uint32_t perSector = FBytesPerSector / 32, perCluster = std::max<uint32_t>(BytesPerCluster / 32, 1);
  const uint32_t at = Index ? Index - 1u : 0u;
  if (Cluster == 0) return {0, (Sector - RootStartSector) * perSector + at};
  // In a chain the cursor counts records from the directory's start.
  return {Cluster, at % perCluster};
}

bool TFATdrive::GetNextRecord(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, void* Buffer) {
  const uint32_t perSector = FBytesPerSector / 32;
  uint32_t sector = 0;
  if (!CursorSector(Cluster, Sector, Index, perSector, BytesPerCluster / 32, sector)) return false;
  if (FMarkDirClusters && Cluster != FLastMarkedCluster && Cluster >= 2) {
    FLastMarkedCluster = Cluster;
    FDirClusters.insert(Cluster);
  }
  // An unreadable sector ends the directory rather than showing stale records.
  if (!ReadCachedSector(sector, DirBuffer, DirBufferSector)) {
    ++DirReadFailures;
    return false;
  }
  std::memcpy(Buffer, DirBuffer.data() + (Index % perSector) * 32, 32);
  ++Index;
  return true;
}

bool TFATdrive::ReadDataSec(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, void* Buffer) {
  uint32_t sector = 0;
  if (!CursorSector(Cluster, Sector, Index, 1, FSectorsPerCluster, sector)) return false;
  if (!ReadCachedSector(sector, DirBuffer, DirBufferSector)) return false;
  std::memcpy(Buffer, DirBuffer.data(), FBytesPerSector);
  ++Index;
  return true;
}

namespace {

// Whether a long name ends in the extension its short entry gives (short
// names take the first three characters of it, upper-cased; characters they
// could not keep stand as '_').
bool ExtensionAgrees(const char16_t* name, const char16_t* end, const uint8_t* shortExtension) {
  int length = 3;
  while (length > 0 && shortExtension[length - 1] == ' ') --length;
  if (length == 0) return true;
  const char16_t* dot = end;
  while (dot > name && dot[-1] != u'.') --dot;
  if (dot == name) return false;
  for (int i = 0; i < length; ++i) {
    while (dot < end && *dot == u' ') ++dot;
    if (dot == end) return false;
    const char16_t c = *dot++;
    const uint8_t s = shortExtension[i];
    if (s == '_' || s >= 0x80 || c >= 0x80) continue;
    if ((c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c) != s) return false;
  }
  return true;
}

}  // namespace

bool TFATdrive::GetLongName(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, TDirEntry* Entry,
                            AnsiString& Name) {
  // Names of up to 255 characters take 20 records. The whole name fits a
  // host's find record (260 wide characters) and the 8-bit text has no limit
  // here, so none is shown under its alias for want of room.
  constexpr int kMaxRecords = 20;
  constexpr int kUnits = kMaxRecords * 13;
  TLongNameEntry rec;
  std::memcpy(&rec, Entry, sizeof rec);
  if (rec.Attributes != faLongName || rec.ClusterLow != 0 || (rec.Sequence & 0x40) == 0) return false;
  const uint8_t checksum = rec.CheckSum;
  const bool deleted = rec.Sequence == kDeletedMark;
  char16_t units[kUnits];
  int pos = kUnits, taken = 0;
  while (rec.Attributes == faLongName && rec.ClusterLow == 0 && rec.CheckSum == checksum && taken < kMaxRecords) {
    pos -= 13;
    char16_t* out = units + pos;
    for (int i = 0; i < 5; ++i) *out++ = ReadLE16(rec.Name1 + 2 * i);
    for (int i = 0; i < 6; ++i) *out++ = ReadLE16(rec.Name2 + 2 * i);
    for (int i = 0; i < 2; ++i) *out++ = ReadLE16(rec.Name3 + 2 * i);
    ++taken;
    // The record after the last one taken is the item's short entry.
    if (!GetNextRecord(Cluster, Sector, Index, Entry)) return false;
    std::memcpy(&rec, Entry, sizeof rec);
  }
  // The $0000 terminator ends the name; the $FFFF padding after it is dropped.
  // The code page stands in as UTF-8, so the whole name always fits.
  int end = pos;
  while (end < kUnits && units[end] != 0) ++end;
  // A deleted run keeps no sequence numbers: where its first records were
  // written over, or lay in a cluster read apart from this one, only the
  // head of the name is left. Such a name lacks its terminator and the
  // extension the short entry keeps; the short name is then the truer one.
  if (deleted && end == kUnits && !ExtensionAgrees(units + pos, units + end, Entry->Name + 8)) return false;
  Name = WideToAnsi(WideString(units + pos, units + end));
  return true;
}

namespace {

// A letter of code page 437 in lower case; anything else as it is.
uint8_t LowerCp437(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return uint8_t(c + ('a' - 'A'));
  static constexpr uint8_t kUpper[] = {0x80, 0x8E, 0x8F, 0x90, 0x92, 0x99, 0x9A, 0xA5};  // ÇÄÅÉÆÖÜÑ
  static constexpr uint8_t kLower[] = {0x87, 0x84, 0x86, 0x82, 0x91, 0x94, 0x81, 0xA4};  // çäåéæöüñ
  for (size_t i = 0; i < sizeof kUpper; ++i)
    if (c == kUpper[i]) return kLower[i];
  return c;
}

// Windows and Linux store an all-lower-case base or extension in upper case
// with a flag in byte 12 (bit 3 base, bit 4 extension), and show it in lower
// case: "readme.txt" must not read "README.TXT" here alone.
AnsiString ShortNameAsShown(const TDirEntry& Entry) {
  constexpr uint8_t kLowerBase = 0x08, kLowerExtension = 0x10;
  uint8_t name[11];
  std::memcpy(name, Entry.Name, sizeof name);
  for (int i = 0; i < 11; ++i)
    if ((Entry.Reserved & (i < 8 ? kLowerBase : kLowerExtension)) != 0) name[i] = LowerCp437(name[i]);
  return FormatShortName(name);
}

}  // namespace

bool TFATdrive::FindNextEntry(uint32_t& Cluster, uint32_t& Sector, uint16_t& Index, TDirEntry& Entry,
                              AnsiString& Name, bool IncludeDeleted, bool* LongName) {
  if (LongName) *LongName = false;
  for (;;) {
    if (!GetNextRecord(Cluster, Sector, Index, &Entry)) return false;
    if (Entry.Name[0] == 0) return false;
    if (!IncludeDeleted && Entry.Name[0] == kDeletedMark) continue;
    break;
  }
  if (Entry.Attributes == faLongName) {
    AnsiString longName;
    if (GetLongName(Cluster, Sector, Index, &Entry, longName)) {
      // A long-name run followed by the end mark is a leftover, not an item;
      // the end mark still ends the directory.
      if (Entry.Name[0] == 0) return false;
      Name = longName;
      if (LongName) *LongName = true;
      return true;
    }
  }
  Name = ShortNameAsShown(Entry);
  return true;
}
