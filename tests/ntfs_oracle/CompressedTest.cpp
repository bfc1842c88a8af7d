// Files that ntfs-3g compressed (tests/fixtures/matrix/make_matrix.sh ntfs):
// text, incompressible data, both around a hole, a small non-resident file
// and a deleted one, with 512-byte and 4 KiB clusters. Read through
// blockread and saved by the program, each must come out as icat reads it.
// ntfsundelete rates the deleted compressed file 0 % recoverable; we read it
// back like a live one.
#include <gtest/gtest.h>

#include <map>

#include "NtfsOracle.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;

namespace {

class CompressedNtfs : public ::testing::TestWithParam<std::string> {};

TEST_P(CompressedNtfs, FilesComeOutDecompressed) {
  ScratchDir dir;
  const std::string image = dir / "volume.img";
  const std::string packed = std::string(MOX_SOURCE_DIR) + "/tests/fixtures/matrix/" + GetParam() + ".img.xz";
  ASSERT_EQ(RunProgram({"bash", "-c", "xz -dc \"$1\" >\"$2\"", "unpack", packed, image}).exitCode, 0);
  MountedNtfs m(image);
  ASSERT_TRUE(m.mounted());
  std::map<std::string, std::string> expected;  // live files by name
  for (const Entry& e : m.Scan(true, false)) {
    if (e.dir) continue;
    const std::string icat = Icat(image, e.record);
    ASSERT_EQ(icat.size(), e.size) << e.path;
    EXPECT_TRUE(m.ReadAll(e.record, int64_t(e.size)) == icat) << e.path;
    if (!e.deleted) expected[e.path] = icat;
  }
  ASSERT_EQ(expected.size(), 4u);
  const ToolResult r = RunTool({"save", image, "packed", dir / "out"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const auto& [path, bytes] : expected) EXPECT_TRUE(ReadHostFile(dir / "out/" + path) == bytes) << path;
}

INSTANTIATE_TEST_SUITE_P(Clusters, CompressedNtfs,
                         ::testing::Values("ntfs-compressed-512", "ntfs-compressed-4096"),
                         [](const auto& info) { return info.param.substr(16); });

}  // namespace
