// MBR and GPT partition tables, read the way the Linux kernel reads them so
// partition numbers match what a user sees in /dev and lsblk.
#include "Partitions.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <set>

#include "BootSector.h"
#include "LittleEndian.h"

namespace {

// Bounds on hostile tables: the kernel stops an extended chain after about a
// hundred links, and no real GPT array comes near a mebibyte.
constexpr unsigned kMaxChainLinks = 128;
constexpr uint64_t kMaxGptArrayBytes = 1 << 20;
constexpr size_t kMbrEntries = 446;

bool ReadExact(RawSource& src, uint64_t offset, std::vector<uint8_t>& buffer, size_t len) {
  buffer.assign(len, 0);
  size_t done = 0;
  return src.ReadAt(offset, buffer.data(), len, done) && done == len;
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool IsExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct MbrSlot {
  uint8_t status, type;
  uint32_t first, count;
};

MbrSlot Slot(const std::vector<uint8_t>& sector, int i) {
  const uint8_t* p = sector.data() + kMbrEntries + 16 * i;
  return {p[0], p[4], Le32(p + 8), Le32(p + 12)};
}

bool HasSignature(const std::vector<uint8_t>& sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

std::string Hex(uint8_t v) {
  char s[8];
  std::snprintf(s, sizeof s, "0x%02x", v);
  return s;
}

std::string GuidText(const uint8_t* g) {
  char s[40];
  std::snprintf(s, sizeof s, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Le32(g), Le16(g + 4),
                Le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return s;
}

// GPT names are UTF-16LE, NUL-padded; unpaired surrogates become U+FFFD.
std::string NameFromUtf16(const uint8_t* p, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = Le16(p + 2 * i);
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const uint32_t low = Le16(p + 2 * i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F)), out += char(0x80 | (c >> 6 & 0x3F)),
          out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

class TableReader {
 public:
  TableReader(RawSource& disk, uint32_t sectorSize) : disk_(disk), ss_(sectorSize) {
    table_.sectorSize = sectorSize;
    sectors_ = disk.Size() / sectorSize;
  }

  PartitionTable Read() {
    std::vector<uint8_t> mbr;
    if (ss_ < 512 || !ReadExact(disk_, 0, mbr, ss_) || !HasSignature(mbr)) return table_;
    // A volume, not a disk; what lies past the first 512 bytes of a 4 KiB
    // sector is no table's, so it does not count.
    if (RecogniseVolume(mbr.data(), 512).format != VolumeFormat::None) return table_;
    bool protective = false, any = false;
    for (int i = 0; i < 4; ++i) {
      const MbrSlot s = Slot(mbr, i);
      if (s.status != 0 && s.status != 0x80) return table_;  // boot code, not a table
      protective |= s.type == 0xEE;
      any |= s.type != 0 && s.count != 0;
    }
    // Zeros there are more likely a damaged volume's boot sector than a
    // disk with nothing on it; either way there is no partition to choose.
    if (!any) return table_;
    if (protective) {
      table_.scheme = PartitionTable::Scheme::Gpt;
      const char* primary = ReadGpt(1);
      if (!primary) return table_;
      const uint64_t last = sectors_ ? sectors_ - 1 : 0;
      const char* backup = sectors_ > 1 ? ReadGpt(last) : "the disk has no room for it";
      const std::string backupAt = "the backup GPT at sector " + std::to_string(last);
      if (backup)
        Note(true, "no partition read: the primary GPT at sector 1 fails its checks (" + std::string(primary) +
                       ") and " + backupAt + " too (" + backup + ")");
      else
        Note(false, "the primary GPT at sector 1 fails its checks (" + std::string(primary) + "); " + backupAt +
                        " is used");
      return table_;
    }
    table_.scheme = PartitionTable::Scheme::Mbr;
    for (int i = 0; i < 4; ++i) {
      const MbrSlot s = Slot(mbr, i);
      if (s.type == 0 || s.count == 0) continue;
      if (!IsExtended(s.type)) Add(unsigned(i + 1), s.first, s.count, Hex(s.type), "");
    }
    // Logicals are numbered after all primaries, chain by chain.
    unsigned next = 5;
    for (int i = 0; i < 4; ++i) {
      const MbrSlot s = Slot(mbr, i);
      if (s.count != 0 && IsExtended(s.type)) ReadChain(unsigned(i + 1), s.first, s.count, next);
    }
    std::sort(table_.entries.begin(), table_.entries.end(),
              [](const PartitionEntry& a, const PartitionEntry& b) { return a.number < b.number; });
    return table_;
  }

 private:
  // Each link (EBR) holds logical partitions relative to itself and a link
  // to the next EBR relative to the extended partition's start.
  void ReadChain(unsigned slot, uint64_t extFirst, uint64_t extCount, unsigned& next) {
    std::set<uint64_t> seen;
    uint64_t here = extFirst, hereCount = extCount;
    const std::string which = "partition entry " + std::to_string(slot) + " (extended): ";
    for (unsigned links = 0;; ++links) {
      const std::string from = "; the logical partitions from " + std::to_string(next) + " on are skipped";
      if (links == kMaxChainLinks) {
        Note(true, which + "its chain is longer than " + std::to_string(kMaxChainLinks) + " links" + from);
        return;
      }
      if (!seen.insert(here).second) {
        Note(true, which + "its chain loops back to sector " + std::to_string(here) + "; it is followed no further");
        return;
      }
      std::vector<uint8_t> ebr;
      if (here >= sectors_ || !ReadExact(disk_, here * ss_, ebr, ss_)) {
        Note(true, which + "a link of its chain points past the end of the disk, to sector " +
                       std::to_string(here) + from);
        return;
      }
      // An extended partition with no logicals may hold a blank first link.
      if (!HasSignature(ebr)) {
        if (links) Note(true, which + "the link at sector " + std::to_string(here) + " has no 55 AA signature" + from);
        return;
      }
      for (int i = 0; i < 4; ++i) {
        const MbrSlot s = Slot(ebr, i);
        if (s.count == 0 || IsExtended(s.type)) continue;
        // Slots 3 and 4 of a link often hold garbage: only entries inside
        // the link's own span count there.
        if (i >= 2 && (uint64_t{s.first} + s.count > hereCount || here + s.first < extFirst ||
                       here + s.first + s.count > extFirst + extCount))
          continue;
        Add(next++, here + s.first, s.count, Hex(s.type), "");
      }
      int link = 0;
      while (link < 4 && !(Slot(ebr, link).count != 0 && IsExtended(Slot(ebr, link).type))) ++link;
      if (link == 4) return;
      here = extFirst + Slot(ebr, link).first;
      hereCount = Slot(ebr, link).count;
    }
  }

  // Null when the GPT at lba passed its checks and its entries were taken;
  // else what failed.
  const char* ReadGpt(uint64_t lba) {
    std::vector<uint8_t> h;
    if (lba >= sectors_ || !ReadExact(disk_, lba * ss_, h, ss_)) return "unreadable";
    if (std::memcmp(h.data(), "EFI PART", 8) != 0) return "no EFI PART signature";
    const uint32_t headerSize = Le32(&h[12]);
    if (headerSize < 92 || headerSize > ss_) return "bad header size";
    const uint32_t headerCrc = Le32(&h[16]);
    std::memset(&h[16], 0, 4);
    if (Crc32(h.data(), headerSize) != headerCrc) return "header CRC mismatch";
    if (Le64(&h[24]) != lba) return "the header names another sector as its own";
    const uint64_t arrayLba = Le64(&h[72]);
    const uint32_t count = Le32(&h[80]), entrySize = Le32(&h[84]), arrayCrc = Le32(&h[88]);
    if (entrySize < 128 || (entrySize & (entrySize - 1)) != 0) return "bad entry size";
    const uint64_t arrayBytes = uint64_t{count} * entrySize;
    if (arrayBytes > kMaxGptArrayBytes || arrayLba >= sectors_ || arrayLba * ss_ + arrayBytes > disk_.Size())
      return "the entry array lies outside the disk";
    std::vector<uint8_t> array;
    if (!ReadExact(disk_, arrayLba * ss_, array, size_t(arrayBytes))) return "entry array unreadable";
    if (Crc32(array.data(), array.size()) != arrayCrc) return "entry array CRC mismatch";
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = array.data() + size_t{i} * entrySize;
      static const uint8_t kUnused[16] = {};
      if (std::memcmp(e, kUnused, 16) == 0) continue;
      const uint64_t first = Le64(e + 32), last = Le64(e + 40);
      if (first > last) {
        Note(true, Entry(i + 1) + " skipped: its last sector comes before its first");
        continue;
      }
      // A GPT is written for the whole disk: an entry past its end means a
      // cut image, whose end is not there to be read.
      if (last >= sectors_) {
        Note(true, Entry(i + 1) + " skipped: it ends at sector " + std::to_string(last) +
                       ", past the end of the disk (" + std::to_string(sectors_) + " sectors)");
        continue;
      }
      Add(i + 1, first, last - first + 1, GuidText(e), NameFromUtf16(e + 56, 36));
    }
    return nullptr;
  }

  static std::string Entry(unsigned number) { return "partition entry " + std::to_string(number); }
  void Note(bool skipped, std::string text) { table_.notes.push_back({skipped, std::move(text)}); }

  // Entries that start past the disk or overlap an earlier one are skipped;
  // MBR entries running past the end are cut to it, as the kernel does.
  void Add(unsigned number, uint64_t first, uint64_t count, std::string type, std::string name) {
    const std::string which = Entry(number);
    if (first == 0) {
      Note(true, which + " skipped: it starts at sector 0, on the partition table");
      return;
    }
    if (first >= sectors_) {
      Note(true, which + " skipped: it starts at sector " + std::to_string(first) + ", past the end of the disk (" +
                     std::to_string(sectors_) + " sectors)");
      return;
    }
    PartitionEntry e;
    e.number = number;
    e.start = first * ss_;
    if (first + count > sectors_) {
      Note(false, which + " cut to the end of the disk: it runs " + std::to_string(first + count - sectors_) +
                      " sectors past it");
      count = sectors_ - first;
      e.truncated = true;
    }
    e.size = count * ss_;
    for (const PartitionEntry& o : table_.entries)
      if (e.start < o.start + o.size && o.start < e.start + e.size) {
        Note(true, which + " skipped: it overlaps partition " + std::to_string(o.number));
        return;
      }
    e.type = std::move(type);
    e.name = std::move(name);
    table_.entries.push_back(std::move(e));
  }

  RawSource& disk_;
  uint32_t ss_;
  uint64_t sectors_ = 0;
  PartitionTable table_;
};

class SliceSource final : public RawSource {
 public:
  SliceSource(std::shared_ptr<RawSource> base, uint64_t offset, uint64_t length)
      : base_(std::move(base)), offset_(offset), length_(length) {}

  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    done = 0;
    if (offset >= length_) return true;
    return base_->ReadAt(offset_ + offset, buffer, size_t(std::min<uint64_t>(len, length_ - offset)), done);
  }
  void ReadManyAt(ReadPiece* pieces, size_t count) override {
    // Pieces are moved into the base's offsets and cut at the slice's end for
    // the call, then given back as they came.
    std::vector<size_t> asked(count);
    for (size_t i = 0; i < count; ++i) {
      ReadPiece& p = pieces[i];
      asked[i] = p.len;
      p.len = p.offset >= length_ ? 0 : size_t(std::min<uint64_t>(p.len, length_ - p.offset));
      p.offset += offset_;
    }
    base_->ReadManyAt(pieces, count);
    for (size_t i = 0; i < count; ++i) {
      pieces[i].offset -= offset_;
      pieces[i].len = asked[i];
    }
  }
  bool WriteAt(uint64_t offset, const void* buffer, size_t len, size_t& done) override {
    done = 0;
    if (offset >= length_ || len > length_ - offset) return false;
    return base_->WriteAt(offset_ + offset, buffer, len, done);
  }
  uint64_t Size() const override { return length_; }
  bool Writable() const override { return base_->Writable(); }

 private:
  std::shared_ptr<RawSource> base_;
  uint64_t offset_, length_;
};

}  // namespace

PartitionTable ReadPartitionTable(RawSource& disk, uint32_t sectorSize) {
  return TableReader(disk, sectorSize).Read();
}

namespace {

// The bytes per sector a boot sector declares; 0 when the bytes hold none or
// the value is not one of 512..4096.
uint32_t DeclaredSectorSize(const RecognisedVolume& volume) {
  const uint32_t bytes = volume.bytesPerSector;
  return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0 ? bytes : 0;
}

}  // namespace

uint32_t SectorSizeOfImage(RawSource& image) {
  constexpr uint32_t k4Kn = 4096;
  std::vector<uint8_t> head;
  if (!ReadExact(image, 0, head, k4Kn + 512)) return 512;
  // A bare volume first: its data may hold anything at 4096.
  const RecognisedVolume volume = RecogniseVolume(head.data(), head.size());
  if (volume.format != VolumeFormat::None) return std::max(DeclaredSectorSize(volume), 512u);
  if (std::memcmp(&head[512], "EFI PART", 8) == 0) return 512;
  if (std::memcmp(&head[k4Kn], "EFI PART", 8) == 0) return k4Kn;
  if (!HasSignature(head)) return 512;
  // An MBR's partitions: the first whose start holds a boot sector in only
  // one of the two units decides. A volume made for 4 KiB sectors says so,
  // which keeps a later partition of a 512-byte disk from passing for one.
  std::vector<uint8_t> boot;
  auto declared = [&](uint64_t offset) {
    return ReadExact(image, offset, boot, 512) ? DeclaredSectorSize(RecogniseVolume(boot.data(), boot.size())) : 0;
  };
  for (int i = 0; i < 4; ++i) {
    const MbrSlot s = Slot(head, i);
    if (s.type == 0 || s.count == 0 || IsExtended(s.type) || s.type == 0xEE) continue;
    const bool at512 = declared(uint64_t{s.first} * 512) != 0, at4k = declared(uint64_t{s.first} * k4Kn) == k4Kn;
    if (at512 != at4k) return at4k ? k4Kn : 512;
  }
  return 512;
}

std::shared_ptr<RawSource> MakeSliceSource(std::shared_ptr<RawSource> base, uint64_t offset, uint64_t length) {
  if (!base) return nullptr;
  const uint64_t size = base->Size();
  offset = std::min(offset, size);
  length = std::min(length, size - offset);
  return std::make_shared<SliceSource>(std::move(base), offset, length);
}

std::string FileSystemOfSource(RawSource& source) { return RecogniseSource(source).name; }

const char* PartitionSchemeName(PartitionTable::Scheme scheme) {
  switch (scheme) {
    case PartitionTable::Scheme::Mbr: return "MBR";
    case PartitionTable::Scheme::Gpt: return "GPT";
    default: return "";
  }
}

std::string PartitionTypeName(const PartitionTable& table, const PartitionEntry& entry) {
  if (table.scheme == PartitionTable::Scheme::Gpt) {
    static const std::pair<const char*, const char*> kGuids[] = {
        {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", "basic data"},
        {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", "EFI system"},
        {"e3c9e316-0b5c-4db8-817d-f92df00215ae", "Microsoft reserved"},
        {"0fc63daf-8483-4772-8e79-3d69d8477de4", "Linux"},
        {"0657fd6d-a4ab-43c4-84e5-0933c84b4f4f", "Linux swap"}};
    for (const auto& [guid, name] : kGuids)
      if (entry.type == guid) return name;
    return entry.type;
  }
  static const std::pair<const char*, const char*> kTypes[] = {
      {"0x01", "FAT12"}, {"0x04", "FAT16"},      {"0x06", "FAT16"},     {"0x0e", "FAT16"},
      {"0x0b", "FAT32"}, {"0x0c", "FAT32"},      {"0x07", "NTFS/exFAT"}, {"0x83", "Linux"},
      {"0x82", "Linux swap"}, {"0xef", "EFI system"}};
  for (const auto& [code, name] : kTypes)
    if (entry.type == code) return name;
  return "type " + entry.type;
}

bool PartitionTypeHoldsNoFiles(const PartitionTable& table, const PartitionEntry& entry) {
  static const char* const kGuids[] = {"e3c9e316-0b5c-4db8-817d-f92df00215ae",   // Microsoft reserved
                                       "0657fd6d-a4ab-43c4-84e5-0933c84b4f4f",   // Linux swap
                                       "21686148-6449-6e6f-744e-656564454649"};  // BIOS boot
  static const char* const kTypes[] = {"0x82", "0x00"};                       // Linux swap, empty
  if (table.scheme == PartitionTable::Scheme::Gpt)
    return std::find(std::begin(kGuids), std::end(kGuids), entry.type) != std::end(kGuids);
  return std::find(std::begin(kTypes), std::end(kTypes), entry.type) != std::end(kTypes);
}
