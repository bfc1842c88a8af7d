// Our NTFS reader against independent readers on images that mkntfs made
// and ntfs-3g filled: The Sleuth Kit (fls, icat) for the live tree, the bytes
// of files and the paths of deleted items, ntfsundelete for the deleted items
// themselves. A regenerated image is held to the same comparisons (another
// ntfs-3g may place records elsewhere, but the readers must still agree).
//
// Where our rules differ from the oracles' on purpose:
// - System files: records 0 to 15 are never listed, so neither are $Extend's
//   children; The Sleuth Kit lists all of them, so its $-paths are left out.
// - Names: folders list Win32 names; POSIX-only names (what ntfs-3g writes
//   unless a DOS name is set) only with optNtfsPosixNames, which the program
//   turns on and so do these tests. DOS names are never listed, and neither
//   does fls list them. Every hard link is one entry in both.
// - Folder sizes: fls gives a folder the size of its index; ours have none,
//   so only file sizes are compared.
// - Times: live items' come from the copy of the name in the folder's index,
//   fls reads the record's own times; ntfs-3g keeps both alike. A deleted
//   item has no index entry: it takes its record's own times, whose copy in
//   the record's file name ntfs-3g leaves behind.
// - A deleted item whose folder record now holds a newer folder goes under a
//   placeholder folder "MFT n" named after that record; The Sleuth Kit puts
//   it under $OrphanFiles. Folders rebuilt to give a deleted item its path
//   are not deleted items and are not reported in a deleted-only scan.
// - ntfsundelete also lists free records without a name ("<none>"), which we
//   skip. Its percentage is the share of the data's clusters still free; our
//   verdict looks at the first allocated cluster only, so 100 % must be our
//   "likely intact" (1), and less may still be.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "NtfsOracle.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;

