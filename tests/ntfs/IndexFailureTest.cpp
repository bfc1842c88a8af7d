// Folder indexes that cannot be read whole: the walk goes on past what
// fails and the folder says so; a folder that indexes name many times is
// opened once.
#include <gtest/gtest.h>

#include "NtfsTestImage.h"

namespace {

std::vector<std::string> ChildNames(TCustomDirectory& dir) {
  std::vector<std::string> names;
  dir.ForEachChild([](TObject* item, intptr_t data, bool&) {
    auto* names = reinterpret_cast<std::vector<std::string>*>(data);
    if (auto* f = ItemAs<TNTFSFile>(item)) names->push_back(f->Name);
    return true;
  }, false, false, false, reinterpret_cast<intptr_t>(&names));
  return names;
}

// Root [A -> the block at VCN 1, B -> a VCN past the allocation, C]: only
// what B's sub-node held is lost. The boot sector's byte says 512-byte
// blocks (0xF7); the root's own 4096 is what the blocks are.
TEST(NtfsIndexFailure, ABadSubNodeLosesOnlyItsOwnEntriesAndMarksTheFolder) {
  NtfsImage m = NtfsImage::Make();
  const uint32_t lcn = m.Alloc(2);
  m.IndexBlock(size_t(lcn + 1) * m.ClusterBytes(), {Entry(30, FileName(5, u"A0")), Entry(0, {}, true)});
  m.SetDirectory(5, {Entry(31, FileName(5, u"A"), false, 1), Entry(32, FileName(5, u"B"), false, 7),
                     Entry(33, FileName(5, u"C")), Entry(0, {}, true)}, true);
  m.attrs[5].push_back(NonResident(atIndexAllocation, {{2, lcn}}, 2 * m.ClusterBytes(), m.ClusterBytes(), u"$I30"));
  m.Finish();
  m.bytes[0x44] = 0xF7;
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  EXPECT_EQ(ChildNames(*v.drive.RootDir), (std::vector<std::string>{"A0", "A", "B", "C"}));
  EXPECT_EQ(v.drive.RootDir->ChildrenIncomplete, TCustomDirectory::kListUnreadable);
  EXPECT_EQ(v.drive.IncompleteFolders, 1u);
}

// Each folder's index names its one child folder twice, 24 levels deep:
// opened once, the tree stays 2 items a level instead of doubling.
TEST(NtfsIndexFailure, AFolderNamedTwiceIsOpenedOnce) {
  NtfsImage m = NtfsImage::Make();
  constexpr uint32_t kDepth = 24, kFirst = 20;
  auto twice = [](uint32_t child, uint32_t parent) {
    return std::vector<Bytes>{Entry(child, FileName(parent, u"x", nsWin32, true)),
                              Entry(child, FileName(parent, u"y", nsWin32, true))};
  };
  for (uint32_t self = kFirst; self < kFirst + kDepth; ++self) {
    m.Begin(self);
    m.attrs[self].push_back(Resident(atFileName, FileName(self == kFirst ? 5 : self - 1, u"x", nsWin32, true)));
    m.SetDirectory(self, self + 1 < kFirst + kDepth ? twice(self + 1, self) : std::vector<Bytes>{});
  }
  m.SetDirectory(5, twice(kFirst, 5));
  m.Finish();
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  uint64_t items = 0;
  v.drive.OnFoundItem = [&](TObject*, TObject*) { ++items; };
  v.drive.ScanDrive("*", false, false);
  EXPECT_EQ(items, 2 * kDepth);
  EXPECT_EQ(v.drive.IncompleteFolders, 0u);
}

}  // namespace
