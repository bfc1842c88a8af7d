// moxvolscan info on volumes made by the real formatters.
#include <gtest/gtest.h>

#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

TEST(InfoCommand, FatAndNtfsImagesShowTheirSizesAndFileSystems) {
  ScratchDir dir;
  const std::string fat = dir / "fat.img", ntfs = dir / "ntfs.img";
  ASSERT_TRUE(RunQuietly("mkfs.fat -C -F 32 -n MOXFAT -i 00C0FFEE " + fat + " 40000"));
  ASSERT_TRUE(RunQuietly("truncate -s 12M " + ntfs + " && mkntfs -F -f -q " + ntfs));

  ToolResult r = RunTool({"info", "--json", fat});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* field : {"\"file_system\":\"FAT32\"", "\"label\":\"MOXFAT\"", "\"serial\":12648430",
                            "\"total_sectors\":80000,", "\"size\":40960000}"})
    EXPECT_NE(r.out.find(field), std::string::npos) << field << " in " << r.out;

  r = RunTool({"info", ntfs});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* line : {"file system:       NTFS\n", "total sectors:     24576\n",
                           "size:              12582912 bytes\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in " << r.out;
}

TEST(InfoCommand, UsageAndUnreadablePaths) {
  EXPECT_EQ(RunTool({"info"}).exitCode, 2);
  ScratchDir dir;
  EXPECT_EQ(RunTool({"info", dir / "missing"}).exitCode, 1);
  // Not a volume: the size is still reported, the file system is not.
  ASSERT_TRUE(RunQuietly("truncate -s 1M " + (dir / "blank")));
  const ToolResult r = RunTool({"info", "--json", dir / "blank"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("\"file_system\":null"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"total_sectors\":2048,"), std::string::npos) << r.out;
}

}  // namespace
