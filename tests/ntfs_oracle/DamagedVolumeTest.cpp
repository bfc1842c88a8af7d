// NTFS images cut short or with damaged indexes: what could not be read is
// said, and the status is 1; what is only oddly encoded reads whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ItemText.h"
#include "NtfsOracle.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;

namespace {

constexpr auto npos = std::string::npos;

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(NtfsDamaged, ACutImageIsToldOnceAndTheFoldersItLosesAreNamed) {
  ScratchDir dir;
  const std::string cut = dir / "cut.img";
  WriteHostFile(cut, Bytes(FixtureImage("ntfs4k")).substr(0, 1 << 20));
  const ToolResult ls = RunTool({"ls", cut});
  EXPECT_EQ(ls.exitCode, 1);
  EXPECT_EQ(ls.err, "moxvolscan ls: " + cut +
                        ": the image holds 1.0 MiB of the 16.0 MiB volume; data past that is missing\n"
                        "moxvolscan ls: /: the folder could not be read completely\n"
                        "moxvolscan ls: $OrphanFiles/many: the folder could not be read completely\n");
  const ToolResult info = RunTool({"info", cut});
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_NE(info.out.find("MFT records:"), npos);
  EXPECT_NE(info.err.find("the image holds 1.0 MiB"), npos);
}

// A zeroed index block loses its entries, and the folder says so; a boot
// sector whose index block size byte is off (0xF0: 64 KiB) changes nothing,
// since each index root gives its own.
TEST(NtfsDamaged, IndexBlocksThatCannotBeReadAreToldAndABadSizeByteIsNot) {
  const std::string source = FixtureImage("ntfs4k"), bytes = Bytes(source);
  const ToolResult whole = RunTool({"ls", source});
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  ScratchDir dir;
  std::string zeroed = bytes, badSize = bytes;
  size_t block = npos;
  for (size_t at = 0; at + 4096 <= bytes.size() && block == npos; at += 4096)
    if (bytes.compare(at, 4, "INDX") == 0) block = at;
  ASSERT_NE(block, npos);
  zeroed.replace(block, 4096, 4096, '\0');
  badSize[0x44] = char(0xF0);
  WriteHostFile(dir / "zeroed.img", zeroed);
  WriteHostFile(dir / "size.img", badSize);

  const ToolResult lost = RunTool({"ls", dir / "zeroed.img"});
  EXPECT_EQ(lost.exitCode, 1);
  EXPECT_NE(lost.err.find(": the folder could not be read completely\n"), npos) << lost.err;
  // What the block listed is gone from its folder; the records, still in
  // use, are found again under $OrphanFiles.
  EXPECT_NE(lost.out, whole.out);
  EXPECT_NE(lost.out.find("$OrphanFiles/"), npos);
  const ToolResult same = RunTool({"ls", dir / "size.img"});
  EXPECT_EQ(same.exitCode, 0) << same.err;
  EXPECT_EQ(same.out, whole.out);
}

// The scanner's one finish flag carries a scan that could not read the MFT.
TEST(NtfsDamaged, AScanThatCannotReadTheMftFails) {
  MountedNtfs m(FixtureImage("ntfs4k"));
  ASSERT_TRUE(m.mounted());
  const uint64_t mft = uint64_t(m.drive().MftStartLcn()) * m.drive().BytesPerCluster;
  ScratchDir dir;
  std::string bytes = Bytes(FixtureImage("ntfs4k"));
  bytes.replace(mft, 4, "BAAD");
  WriteHostFile(dir / "baad.img", bytes);
  const ToolResult scan = RunTool({"scan", "--count", dir / "baad.img"});
  EXPECT_EQ(scan.exitCode, 1);
  EXPECT_NE(scan.err.find("the scan could not read the whole volume"), npos) << scan.err;
  const ToolResult info = RunTool({"info", dir / "baad.img"});
  EXPECT_EQ(info.exitCode, 1);
  EXPECT_NE(info.err.find("an NTFS volume whose MFT cannot be read"), npos) << info.err;
}

}  // namespace
