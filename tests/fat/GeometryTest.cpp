// Boot sector evaluation and the allocation table.
#include "FatTestImage.h"

namespace {

TBootSec BootFor(uint32_t clusters, uint8_t spc = 1, uint16_t bps = 512) {
  TBootSec b{};
  b.BytesPerSector = bps;
  b.SectorsPerCluster = spc;
  b.ReservedSectors = 1;
  b.NumberOfFATs = 2;
  b.RootEntries = 512;
  b.SectorsPerFAT16 = 100;
  b.TotalSectors16 = 0;
  b.TotalSectors32 = 1 + 200 + 32 + clusters * spc;
  return b;
}

TEST(FatGeometry, TypeFollowsClusterCountAtTheBoundaries) {
  const std::pair<uint32_t, int> cases[] = {{4084, 1}, {4085, 2}, {65524, 2}, {65525, 3}};
  for (auto [clusters, type] : cases) {
    TFATdrive d;
    ASSERT_TRUE(d.CalcDriveInfo(BootFor(clusters)));
    EXPECT_EQ(d.ClusterCount, clusters);  // from TotalSectors32, as TotalSectors16 is 0
    EXPECT_EQ(d.FATType, type) << clusters;
  }
}

TEST(FatGeometry, ZeroSectorSizeOrClusterSizeIsRefusedWithItsLine) {
  LogCapture log;
  TFATdrive d;
  TBootSec b = BootFor(1000);
  b.BytesPerSector = 0;
  EXPECT_FALSE(d.CalcDriveInfo(b));
  EXPECT_TRUE(log.Has("bad parameter in boot sector: Bytes Per Sector = 0 ! (FATdrive.CalcDriveInfo)"));
  EXPECT_EQ(d.ClusterCount, 0u);
  b = BootFor(1000);
  b.SectorsPerCluster = 0;
  EXPECT_FALSE(d.CalcDriveInfo(b));
  EXPECT_TRUE(log.Has("bad parameter in boot sector: Sectors Per Cluster = 0 ! (FATdrive.CalcDriveInfo)"));
  EXPECT_EQ(d.ClusterCount, 0u);
  b = BootFor(1000, 1, 1000);  // not a sector size anyone formats
  EXPECT_FALSE(d.CalcDriveInfo(b));
}

TEST(FatGeometry, LargeClustersAndSectorsKeepTheirFullSize) {
  LogCapture log;
  TFATdrive d;
  ASSERT_TRUE(d.CalcDriveInfo(BootFor(1000, 64)));
  EXPECT_EQ(d.BytesPerCluster, 32768u);
  EXPECT_TRUE(log.lines.empty());
  ASSERT_TRUE(d.CalcDriveInfo(BootFor(1000, 128)));
  EXPECT_EQ(d.BytesPerCluster, 65536u);
  ASSERT_TRUE(d.CalcDriveInfo(BootFor(1000, 8, 4096)));
  EXPECT_EQ(d.BytesPerCluster, 32768u);
  EXPECT_EQ(d.DirBuffer.size(), 4096u);
}

TEST(FatGeometry, LabelKeepsTrailingBlanksAndStopsAtNul) {
  TFATdrive d;
  TBootSec b = BootFor(1000);
  std::memcpy(b.VolumeLabel16, "DATA       ", 11);
  ASSERT_TRUE(d.CalcDriveInfo(b));
  EXPECT_EQ(d.Name, "DATA       ");
  b.VolumeLabel16[0] = 0;
  ASSERT_TRUE(d.CalcDriveInfo(b));
  EXPECT_EQ(d.Name, "");
}

TEST(FatGeometry, Fat32RootClusterZeroLogsAndStillMounts) {
  LogCapture log;
  TFATdrive d;
  TBootSec b = BootFor(70000);
  b.SectorsPerFAT16 = 0;
  b.SectorsPerFAT32 = 100;
  b.RootEntries = 0;
  b.RootCluster = 0;
  ASSERT_TRUE(d.CalcDriveInfo(b));
  EXPECT_EQ(d.FATType, 3);
  EXPECT_TRUE(log.Has("bad parameter in boot sector: root directory cluster 0 < 2 ! (FATdrive.CalcDriveInfo)"));
  EXPECT_EQ(d.RootStartSector, d.FirstDataSector - 2);
}

TEST(FatMount, MountsThroughTheDeviceAndMakesStartItems) {
  LogCapture log;
  FatImage img = FatImage::Make(2, 5000, 1);
  MountedFat m(img);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->FATType, 2);
  EXPECT_TRUE(log.Has("Mounting drive: FATLABEL    (TFATdrive.MountDrive)"));
  ASSERT_TRUE(m.drive->RootDir && m.drive->DeletedTreeRoot && m.drive->SpareDir1 && m.drive->SpareDir2);
  EXPECT_FALSE(m.drive->RootDir->Children);
  ASSERT_TRUE(m.drive->SpareDir1->Children);
  EXPECT_TRUE(m.drive->SpareDir1->Children->empty());
}

