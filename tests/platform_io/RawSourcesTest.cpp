// Raw sources over image files, and the file-system names the platform reads
// from boot sectors and the mount table.
#include <gtest/gtest.h>

#include <cstring>

#include "BootSector.h"
#include "ScratchDir.h"
#include "ScriptedSource.h"
#include "Volumes.h"
#include "WinApi.h"

std::shared_ptr<RawSource> RawSourceForMountPoint(const std::string& dir, std::string& fsName);

namespace {

TEST(ImageSource, ReadsStopShortAtTheEndAndNeverWrite) {
  ScratchDir dir;
  WriteHostFile(dir / "img", std::string(1000, 'a') + "0123456789");
  auto src = OpenImageSource(dir / "img");
  ASSERT_TRUE(src);
  EXPECT_EQ(src->Size(), 1010u);
  char buf[32] = {};
  size_t done = 0;
  ASSERT_TRUE(src->ReadAt(1000, buf, 32, done));
  EXPECT_EQ(std::string(buf, done), "0123456789");
  ASSERT_TRUE(src->ReadAt(5000, buf, 32, done));
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(src->Writable());
  EXPECT_FALSE(src->WriteAt(0, "x", 1, done));
  EXPECT_EQ(OpenImageSource(dir.path()), nullptr);
  EXPECT_EQ(OpenImageSource(dir / "missing"), nullptr);
}

// Batched reads (submitted together where the kernel allows) must deliver
// exactly what one read at a time does: runs of adjacent pieces read as one
// are split back, more pieces than one submission holds, the source's end.
TEST(ImageSource, ManyPiecesAtOnceMatchReadsOneByOne) {
  ScratchDir dir;
  std::string bytes(300 * 1024 + 100, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 % 251);
  WriteHostFile(dir / "img", bytes);
  auto src = OpenImageSource(dir / "img");
  ASSERT_TRUE(src);
  std::vector<ReadPiece> pieces;
  std::vector<std::vector<char>> buffers(400, std::vector<char>(1024));
  std::vector<char> adjacent(200 * 512);
  for (size_t i = 0; i < 200; ++i) pieces.push_back({i * 512, adjacent.data() + i * 512, 512});
  for (size_t i = 0; i < 150; ++i) pieces.push_back({(i * 97 % 290) * 1024 + 3, buffers[i].data(), 1000});
  pieces.push_back({bytes.size() - 10, buffers[300].data(), 1024});  // runs off the end
  pieces.push_back({bytes.size() + 5, buffers[301].data(), 1024});   // wholly past it
  pieces.push_back({7, buffers[302].data(), 0});
  src->ReadManyAt(pieces.data(), pieces.size());
  for (const ReadPiece& p : pieces) {
    std::vector<char> one(p.len);
    size_t done = 0;
    ASSERT_TRUE(src->ReadAt(p.offset, one.data(), p.len, done));
    ASSERT_TRUE(p.ok) << p.offset;
    ASSERT_EQ(p.done, done) << p.offset;
    if (done) ASSERT_EQ(std::memcmp(p.buffer, one.data(), done), 0) << p.offset;
  }
}

TEST(MountPoints, PlainDirectoryHasNoDeviceAndAMountedOneIsNamed) {
  ScratchDir dir;
  std::string fsName = "stale";
  EXPECT_EQ(RawSourceForMountPoint(dir.path(), fsName), nullptr);
  EXPECT_EQ(fsName, "");
  // /proc is mounted everywhere we run and has no block device behind it.
  EXPECT_EQ(RawSourceForMountPoint("/proc", fsName), nullptr);
  EXPECT_EQ(fsName, "proc");
  // A directory inside a mount is named after the mount holding it.
  EXPECT_EQ(FileSystemNameFromMountTable("/proc/self"), "proc");
}

// The name read from boot sectors is judged by the detection and info tests.
// Unknown volumes: the factory's suite.
TEST(VolumeInformation, ForcedNameInBothWidthsAndUnboundVolumesFail) {
  char fs[16];
  {
    ScopedLetter letter('Q', std::make_shared<ScriptedSource>(4096), DRIVE_FIXED, 512, "FAT32");
    WCHAR wfs[16];
    ASSERT_TRUE(GetVolumeInformationW(u"Q:\\", nullptr, 0, nullptr, nullptr, nullptr, wfs, 16));
    EXPECT_EQ(std::u16string(wfs), u"FAT32");
    // Too small a buffer for the name is refused, not overrun.
    EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 3));
  }
  EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
}

TEST(BootSector, HostileFieldsAreNotTakenForFat) {
  uint8_t s[512] = {0xEB, 0x3C, 0x90};
  BootSectorInfo info;
  EXPECT_FALSE(ParseBootSector(s, sizeof s, info));  // all zero parameters
  s[11] = 0x00, s[12] = 0x02, s[13] = 3, s[14] = 1, s[16] = 2, s[17] = 16, s[22] = 9;  // 3 sectors per cluster
  EXPECT_FALSE(ParseBootSector(s, sizeof s, info));
  s[13] = 4;
  EXPECT_TRUE(ParseBootSector(s, sizeof s, info));
  EXPECT_EQ(info.fileSystemName, "FAT");
  EXPECT_FALSE(info.hasSerial);  // no extended parameter block
  EXPECT_FALSE(ParseBootSector(s, 100, info));
}

TEST(HostDevices, ImagesSayWhatDriveTheyAre) {
  ScratchDir dir;
  WriteHostFile(dir / "disk", std::string(40000, '\0'));
  std::string iso(40000, '\0');
  iso.replace(16 * 2048 + 1, 5, "CD001");
  WriteHostFile(dir / "cd", iso);
  UINT type = 0;
  uint32_t sectorSize = 0;
  ASSERT_TRUE(DescribeHostDevice(dir / "disk", type, sectorSize));
  EXPECT_EQ(std::pair(type, sectorSize), std::pair(UINT(DRIVE_FIXED), 512u));
  ASSERT_TRUE(DescribeHostDevice(dir / "cd", type, sectorSize));
  EXPECT_EQ(std::pair(type, sectorSize), std::pair(UINT(DRIVE_CDROM), 2048u));
  EXPECT_FALSE(DescribeHostDevice(dir.path(), type, sectorSize));
  EXPECT_FALSE(DescribeHostDevice(dir / "missing", type, sectorSize));
}

}  // namespace
