// Reading file data by chain or as contiguous clusters, and the stream; the
// source behind the FAT letter for the whole suite.
#include "FatTestImage.h"

namespace {
const auto source = std::make_shared<ScriptedSource>();
const auto* const environment = ::testing::AddGlobalTestEnvironment(new BoundSources({{kFatLetter, source}}));

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

// Clusters 10, 20, 30: read whole in pieces that meet the cluster ends or
// not, and through the stream from each seek origin.
TEST_F(ReaderFixture, FragmentedChainReadsWholeAndSeeksFromEachOrigin) {
  std::vector<uint8_t> expected;
  for (uint32_t c : {10u, 20u, 30u}) {
    img.Fill(c, 1, uint8_t(c));
    img.SetFAT(c, c == 30 ? img.Eoc() : c + 10);
    auto part = Expected(c, 1024);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  expected.resize(3000);
  MountedFat m(img);
  for (uint32_t piece : {1u, 500u, 1500u}) {
    TFATFileInfo info;
    m.drive->ResetByCluster(10, 3000, info);
    EXPECT_EQ(ReadAll(*m.drive, info, piece, 1), expected) << piece;
  }
  TFATStream stream(m.drive.get(), 10, 3000, 1);
  struct Case { int32_t offset; uint16_t origin; int32_t position; };
  // A read moves the reader only: "current" is where the last Seek left it.
  const Case cases[] = {{100, soFromBeginning, 100}, {50, soFromCurrent, 150}, {-10, soFromEnd, 2990},
                        {-990, soFromCurrent, 2000}, {7, 9, 2000}};  // an unknown origin keeps the position
  for (const Case& c : cases) {
    EXPECT_EQ(stream.Seek(c.offset, c.origin), c.position) << c.offset << " from " << c.origin;
    uint8_t b = 0;
    ASSERT_EQ(stream.Read(&b, 1), 1);
    EXPECT_EQ(b, expected[c.position]);
  }
  uint8_t rest[64];  // the end cuts a read short; the stream is read-only
  EXPECT_EQ(stream.Seek(-10, soFromEnd), 2990);
  EXPECT_EQ(stream.Read(rest, 64), 10);
  EXPECT_THROW(stream.Write(rest, 1), EAbstractError);
}

TEST_F(ReaderFixture, BrokenChainsAndUnreadableSectorsEndWithAShortReadAndFatNumberZeroIgnoresChains) {
  img.Fill(10, 3, 6);
  img.SetFAT(10, 11);
  img.SetFAT(11, 10);  // a loop under an absurd size: no cluster is read twice
  img.SetFAT(40, 1);   // points at a reserved cluster
  img.Chain(50, 2);
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
  // An unreadable sector ends the read after the bytes before it.
  Source().failingSectors.insert(img.FirstData() + (51 - 2) * 2 + 1);  // second sector of cluster 51
  m.drive->ResetByCluster(50, 2048, info);
  std::vector<uint8_t> buf(4096);
  uint32_t n = 0;
  EXPECT_TRUE(m.drive->BlockRead(info, 4096, buf.data(), 1, n));
  EXPECT_EQ(n, 1536u);
  EXPECT_FALSE(m.drive->BlockRead(info, 4096, buf.data(), 1, n));
  EXPECT_EQ(n, 0u);
}

TEST_F(ReaderFixture, FourKiBSectorsOnA512ByteDevice) {
  img = FatImage::Make(2, 5000, 1, 4096);
  img.Short(0, 0, "BIG     BIN", faArchive, 5, 10000);
  img.Fill(5, 3, 9);
  img.Chain(5, 3);
  MountedFat m(img);
  ASSERT_NE(m.Child<TFATFile>(m.Root(), "BIG.BIN"), nullptr);
  TFATFileInfo info;
  m.drive->ResetByCluster(5, 10000, info);
  EXPECT_EQ(ReadAll(*m.drive, info, 20000, 1), Expected(5, 10000));
}

}  // namespace

ScriptedSource& Source() { return *source; }
