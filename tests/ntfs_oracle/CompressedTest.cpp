// Files that ntfs-3g compressed (tests/fixtures/matrix/make_matrix.sh ntfs):
// text, incompressible data, both around a hole, a small non-resident file
// and a deleted one, with 512-byte and 4 KiB clusters. Read through
// blockread and saved by the program, each must come out as icat reads it.
// ntfsundelete rates the deleted compressed file 0 % recoverable; we read it
// back like a live one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

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

// An encrypted file's clusters hold ciphertext: cat and save must say the
// file did not come out, and why, instead of handing that out as the file.
TEST(EncryptedNtfs, IsToldNotHandedOut) {
  ScratchDir dir;
  const std::string image = dir / "volume.img";
  const std::string packed = std::string(MOX_SOURCE_DIR) + "/tests/fixtures/matrix/ntfs-compressed-4096.img.xz";
  ASSERT_EQ(RunProgram({"bash", "-c", "xz -dc \"$1\" >\"$2\"", "unpack", packed, image}).exitCode, 0);
  uint64_t record = 0, recordBytes = 0, at = 0;
  {
    MountedNtfs m(image);
    ASSERT_TRUE(m.mounted());
    for (const Entry& e : m.Scan(false, false))
      if (!e.dir && e.size > 0) record = e.record;
    ASSERT_NE(record, 0u);
    recordBytes = m.drive().BytesPerFileRecord;
    at = uint64_t(m.drive().MftStartLcn()) * m.drive().BytesPerCluster + record * recordBytes;
  }
  // Its data attribute marked encrypted, as EFS marks it (the MFT of a
  // small new volume is contiguous).
  std::string bytes = ReadHostFile(image);
  ASSERT_EQ(bytes.compare(at, 4, "FILE"), 0);
  bool marked = false;
  for (uint64_t a = at + uint8_t(bytes[at + 0x14]); a + 16 < at + recordBytes;) {
    const uint32_t type = uint32_t(uint8_t(bytes[a])) | uint32_t(uint8_t(bytes[a + 1])) << 8;
    const uint32_t length = uint32_t(uint8_t(bytes[a + 4])) | uint32_t(uint8_t(bytes[a + 5])) << 8;
    if (type == 0x80) {
      bytes[a + 0x0D] = char(uint8_t(bytes[a + 0x0D]) | 0x40);
      marked = true;
      break;
    }
    if (length == 0) break;
    a += length;
  }
  ASSERT_TRUE(marked);
  std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;
  const std::string mft = std::to_string(record);
  for (const auto& args : {std::vector<std::string>{"cat", image, "--mft", mft},
                           std::vector<std::string>{"save", image, "--mft", mft, dir / "out"}}) {
    const ToolResult r = RunTool(args);
    EXPECT_EQ(r.exitCode, 1) << args[0];
    EXPECT_NE(r.err.find("the file is encrypted"), std::string::npos) << args[0] << ": " << r.err;
  }
  // Nothing read, nothing left: no empty file under the item's name.
  EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "DEST kept";
}

INSTANTIATE_TEST_SUITE_P(Clusters, CompressedNtfs,
                         ::testing::Values("ntfs-compressed-512", "ntfs-compressed-4096"),
                         [](const auto& info) { return info.param.substr(16); });

}  // namespace
