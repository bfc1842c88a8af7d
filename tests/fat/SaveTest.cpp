// Saving items out: progress and events, the overwrite questions, deleted
// files of unbuilt folders, and names that must stay inside the destination.
#include <filesystem>
#include <fstream>

#include "FatTestImage.h"

namespace fs = std::filesystem;

namespace {

struct SaveFixture : ::testing::Test {
  FatImage img = FatImage::Make(2, 5000, 2);
  fs::path dest;
  std::vector<DialogRequest> asked;
  std::vector<int> answers;  // given in order; No once they run out

  void SetUp() override {
    std::string t = (fs::temp_directory_path() / "moxfatsave-XXXXXX").string();
    ASSERT_NE(::mkdtemp(t.data()), nullptr);
    dest = fs::path(t) / "out";
    fs::create_directories(dest);
    SetDialogHandler([this](const DialogRequest& r) {
      asked.push_back(r);
      if (answers.empty()) return r.buttons & mbYes ? IDNO : IDOK;
      const int a = answers.front();
      answers.erase(answers.begin());
      return a;
    });
  }
  void TearDown() override {
    SetDialogHandler(nullptr);
    std::error_code ec;
    fs::remove_all(dest.parent_path(), ec);
  }
  std::string Dest() const { return dest.string() + "\\"; }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Write(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }
};

TEST_F(SaveFixture, ProgressStartAndEndForEachFile) {
  img.Fill(10, 98, 2);
  img.Chain(10, 98);
  img.Short(0, 0, "BIG     BIN", faArchive, 10, 100000);
  img.Short(0, 1, "EMPTY   BIN", faArchive, 0, 0);
  MountedFat m(img);
  std::vector<int> progress;
  std::vector<std::string> events;
  m.drive->OnProgress = [&](TObject*, TObject*, const AnsiString&, int p, bool&) { progress.push_back(p); };
  m.drive->OnStart = [&](TObject*, TObject*, const AnsiString& s) { events.push_back("start " + s); };
  m.drive->OnEnd = [&](TObject*, TObject*, const AnsiString& s) { events.push_back("end " + s); };
  ASSERT_TRUE(m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "BIG.BIN"), Dest(), 1));
  EXPECT_EQ(progress, (std::vector<int>{66, 100}));
  EXPECT_EQ(events, (std::vector<std::string>{"start " + Dest() + "BIG.BIN", "end " + Dest() + "BIG.BIN"}));
  EXPECT_EQ(fs::file_size(dest / "BIG.BIN"), 100000u);
  ASSERT_TRUE(m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "EMPTY.BIN"), Dest(), 1));
  EXPECT_EQ(fs::file_size(dest / "EMPTY.BIN"), 0u);
  // A target that can't be made: False, and for an empty file no dialog.
  EXPECT_FALSE(m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "EMPTY.BIN"), Dest() + "missing\\", 1));
  EXPECT_TRUE(asked.empty());
}

struct OverwriteFixture : SaveFixture {
  void SetUp() override {
    SaveFixture::SetUp();
    img.Short(0, 0, "SUB        ", faDirectory, 50, 0);
    img.Chain(50, 1);
    img.Dots(50, 0);
    img.Short(50, 2, "A       TXT", faArchive, 60, 3);
    img.Short(50, 3, "B       TXT", faArchive, 61, 3);
    img.Chain(60, 2);
    std::memcpy(img.Cluster(60), "new", 3);
    std::memcpy(img.Cluster(61), "new", 3);
    fs::create_directories(dest / "SUB");
    Write(dest / "SUB" / "A.TXT", "old");
    Write(dest / "SUB" / "B.TXT", "old");
  }
  TFATDirectory* LiveSub(MountedFat& m) {
    auto* sub = m.Child<TFATDirectory>(m.Root(), "SUB");
    m.List(sub, false);  // built as a scan without deleted items builds it
    return sub;
  }
};

