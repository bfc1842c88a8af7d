// Partition tables written byte by byte, hostile ones above all: every table
// ends in the partitions a kernel would see, or in skipped entries with a
// note, never in a read outside the disk.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Partitions.h"
#include "ScriptedSource.h"

namespace {

constexpr uint32_t kSector = 512;

// Built byte by byte, then served to the reader through a ScriptedSource.
struct MemoryDisk {
  explicit MemoryDisk(uint32_t sectors) : bytes(size_t{sectors} * kSector) {}
  void Put32(uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
  }
  void Put64(uint64_t at, uint64_t v) { Put32(at, uint32_t(v)), Put32(at + 4, uint32_t(v >> 32)); }
  // One 16-byte slot of the MBR or EBR at sector lba, with its 55 AA.
  void Slot(uint64_t lba, int slot, uint8_t type, uint32_t first, uint32_t count, uint8_t status = 0) {
    const uint64_t at = lba * kSector + 446 + 16 * slot;
    bytes[at] = status;
    bytes[at + 4] = type;
    Put32(at + 8, first);
    Put32(at + 12, count);
    bytes[lba * kSector + 510] = 0x55;
    bytes[lba * kSector + 511] = 0xAA;
  }
  std::vector<uint8_t> bytes;
};

uint32_t Crc32(const uint8_t* p, size_t n) {
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
void WriteGpt(MemoryDisk& d, uint64_t headerLba, uint64_t arrayLba, const std::vector<GptEntry>& entries,
              uint32_t count = 128, uint32_t entrySize = 128) {
  const uint64_t array = arrayLba * kSector;
  for (const GptEntry& e : entries) {
    const uint64_t at = array + uint64_t{e.index} * entrySize;
    d.bytes[at] = 0xA2;  // any type but the unused one
    d.Put64(at + 32, e.first);
    d.Put64(at + 40, e.last);
    d.bytes[at + 56] = 'p';
  }
  const uint64_t h = headerLba * kSector;
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

void Protective(MemoryDisk& d) { d.Slot(0, 0, 0xEE, 1, uint32_t(d.bytes.size() / kSector - 1)); }

struct TableCase {
  const char* name;
  uint32_t sectors;
  std::function<void(MemoryDisk&)> build;
  PartitionTable::Scheme scheme;
  std::string want;  // "number@first+sectors ..."
  const char* note;  // a note that must be there, "" for none at all
};

const auto kNone = PartitionTable::Scheme::None;
const auto kMbr = PartitionTable::Scheme::Mbr;
const auto kGpt = PartitionTable::Scheme::Gpt;

const std::vector<TableCase> kCases = {
    {"PrimariesAndLogicalsNumberedAsLinux", 400,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0C, 10, 20, 0x80);
       d.Slot(0, 2, 0x05, 100, 200);  // slot 3: extended
       d.Slot(0, 3, 0x07, 300, 50);
       d.Slot(100, 0, 0x07, 2, 30);   // logical 5 at 102
       d.Slot(100, 1, 0x05, 40, 60);  // next link at 140
       d.Slot(140, 0, 0x83, 2, 10);   // logical 6 at 142
     },
     kMbr, "1@10+20 4@300+50 5@102+30 6@142+10 ", ""},
    {"ChainLoopingBackStops", 400,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0F, 100, 200);
       d.Slot(100, 0, 0x07, 2, 10);
       d.Slot(100, 1, 0x05, 0, 200);  // links to itself
     },
     kMbr, "5@102+10 ", "loops"},
    {"PastTheEndSkippedOrCut", 100,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0C, 150, 10);  // starts past the end
       d.Slot(0, 1, 0x0C, 50, 100);  // runs past it
       d.Slot(0, 2, 0x05, 5000, 10);  // a chain beyond the disk
     },
     kMbr, "2@50+50 ", "link points past the end"},
    {"OverlapSkipsTheLaterEntry", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0x0C, 10, 40), d.Slot(0, 1, 0x07, 30, 40); },
     kMbr, "1@10+40 ", "overlaps partition 1"},
    {"BootCodeIsNoTable", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0x0C, 10, 20, 0x3C); }, kNone, "", ""},
    {"EmptyTableIsNone", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0, 0, 0); }, kNone, "", ""},
    {"FatVolumeIsNoTable", 100,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0C, 10, 20);
       const uint8_t bpb[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0', 0x00, 0x02, 1, 1, 0, 2,
                              0xE0, 0x00, 0x40, 0x0B, 0xF0, 9, 0};
       std::memcpy(d.bytes.data(), bpb, sizeof bpb);
     },
     kNone, "", ""},
    {"GptEntriesByIndex", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 59}, {2, 60, 99}});
       WriteGpt(d, 199, 167, {{0, 40, 59}, {2, 60, 99}});
     },
     kGpt, "1@40+20 3@60+40 ", ""},
    {"GptBadHeaderCrcUsesBackup", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 59}});
       d.bytes[kSector + 40] ^= 1;
       WriteGpt(d, 199, 167, {{1, 60, 99}});
     },
     kGpt, "2@60+40 ", "backup"},
    {"GptBadArrayCrcEverywhere", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 59}});
       WriteGpt(d, 199, 167, {{0, 40, 59}});
       d.bytes[2 * kSector + 100] ^= 1;
       d.bytes[167 * kSector + 100] ^= 1;
     },
     kGpt, "", "fails its checks too"},
    {"GptEntryOutsideTheDisk", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 5000}, {1, 90, 80}, {2, 100, 120}});
     },
     kGpt, "3@100+21 ", "outside the disk"},
};

TEST(Partitions, TablesAreReadAsTheKernelWould) {
  for (const TableCase& c : kCases) {
    SCOPED_TRACE(c.name);
    MemoryDisk disk(c.sectors);
    c.build(disk);
    ScriptedSource source;
    source.SetImage(disk.bytes);
    const PartitionTable t = ReadPartitionTable(source);
    EXPECT_EQ(t.scheme, c.scheme);
    std::string got, notes;
    for (const PartitionEntry& e : t.entries)
      got += std::to_string(e.number) + "@" + std::to_string(e.start / kSector) + "+" + std::to_string(e.size / kSector) + " ";
    EXPECT_EQ(got, c.want);
    for (const std::string& n : t.notes) notes += n + "\n";
    if (*c.note)
      EXPECT_NE(notes.find(c.note), std::string::npos) << notes;
    else
      EXPECT_EQ(notes, "");
  }
}

}  // namespace
