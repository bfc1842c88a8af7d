// Volumes that mkfs.fat makes with options the other fixtures leave alone
// (floppies, 64 KiB clusters, 1 and 4 KiB sectors, one or four FATs, a
// 16-entry root, 32 reserved sectors), filled by mtools by
// tests/fixtures/matrix/make_matrix.sh: our listing against fls name for
// name, letter case included, and every file's bytes against icat.
//
// Where our rules differ from the oracles' on purpose:
// - A long name of more than 221 characters (18 long-name records or more)
//   is not put together: the item is listed under its 8.3 alias, where fls
//   shows the long name (cut short).
// - A deleted file whose clusters a later file took is "reused"; we read its
//   clusters as they stand (the later file's data), icat -r stops at the
//   first one in use, so its bytes are not compared.
#include <gtest/gtest.h>

#include <mutex>
#include <regex>

#include "OracleSupport.h"

using namespace oracle;

namespace {

const std::string& MatrixDir() {
  static std::string dir;
  static std::once_flag once;
  std::call_once(once, [] {
    dir = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "matrix_fixtures").string();
    const ToolResult r =
        RunProgram({"bash", std::string(MOX_SOURCE_DIR) + "/tests/fixtures/matrix/make_matrix.sh", "fat", dir});
    if (r.exitCode != 0) {
      std::fprintf(stderr, "make_matrix.sh failed:\n%s\n", r.err.c_str());
      std::abort();
    }
  });
  return dir;
}

class FormatterMatrix : public ::testing::TestWithParam<std::string> {};

TEST_P(FormatterMatrix, ListingAndBytesAgreeWithSleuthKit) {
  const std::string image = MatrixDir() + "/" + GetParam() + ".img";
  MountedImage m(image);
  ASSERT_TRUE(m.mounted());
  std::map<std::string, Entry> tsk;
  for (const Entry& t : TskListing(image)) tsk[t.path] = t;
  int files = 0;
  for (const Entry& e : m.Scan(true)) {
    // fls cuts a 255-character long name; mdir shows it whole, as here.
    if (e.path.rfind("names/" + std::string(200, 'L'), 0) == 0) {
      EXPECT_EQ(e.path, "names/" + std::string(251, 'L') + ".txt");
      continue;
    }
    const auto it = tsk.find(e.path);
    if (it == tsk.end()) {
      ADD_FAILURE() << "not in fls: " << e.path;
      continue;
    }
    const Entry t = it->second;
    tsk.erase(it);
    EXPECT_EQ(e.dir, t.dir) << e.path;
    EXPECT_EQ(e.deleted, t.deleted) << e.path;
    if (e.dir || (e.deleted && e.condition != 1)) continue;
    EXPECT_EQ(e.size, t.size) << e.path;
    const std::string data = m.ReadAll(*static_cast<TFATFile*>(e.item), e.deleted ? 0 : 1);
    const std::string icat = e.deleted ? RunProgram({"icat", "-r", image, std::to_string(t.record)}).out
                                       : RunProgram({"icat", image, std::to_string(t.record)}).out;
    EXPECT_TRUE(data == icat) << e.path;
    ++files;
  }
  for (const auto& [path, t] : tsk)
    if (path.rfind("names/" + std::string(200, 'L'), 0) != 0) ADD_FAILURE() << "missing: " << path;
  EXPECT_EQ(tsk.size(), 1u);
  EXPECT_EQ(files, 10);
}

// info shows the volume's own geometry, which fsstat reads from the same boot sector.
TEST_P(FormatterMatrix, InfoAgreesWithFsstat) {
  const std::string image = MatrixDir() + "/" + GetParam() + ".img";
  const std::string fsstat = RunProgram({"fsstat", image}).out;
  const auto tsk = [&](const char* pattern) {
    std::smatch m;
    return std::regex_search(fsstat, m, std::regex(pattern)) ? std::stoul(m[1]) : 0ul;
  };
  unsigned fats = 0;
  for (size_t at = fsstat.find("\n* FAT "); at != std::string::npos; at = fsstat.find("\n* FAT ", at + 1)) ++fats;
  const std::string expected = "\"fat\":{\"type\":\"FAT" + std::to_string(tsk(R"(File System Type: FAT(\d+))")) +
                               "\",\"bytes_per_sector\":" + std::to_string(tsk(R"(Sector Size: (\d+))")) +
                               ",\"cluster_bytes\":" + std::to_string(tsk(R"(Cluster Size: (\d+))")) +
                               ",\"fats\":" + std::to_string(fats) + ",";
  const ToolResult r = RunTool({"info", "--json", image});
  EXPECT_NE(r.out.find(expected), std::string::npos) << expected << " in " << r.out;
  EXPECT_NE(r.out.find(",\"reserved_sectors\":" + std::to_string(tsk(R"(\* Reserved: 0 - (\d+))") + 1) + ","),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find(",\"clusters\":" + std::to_string(tsk(R"(Total Cluster Range: 2 - (\d+))") - 1) + "}"),
            std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Formatters, FormatterMatrix,
                         ::testing::Values("fat12_floppy", "fat12_288", "fat16_64k", "fat16_1fat", "fat16_4fats",
                                           "fat16_root16", "fat32_s1024", "fat32_s4096", "fat32_r32"),
                         [](const auto& info) { return info.param; });

}  // namespace
