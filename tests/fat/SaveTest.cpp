// Saving items out: progress and events, what failures tell, the overwrite questions, deleted
// files of unbuilt folders; and the program on hand-made volumes: copies that
// are not whole, names that must stay apart and inside DEST, escaped names.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "../../tools/moxvolscan/SaveReport.h"
#include "FatTestImage.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace fs = std::filesystem;

namespace {

struct SaveFixture : ::testing::Test {
  FatImage img = FatImage::Make(2, 5000, 2);
  ScratchDir scratch;
  fs::path dest = fs::path(scratch.path()) / "out";
  std::vector<DialogRequest> asked;
  std::vector<int> answers;  // given in order; No once they run out

  void SetUp() override {
    fs::create_directories(dest);
    SetDialogHandler([this](const DialogRequest& r) {
      asked.push_back(r);
      if (answers.empty()) return r.buttons & mbYes ? IDNO : IDOK;
      const int a = answers.front();
      answers.erase(answers.begin());
      return a;
    });
  }
  void TearDown() override { SetDialogHandler(nullptr); }
  std::string Dest() const { return dest.string() + "\\"; }
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
  // Cancelled at the first piece: nothing is left behind, not even the temporary.
  fs::create_directories(dest / "c");
  m.drive->OnProgress = [&](TObject*, TObject*, const AnsiString&, int, bool& cancel) { cancel = true; };
  EXPECT_FALSE(m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "BIG.BIN"), Dest() + "c\\", 1));
  EXPECT_TRUE(fs::is_empty(dest / "c"));
}

// What the user is told when the source, the target file or the target folder fails.
TEST_F(SaveFixture, EachFailureNamesWhatFailed) {
  img.Fill(10, 4, 1);
  img.Chain(10, 4);
  img.Short(0, 0, "DATA    BIN", faArchive, 10, 4096);
  img.Folder(0, 1, "SUB        ", 30);
  MountedFat m(img);
  auto firstAsked = [&](const std::string& start) {
    ASSERT_FALSE(asked.empty()) << start;
    EXPECT_EQ(asked[0].text.rfind(start, 0), 0u) << asked[0].text;
    asked.clear();
  };
  Source().failingSectors.insert(img.FirstData() + (10 - 2) * 2 + 1);
  EXPECT_FALSE(m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "DATA.BIN"), Dest(), 1));
  Source().failingSectors.clear();
  firstAsked("Could not read source file! (device: K:, start cluster: 10, size: 4096)");
  WriteHostFile(dest / "SUB", "x");
  m.drive->SaveItem(m.Child<TFATDirectory>(m.Root(), "SUB"), Dest(), 1);
  firstAsked("Could not create the folder ");
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit tight{1000, old.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &tight);
  EXPECT_FALSE(m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "DATA.BIN"), Dest(), 1));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);
  firstAsked("Could not write to the file ");
}

// A host's own wording of the strings changes what a dialog shows, not what
// a program reads from it.
TEST_F(SaveFixture, DialogsCarryTheirStringAndArgumentsWhateverTheWording) {
  SetStringTable([](int id) -> AnsiString {
    if (id == 1720) return "Ordner %s konnte nicht angelegt werden";
    if (id == 1718) return "%s gibt es schon.";
    return "";  // ours
  });
  struct Restore {
    ~Restore() { SetStringTable(nullptr); }
  } restore;
  img.Fill(10, 4, 1);
  img.Chain(10, 4);
  img.Short(0, 0, "DATA    BIN", faArchive, 10, 4096);
  img.Folder(0, 1, "SUB        ", 30);
  MountedFat m(img);
  WriteHostFile(dest / "SUB", "x");
  m.drive->SaveItem(m.Child<TFATDirectory>(m.Root(), "SUB"), Dest(), 1);
  WriteHostFile(dest / "DATA.BIN", "old");
  m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "DATA.BIN"), Dest(), 1);
  Source().failingSectors.insert(img.FirstData() + (10 - 2) * 2 + 1);
  answers = {IDYES};
  m.drive->SaveItem(m.Child<TFATFile>(m.Root(), "DATA.BIN"), Dest(), 1);
  Source().failingSectors.clear();
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_EQ(asked[0].text, "Ordner " + Dest() + "SUB konnte nicht angelegt werden");
  EXPECT_EQ(asked[1].text, Dest() + "DATA.BIN gibt es schon.\r\rDo you want to overwrite it?");
  EXPECT_EQ(asked[3].args, (std::vector<AnsiString>{"K:", "10", "4096"}));
  const SaveReport folder = ReadSaveReport(asked[0]), file = ReadSaveReport(asked[1]), read = ReadSaveReport(asked[3]);
  EXPECT_EQ(folder.kind, SaveReport::Kind::FolderFailed);
  EXPECT_EQ(folder.path, Dest() + "SUB");
  EXPECT_EQ(file.kind, SaveReport::Kind::FileExists);
  EXPECT_EQ(file.path, Dest() + "DATA.BIN");
  EXPECT_EQ(read.kind, SaveReport::Kind::SourceFailed);
}

