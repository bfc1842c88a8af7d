// A volume whose first sector is zeroed is read through the copy of its boot
// sector that FAT32 (sector 6) and NTFS (the last sector) keep.
#include <gtest/gtest.h>

#include "OracleSupport.h"

using namespace oracle;

namespace {

// Zeroes the first 512 bytes of a copy of image; returns the copy.
std::string Zeroed(const ScratchDir& dir, const std::string& image, const std::string& name) {
  std::string bytes = ReadHostFile(image);
  bytes.replace(0, 512, std::string(512, '\0'));
  WriteHostFile(dir / name, bytes);
  return dir / name;
}

TEST(BackupBootSector, Fat32AndNtfsWithAZeroedFirstSectorReadAsTheWholeVolume) {
  ScratchDir dir;
  const std::string make =
      "set -e; cd " + dir.path() + "; mkfs.fat -F 32 -C fat32.img 40000 >/dev/null; printf hello >h; " +
      "mcopy -i fat32.img h ::HELLO.TXT; mkfs.fat -F 16 -C fat16.img 40000 >/dev/null; " +
      "xz -dc " + MOX_SOURCE_DIR + "/tests/fixtures/ntfs/ntfs512.img.xz >ntfs.img";
  ASSERT_EQ(RunProgram({"bash", "-c", make}).exitCode, 0);
  for (const auto& [image, copy] : {std::pair{"fat32.img", "FAT32 copy at sector 6"},
                                    std::pair{"ntfs.img", "NTFS copy at sector 16383"}}) {
    const std::string whole = dir / image, zeroed = Zeroed(dir, whole, std::string("zeroed-") + image);
    const ToolResult intact = RunTool({"ls", whole, "--deleted"}), ls = RunTool({"ls", zeroed, "--deleted"});
    EXPECT_EQ(ls.exitCode, 0) << image << ls.err;
    EXPECT_EQ(ls.out, intact.out) << image;
    EXPECT_EQ(ls.err, "moxvolscan ls: " + zeroed + ": no usable boot sector at sector 0; read through its " + copy +
                          "\n");
    // info names the file system and looks at the volume once.
    const ToolResult info = RunTool({"info", zeroed});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find(std::string("file system:       ") + (image[0] == 'f' ? "FAT32" : "NTFS")),
              std::string::npos)
        << info.out;
    EXPECT_EQ(std::count(info.err.begin(), info.err.end(), '\n'), 1) << info.err;
  }
  EXPECT_EQ(RunTool({"cat", dir / "zeroed-fat32.img", "HELLO.TXT"}).out, "hello");
  // FAT16 keeps no copy.
  const std::string fat16 = Zeroed(dir, dir / "fat16.img", "zeroed-fat16.img");
  const ToolResult none = RunTool({"ls", fat16});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.err.find("copy"), std::string::npos) << none.err;
}

}  // namespace
