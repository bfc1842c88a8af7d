// moxvolscan info on volumes made by the real formatters.
#include <gtest/gtest.h>

#include <cstdio>

#include "ScratchDir.h"

namespace {

std::string RunTool(const std::string& args, int& status) {
  std::string out;
  FILE* p = ::popen((std::string(MOX_TOOL_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  status = ::pclose(p);
  return out;
}

TEST(InfoCommand, FatAndNtfsImagesShowTheirSizesAndFileSystems) {
  ScratchDir dir;
  const std::string fat = dir / "fat.img", ntfs = dir / "ntfs.img";
  ASSERT_TRUE(RunQuietly("mkfs.fat -C -F 32 -n MOXFAT -i 00C0FFEE " + fat + " 40000"));
  ASSERT_TRUE(RunQuietly("truncate -s 12M " + ntfs + " && mkntfs -F -f -q " + ntfs));

  int status = -1;
  std::string out = RunTool("info --json " + fat, status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("\"file_system\":\"FAT32\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"label\":\"MOXFAT\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"serial\":12648430"), std::string::npos) << out;
  EXPECT_NE(out.find("\"total_sectors\":80000,"), std::string::npos) << out;
  EXPECT_NE(out.find("\"size\":40960000}"), std::string::npos) << out;

  out = RunTool("info " + ntfs, status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("file system:       NTFS\n"), std::string::npos) << out;
  EXPECT_NE(out.find("total sectors:     24576\n"), std::string::npos) << out;
  EXPECT_NE(out.find("size:              12582912 bytes\n"), std::string::npos) << out;
}

TEST(InfoCommand, UsageAndUnreadablePaths) {
  int status = -1;
  RunTool("info", status);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  ScratchDir dir;
  RunTool("info " + (dir / "missing"), status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // Not a volume: the size is still reported, the file system is not.
  ASSERT_TRUE(RunQuietly("truncate -s 1M " + (dir / "blank")));
  const std::string out = RunTool("info --json " + (dir / "blank"), status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(out.find("\"file_system\":null"), std::string::npos) << out;
  EXPECT_NE(out.find("\"total_sectors\":2048,"), std::string::npos) << out;
}

}  // namespace