TEST_F(SaveFixture, NoSkipsTheFolderAllOverwritesItsFilesWithoutAskingAndFilesAskTheirOwn) {
  img.Folder(0, 0, "SUB        ", 50);
  img.Short(50, 2, "A       TXT", faArchive, 60, 3);
  img.Short(50, 3, "B       TXT", faArchive, 61, 3);
  img.Chain(60, 2);
  std::memcpy(img.Cluster(60), "new", 3);
  std::memcpy(img.Cluster(61), "new", 3);
  fs::create_directories(dest / "SUB");
  WriteHostFile(dest / "SUB" / "A.TXT", "old");
  WriteHostFile(dest / "SUB" / "B.TXT", "old");
  MountedFat m(img);
  auto LiveSub = [](MountedFat& mf) {
    auto* sub = mf.Child<TFATDirectory>(mf.Root(), "SUB");
    mf.List(sub, false);  // built as a scan without deleted items builds it
    return sub;
  };
  answers = {IDNO, IDALL, IDALL};
  ASSERT_TRUE(m.drive->SaveItem(LiveSub(m), Dest(), 1));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, "The folder SUB already exists.\r\rDo you want to save into it and overwrite the files it holds?");
  EXPECT_EQ(asked[0].type, TMsgDlgType::mtConfirmation);
  EXPECT_EQ(ReadHostFile(dest / "SUB" / "A.TXT"), "old");
  answers = {IDALL};
  bool overwriteAll = false, overwriteFiles = false;
  ASSERT_TRUE(m.drive->SaveDirectory(LiveSub(m), Dest(), false, false, true, 1, overwriteAll, overwriteFiles));
  EXPECT_TRUE(overwriteAll);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(ReadHostFile(dest / "SUB" / "A.TXT") + ReadHostFile(dest / "SUB" / "B.TXT"), "newnew");
  WriteHostFile(dest / "SUB" / "A.TXT", "old");
  answers = {IDNO};
  bool files = false;
  ASSERT_TRUE(m.drive->SaveFile(m.Child<TFATFile>(LiveSub(m), "A.TXT"), (dest / "SUB").string() + "\\", 1, files));
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[2].text, "The file " + (dest / "SUB").string() + "\\A.TXT already exists.\r\rDo you want to overwrite it?");
  EXPECT_EQ(ReadHostFile(dest / "SUB" / "A.TXT"), "old");
}

TEST_F(SaveFixture, UnbuiltDirectorySavesOnlyDeletedFilesThroughItsTree) {
  img.Folder(0, 0, "TOP        ", 50);
  img.Short(50, 2, "LIVE    TXT", faArchive, 0, 0);
  img.Short(50, 3, "\xE5" "EAD    TXT", faArchive, 0, 0);
  img.Folder(50, 4, "INNER      ", 70);
  MountedFat m(img);
  auto* top = m.Child<TFATDirectory>(m.Root(), "TOP");
  ASSERT_TRUE(m.drive->SaveItem(top, Dest(), 0));
  EXPECT_TRUE(fs::exists(dest / "TOP" / "_EAD.TXT"));
  EXPECT_FALSE(fs::exists(dest / "TOP" / "LIVE.TXT"));
  EXPECT_TRUE(fs::is_directory(dest / "TOP" / "INNER"));
  EXPECT_FALSE(top->Children);  // the list built for the save is gone again
}

// ---- The program on hand-made volumes -----------------------------------------------------

struct ProgramFixture : SaveFixture {
  std::string image;
  uint32_t next = 2;  // next free record of DIR
  void SetUp() override {
    SaveFixture::SetUp();
    img.Folder(0, 0, "DIR        ", 50, 2);
  }
  ToolResult Run(std::vector<std::string> args) {
    if (image.empty()) {
      image = (dest.parent_path() / "vol.img").string();
      WriteHostFile(image, std::string(img.bytes.begin(), img.bytes.end()));
    }
    args.insert(args.begin() + 1, image);
    return RunTool(args);
  }
  void File(const std::string& longName, const char* short11, uint32_t cluster, uint32_t size) {
    next += longName.empty() ? (img.Short(50, next, short11, faArchive, cluster, size), 1)
                             : img.Long(50, next, longName, short11, faArchive, cluster, size);
  }
  std::set<std::string> Saved(const fs::path& folder) {
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
  }
};

TEST_F(ProgramFixture, CopiesThatAreNotWholeAreNamedWithTheBytesRead) {
  img.Fill(10, 30, 1);
  File("", "LOOP    BIN", 10, 100000);  // 10 -> 11 -> 10
  img.SetFAT(10, 11);
  img.SetFAT(11, 10);
  File("", "SHORT   BIN", 20, 5000);  // two clusters where five are needed
  img.Chain(20, 2);
  File("", "WHOLE   BIN", 30, 1000);
  img.Chain(30, 1);
  for (const char* name : {"LOOP.BIN", "SHORT.BIN"}) {
    auto cat = Run({"cat", std::string("DIR/") + name});
    EXPECT_EQ(cat.exitCode, 1) << name;
    EXPECT_EQ(cat.out.size(), 2048u) << name;
    EXPECT_NE(cat.err.find(std::string("DIR/") + name + ": only 2048 of "), std::string::npos) << cat.err;
  }
  auto save = Run({"save", "DIR", dest.string()});
  EXPECT_EQ(save.exitCode, 1);
  EXPECT_NE(save.err.find("DIR/LOOP.BIN: only 2048 of 100000 bytes"), std::string::npos) << save.err;
  EXPECT_NE(save.err.find("DIR/SHORT.BIN: only 2048 of 5000 bytes"), std::string::npos);
  EXPECT_EQ(save.err.find("WHOLE"), std::string::npos);
  EXPECT_EQ(Saved(dest / "DIR"), (std::set<std::string>{"LOOP.BIN", "SHORT.BIN", "WHOLE.BIN"}));  // no temporaries
  EXPECT_EQ(fs::file_size(dest / "DIR" / "LOOP.BIN"), 2048u);
}

