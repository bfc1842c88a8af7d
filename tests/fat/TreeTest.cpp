// Directory records, long names, deleted items and the scan over images
// written byte by byte.
#include "../scanner/Recorder.h"
#include "FatTestImage.h"
#include "InterfacePtr.h"
#include "MoxVolumeScannerVFAT.h"

namespace {

std::vector<std::string> Names(MountedFat& m, TFATDirectory* d) {
  std::vector<std::string> out;
  for (TObject* o : m.List(d)) {
    if (auto* f = dynamic_cast<TCustomFile*>(o)) out.push_back(ItemDisplayName(f));
    if (auto* s = dynamic_cast<TCustomDirectory*>(o)) out.push_back(ItemDisplayName(s) + "\\");
  }
  return out;
}

using Strings = std::vector<std::string>;

// Every item of the tree under the root, built as a listing with deleted items builds it.
int CountTree(MountedFat& m) {
  int items = 0;
  m.Root()->ForEachChild([](TObject*, intptr_t d, bool&) { return ++*reinterpret_cast<int*>(d), true; }, true, false,
                         true, reinterpret_cast<intptr_t>(&items));
  return items;
}

// Files with distinct names in records [from, to) of a directory.
void Numbered(FatImage& img, uint32_t dir, uint32_t from, uint32_t to, char first = 'F') {
  for (uint32_t i = from; i < to; ++i) {
    char name[12];
    std::snprintf(name, sizeof name, "%c%07u   ", first, i);
    img.Short(dir, i, name, faArchive, 0, 0);
  }
}

TEST(FatNames, ShortWildcardAndSaveNames) {
  EXPECT_EQ(FormatShortName(reinterpret_cast<const uint8_t*>("README  TXT")), "README.TXT");
  EXPECT_EQ(FormatShortName(reinterpret_cast<const uint8_t*>("A B     C  ")), "AB.C");
  EXPECT_EQ(FormatShortName(reinterpret_cast<const uint8_t*>("MAKEFILE   ")), "MAKEFILE");
  const std::tuple<const char*, bool, const char*> deleted[] = {
      {"\xE5OO\xE5.TXT", false, "_OO\xE5.TXT"},
      {"\xE5\x82\x82OO.TXT", false, "_\x82\x82OO.TXT"},  // raw short bytes that happen to look like UTF-8
      {"\xE5\x85\xAB", true, "\xE5\x85\xAB"}};           // U+516B of a long name: text, not a mark
  for (auto [in, longName, out] : deleted) EXPECT_EQ(ReplaceDeletedChar(in, longName), out);
  const std::tuple<const char*, const char*, bool> wild[] = {
      {"Report.TXT", "*.txt", true}, {"a.b.c", "*.c", true}, {"abc", "a?c", true},
      {"ac", "a?c", false},          {"", "*", true},        {"abc", "*.txt", false}};
  for (auto [name, mask, match] : wild) EXPECT_EQ(MatchWildCard(name, mask), match) << name << " " << mask;
  EXPECT_FALSE(MatchWildCard(std::string(200, 'a'), std::string(30, '*') + "b*"));  // no blow-up
  // Names that would leave DEST and names cut to 255 bytes: the program's save tests.
  for (auto [in, out] : {std::pair{"", "_"}, {"a\\b\x01" "c", "a_b_c"}, {"a\xC2\x85" "b\xC2\xA0", "a_b\xC2\xA0"}}) EXPECT_EQ(MakeSafeFileName(in), out);
}

struct RootFixture : ::testing::Test {
  FatImage img = FatImage::Make(2, 5000);
};

TEST_F(RootFixture, LongNamesOfOneTwoAndUpTo20RecordsOrTheShortName) {
  uint32_t i = 0;
  i += img.Long(0, i, "ThirteenChars", "THIRTE~1   ", faArchive, 0, 0);
  i += img.Long(0, i, "FourteenChars!", "FOURTE~1   ", faArchive, 0, 0);
  i += img.Long(0, i, std::string(230, 'x'), "XXXXXX~1TXT", faArchive, 0, 0);  // 18 records
  i += img.Long(0, i, std::string(255, 'z'), "ZZZZZZ~1TXT", faArchive, 0, 0);  // 20, the most a name takes
  img.Long(0, i, std::string(30, 'y'), "YYYYYY~1   ", faArchive, 0, 0);
  img.Record(0, i + 1)[13] ^= 0xFF;  // the checksum changes inside the run
  MountedFat m(img);
  EXPECT_EQ(Names(m, m.Root()),
            (Strings{"ThirteenChars", "FourteenChars!", std::string(230, 'x'), std::string(255, 'z'), "YYYYYY~1"}));
}

TEST_F(RootFixture, EscapedAndDeletedShortNames) {
  img.Short(0, 0, "\x05" "ABC    TXT", faArchive, 0, 0);
  img.Short(0, 1, "\xE5" "OLD    TXT", faArchive, 0, 0);
  img.Short(0, 2, "LABEL      ", faVolumeID, 0, 0);
  img.Dots(30, 0);
  img.Short(0, 3, "\xE5\x82\x82" "DIR     ", faDirectory, 30, 0);  // raw bytes that read as UTF-8
  img.Long(0, 4, "Long name", "LONGNA~1   ", faArchive, 0, 0);
  MountedFat m(img);
  auto live = m.List(m.Root(), false);
  ASSERT_EQ(live.size(), 2u);
  auto* f = static_cast<TFATFile*>(live[0]);
  EXPECT_EQ(f->Name, "\xE5" "ABC.TXT");  // $05 stands for a real $E5
  EXPECT_FALSE(f->Deleted);
  EXPECT_TRUE(static_cast<TFATFile*>(live[1])->LongName);
  MountedFat all(img);
  EXPECT_EQ(Names(all, all.Root()), (Strings{"_ABC.TXT", "_OLD.TXT", "_\x82\x82" "DIR\\", "Long name"}));
  // Only short names carry the deletion mark.
  EXPECT_EQ(m.Child<TFATDirectory>(all.Root(), "_\x82\x82" "DIR")->GetPath(nullptr), "\\_\x82\x82" "DIR");
}

// A deleted long name whose first records were written over keeps only its
// head: without the extension its short entry has, the short name is shown.
TEST_F(RootFixture, ADeletedLongNameCutShortGivesWayToItsShortName) {
  auto erase = [&](uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) img.Record(0, i)[0] = 0xE5;
  };
  uint32_t i = img.Long(0, 0, "a long note name number 28.txt", "ALONGN~1TXT", faArchive, 0, 0);
  erase(0, i);
  img.Short(0, 0, "NEWFILE TXT", faArchive, 0, 0);  // over the run's last part
  uint32_t at = i;
  i += img.Long(0, i, "Holiday photo.jpeg", "HOLIDA~1JPE", faArchive, 0, 0);
  erase(at, i);  // whole: kept
  at = i;
  i += img.Long(0, i, "twenty-six characters.text", "TWENTY~1TEX", faArchive, 0, 0);  // two full records
  erase(at, i);  // no terminator, yet whole: its extension agrees
  at = i;
  i += img.Long(0, i, "ThirteenChars", "THIRTE~1   ", faArchive, 0, 0);
  erase(at, i);
  MountedFat m(img);
  EXPECT_EQ(Names(m, m.Root()), (Strings{"NEWFILE.TXT", "_LONGN~1.TXT", "Holiday photo.jpeg",
                                         "twenty-six characters.text", "ThirteenChars"}));
}

