// Physical sector I/O: 64 KiB chunks in 512-byte units, the
// Abort/Retry/Ignore question and the drive numbering.
#include <gtest/gtest.h>

#include "Pdiskio.h"
#include "ScriptedSource.h"
#include "WinApi.h"

namespace {

class Pdiskio : public testing::Test {
 protected:
  void SetUp() override {
    PdiskioInitialization();
    BindPhysicalDrive(0, disk0);
    BindPhysicalDrive(1, disk1);
  }
  void TearDown() override {
    PdiskioFinalization();
    SetDialogHandler(nullptr);
    UnbindPhysicalDrive(0);
    UnbindPhysicalDrive(1);
  }

  // Answers from the list in turn, recording every question.
  void Answer(std::vector<int> answers) {
    SetDialogHandler([this, answers, i = size_t{0}](const DialogRequest& r) mutable {
      asked.push_back(r);
      return i < answers.size() ? answers[i++] : IDABORT;
    });
  }

  std::shared_ptr<ScriptedSource> disk0 = std::make_shared<ScriptedSource>(1000 * 512, true);
  std::shared_ptr<ScriptedSource> disk1 = std::make_shared<ScriptedSource>(1000 * 512);
  std::vector<DialogRequest> asked;
};

TEST_F(Pdiskio, DriveNumbersNameDisksAndFloppies) {
  uint8_t sector[512];
  ASSERT_TRUE(ReadPhysicalSectors(129, 0, 1, sector, false));
  EXPECT_EQ(disk1->reads.size(), 1u);
  EXPECT_TRUE(disk0->reads.empty());
  EXPECT_FALSE(ReadPhysicalSectors(130, 0, 1, sector, false));  // nothing bound as disk 2
  {
    auto floppy = std::make_shared<ScriptedSource>(2880 * 512);
    ScopedLetter a('A', floppy, DRIVE_REMOVABLE);
    ASSERT_TRUE(ReadPhysicalSectors(0, 0, 1, sector, false));
    EXPECT_EQ(floppy->reads.size(), 1u);
    TPhysDriveParams p{};
    ASSERT_TRUE(GetPhysDriveParams(0, p));
    EXPECT_EQ(std::tuple(p.MediaKind, p.Cylinders), std::tuple(1, 80u));
  }
  for (uint8_t n : {2, 127}) {
    EXPECT_FALSE(ReadPhysicalSectors(n, 0, 1, sector, true)) << int(n);
    TPhysDriveParams p{};
    EXPECT_FALSE(GetPhysDriveParams(n, p));
  }
  EXPECT_TRUE(asked.empty());
  TPhysDriveParams p{};
  ASSERT_TRUE(GetPhysDriveParams(128, p));
  EXPECT_EQ(std::tuple(p.TotalSectors, p.MediaKind), std::tuple(1000u, 3));
}

TEST_F(Pdiskio, RetryRepeatsTheSameChunkWithTheExactQuestion) {
  Answer({IDRETRY, IDRETRY});
  disk0->failReads = {1};
  disk0->shortReads = {{2, 100}};  // a short transfer is a failure too
  std::vector<uint8_t> buf(200 * 512);
  ASSERT_TRUE(ReadPhysicalSectors(128, 63, 200, buf.data(), true));
  ASSERT_EQ(disk0->reads.size(), 4u);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(disk0->reads[i].offset, 63u * 512 + 65536) << i;
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(std::tuple(asked[0].text, asked[0].caption, asked[0].type, asked[0].buttons),
            std::tuple("error no.30\r\ndrv:128 LBA:63 blocks:200\r\n\r\nAbort, Retry or Ignore?", "NT_read error",
                       TMsgDlgType::mtCustom, unsigned{mbAbort | mbRetry | mbIgnore}));
  for (size_t i = 0; i < buf.size(); i += 509) ASSERT_EQ(buf[i], ScriptedSource::Pattern(63 * 512 + i));
}

TEST_F(Pdiskio, IgnoreCountsTheChunkAndGoesOnWhileAbortStopsAtOnce) {
  Answer({IDIGNORE});
  disk0->shortReads = {{0, 512}};
  std::vector<uint8_t> buf(200 * 512);
  EXPECT_TRUE(ReadPhysicalSectors(128, 0, 200, buf.data(), true));
  ASSERT_EQ(disk0->reads.size(), 2u);
  EXPECT_EQ(disk0->reads[1].offset, 65536u);  // the next chunk from where it belongs
  EXPECT_EQ(buf[65536 + 3], ScriptedSource::Pattern(65536 + 3));

  disk0->reads.clear();
  disk0->failReads = {0};
  Answer({IDABORT});
  EXPECT_FALSE(ReadPhysicalSectors(128, 0, 200, buf.data(), true));
  EXPECT_EQ(disk0->reads.size(), 1u);

  // Without showErrors, or without a handler, a failed chunk ends it.
  for (bool showErrors : {false, true}) {
    SetDialogHandler(nullptr);
    disk0->reads.clear();
    EXPECT_FALSE(ReadPhysicalSectors(128, 0, 200, buf.data(), showErrors));
    EXPECT_EQ(disk0->reads.size(), 1u);
  }
}

TEST_F(Pdiskio, WritesReopenForWritingAndAskUnderTheirOwnCaption) {
  std::vector<uint8_t> buf(200 * 512, 0x77);
  uint8_t sector[512];
  ASSERT_TRUE(ReadPhysicalSectors(128, 0, 1, sector, false));
  ASSERT_TRUE(WritePhysicalSectors(128, 10, 200, buf.data(), false, false));
  EXPECT_EQ(disk0->Bytes()[10 * 512 + 70000], 0x77);

  Answer({IDIGNORE});
  disk0->failWrites = {2};
  EXPECT_TRUE(WritePhysicalSectors(128, 0, 200, buf.data(), false, true));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].caption, "NT_write error");
  EXPECT_EQ(disk0->writes.back().offset, 65536u);

  EXPECT_FALSE(WritePhysicalSectors(129, 0, 1, sector, false, true));  // disk 1 is read-only
  EXPECT_TRUE(disk1->writes.empty());
}

}  // namespace
