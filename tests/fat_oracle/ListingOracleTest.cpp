// Our FAT reader against independent readers on images that mkfs.fat and
// mtools made: The Sleuth Kit (fls, icat) and mtools (mattrib, mcopy).
//
// Where our rules differ from the oracles' on purpose:
// - A deleted 8.3 name shows with "_" for its lost first letter here and in
//   The Sleuth Kit alike ("_ELME.TXT"); mtools doesn't list deleted items.
// - Folder sizes: The Sleuth Kit gives a folder the size of its clusters; a
//   FAT folder entry has none, so only file sizes are compared.
#include <gtest/gtest.h>

#include <sstream>

#include "OracleSupport.h"

using namespace oracle;

namespace {

std::map<std::string, Entry> ByPath(const std::vector<Entry>& entries) {
  std::map<std::string, Entry> map;
  for (auto& e : entries) map[ToLowerAscii(e.path)] = e;
  return map;
}

class FatOracle : public ::testing::TestWithParam<std::string> {
 protected:
  std::string image() const { return FixtureImage(GetParam()); }
};

TEST_P(FatOracle, ListingAgreesWithSleuthKit) {
  MountedImage m(image());
  ASSERT_TRUE(m.mounted());
  auto ours = ByPath(m.Scan(true));
  auto tsk = ByPath(TskListing(image()));
  ASSERT_GT(tsk.size(), 1100u);
  EXPECT_EQ(ours.size(), tsk.size());
  for (auto& [key, t] : tsk) {
    auto it = ours.find(key);
    if (it == ours.end()) {
      ADD_FAILURE() << "missing: " << t.path << (t.deleted ? " (deleted)" : "");
      continue;
    }
    const Entry& o = it->second;
    EXPECT_EQ(std::tuple(o.dir, o.deleted, t.dir ? 0 : o.size, t.dir ? "" : o.mtime),
              std::tuple(t.dir, t.deleted, t.dir ? 0 : t.size, t.dir ? "" : t.mtime)) << t.path;
  }
  for (auto& [key, o] : ours)
    if (!tsk.count(key)) ADD_FAILURE() << "not in fls: " << o.path;
}

TEST_P(FatOracle, AttributesAgreeWithMattrib) {
  MountedImage m(image());
  ASSERT_TRUE(m.mounted());
  auto ours = ByPath(m.Scan(false));
  auto r = RunProgram({"mattrib", "-/", "-i", image(), "::/"});
  std::istringstream lines(r.out);
  std::string line;
  int files = 0;
  while (std::getline(lines, line)) {
    auto at = line.find("::/");
    if (at == std::string::npos || at < 8) continue;
    auto it = ours.find(ToLowerAscii(line.substr(at + 3)));
    if (it == ours.end() || it->second.dir) continue;
    uint8_t expected = (line[2] == 'A' ? 0x20 : 0) | (line[5] == 'S' ? 0x04 : 0) | (line[6] == 'H' ? 0x02 : 0) |
                       (line[7] == 'R' ? 0x01 : 0);
    EXPECT_EQ(int(it->second.attributes), int(expected)) << line;
    ++files;
  }
  EXPECT_GT(files, 1100);
}

// Every live file, read by chain, against what mtools copies out; deleted
// files whose clusters are still free against what icat -r recovers:
// contiguous clusters from the first one. (The program's cat is held against icat.)
TEST_P(FatOracle, FileBytesAgreeWithMcopyAndIcatRecovery) {
  MountedImage m(image());
  ASSERT_TRUE(m.mounted());
  auto tsk = ByPath(TskListing(image()));
  ScratchDir out;
  auto r = RunProgram({"mcopy", "-s", "-n", "-i", image(), "::/*", out.path()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  int compared = 0, recovered = 0;
  bool sawReused = false;
  for (auto& e : m.Scan(true)) {
    if (e.dir) continue;
    const Entry& t = tsk[ToLowerAscii(e.path)];
    if (!e.deleted) {
      std::string data = m.ReadAll(*static_cast<TFATFile*>(e.item), 1);
      ASSERT_EQ(data.size(), e.size) << e.path;
      EXPECT_EQ(data, ReadHostFile(out / t.path)) << e.path;  // mtools' names have their case flag applied
      ++compared;
    } else if (e.condition != 1) {
      sawReused = true;  // another file owns the clusters now: nothing of this one to compare
    } else {
      std::string data = m.ReadAll(*static_cast<TFATFile*>(e.item), 0);
      EXPECT_EQ(data.size(), e.size) << e.path;
      EXPECT_EQ(data, RunProgram({"icat", "-r", image(), std::to_string(t.record)}).out) << e.path;
      ++recovered;
    }
  }
  EXPECT_GT(compared, 1100);
  EXPECT_GE(recovered, 6);
  EXPECT_TRUE(sawReused) << "the fixture's reused file should get verdict 2";
}

INSTANTIATE_TEST_SUITE_P(Images, FatOracle, ::testing::ValuesIn(FixtureNames()),
                         [](const auto& info) { return info.param; });

}  // namespace