TEST_F(RootFixture, ShortNamesFollowTheirLowerCaseFlags) {
  const std::tuple<const char*, uint8_t> entries[] = {{"README  TXT", 0x08}, {"NOTES   TXT", 0x10},
                                                      {"MAKEFILE   ", 0x18}, {"\x9A" "MLAUT  TXT", 0x08},
                                                      {"\xE5" "OLD    TXT", 0x18}};
  uint32_t i = 0;
  for (auto [name11, flags] : entries) img.Short(0, i++, name11, faArchive, 0, 0)[12] = flags;
  MountedFat m(img);
  EXPECT_EQ(Names(m, m.Root()), (Strings{"readme.TXT", "NOTES.txt", "makefile", "\x81" "mlaut.TXT", "_old.txt"}));
}

// A deleted file's verdict follows its first cluster's FAT entry; a deleted
// folder is shown only while its cluster starts with "." and "..".
TEST_F(RootFixture, DeletedVerdictsAndDeletedFoldersWithTheirDotRecords) {
  img.Chain(20, 1);
  img.Short(0, 0, "\xE5" "REE    BIN", faArchive, 10, 100);   // FAT entry free
  img.Short(0, 1, "\xE5" "SED    BIN", faArchive, 20, 100);   // cluster taken again
  img.Short(0, 2, "\xE5" "MPTY   BIN", faArchive, 0, 0);      // no data
  img.Short(0, 3, "\xE5" "UTSD   BIN", faArchive, 99999, 1);  // past the end
  img.Dots(30, 0);
  img.Short(30, 2, "INNER   TXT", faArchive, 0, 0);
  img.Short(0, 4, "\xE5" "OODDIR    ", faDirectory, 30, 0);
  img.Short(0, 5, "\xE5" "ADDIR     ", faDirectory, 40, 0);  // cluster 40 holds no "." / ".."
  MountedFat m(img);
  EXPECT_EQ(Names(m, m.Root()), (Strings{"_REE.BIN", "_SED.BIN", "_MPTY.BIN", "_UTSD.BIN", "_OODDIR\\"}));
  std::vector<int> verdicts;
  for (size_t i = 0; i < 4; ++i) verdicts.push_back(static_cast<TFATFile*>(m.List(m.Root())[i])->DeletedCondition);
  EXPECT_EQ(verdicts, (std::vector<int>{1, 2, 2, 2}));
  auto* dir = m.Child<TFATDirectory>(m.Root(), "_OODDIR");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(std::tuple(dir->DeletedState & 1, int(dir->DeletedCondition), dir->GetPath(nullptr)),
            std::tuple(1, 1, AnsiString("\\_OODDIR")));
  EXPECT_EQ(Names(m, dir), (Strings{"INNER.TXT"}));
}

