// Partition tables written byte by byte, hostile ones above all: every table
// ends in the partitions a kernel would see, or in skipped entries with a
// note, never in a read outside the disk.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>

#include "Partitions.h"
#include "ScriptedSource.h"
#include "TestDisk.h"

namespace {

constexpr uint32_t kSector = 512;

void Protective(MemoryDisk& d) { Protective(d, d.bytes.size() / d.ss); }

struct TableCase {
  const char* name;
  uint32_t sectors;
  std::function<void(MemoryDisk&)> build;
  PartitionTable::Scheme scheme;
  std::string want;   // "number@first+sectors ..."
  std::string notes;  // texts that must be among the notes, "|" between; "" for no note at all
  bool skipped;       // whether a note says an entry was left out
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
     kMbr, "1@10+20 4@300+50 5@102+30 6@142+10 ", "", false},
    {"EmptyExtendedSaysNothing", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0x0C, 10, 20), d.Slot(0, 1, 0x05, 50, 40); },
     kMbr, "1@10+20 ", "", false},
    {"ChainLinkWithoutSignatureStops", 400,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x05, 100, 200);
       d.Slot(100, 0, 0x07, 2, 10);
       d.Slot(100, 1, 0x05, 40, 60);  // sector 140 stays blank
     },
     kMbr, "5@102+10 ", "partition entry 1 (extended): the link at sector 140 has no 55 AA signature", true},
    {"ChainLoopingBackStops", 400,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0F, 100, 200);
       d.Slot(100, 0, 0x07, 2, 10);
       d.Slot(100, 1, 0x05, 0, 200);  // links to itself
     },
     kMbr, "5@102+10 ", "partition entry 1 (extended): its chain loops back to sector 100", true},
    {"PastTheEndSkippedOrCut", 100,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0C, 150, 10);  // starts past the end
       d.Slot(0, 1, 0x0C, 50, 100);  // runs past it
       d.Slot(0, 2, 0x05, 5000, 10);  // a chain beyond the disk
     },
     kMbr, "2@50+50 ",
     "partition entry 1 skipped: it starts at sector 150|partition entry 2 cut to the end of the disk: it runs 50 "
     "sectors past it|partition entry 3 (extended): a link of its chain points past the end",
     true},
    {"CutIsMendedNotSkipped", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0x0C, 50, 100); }, kMbr, "1@50+50 ",
     "partition entry 1 cut", false},
    {"OverlapSkipsTheLaterEntry", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0x0C, 10, 40), d.Slot(0, 1, 0x07, 30, 40); },
     kMbr, "1@10+40 ", "partition entry 2 skipped: it overlaps partition 1", true},
    {"BootCodeIsNoTable", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0x0C, 10, 20, 0x3C); }, kNone, "", "", false},
    {"EmptyTableIsNone", 100, [](MemoryDisk& d) { d.Slot(0, 0, 0, 0, 0); }, kNone, "", "", false},
    {"FatVolumeIsNoTable", 100,
     [](MemoryDisk& d) {
       d.Slot(0, 0, 0x0C, 10, 20);
       const uint8_t bpb[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0', 0x00, 0x02, 1, 1, 0, 2,
                              0xE0, 0x00, 0x40, 0x0B, 0xF0, 9, 0};
       std::memcpy(d.bytes.data(), bpb, sizeof bpb);
     },
     kNone, "", "", false},
    {"GptEntriesByIndex", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 59}, {2, 60, 99}});
       WriteGpt(d, 199, 167, {{0, 40, 59}, {2, 60, 99}});
     },
     kGpt, "1@40+20 3@60+40 ", "", false},
    {"GptBadHeaderCrcUsesBackup", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 59}});
       d.bytes[kSector + 40] ^= 1;
       WriteGpt(d, 199, 167, {{1, 60, 99}});
     },
     kGpt, "2@60+40 ",
     "the primary GPT at sector 1 fails its checks (header CRC mismatch); the backup GPT at sector 199 is used", false},
    {"GptBadArrayCrcEverywhere", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 59}});
       WriteGpt(d, 199, 167, {{0, 40, 59}});
       d.bytes[2 * kSector + 100] ^= 1;
       d.bytes[167 * kSector + 100] ^= 1;
     },
     kGpt, "", "no partition read", true},
    {"GptEntryOutsideTheDisk", 200,
     [](MemoryDisk& d) {
       Protective(d);
       WriteGpt(d, 1, 2, {{0, 40, 5000}, {1, 90, 80}, {2, 100, 120}});
     },
     kGpt, "3@100+21 ",
     "partition entry 1 skipped: it ends at sector 5000|partition entry 2 skipped: its last sector comes before", true},
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
    for (const PartitionNote& n : t.notes) notes += n.text + "\n";
    std::istringstream wanted(c.notes);
    for (std::string w; std::getline(wanted, w, '|');)
      EXPECT_NE(notes.find(w), std::string::npos) << w << "\n" << notes;
    EXPECT_TRUE(!c.notes.empty() || notes.empty()) << notes;
    EXPECT_EQ(t.Skipped(), c.skipped) << notes;
  }
}

void NtfsBootAt(MemoryDisk& d, uint64_t at, uint16_t bytesPerSector) {
  std::memcpy(&d.bytes[at + 3], "NTFS    ", 8);
  d.bytes[at + 11] = uint8_t(bytesPerSector), d.bytes[at + 12] = uint8_t(bytesPerSector >> 8);
}

// An image file has no queue to ask for its sector size: its content tells.
TEST(Partitions, ImageSectorSizeIsToldByTheContent) {
  const struct {
    const char* name;
    uint32_t sectorSize;
    std::function<void(MemoryDisk&)> build;
    uint32_t want;
  } cases[] = {
      {"Gpt4Kn", 4096, [](MemoryDisk& d) { Protective(d), WriteGpt(d, 1, 2, {{0, 10, 20}}); }, 4096},
      {"Gpt512", 512, [](MemoryDisk& d) { Protective(d), WriteGpt(d, 1, 2, {{0, 40, 59}}); }, 512},
      // A 4Kn disk's MBR: the partition's boot sector is found only in 4 KiB units.
      {"Mbr4Kn", 4096, [](MemoryDisk& d) { d.Slot(0, 0, 0x07, 4, 20), NtfsBootAt(d, 4 * 4096, 4096); }, 4096},
      // A 512-byte disk whose next volume happens to start where the first
      // would in 4 KiB units.
      {"Mbr512", 512, [](MemoryDisk& d) { d.Slot(0, 0, 0x83, 4, 28), NtfsBootAt(d, 4 * 4096, 512); }, 512},
      {"BareFat4K", 4096,
       [](MemoryDisk& d) {
         const uint8_t bpb[] = {0xEB, 0x58, 0x90, 'm', 'k', 'f', 's', '.', 'f', 'a', 't', 0x00, 0x10, 1, 32, 0, 2};
         std::memcpy(d.bytes.data(), bpb, sizeof bpb);
         d.Put32(36, 100);  // FAT32 sectors per FAT
       },
       4096},
  };
  for (const auto& c : cases) {
    MemoryDisk disk(64, c.sectorSize);
    c.build(disk);
    ScriptedSource source;
    source.SetImage(disk.bytes);
    EXPECT_EQ(SectorSizeOfImage(source), c.want) << c.name;
  }
}

}  // namespace
