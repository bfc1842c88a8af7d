// The NTFS fixtures hold the cases they were made for, as the independent
// tools see them. A regenerated image is held to the same checks: another
// ntfs-3g may place records elsewhere, but not drop a case.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "NtfsOracle.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;

namespace {

uint64_t RecordOf(const std::vector<Entry>& listing, const std::string& path) {
  for (const Entry& e : listing)
    if (e.path == path) return e.record;
  return 0;
}

std::string Istat(const std::string& image, uint64_t record) {
  return RunProgram({"istat", "-r", image, std::to_string(record)}).out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void ExpectHoldsItsCases(const std::string& image, const Manifest& m) {
  const std::string fsstat = RunProgram({"fsstat", image}).out;
  EXPECT_NE(fsstat.find("Cluster Size: " + std::to_string(m.clusterBytes) + "\n"), std::string::npos);

  const auto live = TskListing(image, false);
  EXPECT_EQ(live.size(), m.liveItems);
  EXPECT_GE(std::count_if(live.begin(), live.end(), [](const Entry& e) { return e.path.rfind("many/", 0) == 0; }),
            1500);
  EXPECT_NE(RecordOf(live, "Docs/Reports/2005/Q1/Week 12/Monday/Morning/Early/Coffee/deep file.txt"), 0u);
  EXPECT_EQ(RecordOf(live, "Newer"), m.reusedParent);
  EXPECT_NE(Istat(image, m.attributeListFile).find("$ATTRIBUTE_LIST"), std::string::npos);
  EXPECT_GT(Count(Istat(image, RecordOf(live, "fragmented.bin")), "Starting address"), 4u) << "fragmented.bin";
  EXPECT_GE(Count(Istat(image, RecordOf(live, "sparse.bin")), "Sparse\n"), 2u) << "sparse.bin";

  std::vector<uint64_t> deleted;
  for (const UndeleteRow& row : UndeleteScan(image)) deleted.push_back(row.record);
  EXPECT_EQ(deleted, m.deleted);
  const auto gone = TskListing(image, true);
  EXPECT_NE(RecordOf(gone, "$OrphanFiles/orphan.txt"), 0u) << "its folder's record should hold Newer";
  EXPECT_NE(RecordOf(gone, "Docs/Reports/summary.doc"), 0u);
  EXPECT_LT(RecordOf(gone, "Trash/early.txt"), RecordOf(gone, "Trash"));
}

class NtfsFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(NtfsFixture, HoldsWhatItsManifestSays) {
  ExpectHoldsItsCases(FixtureImage(GetParam()), ReadManifest(CommittedManifest(), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsFixture, ::testing::ValuesIn(FixtureNames()),
                         [](const auto& info) { return info.param; });

TEST(NtfsFixtureGenerator, RegeneratesAnImageWithTheSameCases) {
  if (std::string why = WhyNoRegeneration(); !why.empty()) GTEST_SKIP() << "cannot regenerate the NTFS fixtures: " << why;
  ScratchDir dir;
  ASSERT_EQ(Regenerate(dir.path(), "ntfs4k"), "");
  const Manifest fresh = ReadManifest(dir / "manifest.txt", "ntfs4k");
  const Manifest committed = ReadManifest(CommittedManifest(), "ntfs4k");
  EXPECT_EQ(fresh.liveItems, committed.liveItems);
  EXPECT_EQ(fresh.deleted.size(), committed.deleted.size());
  ExpectHoldsItsCases(dir / "ntfs4k.img", fresh);
}

}  // namespace
