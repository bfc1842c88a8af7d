// Saves on NTFS of what no formatter writes: names alike once made safe,
// live and deleted, each come out under a name of their own, through the
// program and through the library's SaveItem; a folder an index lists twice
// is saved once.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "NtfsTestImage.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace fs = std::filesystem;

namespace {

// Folder D (record 20) holding "a/b", "a_b" and a deleted "a_b".
NtfsImage NamesakesVolume() {
  NtfsImage m = NtfsImage::Make();
  m.Begin(20);
  m.attrs[20].push_back(Resident(atFileName, FileName(5, u"D", nsWin32, true)));
  auto file = [&](uint32_t i, const std::u16string& name, const std::string& text, bool inUse) {
    m.Begin(i, inUse);
    m.attrs[i].push_back(Resident(atFileName, FileName(20, name, nsWin32, false, int64_t(text.size()))));
    m.attrs[i].push_back(Resident(atData, Bytes(text.begin(), text.end())));
  };
  file(40, u"a/b", "slash", true);
  file(41, u"a_b", "underscore", true);
  file(42, u"a_b", "deleted", false);  // its live namesake keeps the name
  m.SetDirectory(20, {Entry(40, FileName(20, u"a/b", nsWin32, false, 5)),
                      Entry(41, FileName(20, u"a_b", nsWin32, false, 10))});
  m.SetDirectory(5, {Entry(20, FileName(5, u"D", nsWin32, true))});
  m.Finish();
  return m;
}

TEST(NtfsProgramSave, NamesAlikeOnceMadeSafeAreNumberedNeverOverwritten) {
  const NtfsImage m = NamesakesVolume();
  ScratchDir dir;
  WriteHostFile(dir / "volume.img", std::string(m.bytes.begin(), m.bytes.end()));
  const std::map<std::string, std::string> expected{
      {"a_b", "slash"}, {"a_b (2)", "underscore"}, {"a_b (3)", "deleted"}};
  for (int run = 0; run < 2; ++run) {  // the second over the first
    const ToolResult r = RunTool({"save", dir / "volume.img", "D", dir / "out", "--overwrite", "all"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("D/a_b: saved as " + dir / "out/D/a_b (3) (another item took its name)"), std::string::npos)
        << r.err;
    std::map<std::string, std::string> saved;
    for (const auto& e : fs::directory_iterator(dir / "out/D")) saved[e.path().filename()] = ReadHostFile(e.path());
    EXPECT_EQ(saved, expected);
  }
}

TEST(NtfsSaveItem, NamesAlikeOnceMadeSafeAreNumbered) {
  MountedNtfs v(NamesakesVolume().bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  static_cast<TNTFSDirectory*>(v.drive.RootDir.get())->AddChildren(true, false);
  ASSERT_EQ(v.drive.RootDir->Children->size(), 1u);
  ScratchDir dir;
  ASSERT_TRUE(v.drive.SaveItem(v.drive.RootDir->Children->front(), dir.path() + "\\"));
  EXPECT_EQ(ReadHostFile(dir / "D/a_b"), "slash");
  EXPECT_EQ(ReadHostFile(dir / "D/a_b (2)"), "underscore");
  EXPECT_TRUE(v.drive.FSaveNames.empty());
}

// Each folder named twice by its parent's index: without a check the copies
// double at every level.
TEST(NtfsProgramSave, AFolderListedTwiceIsSavedOnce) {
  NtfsImage m = NtfsImage::Make();
  const uint32_t depth = 10;
  for (uint32_t i = 0; i < depth; ++i) {
    const uint32_t self = 20 + i, parent = i ? self - 1 : 5;
    m.Begin(self);
    m.attrs[self].push_back(Resident(atFileName, FileName(parent, u"d", nsWin32, true)));
    const Bytes key = FileName(parent, u"d", nsWin32, true);
    m.SetDirectory(parent, {Entry(self, key), Entry(self, key)});
  }
  m.File(60, 20 + depth - 1, u"leaf.txt");
  m.SetDirectory(20 + depth - 1, {Entry(60, FileName(20 + depth - 1, u"leaf.txt"))});
  m.Finish();
  ScratchDir dir;
  WriteHostFile(dir / "volume.img", std::string(m.bytes.begin(), m.bytes.end()));
  const ToolResult r = RunTool({"save", dir / "volume.img", "/", dir / "out"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("d/d: not saved again: the volume lists this folder more than once"), std::string::npos) << r.err;
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir / "out")) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

}  // namespace