TEST_F(RootFixture, DeletedDirectoryGoesOnIntoFreeClustersHoldingRecords) {
  // Deleted folders of one full 512-byte cluster ("." "..", 14 files) each.
  auto folder = [&](uint32_t c, uint32_t slot, const char* name11) {
    img.Dots(c, 0);
    Numbered(img, c, 2, 16, '\xE5');
    img.Short(0, slot, name11, faDirectory, c, 0);
  };
  folder(30, 0, "\xE5" "IG        ");
  img.Short(31, 0, "\xE5" "ORE1   TXT", faArchive, 0, 0);  // its second cluster, free as well
  img.Short(31, 1, "\xE5" "ORE2   TXT", faArchive, 0, 0);
  folder(40, 1, "\xE5" "SED       ");
  img.Chain(41, 1);  // the cluster after it belongs to a live file now
  img.Short(41, 0, "NOTMINE TXT", faArchive, 0, 0);
  folder(59, 2, "\xE5" "UNK       ");
  std::memset(img.Cluster(60), 0xAA, 512);  // free, but not directory records
  folder(70, 3, "\xE5" "IRST      ");
  folder(71, 4, "\xE5" "ECOND     ");  // the next free cluster starts a folder of its own
  MountedFat m(img);
  const auto big = m.List(m.Child<TFATDirectory>(m.Root(), "_IG"));
  ASSERT_EQ(big.size(), 16u);
  // Entries are addressed by the cluster holding them, counted from its start.
  EXPECT_EQ(static_cast<TFATFile*>(big[13])->Entry, (TFATEntryAddress{30, 15}));
  EXPECT_EQ(static_cast<TFATFile*>(big[15])->Entry, (TFATEntryAddress{31, 1}));
  EXPECT_EQ(m.Child<TFATDirectory>(m.Root(), "_IG")->Entry, (TFATEntryAddress{0, 0}));
  EXPECT_EQ(m.List(m.Child<TFATDirectory>(m.Root(), "_SED")).size(), 14u);
  EXPECT_EQ(m.List(m.Child<TFATDirectory>(m.Root(), "_UNK")).size(), 14u);
  EXPECT_EQ(m.List(m.Child<TFATDirectory>(m.Root(), "_IRST")).size(), 14u);
  EXPECT_EQ(m.List(m.Child<TFATDirectory>(m.Root(), "_ECOND")).size(), 14u);
}