namespace {

std::map<std::string, Entry> ByPath(const std::vector<Entry>& entries) {
  std::map<std::string, Entry> map;
  for (const Entry& e : entries) map[e.path] = e;
  return map;
}

void ExpectLiveListingAgrees(const std::string& image) {
  MountedNtfs m(image);
  ASSERT_TRUE(m.mounted());
  const auto ours = ByPath(m.Scan(false, false));
  const auto tsk = ByPath(TskListing(image, false));
  ASSERT_GT(tsk.size(), 1500u);
  for (const auto& [path, t] : tsk) {
    auto it = ours.find(path);
    if (it == ours.end()) {
      ADD_FAILURE() << "missing: " << path;
      continue;
    }
    const Entry& o = it->second;
    EXPECT_EQ(std::tuple(o.dir, o.record, o.mtime, t.dir ? 0 : o.size),
              std::tuple(t.dir, t.record, t.mtime, t.dir ? 0 : t.size)) << path;
  }
  for (const auto& [path, o] : ours)
    if (!tsk.count(path)) ADD_FAILURE() << "not in fls: " << path;
}

// Every live file read through blockread against icat of its record.
void ExpectLiveBytesAgree(const std::string& image) {
  MountedNtfs m(image);
  ASSERT_TRUE(m.mounted());
  std::map<uint64_t, std::string> icat;  // hard links share a record
  int compared = 0;
  for (const Entry& e : m.Scan(false, false)) {
    if (e.dir) continue;
    const std::string data = m.ReadAll(e.record, int64_t(e.size));
    ASSERT_EQ(data.size(), e.size) << e.path;
    if (e.size == 0) continue;
    if (!icat.count(e.record)) icat[e.record] = Icat(image, e.record);
    EXPECT_TRUE(data == icat[e.record]) << e.path;
    ++compared;
  }
  EXPECT_GT(compared, 70);
}

// The deleted items against ntfsundelete (records, names, sizes, verdicts)
// and their rebuilt paths and times against fls; those likely intact saved and
// compared with icat of their records.
void ExpectDeletedItemsAgree(const std::string& image, const Manifest& manifest) {
  MountedNtfs m(image);
  ASSERT_TRUE(m.mounted());
  std::map<uint64_t, Entry> ours;
  size_t nameless = 0;  // records that kept no name, which ntfsundelete leaves out
  for (const Entry& e : m.Scan(true, true)) {
    EXPECT_TRUE(e.deleted || e.deletedState == 5) << e.path << " in a deleted-only scan";
    if (e.deleted) ours[e.record] = e;
    nameless += e.deleted && e.path == "OrphanFile-" + std::to_string(e.record);
  }
  const auto rows = UndeleteScan(image);
  ASSERT_EQ(rows.size(), manifest.deleted.size());
  ScratchDir dest;
  for (const UndeleteRow& row : rows) {
    auto it = ours.find(row.record);
    if (it == ours.end()) {
      ADD_FAILURE() << "missing deleted record " << row.record << " " << row.name;
      continue;
    }
    const Entry& o = it->second;
    EXPECT_EQ(std::tuple(o.path.substr(o.path.rfind('/') + 1), o.dir, row.dir ? 0 : o.size),
              std::tuple(row.name, row.dir, row.dir ? 0 : row.size)) << row.record;
    if (row.dir) continue;
    EXPECT_TRUE(row.percent < 100 || o.condition == 1) << o.path << " condition " << int(o.condition);
    if (o.condition == 1) {
      ASSERT_TRUE(m.drive().SaveItem(o.item, dest.path() + "\\")) << o.path;
      EXPECT_TRUE(ReadHostFile(dest / row.name) == Icat(image, o.record)) << o.path;
    }
  }
  EXPECT_EQ(ours.size() - nameless, rows.size());
  const std::string placeholder = "MFT " + std::to_string(manifest.reusedParent) + "/";
  size_t tskNameless = 0;
  for (const Entry& t : TskListing(image, true)) {
    std::string expected = t.path;
    if (expected.rfind("$OrphanFiles/", 0) == 0) {
      // Nameless records that hold data stand at the top of the deleted
      // tree (the program moves them into $OrphanFiles), under the name fls
      // gives them; fls also lists the empty ones formatters set aside.
      const bool unnamed = expected.rfind("$OrphanFiles/OrphanFile-", 0) == 0;
      if (unnamed && t.size == 0) continue;
      tskNameless += unnamed;
      expected = unnamed ? expected.substr(13) : placeholder + expected.substr(13);
    }
    auto it = ours.find(t.record);
    if (it == ours.end()) continue;  // reported missing above
    EXPECT_EQ(std::tuple(it->second.path, it->second.mtime), std::tuple(expected, t.mtime)) << t.record;
  }
  EXPECT_EQ(nameless, tskNameless);
}

class NtfsOracle : public ::testing::TestWithParam<std::string> {
 protected:
  std::string image() const { return FixtureImage(GetParam()); }
};

TEST_P(NtfsOracle, LiveListingAgreesWithSleuthKit) { ExpectLiveListingAgrees(image()); }
TEST_P(NtfsOracle, LiveFileBytesAgreeWithIcat) { ExpectLiveBytesAgree(image()); }
TEST_P(NtfsOracle, DeletedItemsAgreeWithNtfsundeleteAndFls) { ExpectDeletedItemsAgree(image(), ReadManifest(CommittedManifest(), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsOracle, ::testing::ValuesIn(FixtureNames()),
                         [](const auto& info) { return info.param; });

TEST(NtfsFixtureGenerator, RegeneratesAnImageWithTheSameCases) {
  if (std::string why = WhyNoRegeneration(); !why.empty()) GTEST_SKIP() << "cannot regenerate the NTFS fixtures: " << why;
  ScratchDir dir;
  std::string err;
  const int status = Regenerate(dir.path(), "ntfs4k", err);
  if (status == 77) GTEST_SKIP() << "cannot regenerate the NTFS fixtures: " << err;
  ASSERT_EQ(status, 0) << err;
  const Manifest fresh = ReadManifest(dir / "manifest.txt", "ntfs4k");
  const Manifest committed = ReadManifest(CommittedManifest(), "ntfs4k");
  EXPECT_EQ(fresh.liveItems, committed.liveItems);
  EXPECT_EQ(fresh.deleted.size(), committed.deleted.size());
  ExpectLiveListingAgrees(dir / "ntfs4k.img");
  ExpectLiveBytesAgree(dir / "ntfs4k.img");
  ExpectDeletedItemsAgree(dir / "ntfs4k.img", fresh);
}

}  // namespace
