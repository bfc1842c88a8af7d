// Boot sector evaluation, the geometry rule the drive and the raw scanner
// share, and the allocation table.
#include <functional>

#include "BootSector.h"
#include "FatTestImage.h"
#include "InterfacePtr.h"
#include "MoxVolumeScannerVFAT.h"

namespace {

TBootSec BootFor(uint32_t clusters, uint8_t spc = 1, uint16_t bps = 512) {
  TBootSec b{};
  b.Jump[0] = 0xEB, b.BytesPerSector = bps, b.SectorsPerCluster = spc, b.ReservedSectors = 1, b.NumberOfFATs = 2;
  b.RootEntries = 512, b.SectorsPerFAT16 = 100, b.TotalSectors32 = 1 + 200 + 32 + clusters * spc, b.RootCluster = 2;
  return b;
}

TEST(FatGeometry, TypeAndClusterSizeFollowTheBootSector) {
  struct Case { uint32_t clusters; uint8_t spc; uint16_t bps; int type; uint32_t clusterBytes; };
  const Case cases[] = {{4084, 1, 512, 1, 512},    {4085, 1, 512, 2, 512},     {65524, 1, 512, 2, 512},
                        {65525, 1, 512, 3, 512},   {1000, 64, 512, 1, 32768},  {1000, 128, 512, 1, 65536},
                        {1000, 8, 4096, 1, 32768}};
  for (const Case& c : cases) {
    TFATdrive d;
    ASSERT_TRUE(d.CalcDriveInfo(BootFor(c.clusters, c.spc, c.bps))) << c.clusters;
    // From TotalSectors32, as TotalSectors16 is 0.
    EXPECT_TRUE(c.bps != 512 || d.ClusterCount == c.clusters) << c.clusters;
    EXPECT_EQ(std::tuple(d.FATType, d.BytesPerCluster), std::tuple(c.type, c.clusterBytes)) << c.clusters;
  }
}

// `ls` mounts a TFATdrive, `scan --api vfat` makes the raw scanner: a boot
// sector one of them reads must be readable by the other, and a refusal
// leaves a line in the log.
TEST(FatGeometry, TheDriveAndTheRawScannerJudgeBootSectorsAlike) {
  using Poke = std::function<void(FatImage&)>;
  struct Case { const char* what; int type; Poke poke; bool usable; };
  auto byte = [](size_t at, uint8_t v) { return Poke([=](FatImage& f) { f.bytes[at] = v; }); };
  auto word = [](size_t at, uint16_t v) { return Poke([=](FatImage& f) { Put16(f.bytes.data() + at, v); }); };
  auto root = [](uint32_t v, bool afterClusters) {  // the FAT32 root cluster
    return Poke([=](FatImage& f) { Put32(&f.bytes[44], v + afterClusters * f.clusters); });
  };
  const Case cases[] = {
      {"FAT12", 1, {}, true}, {"FAT16", 2, {}, true}, {"FAT32", 3, {}, true},
      {"last cluster as FAT32 root", 3, root(1, true), true},
      {"3 sectors per cluster", 2, byte(13, 3), false}, {"255 sectors per cluster", 2, byte(13, 255), false},
      {"0 sectors per cluster", 2, byte(13, 0), false}, {"0 FATs", 2, byte(16, 0), false},
      {"0 reserved sectors", 2, word(14, 0), false}, {"no jump", 1, byte(0, 0), false},
      {"1000-byte sectors", 1, word(11, 1000), false}, {"FAT32 root cluster 0", 3, root(0, false), false},
      {"FAT32 root cluster 1", 3, root(1, false), false}, {"FAT32 root past the end", 3, root(2, true), false},
      {"volume ends before its data", 2, [](FatImage& f) { Put16(&f.bytes[19], uint16_t(f.FirstData() - 1)); }, false},
  };
  for (const Case& c : cases) {
    FatImage img = FatImage::Make(c.type, c.type == 3 ? 66000 : c.type == 2 ? 5000 : 100);
    if (c.poke) c.poke(img);
    LogCapture log;
    MountedFat m(img);
    EXPECT_EQ(m.mounted, c.usable) << c.what;
    EXPECT_TRUE(m.drive->RootDir && m.drive->DeletedTreeRoot) << c.what;  // start items, mounted or not
    InterfacePtr<IMoxVolumeScanner> scanner(new TMoxVolumeScannerVFAT(std::u16string(1, kFatLetter) + u":\\"));
    EXPECT_EQ(scanner->GetIsValid(), c.usable) << c.what;
    const bool logged = std::any_of(log.lines.begin(), log.lines.end(),
                                    [](const std::string& l) { return l.rfind("bad parameter in boot sector", 0) == 0; });
    EXPECT_EQ(logged, !c.usable) << c.what;
    EXPECT_TRUE(!c.usable || c.type == 3 || log.Has("Mounting drive: FATLABEL    (TFATdrive.MountDrive)")) << c.what;
  }
  // An unreadable boot sector leaves no start items.
  auto device = LetterDevice(kFatLetter);
  Source().failingSectors.insert(0);
  TFATdrive d;
  d.Device = device.get();
  EXPECT_FALSE(d.MountDrive(false));
  EXPECT_FALSE(d.RootDir);
}

// mkfs.fat -F 32 on a small card: read by the count of clusters alone, its
// root would be taken for an empty fixed root. The drive and the name the
// platform gives (info, drives, the factory) agree on FAT32.
TEST(FatGeometry, TheFat32LayoutIsFat32WithFewClustersAndARootlessFat16IsRefused) {
  for (uint32_t clusters : {1000u, 5000u}) {
    FatImage img = FatImage::Make(3, clusters);
    img.Short(2, 0, "HELLO   TXT", faArchive, 0, 0);
    LogCapture log;
    MountedFat m(img);
    ASSERT_TRUE(m.mounted) << clusters;
    EXPECT_EQ(std::tuple(int(m.drive->FATType), m.drive->RootCluster, m.List(m.Root()).size()),
              std::tuple(3, 2u, size_t(1)))
        << clusters;
    EXPECT_TRUE(log.Has("FAT32 layout (no fixed root, no 16-bit FAT size) with " + std::to_string(clusters) +
                        " clusters, fewer than 65525: read as FAT32 (FATdrive.CalcDriveInfo)"));
    char fs[32] = {};
    const std::string root = std::string(1, kFatLetter) + ":\\";
    ASSERT_TRUE(GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_STREQ(fs, "FAT32");
  }
  FatImage rootless = FatImage::Make(2, 5000);
  Put16(&rootless.bytes[17], 0);
  MountedFat m(rootless);
  EXPECT_FALSE(m.mounted);
  BootSectorInfo info;
  EXPECT_FALSE(ParseBootSector(rootless.bytes.data(), 512, info));
}

TEST(FatTable, EntriesAreClassifiedAtEachTypesBoundaries) {
  struct Case { uint8_t type; uint32_t value; uint8_t kind; };
  const Case cases[] = {
      {1, 0, fatEntryFree},          {1, 0xFF0, fatEntryUsed},         {1, 0xFF1, fatEntryBad},
      {1, 0xFF7, fatEntryBad},       {1, 0xFF8, fatEntryEndOfChain},   {1, 0xFFF, fatEntryEndOfChain},
      {2, 0xFF8, fatEntryUsed},      {2, 0xFFF0, fatEntryUsed},        {2, 0xFFF1, fatEntryBad},
      {2, 0xFFF7, fatEntryBad},      {2, 0xFFF8, fatEntryEndOfChain},  {3, 0xFFF8, fatEntryUsed},
      {3, 0x0FFFFFF0, fatEntryUsed}, {3, 0x0FFFFFF1, fatEntryBad},     {3, 0x0FFFFFF7, fatEntryBad},
      {3, 0x0FFFFFF8, fatEntryEndOfChain}, {0, 0xFFFFFFFF, fatEntryUsed}, {0, 0, fatEntryFree}};
  for (const Case& c : cases) EXPECT_EQ(ClassifyFATEntry(c.type, c.value), c.kind) << int(c.type) << " " << c.value;
}

// FAT12 and FAT16 chains: the oracle suite reads every file of real volumes.
TEST(FatTable, Fat32EntriesDropTheirTopBitsAndOutOfRangeOnesReadZero) {
  FatImage f32 = FatImage::Make(3, 70000);
  f32.SetFAT(10, 0xF0000005);
  MountedFat m32(f32);
  ASSERT_TRUE(m32.mounted);
  EXPECT_EQ(m32.drive->GetFAT(10, 0), 5u);  // top bits dropped
  EXPECT_EQ(m32.drive->GetFAT(1, 0), 0u);
  EXPECT_EQ(m32.drive->GetFAT(m32.drive->ClusterCount + 2, 0), 0u);
}

TEST(FatTable, UnreadableFatSectorEndsTheChainWithoutBeingCached) {
  FatImage img = FatImage::Make(2, 5000);
  img.Chain(10, 3);
  MountedFat m(img);
  Source().failingSectors.insert(img.reserved);  // first sector of FAT copy 0
  EXPECT_TRUE(m.drive->IsEOF(m.drive->GetFAT(10, 0)));
  Source().failingSectors.clear();
  EXPECT_EQ(m.drive->GetFAT(10, 0), 11u);
}

}  // namespace