TEST_F(RootFixture, FixedRootEndsAtItsRegionWithoutAnEndMark) {
  Numbered(img, 0, 0, img.rootEntries);
  img.Short(2, 0, "BEYOND     ", faArchive, 0, 0);  // first data cluster right after the region
  MountedFat m(img);
  ASSERT_EQ(m.List(m.Root()).size(), img.rootEntries);
  // Its entries are addressed by their place in the whole region.
  EXPECT_EQ(static_cast<TFATFile*>(m.List(m.Root()).back())->Entry, (TFATEntryAddress{0, img.rootEntries - 1u}));
}

// Folders pointing at the root, the reserved clusters or past the end open
// nothing (loops: FatTreeBounds).
TEST_F(RootFixture, FoldersSharingClustersAreOpenedOnceSoTheTreeCannotBranch) {
  img.Short(0, 2, "ZERO       ", faDirectory, 0, 0);
  img.Short(0, 3, "ONE        ", faDirectory, 1, 0);
  img.Short(0, 4, "FAR        ", faDirectory, 0xFFFFFF, 0);
  // Each level holds two folders on the next level's cluster: opened both
  // times, 20 levels would make a million items.
  for (uint32_t level = 0; level < 20; ++level) {
    const uint32_t here = level == 0 ? 0 : 100 + level, at = level == 0 ? 0 : 2;
    if (level > 0) {
      img.Chain(here, 1);
      img.Dots(here, 0);
    }
    img.Short(here, at, "LEFT       ", faDirectory, 101 + level, 0);
    img.Short(here, at + 1, "RIGHT      ", faDirectory, 101 + level, 0);
  }
  MountedFat m(img);
  EXPECT_EQ(CountTree(m), 43);
  for (const char* empty : {"ZERO", "ONE", "FAR"}) EXPECT_TRUE(m.List(m.Child<TFATDirectory>(m.Root(), empty)).empty());
  auto* left = m.Child<TFATDirectory>(m.Root(), "LEFT");
  EXPECT_EQ(m.List(left).size(), 2u);
  EXPECT_TRUE(m.List(m.Child<TFATDirectory>(m.Root(), "RIGHT")).empty());  // shown, not opened again
  // Freeing the folder that opened a cluster lets another open it.
  m.Root()->DeleteChildren();
  m.Root()->Children.reset();
  EXPECT_EQ(CountTree(m), 43);
}

TEST(FatTreeBounds, AFolderInASmallSourceYieldsNoMoreThanTheSourceHolds) {
  FatImage img = FatImage::Make(1, 100);
  img.SetFAT(10, 11);
  img.SetFAT(11, 10);  // a loop: the cursor alone would stop at 65,535 records
  for (uint32_t i = 0; i < 32; ++i) img.Short(10, i, "LOOPFILETXT", faArchive, 0, 0);
  img.Short(0, 0, "LOOP       ", faDirectory, 10, 0);
  Put16(img.bytes.data() + 19, 4000);  // the boot sector claims 40 times what the source has
  MountedFat m(img);
  ASSERT_TRUE(m.mounted);
  EXPECT_LT(m.List(m.Child<TFATDirectory>(m.Root(), "LOOP")).size(), img.bytes.size() / 16);
}

TEST(FatTreeBounds, ABuildAfterDeleteChildrenListsEverythingAgain) {
  FatImage img = FatImage::Make(1, 200);
  const uint32_t files = 500;
  img.Folder(0, 0, "BIG        ", 10, 32);
  Numbered(img, 10, 2, 2 + files);
  MountedFat m(img);
  auto* big = m.Child<TFATDirectory>(m.Root(), "BIG");
  ASSERT_NE(big, nullptr);
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(m.List(big).size(), files) << round;
    big->DeleteChildren();
    big->Children.reset();
  }
}

