// Reading file data by chain or as contiguous clusters, and the stream.
#include "FatTestImage.h"

namespace {

struct ReaderFixture : ::testing::Test {
  FatImage img = FatImage::Make(2, 5000, 2);  // 1 KiB clusters
  std::vector<uint8_t> Expected(uint32_t cluster, uint32_t n) {
    return std::vector<uint8_t>(img.Cluster(cluster), img.Cluster(cluster) + n);
  }
  // Reads the whole file in pieces of `piece` bytes.
  static std::vector<uint8_t> ReadAll(TFATdrive& d, TFATFileInfo& info, uint32_t piece, uint8_t fat) {
    std::vector<uint8_t> out, buf(piece);
    uint32_t n = 0;
    while (d.BlockRead(info, piece, buf.data(), fat, n) && n > 0) out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
  }
};

TEST_F(ReaderFixture, FollowsAFragmentedChainInAnyPieceSize) {
  std::vector<uint8_t> expected;
  for (uint32_t c : {10u, 20u, 30u}) {
    img.Fill(c, 1, uint8_t(c));
    img.SetFAT(c, c == 30 ? img.Eoc() : c + 10);
    auto part = Expected(c, 1024);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  expected.resize(3000);
  MountedFat m(img);
  for (uint32_t piece : {1u, 500u, 512u, 1500u, 65536u}) {
    TFATFileInfo info;
    m.drive->ResetByCluster(10, 3000, info);
    EXPECT_EQ(ReadAll(*m.drive, info, piece, 1), expected) << piece;
    EXPECT_EQ(m.drive->filepos(info), 3000u);  // and a further read gives nothing
  }
  TFATFileInfo info;
  m.drive->ResetByCluster(10, 3000, info);
  ASSERT_TRUE(m.drive->Seek(info, 2100, 1));
  EXPECT_EQ(info.CurrentCluster, 30u);
  std::vector<uint8_t> tail(expected.begin() + 2100, expected.end());
  EXPECT_EQ(ReadAll(*m.drive, info, 100, 1), tail);
  EXPECT_FALSE(m.drive->Seek(info, 3000, 1));
  TFATFileInfo none;
  m.drive->ResetByCluster(0, 3000, none);
  EXPECT_FALSE(m.drive->Seek(none, 10, 1));
}

TEST_F(ReaderFixture, BrokenChainsEndWithAShortReadAndFatNumberZeroIgnoresThem) {
  img.Fill(10, 3, 6);
  img.SetFAT(10, 11);
  img.SetFAT(11, 10);  // a loop under an absurd size: no cluster is read twice
  img.SetFAT(40, 1);   // points at a reserved cluster
  MountedFat m(img);
  struct Case {
    uint32_t start, size;
    uint8_t fat;
    size_t bytes;
  } const cases[] = {{10, 0xFFFFFFFF, 1, 2048}, {40, 5000, 1, 1024},
                     {1, 5000, 1, 0},  // an entry pointing at cluster 1 has no data
                     {m.drive->ClusterCount + 1, 5000, 0, 1024}};  // the last cluster, then off the end
  for (const Case& c : cases) {
    TFATFileInfo info;
    m.drive->ResetByCluster(c.start, c.size, info);
    EXPECT_EQ(ReadAll(*m.drive, info, 4096, c.fat).size(), c.bytes) << c.start;
  }
  TFATFileInfo info;  // contiguous clusters, whatever the FAT holds
  m.drive->ResetByCluster(10, 3072, info);
  EXPECT_EQ(ReadAll(*m.drive, info, 4096, 0), Expected(10, 3072));
}

TEST_F(ReaderFixture, UnreadableSectorEndsTheReadAfterTheBytesBeforeIt) {
  img.Fill(10, 2, 7);
  img.Chain(10, 2);
  MountedFat m(img);
  Source().failingSectors.insert(img.FirstData() + (11 - 2) * 2 + 1);  // second sector of cluster 11
  TFATFileInfo info;
  m.drive->ResetByCluster(10, 2048, info);
  std::vector<uint8_t> buf(4096);
  uint32_t n = 0;
  EXPECT_TRUE(m.drive->BlockRead(info, 4096, buf.data(), 1, n));
  EXPECT_EQ(n, 1536u);
  EXPECT_FALSE(m.drive->BlockRead(info, 4096, buf.data(), 1, n));
  EXPECT_EQ(n, 0u);
}

TEST(FatLargeSectors, FourKiBSectorsOnA512ByteDevice) {
  FatImage img = FatImage::Make(2, 5000, 1, 4096);
  img.Short(0, 0, "BIG     BIN", faArchive, 5, 10000);
  img.Fill(5, 3, 9);
  img.Chain(5, 3);
  MountedFat m(img);
  ASSERT_TRUE(m.mounted);
  auto* f = m.Child<TFATFile>(m.Root(), "BIG.BIN");
  ASSERT_NE(f, nullptr);
  TFATFileInfo info;
  m.drive->ResetByCluster(f->StartCluster, 10000, info);
  std::vector<uint8_t> buf(20000);
  uint32_t n = 0;
  ASSERT_TRUE(m.drive->BlockRead(info, 20000, buf.data(), 1, n));
  ASSERT_EQ(n, 10000u);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 10000, img.Cluster(5)));
}

}  // namespace
