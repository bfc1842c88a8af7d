// Raw sources over image files, and the file-system names the platform reads
// from boot sectors and the mount table.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "BootSector.h"
#include "ScratchDir.h"
#include "ScriptedSource.h"
#include "Volumes.h"
#include "WinApi.h"

std::shared_ptr<RawSource> RawSourceForMountPoint(const std::string& dir, std::string& fsName);

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(ImageSource, ReadsStopShortAtTheEndAndWritesOnlyWhenAsked) {
  ScratchDir dir;
  WriteFile(dir / "img", std::string(1000, 'a') + "0123456789");
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

  auto rw = OpenImageSource(dir / "img", true);
  ASSERT_TRUE(rw->WriteAt(1008, "\x55\xAA", 2, done));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(ReadHostFile(dir / "img").substr(1000), "01234567\x55\xAA");
  EXPECT_EQ(OpenImageSource(dir.path()), nullptr);
  EXPECT_EQ(OpenImageSource(dir / "missing"), nullptr);
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

struct FormatCase {
  const char* what;
  const char* make;  // %s = image path
  const char* fsName;
  const char* label;
  uint32_t serial;
};

class Formatted : public testing::TestWithParam<FormatCase> {};

TEST_P(Formatted, VolumeInformationNamesTheFileSystemFromTheBootSector) {
  const auto& c = GetParam();
  ScratchDir dir;
  const std::string img = dir / "img";
  char cmd[512];
  std::snprintf(cmd, sizeof cmd, c.make, img.c_str());
  ASSERT_TRUE(RunQuietly(cmd)) << cmd;
  ScopedLetter letter('Q', OpenImageSource(img));
  char label[64], fs[16];
  DWORD serial = 0, maxLen = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationA("Q:\\", label, sizeof label, &serial, &maxLen, &flags, fs, sizeof fs));
  EXPECT_STREQ(fs, c.fsName);
  EXPECT_STREQ(label, c.label);
  if (c.serial) {
    EXPECT_EQ(serial, c.serial);
  }
  EXPECT_EQ(maxLen, 255u);

  WCHAR wfs[16];
  ASSERT_TRUE(GetVolumeInformationW(u"Q:\\", nullptr, 0, nullptr, nullptr, nullptr, wfs, 16));
  EXPECT_EQ(std::u16string(wfs), AnsiToWide(c.fsName));
  // Too small a buffer for the name is refused, not overrun.
  EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 3));
}

INSTANTIATE_TEST_SUITE_P(
    Formatters, Formatted,
    testing::Values(
        FormatCase{"fat12", "mkfs.fat -C -i 1234ABCD -n FLOPPY %s 1440", "FAT", "FLOPPY", 0x1234ABCD},
        FormatCase{"fat16", "mkfs.fat -C -F 16 -i 0BADF00D %s 20480", "FAT", "", 0x0BADF00D},
        FormatCase{"fat32", "mkfs.fat -C -F 32 -i CAFE0001 -n BIGDISK %s 66000", "FAT32", "BIGDISK", 0xCAFE0001},
        FormatCase{"ntfs", "dd if=/dev/zero of=%1$s bs=1M count=8 && mkntfs -F -f -q %1$s", "NTFS", "", 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(VolumeInformation, ForcedNameWinsAndUnknownOrUnboundVolumesFail) {
  auto blank = std::make_shared<ScriptedSource>(4096);
  char fs[16];
  {
    ScopedLetter letter('Q', blank);
    EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
  }
  {
    ScopedLetter letter('Q', blank, DRIVE_FIXED, 512, "FAT32");
    ASSERT_TRUE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
    EXPECT_STREQ(fs, "FAT32");
  }
  EXPECT_FALSE(GetVolumeInformationA("Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs));
}

TEST(BootSector, HostileFieldsAreNotTakenForFat) {
  uint8_t s[512] = {0xEB, 0x3C, 0x90};
  BootSectorInfo info;
  EXPECT_FALSE(ParseBootSector(s, sizeof s, info));  // all zero parameters
  s[11] = 0x00, s[12] = 0x02, s[13] = 3, s[14] = 1, s[16] = 2, s[22] = 9;  // 3 sectors per cluster
  EXPECT_FALSE(ParseBootSector(s, sizeof s, info));
  s[13] = 4;
  EXPECT_TRUE(ParseBootSector(s, sizeof s, info));
  EXPECT_EQ(info.fileSystemName, "FAT");
  EXPECT_FALSE(info.hasSerial);  // no extended parameter block
  EXPECT_FALSE(ParseBootSector(s, 100, info));
}

TEST(HostDevices, ImagesAndBlockDevicesSayWhatDriveTheyAre) {
  ScratchDir dir;
  WriteFile(dir / "disk", std::string(40000, '\0'));
  std::string iso(40000, '\0');
  iso.replace(16 * 2048 + 1, 5, "CD001");
  WriteFile(dir / "cd", iso);
  UINT type = 0;
  uint32_t sectorSize = 0;
  ASSERT_TRUE(DescribeHostDevice(dir / "disk", type, sectorSize));
  EXPECT_EQ(type, DRIVE_FIXED);
  EXPECT_EQ(sectorSize, 512u);
  ASSERT_TRUE(DescribeHostDevice(dir / "cd", type, sectorSize));
  EXPECT_EQ(type, DRIVE_CDROM);
  EXPECT_EQ(sectorSize, 2048u);
  EXPECT_FALSE(DescribeHostDevice(dir.path(), type, sectorSize));
  EXPECT_FALSE(DescribeHostDevice(dir / "missing", type, sectorSize));

  // A compressed RAM disk, where the machine has one.
  struct stat st {};
  if (::stat("/dev/zram0", &st) == 0 && S_ISBLK(st.st_mode)) {
    ASSERT_TRUE(DescribeHostDevice("/dev/zram0", type, sectorSize));
    EXPECT_EQ(type, DRIVE_RAMDISK);
    std::ifstream in("/sys/block/zram0/queue/logical_block_size");
    uint32_t expected = 0;
    in >> expected;
    EXPECT_EQ(sectorSize, expected);
  }
}

}  // namespace