TEST_F(OverwriteFixture, YesForTheFolderOverwritesItsFilesWithoutAsking) {
  MountedFat m(img);
  answers = {IDYES};
  ASSERT_TRUE(m.drive->SaveItem(LiveSub(m), Dest(), 1));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, "The folder SUB already exists.\r\rDo you want to save into it and overwrite the files it holds?");
  EXPECT_EQ(asked[0].type, TMsgDlgType::mtConfirmation);
  EXPECT_EQ(Read(dest / "SUB" / "A.TXT"), "new");
  EXPECT_EQ(Read(dest / "SUB" / "B.TXT"), "new");
}

TEST_F(OverwriteFixture, NoSkipsTheFolderAndFilesAreAskedAgainLater) {
  MountedFat m(img);
  answers = {IDNO, IDNO, IDALL};
  ASSERT_TRUE(m.drive->SaveItem(LiveSub(m), Dest(), 1));
  EXPECT_EQ(Read(dest / "SUB" / "A.TXT"), "old");
  answers = {IDALL};
  bool overwriteAll = false, overwriteFiles = false;
  ASSERT_TRUE(m.drive->SaveDirectory(LiveSub(m), Dest(), false, false, true, 1, overwriteAll, overwriteFiles));
  // The folder question came, then the first file's; All covered the second.
  EXPECT_TRUE(overwriteAll);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(Read(dest / "SUB" / "B.TXT"), "new");
  asked.clear();
  answers = {IDNO};
  bool files = false;
  ASSERT_TRUE(m.drive->SaveFile(m.Child<TFATFile>(LiveSub(m), "A.TXT"), (dest / "SUB").string() + "\\", 1, files));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, "The file " + (dest / "SUB").string() + "\\A.TXT already exists.\r\rDo you want to overwrite it?");
}

TEST_F(SaveFixture, NamesFromTheVolumeStayInsideTheDestination) {
  uint32_t i = 0;
  i += img.Long(0, i, "../evil", "EVIL       ", faArchive, 0, 0);
  i += img.Long(0, i, "a/b", "AB         ", faArchive, 0, 0);
  img.Short(0, i++, "..         ", faArchive, 0, 0);  // a file named ".." by its record
  img.Short(0, i++, "\xE5" "       TXT", faArchive, 0, 0);
  MountedFat m(img);
  m.List(m.Root(), true, false);
  ASSERT_EQ(m.Root()->Children->size(), 4u);
  for (TObject* o : *m.Root()->Children) EXPECT_TRUE(m.drive->SaveItem(o, Dest(), 1));
  std::set<std::string> made;
  for (auto& e : fs::directory_iterator(dest)) made.insert(e.path().filename().string());
  EXPECT_EQ(made, (std::set<std::string>{".._evil", "a_b", "__", "_.TXT"}));
  EXPECT_FALSE(fs::exists(dest.parent_path() / "evil"));
}

TEST_F(SaveFixture, UnbuiltDirectorySavesOnlyDeletedFilesThroughItsTree) {
  img.Short(0, 0, "TOP        ", faDirectory, 50, 0);
  img.Chain(50, 1);
  img.Dots(50, 0);
  img.Short(50, 2, "LIVE    TXT", faArchive, 0, 0);
  img.Short(50, 3, "\xE5" "EAD    TXT", faArchive, 0, 0);
  img.Short(50, 4, "INNER      ", faDirectory, 70, 0);
  img.Chain(70, 1);
  img.Dots(70, 50);
  MountedFat m(img);
  auto* top = m.Child<TFATDirectory>(m.Root(), "TOP");
  ASSERT_TRUE(m.drive->SaveItem(top, Dest(), 0));
  EXPECT_TRUE(fs::exists(dest / "TOP" / "_EAD.TXT"));
  EXPECT_FALSE(fs::exists(dest / "TOP" / "LIVE.TXT"));
  EXPECT_TRUE(fs::is_directory(dest / "TOP" / "INNER"));
  EXPECT_FALSE(top->Children);  // the list built for the save is gone again
}

}  // namespace