TEST_F(ProgramFixture, NamesAlikeOnceMadeSafeGetANumberAndAreTold) {
  File("", "\xE5" "EADME  TXT", 0, 0);  // two deleted files both shown as _EADME.TXT
  File("", "\xE5" "EADME  TXT", 0, 0);
  File("a/b", "AB1        ", 0, 0);
  File("a_b", "AB2        ", 0, 0);
  File("../evil", "EVIL       ", 0, 0);  // names that would leave DEST stay in it
  File("", "..         ", 0, 0);
  const std::string longE(200, '\xE9');  // 400 bytes of UTF-8, alike in their first 255
  File(longE + "A", "LONG1      ", 0, 0);
  File(longE + "B", "LONG2      ", 0, 0);
  auto save = Run({"save", "DIR", dest.string(), "--overwrite", "all"});
  EXPECT_EQ(save.exitCode, 0) << save.err;
  std::string cut;
  for (int i = 0; i < 127; ++i) cut += "\xC3\xA9";
  EXPECT_EQ(Saved(dest / "DIR"), (std::set<std::string>{"_EADME.TXT", "_EADME (2).TXT", "a_b", "a_b (2)", ".._evil",
                                                          "__", cut, cut.substr(0, 250) + " (2)"}));
  EXPECT_FALSE(fs::exists(dest / "evil"));
  EXPECT_NE(save.err.find("DIR/_EADME.TXT: saved as " + dest.string() + "/DIR/_EADME (2).TXT"), std::string::npos)
      << save.err;
}

TEST_F(ProgramFixture, NamesAreShownEscapedAndTakenBackSo) {
  img.Fill(10, 4, 3);
  File("\x1b[31mred\nline", "RED        ", 10, 10);
  File("50%/b\\c", "PCT        ", 11, 20);
  File("..", "DOTS       ", 12, 30);
  File("", "\x82T\x82     TXT", 13, 40);  // an 8.3 name in the DOS code page
  auto ls = Run({"ls"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_EQ(ls.out.find('\x1b'), std::string::npos);
  const std::string shown[] = {"DIR/%1B[31mred%0Aline", "DIR/50%25%2Fb%5Cc", "DIR/%2E%2E", "DIR/\xC3\xA9T\xC3\xA9.TXT"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NE(ls.out.find("  " + shown[i] + "\n"), std::string::npos) << shown[i] << "\n" << ls.out;
    auto cat = Run({"cat", shown[i]});
    EXPECT_EQ(cat.exitCode, 0) << shown[i] << cat.err;
    EXPECT_EQ(cat.out.size(), 10 * (i + 1)) << shown[i];
  }
  EXPECT_EQ(Run({"cat", "dir/%82T%82.txt"}).out.size(), 40u);  // the bytes themselves, any case
  // Every JSON line parses, and as UTF-8.
  const fs::path json = dest.parent_path() / "ls.json";
  WriteHostFile(json, Run({"ls", "--json"}).out);
  auto parsed = RunProgram({"python3", "-c",
                            "import json,sys\nfor l in open(sys.argv[1],encoding='utf-8'): json.loads(l)", json.string()});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.err;
}

// A folder whose long name is "." is an ordinary folder: its 8.3 record says so.
TEST_F(ProgramFixture, FolderLongNamedDotIsListedReadAndSaved) {
  next += img.Long(50, next, ".", "DOTDIR     ", faDirectory, 60, 0);
  img.Chain(60, 1);
  img.Dots(60, 50);
  img.Short(60, 2, "INNER   TXT", faArchive, 61, 7);
  img.Chain(61, 1);
  img.Fill(61, 1, 5);
  auto ls = Run({"ls"});
  EXPECT_NE(ls.out.find("  DIR/%2E\n"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("  DIR/%2E/INNER.TXT\n"), std::string::npos) << ls.out;
  EXPECT_EQ(Run({"cat", "DIR/%2E/INNER.TXT"}).out.size(), 7u);
  auto save = Run({"save", "DIR/%2E", dest.string()});
  EXPECT_EQ(save.exitCode, 0) << save.err;
  EXPECT_EQ(Saved(dest), (std::set<std::string>{"_"}));
  EXPECT_EQ(fs::file_size(dest / "_" / "INNER.TXT"), 7u);
}

}  // namespace
