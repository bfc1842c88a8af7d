// Logical sector I/O over letters bound to scripted sources and image files.
#include <gtest/gtest.h>

#include "Ldiskio.h"
#include "ScriptedSource.h"
#include "WinApi.h"

namespace {

constexpr uint8_t kDriveQ = 'Q' - 64;
constexpr uint8_t kDriveR = 'R' - 64;

class Ldiskio : public testing::Test {
 protected:
  void SetUp() override { LdiskioInitialization(); }
  void TearDown() override { LdiskioFinalization(); }
};

void ExpectPattern(const std::vector<uint8_t>& buf, uint64_t sourceOffset, size_t from, size_t len) {
  for (size_t i = from; i < from + len; ++i)
    if (buf[i] != ScriptedSource::Pattern(sourceOffset + i)) {
      ADD_FAILURE() << "byte " << i << " differs";
      return;
    }
}

TEST_F(Ldiskio, LongReadsArriveWholeAndAShortTransferFailsTheRead) {
  auto src = std::make_shared<ScriptedSource>(4000 * 512);
  ScopedLetter q('Q', src);
  std::vector<uint8_t> buf(2500 * 512, 0xEE);
  ASSERT_TRUE(ReadLogicalSectors(kDriveQ, 10, 2500, buf.data()));
  ExpectPattern(buf, 10 * 512, 0, buf.size());

  // The second transfer comes up 1000 bytes long: what arrived is delivered,
  // nothing after it, and the read stops there.
  src->reads.clear();
  src->shortReads = {{1, 1000}};
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_FALSE(ReadLogicalSectors(kDriveQ, 0, 2500, buf.data()));
  EXPECT_EQ(src->reads.size(), 2u);
  ExpectPattern(buf, 0, 0, 512000 + 1000);
  EXPECT_EQ(buf[512000 + 1000], 0xEE);
  EXPECT_EQ(buf.back(), 0xEE);
  // 4 KiB sectors over more than one transfer: under ASan an overrun of the
  // transfer buffer fails here.
  ScopedLetter r('R', std::make_shared<ScriptedSource>(1200ull * 4096), DRIVE_FIXED, 4096);
  std::vector<uint8_t> large(1100ull * 4096);
  ASSERT_TRUE(ReadLogicalSectors(kDriveR, 50, 1100, large.data()));
  ExpectPattern(large, 50 * 4096, 0, large.size());
}

TEST_F(Ldiskio, EachDriveReadsItsOwnSourceEvenAfterRebindingAndWritesReopen) {
  auto first = std::make_shared<ScriptedSource>(64 * 512, true);
  auto second = std::make_shared<ScriptedSource>(64 * 512, true);
  auto other = std::make_shared<ScriptedSource>(64 * 512);
  ScopedLetter q('Q', first);
  ScopedLetter r('R', other);
  uint8_t sector[512];
  ASSERT_TRUE(ReadLogicalSectors(kDriveQ, 0, 1, sector));
  ASSERT_TRUE(ReadLogicalSectors(kDriveR, 0, 1, sector));
  ASSERT_TRUE(ReadLogicalSectors(kDriveQ, 2, 1, sector));
  EXPECT_EQ(first->reads.size(), 2u);
  // A rebound letter is read from its new source at once, not through the
  // handle kept for the old one.
  ASSERT_TRUE(BindDriveLetter('Q', DriveBinding{{}, second, DRIVE_FIXED, 512, {}}));
  ASSERT_TRUE(ReadLogicalSectors(kDriveQ, 4, 1, sector));
  EXPECT_EQ(first->reads.size(), 2u);
  EXPECT_EQ(second->reads.size(), 1u);

  // A write after a read reopens the volume for writing.
  std::fill(std::begin(sector), std::end(sector), 0x5A);
  ASSERT_TRUE(WriteLogicalSectors(kDriveQ, 3, 1, sector));
  ASSERT_EQ(second->writes.size(), 1u);
  EXPECT_EQ(second->writes[0].offset, 3u * 512);
  EXPECT_EQ(second->Bytes()[3 * 512 + 100], 0x5A);
  EXPECT_FALSE(WriteLogicalSectors(kDriveR, 0, 1, sector));  // R: is read-only
  EXPECT_TRUE(other->writes.empty());
}

TEST_F(Ldiskio, ReadsPastTheEndAndOfUnboundDrivesFail) {
  auto src = std::make_shared<ScriptedSource>(100 * 512);
  ScopedLetter q('Q', src);
  UnbindDriveLetter('R');
  std::vector<uint8_t> buf(4 * 512);
  EXPECT_TRUE(ReadLogicalSectors(kDriveQ, 99, 1, buf.data()));
  for (auto [drive, sector, count] : {std::tuple<uint8_t, uint32_t, uint16_t>{kDriveQ, 99, 2}, {kDriveQ, 100, 1},
                                      {kDriveQ, 0xFFFFFFFF, 1}, {kDriveR, 0, 1}, {0, 0, 1}, {27, 0, 1}})
    EXPECT_FALSE(ReadLogicalSectors(drive, sector, count, buf.data())) << int(drive) << " " << sector;
  TLogDriveParams p{};
  EXPECT_FALSE(GetLogDriveParams(kDriveR, p));
  // Sector counts beyond 32 bits are not reported.
  ScopedLetter r('R', std::make_shared<ScriptedSource>((1ull << 32) * 512));
  EXPECT_FALSE(GetLogDriveParams(kDriveR, p));
}

TEST_F(Ldiskio, DriveParametersFollowTheBinding) {
  struct Case { UINT type; uint64_t sectors; uint16_t mediaKind, removable; uint32_t heads, perTrack; } cases[] = {
      {DRIVE_FIXED, 255 * 63 * 3, 3, 0, 255, 63},
      {DRIVE_REMOVABLE, 5000, 2, 1, 1, 1},
      {DRIVE_REMOVABLE, 2880, 1, 1, 2, 18},  // a 1.44 MB floppy
  };
  for (const auto& c : cases) {
    ScopedLetter q('Q', std::make_shared<ScriptedSource>(c.sectors * 512), c.type);
    TLogDriveParams p{};
    ASSERT_TRUE(GetLogDriveParams(kDriveQ, p));
    EXPECT_EQ(std::tuple(p.TotalSectors, p.BytesPerSector, p.MediaKind, p.Removable, p.Heads, p.SectorsPerTrack),
              std::tuple(c.sectors, 512u, c.mediaKind, c.removable, c.heads, c.perTrack));
    EXPECT_EQ(uint64_t{p.Cylinders} * p.Heads * p.SectorsPerTrack, c.sectors);
  }
}

TEST_F(Ldiskio, CdRomsReportTheirSectorsOrAFullDiscWhenTheyCantSay) {
  for (auto [bytes, ok, sectors] : {std::tuple(3000 * 2048, true, 3000u), {0, false, 358400u}}) {  // 0: no disc
    ScopedLetter q('Q', std::make_shared<ScriptedSource>(bytes), DRIVE_CDROM, 2048);
    TLogDriveParams p{};
    EXPECT_EQ(GetLogDriveParams(kDriveQ, p), ok);
    EXPECT_EQ(std::tuple(p.MediaKind, p.TotalSectors), std::tuple(4, sectors));
  }
}

}  // namespace