// Which items a scan selects: the oracle suite and the program's ls filters.
TEST_F(RootFixture, CancelStopsTheScanAfterTheFirstItemAndFinishStillFires) {
  img.Short(0, 0, "A       TXT", faArchive, 0, 0);
  img.Folder(0, 1, "SUB        ", 50);
  img.Short(50, 2, "B       DOC", faArchive, 0, 0);
  LogCapture log;
  MountedFat m(img);
  int found = 0, progress = 0, finished = 0;
  m.drive->OnFoundItem = [&](TObject*, TObject*) { ++found; };
  m.drive->OnProgress = [&](TObject*, TObject*, const AnsiString&, int percent, bool& cancel) {
    EXPECT_EQ(percent, -1);
    cancel = ++progress;
  };
  m.drive->OnFinish = [&](TObject*) { ++finished; };
  m.drive->ScanDrive("*", true, false);
  EXPECT_EQ(std::tuple(found, progress, finished), std::tuple(1, 1, 1));
  EXPECT_TRUE(log.Has("Scanning drive using filemask: * (TFATdrive.ScanDrive)"));
  EXPECT_TRUE(log.Has("...............................done...(TFATdrive.ScanDrive)"));
}

TEST_F(RootFixture, InvalidateFromARawScanReceiverWaitsForTheWalk) {
  ReturningAssertions asserts;  // a wrong path then goes on into freed memory
  img.Folder(0, 0, "SUB        ", 50);
  Numbered(img, 50, 2, 16);
  MountedFat m(img);
  EXPECT_EQ(ScanInvalidatedAtFirstItem(new TMoxVolumeScannerVFAT(std::u16string(1, kFatLetter) + u":\\"))->paths(),
            std::vector<std::string>{"SUB\\F0000002"});
  EXPECT_TRUE(asserts.messages().empty());
}

}  // namespace

// Free clusters no folder leads to: two lost folders that hold each other's
// entries (the lower one comes to the top, the other below its entry, once),
// a free cluster of text that spells a name, and a lost folder past a long
// stretch of never-written clusters after the last one in use.
TEST_F(RootFixture, OrphanSearchListsLostFoldersOnceAndPassesByTextAndUnwrittenSpace) {
  img.Short(0, 0, "LIVE    TXT", faArchive, 20, 100);
  img.Chain(20, 1);
  img.Dots(30, 0);
  img.Short(30, 2, "\xE5" "B         ", faDirectory, 32, 0);
  img.Short(30, 3, "\xE5" "ONE    TXT", faArchive, 0, 0);
  img.Dots(32, 0);
  img.Short(32, 2, "\xE5" "A         ", faDirectory, 30, 0);
  img.Short(32, 3, "\xE5" "TWO    TXT", faArchive, 0, 0);
  std::memcpy(img.Cluster(34), "HELLOWORLD1", 11);  // a deleted file's bytes: no date, no folder
  img.Dots(200, 0);
  img.Short(200, 2, "\xE5" "FAR    TXT", faArchive, 0, 0);
  MountedFat m(img);
  CountTree(m);
  TFATDirectory orphans;
  orphans.Parent = m.Root();
  m.drive->FindOrphans(orphans);
  EXPECT_EQ(Names(m, &orphans), (Strings{"_B\\", "_ONE.TXT"}));
  auto* b = m.Child<TFATDirectory>(&orphans, "_B");
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(b->DeletedState & 1);
  EXPECT_EQ(Names(m, b), (Strings{"_A\\", "_TWO.TXT"}));
  EXPECT_EQ(Names(m, m.Child<TFATDirectory>(b, "_A")), Strings{});  // its cluster is shown above
  EXPECT_EQ(static_cast<TFATFile*>(m.Child<TFATFile>(&orphans, "_ONE.TXT"))->Entry, (TFATEntryAddress{30, 3}));
}