TEST(FatMount, RejectedBootSectorStillGetsStartItemsUnreadableGetsNone) {
  FatImage img = FatImage::Make(1, 100);
  img.bytes[13] = 0;
  MountedFat rejected(img);
  EXPECT_FALSE(rejected.mounted);
  EXPECT_TRUE(rejected.drive->RootDir);
  Source().failing.insert(0);
  TFATdrive d;
  d.Device = rejected.device.get();
  EXPECT_FALSE(d.MountDrive(false));
  EXPECT_FALSE(d.RootDir);
}

TEST(FatTable, Fat12EntriesPackedAndStraddlingSectors) {
  FatImage img = FatImage::Make(1, 2000);
  img.SetFAT(2, 0xABC);
  img.SetFAT(3, 0x123);
  img.SetFAT(340, 0x456);
  img.SetFAT(341, 0xDEF);  // E = 511: the entry's second byte is in the next sector
  MountedFat m(img);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->GetFAT(2, 0), 0xABCu);
  EXPECT_EQ(m.drive->GetFAT(3, 0), 0x123u);
  EXPECT_EQ(m.drive->GetFAT(341, 0), 0xDEFu);
  EXPECT_EQ(m.drive->GetFAT(340, 0), 0x456u);
  EXPECT_EQ(m.drive->GetFAT(341, 1), 0xDEFu);  // second copy
}

TEST(FatTable, Fat32DropsTopBitsAndRangeIsCheckedBeforeReading) {
  FatImage img = FatImage::Make(3, 70000);
  img.SetFAT(10, 0xF0000005);
  MountedFat m(img);
  ASSERT_TRUE(m.mounted);
  EXPECT_EQ(m.drive->GetFAT(10, 0), 5u);
  const int before = Source().reads;
  EXPECT_EQ(m.drive->GetFAT(1, 0), 0u);
  EXPECT_EQ(m.drive->GetFAT(m.drive->ClusterCount + 2, 0), 0u);
  EXPECT_EQ(Source().reads, before);
  EXPECT_EQ(ClassifyFATEntry(3, 0x0FFFFFF8), fatEntryEndOfChain);
  EXPECT_EQ(ClassifyFATEntry(3, 0x0FFFFFF7), fatEntryBad);
  EXPECT_EQ(ClassifyFATEntry(2, 0xFFF0), fatEntryUsed);
  EXPECT_EQ(ClassifyFATEntry(1, 0), fatEntryFree);
}

TEST(FatTable, UnreadableFatSectorEndsTheChain) {
  FatImage img = FatImage::Make(2, 5000);
  img.Chain(10, 3);
  MountedFat m(img);
  Source().failing.insert(img.reserved);  // first sector of FAT copy 0
  EXPECT_TRUE(m.drive->IsEOF(m.drive->GetFAT(10, 0)));
  Source().failing.clear();
  EXPECT_EQ(m.drive->GetFAT(10, 0), 11u);  // the failure was not cached
}

TEST(FatTable, RecPosClusterFollowsChainOrContiguousClusters) {
  FatImage img = FatImage::Make(2, 5000, 2);
  img.SetFAT(10, 20);
  img.SetFAT(20, 30);
  img.SetFAT(30, img.Eoc());
  MountedFat m(img);
  uint32_t c = 10;
  EXPECT_TRUE(m.drive->GetRecPosCluster(c, 1023, 1));
  EXPECT_EQ(c, 10u);
  EXPECT_TRUE(m.drive->GetRecPosCluster(c = 10, 2100, 1));
  EXPECT_EQ(c, 30u);
  EXPECT_FALSE(m.drive->GetRecPosCluster(c = 10, 3072, 1));
  EXPECT_EQ(c, 10u);
  EXPECT_TRUE(m.drive->GetRecPosCluster(c = 10, 3072, 0));
  EXPECT_EQ(c, 13u);
}

}  // namespace
