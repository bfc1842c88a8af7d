// What the program says of sources it cannot read whole: an image cut short,
// a folder or an empty file where an image belongs, a file system not read here.
#include <gtest/gtest.h>

#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

constexpr auto npos = std::string::npos;

// A file first, so that the folder made after it lies past the cut.
TEST(DamagedSource, ACutFatImageIsToldOnceAndWhatLiesPastItIsNamed) {
  ScratchDir dir;
  const std::string img = dir / "card.img", cut = dir / "cut.img";
  const std::string big = dir / "big";
  ASSERT_TRUE(RunQuietly("export MTOOLS_SKIP_CHECK=1; mkfs.fat -C -F 16 " + img + " 16384 && head -c 600000 /dev/zero > " +
                         big + " && mcopy -i " + img + " " + big + " :: && mmd -i " + img + " ::/Late && mcopy -i " +
                         img + " " + big + " ::/Late/"));
  WriteHostFile(cut, ReadHostFile(img).substr(0, 400000));
  const std::string told = ": " + cut + ": the image holds 390.6 KiB of the 16.0 MiB volume; data past that is missing\n";
  const ToolResult ls = RunTool({"ls", cut});
  EXPECT_EQ(ls.exitCode, 1);
  EXPECT_EQ(ls.err, "moxvolscan ls" + told + "moxvolscan ls: Late: the folder could not be read completely\n");
  EXPECT_NE(ls.out.find(" big\n"), npos) << ls.out;

  // The reason is the cut, not the chain (another FAT copy reads the same bytes).
  const ToolResult cat = RunTool({"cat", cut, "big"});
  EXPECT_EQ(cat.exitCode, 1);
  EXPECT_EQ(cat.err, "moxvolscan cat" + told + "moxvolscan cat: big: only " + std::to_string(cat.out.size()) +
                         " of 600000 bytes could be read (the image holds 390.6 KiB of the 16.0 MiB volume; data "
                         "past that is missing)\n");

  const ToolResult scan = RunTool({"scan", "--count", "--api", "vfat", cut});
  EXPECT_EQ(scan.exitCode, 1);
  EXPECT_NE(scan.err.find(cut + ": the scan could not read the whole volume: the image holds"), npos) << scan.err;
  EXPECT_EQ(RunTool({"scan", "--count", "--api", "vfat", img}).exitCode, 0);

  // A FAT16 root region of no entries holds nothing to list: not an empty volume.
  std::string noRoot = ReadHostFile(img);
  noRoot[0x11] = noRoot[0x12] = 0;
  WriteHostFile(dir / "noroot.img", noRoot);
  const ToolResult root = RunTool({"ls", dir / "noroot.img"});
  EXPECT_EQ(root.exitCode, 1);
  EXPECT_EQ(root.out, "");
  EXPECT_NE(root.err.find("noroot.img"), std::string::npos) << root.err;
}

// Every command names what it found, in the same words.
TEST(DamagedSource, FoldersEmptyFilesAndOtherFileSystemsAreNamed) {
  ScratchDir dir;
  const std::string empty = dir / "empty.img", ext = dir / "ext.img";
  ASSERT_TRUE(RunQuietly("touch " + empty + " && truncate -s 4M " + ext + " && mkfs.ext4 -q -F " + ext));
  const std::pair<std::string, std::string> cases[] = {
      {empty, "is empty"},
      {dir.path(), "is a folder, not an image or device; use scan"},
      {ext, "an ext2/ext3/ext4 file system, neither FAT nor NTFS; this program reads FAT and NTFS volumes"}};
  for (const auto& [path, said] : cases)
    for (const std::vector<std::string>& args : {std::vector<std::string>{"ls", path}, {"cat", path, "x"}}) {
      const ToolResult r = RunTool(args);
      EXPECT_EQ(r.exitCode, 1) << args[0] << " " << path;
      EXPECT_EQ(r.err, "moxvolscan " + args[0] + ": " + path + ": " + said + "\n");
    }
  for (const std::string& path : {empty, ext}) {
    const ToolResult info = RunTool({"info", path});
    EXPECT_EQ(info.exitCode, 1) << path;
    EXPECT_NE(info.err.find(path + ": " + (path == ext ? cases[2].second : cases[0].second)), npos) << info.err;
  }
}

// A file system not read here has one name in every command, the one its
// first bytes give: as an image and as a partition of a disk.
TEST(DamagedSource, AFileSystemNotReadHereHasOneNameInEveryCommand) {
  ScratchDir dir;
  const std::string ext = dir / "ext.img", disk = dir / "disk.img", name = "ext2/ext3/ext4";
  ASSERT_TRUE(RunQuietly("truncate -s 4M " + ext + " && mkfs.ext4 -q -F " + ext + " && truncate -s 6M " + disk +
                         " && echo 'start=2048, size=8192, type=83' | sfdisk -q " + disk + " && dd if=" + ext +
                         " of=" + disk + " bs=512 seek=2048 conv=notrunc status=none"));
  EXPECT_NE(RunTool({"info", ext}).out.find("file system:       " + name + "\n"), npos);
  EXPECT_NE(RunTool({"ls", ext}).err.find(ext + ": an " + name + " file system, neither"), npos);
  EXPECT_NE(RunTool({"drives", ext}).out.find("  " + name + "  (not FAT or NTFS)  " + ext + "\n"), npos);
  const ToolResult ls = RunTool({"ls", disk});
  EXPECT_NE(ls.err.find("choose one with --partition N: 1 (" + name + ", 4.0 MiB at sector 2048)"), npos) << ls.err;
  EXPECT_NE(RunTool({"info", disk, "--partition", "1"}).out.find("file system:       " + name + "\n"), npos);
  EXPECT_NE(RunTool({"drives", disk}).out.find("  " + name + "  (not FAT or NTFS)  " + disk + " partition 1\n"), npos);
}

}  // namespace
