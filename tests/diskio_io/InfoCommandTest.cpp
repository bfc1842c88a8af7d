// moxvolscan info on volumes made by the real formatters.
#include <gtest/gtest.h>

#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

// NTFS volumes: the NTFS oracle suite.
TEST(InfoCommand, FatImagesShowTheirFileSystemOtherFilesOnlyTheirSize) {
  EXPECT_EQ(RunTool({"info"}).exitCode, 2);
  ScratchDir dir;
  const std::string fat = dir / "fat.img";
  ASSERT_TRUE(RunQuietly("mkfs.fat -C -F 32 -n MOXFAT -i 00C0FFEE " + fat + " 40000"));
  const ToolResult r = RunTool({"info", "--json", fat});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* field : {"\"file_system\":\"FAT32\"", "\"label\":\"MOXFAT\"", "\"serial\":12648430",
                            "\"total_sectors\":80000,", "\"size\":40960000,"})
    EXPECT_NE(r.out.find(field), std::string::npos) << field << " in " << r.out;
  EXPECT_EQ(RunTool({"info", dir / "missing"}).exitCode, 1);
  ASSERT_TRUE(RunQuietly("truncate -s 1M " + (dir / "blank")));
  const ToolResult blank = RunTool({"info", "--json", dir / "blank"});
  EXPECT_EQ(blank.exitCode, 0);
  EXPECT_NE(blank.out.find("\"file_system\":null"), std::string::npos) << blank.out;
  EXPECT_NE(blank.out.find("\"total_sectors\":2048,"), std::string::npos) << blank.out;
}

}  // namespace
