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
  b.TotalSectors32 = 1 + 200 + 32 + clusters * spc;
  return b;
}

TEST(FatGeometry, TypeAndClusterSizeFollowTheBootSector) {
  struct Case { uint32_t clusters; uint8_t spc; uint16_t bps; int type; uint32_t clusterBytes; };
  const Case cases[] = {{4084, 1, 512, 1, 512},     {4085, 1, 512, 2, 512},    {65524, 1, 512, 2, 512},
                        {65525, 1, 512, 3, 512},    {1000, 64, 512, 1, 32768},
                        {1000, 128, 512, 1, 65536}, {1000, 8, 4096, 1, 32768}};
  for (const Case& c : cases) {
    LogCapture log;
    TFATdrive d;
    ASSERT_TRUE(d.CalcDriveInfo(BootFor(c.clusters, c.spc, c.bps))) << c.clusters;
    if (c.bps == 512) {
      EXPECT_EQ(d.ClusterCount, c.clusters);  // from TotalSectors32, as TotalSectors16 is 0
    }
    EXPECT_EQ(d.FATType, c.type) << c.clusters;
    EXPECT_EQ(d.BytesPerCluster, c.clusterBytes);
    EXPECT_EQ(d.DirBuffer.size(), c.bps);
    if (c.type != 3 && c.bps == 512 && c.spc < 128) {
      EXPECT_TRUE(log.lines.empty()) << c.clusters;  // FAT32 here lacks a root cluster
    }
  }
}

TEST(FatGeometry, BadBootParametersAreRefusedWithTheirLine) {
  LogCapture log;
  TFATdrive d;
  TBootSec b = BootFor(1000);
  b.BytesPerSector = 0;
  EXPECT_FALSE(d.CalcDriveInfo(b));
  EXPECT_TRUE(log.Has("bad parameter in boot sector: Bytes Per Sector = 0 ! (FATdrive.CalcDriveInfo)"));
  b = BootFor(1000);
  b.SectorsPerCluster = 0;
  EXPECT_FALSE(d.CalcDriveInfo(b));
  EXPECT_TRUE(log.Has("bad parameter in boot sector: Sectors Per Cluster = 0 ! (FATdrive.CalcDriveInfo)"));
  EXPECT_EQ(d.ClusterCount, 0u);
  EXPECT_FALSE(d.CalcDriveInfo(BootFor(1000, 1, 1000)));  // not a sector size anyone formats
  // FAT32 with root cluster 0: logged, still mounted.
  b = BootFor(70000);
  b.SectorsPerFAT16 = 0;
  b.SectorsPerFAT32 = 100;
  b.RootEntries = 0;
  ASSERT_TRUE(d.CalcDriveInfo(b));
  EXPECT_EQ(d.FATType, 3);
  EXPECT_TRUE(log.Has("bad parameter in boot sector: root directory cluster 0 < 2 ! (FATdrive.CalcDriveInfo)"));
  EXPECT_EQ(d.RootStartSector, d.FirstDataSector - 2);
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

TEST(FatMount, StartItemsExistUnlessTheBootSectorIsUnreadable) {
  LogCapture log;
  MountedFat m(FatImage::Make(2, 5000));
  ASSERT_TRUE(m.mounted);
  EXPECT_TRUE(log.Has("Mounting drive: FATLABEL    (TFATdrive.MountDrive)"));
  ASSERT_TRUE(m.drive->RootDir && m.drive->DeletedTreeRoot && m.drive->SpareDir1 && m.drive->SpareDir2);
  EXPECT_FALSE(m.drive->RootDir->Children);
  ASSERT_TRUE(m.drive->SpareDir1->Children);
  EXPECT_TRUE(m.drive->SpareDir1->Children->empty());

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

TEST(FatTable, EntriesDecodeForEachTypeAndRangeIsCheckedBeforeReading) {
  FatImage f12 = FatImage::Make(1, 2000);
  f12.SetFAT(2, 0xABC);
  f12.SetFAT(3, 0x123);
  f12.SetFAT(341, 0xDEF);  // the entry's second byte is in the next sector
  MountedFat m12(f12);
  ASSERT_TRUE(m12.mounted);
  EXPECT_EQ(m12.drive->GetFAT(2, 0), 0xABCu);
  EXPECT_EQ(m12.drive->GetFAT(3, 0), 0x123u);
  EXPECT_EQ(m12.drive->GetFAT(341, 0), 0xDEFu);
  EXPECT_EQ(m12.drive->GetFAT(341, 1), 0xDEFu);  // second copy

  FatImage f32 = FatImage::Make(3, 70000);
  f32.SetFAT(10, 0xF0000005);
  MountedFat m32(f32);
  ASSERT_TRUE(m32.mounted);
  EXPECT_EQ(m32.drive->GetFAT(10, 0), 5u);  // top bits dropped
  const int before = Source().reads;
  EXPECT_EQ(m32.drive->GetFAT(1, 0), 0u);
  EXPECT_EQ(m32.drive->GetFAT(m32.drive->ClusterCount + 2, 0), 0u);
  EXPECT_EQ(Source().reads, before);
}

TEST(FatTable, UnreadableFatSectorEndsTheChainWithoutBeingCached) {
  FatImage img = FatImage::Make(2, 5000);
  img.Chain(10, 3);
  MountedFat m(img);
  Source().failing.insert(img.reserved);  // first sector of FAT copy 0
  EXPECT_TRUE(m.drive->IsEOF(m.drive->GetFAT(10, 0)));
  Source().failing.clear();
  EXPECT_EQ(m.drive->GetFAT(10, 0), 11u);
}

}  // namespace
