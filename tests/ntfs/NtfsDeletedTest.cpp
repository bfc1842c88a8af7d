// The deleted search: paths rebuilt from free records, placeholders for
// folders that are gone, and items whose attributes span extension records.

#include <map>

#include "NtfsTestImage.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

// The deleted files of the tree after a scan, by name.
std::map<std::string, TNTFSFile*> DeletedFiles(TNTFSdrive& drive) {
  std::map<std::string, TNTFSFile*> files;
  drive.OnFoundItem = [&](TObject*, TObject* item) {
    if (auto* f = dynamic_cast<TNTFSFile*>(item); f && f->Deleted) files[f->Name] = f;
  };
  drive.ScanDrive("*", true, true);
  return files;
}

// The program on the image, written to a scratch file.
ToolResult RunOnImage(const Bytes& image, std::vector<std::string> args) {
  ScratchDir dir;
  WriteHostFile(dir / "v.img", std::string(image.begin(), image.end()));
  args.insert(args.begin() + 1, dir / "v.img");
  return RunTool(args);
}

Bytes ReadWhole(TNTFSdrive& drive, const TNTFSFile& f) {
  TNTFSfileInfo info;
  drive.resetByMFTfileRef(int64_t(f.MFTfileRef), f.Size, info);
  Bytes out(size_t(f.Size));
  uint32_t n = 0;
  if (!drive.blockread(info, uint32_t(out.size()), out.data(), n)) out.resize(n);
  return out;
}

}  // namespace

// Live \Docs\Work holding a deleted file; a deleted folder whose deleted child
// has the lower record; a file whose parent record now holds a newer folder;
// a parent chain deeper than 100; two deleted folders that are each other's
// parent. Sequence numbers (high 16 bits of a reference) tell a folder that
// still holds its record (live: the same number; deleted: one more) from one
// that reuses it, a live one or a deleted one met before or after its
// namesake's children; where they are given, a file older than its folder
// (moved into it) stays in it.
// Also on 4 KiB sectors, where the search reads each 1 KiB record out of the
// sector holding it.
class NtfsDeleted : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(SectorSizes, NtfsDeleted, ::testing::Values(512u, 4096u));

TEST_P(NtfsDeleted, RebuildsPathsPlaceholdersAndTakesOverPathFolders) {
  NtfsImage m = NtfsImage::Make(4096 / GetParam(), 256, 4096, 256, GetParam());
  auto dir = [&](uint32_t i, uint64_t parent, const std::u16string& name, bool inUse, int64_t created = kTime2020,
                 uint16_t sequence = 0) {
    m.Begin(i, inUse);
    Put(m.Record(i) + 0x10, sequence, 2);
    m.attrs[i].push_back(Resident(atFileName, FileName(parent, name, nsWin32, true, 0, created)));
  };
  auto ref = [](uint64_t record, uint64_t sequence) { return record | sequence << 48; };
  dir(20, 5, u"Docs", true);
  dir(21, 20, u"Work", true);
  m.File(40, 21, u"lost.txt", false);
  m.File(45, ref(50, 2), u"child.txt", false);
  dir(50, 5, u"Gone", false, kTime2020, 3);
  dir(62, 5, u"Reused", true, kTime2020 - 10000000, 5);
  m.File(43, ref(62, 4), u"stale.txt", false);
  m.File(63, ref(62, 5), u"fresh.txt", false);
  m.Begin(48, false);  // made before the folder, then moved into it
  m.attrs[48].push_back(
      Resident(atFileName, FileName(ref(62, 5), u"moved.txt", nsWin32, false, 0, kTime2020 - 20000000)));
  m.File(44, ref(64, 5), u"old1.txt", false);
  dir(64, 5, u"NewGone", false, kTime2020, 7);
  m.File(66, ref(64, 5), u"old2.txt", false);
  m.File(67, ref(64, 6), u"mine.txt", false);
  dir(60, 5, u"Newer", true, kTime2020 + 10000000);
  m.File(41, 60, u"orphan.txt", false);
  m.File(99, 100, u"deep.txt", false);
  for (uint32_t i = 100; i <= 210; ++i) dir(i, i + 1, u"d", true);
  dir(70, 71, u"a", false);
  dir(71, 70, u"b", false);
  m.Finish();
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  const Names found = Listing(v.drive, true);
  for (const char* expected : {"\\Docs\\Work\\lost.txt*", "\\Gone*", "\\Gone\\child.txt*", "\\MFT 60\\orphan.txt*",
                               "\\MFT 62\\stale.txt*", "\\Reused\\fresh.txt*", "\\Reused\\moved.txt*", "\\MFT 64\\old1.txt*",
                               "\\MFT 64\\old2.txt*", "\\NewGone*", "\\NewGone\\mine.txt*"})
    EXPECT_NE(std::find(found.begin(), found.end(), expected), found.end()) << expected;
  for (const char* once : {"\\Gone*", "\\MFT 64*", "\\NewGone*"}) EXPECT_EQ(std::count(found.begin(), found.end(), once), 1) << once;
  std::string deep;
  for (const std::string& f : found)
    if (f.find("deep.txt") != std::string::npos) deep = f;
  EXPECT_EQ(deep.rfind("\\MFT 200\\", 0), 0u) << deep;
  EXPECT_EQ(std::count(deep.begin(), deep.end(), '\\'), 102);
  EXPECT_EQ(v.drive.DeletedFileCount, 10);
}


// Windows leaves the name in the base record and $DATA in extension records
// (here in two pieces, the second on lower clusters); Linux writes a
// fragmented file's name into an extension record, here one numbered below
// its base, whose list lies in a cluster of its own.
TEST(NtfsDeletedAttributeList, ItemsComeWholeFromTheirBaseRecordsAndExtensionsAreNotListed) {
  NtfsImage m = NtfsImage::Make();
  const uint32_t cb = m.ClusterBytes();
  const uint32_t low = m.Alloc(2), high = m.Alloc(2), single = m.Alloc(1), listAt = m.Alloc(1);
  for (uint32_t k = 0; k < 5; ++k) std::memset(m.Cluster(low + k), 'a' + k, cb);
  const int64_t fragSize = 3 * int64_t(cb) + 100, bigSize = cb - 10;

  m.Begin(40, false);
  m.attrs[40] = {Resident(atFileName, FileName(5, u"frag.bin")),
                 Resident(atAttributeList, Concat({ListEntry(atFileName, 0, 40), ListEntry(atData, 0, 41),
                                                   ListEntry(atData, 2, 42)}))};
  auto extension = [&](uint32_t i, uint64_t base, const Bytes& attribute) {
    m.Begin(i, false, 0);
    Put(m.Record(i) + 0x20, base, 8);
    m.attrs[i] = {attribute};
  };
  Bytes first = NonResident(atData, {{2, high}}, fragSize, cb);
  Put(first, 0x28, 4 * uint64_t(cb), 8);  // the first piece tells the whole allocation
  extension(41, 40, first);
  extension(42, 40, NonResident(atData, {{2, low}}, 0, cb, u"", 2));

  extension(47, 50, Resident(atFileName, FileName(5, u"big.dat", nsPosix)));
  m.Begin(50, false);
  const Bytes list = Concat({ListEntry(atFileName, 0, 47), ListEntry(atData, 0, 50)});
  m.attrs[50] = {NonResident(atAttributeList, {{1, listAt}}, int64_t(list.size()), cb),
                 NonResident(atData, {{1, single}}, bigSize, cb)};
  std::memcpy(m.Cluster(listAt), list.data(), list.size());
  m.Finish();
  for (uint32_t lcn = low; lcn < listAt; ++lcn) m.Cluster(m.bitmapLcn)[lcn / 8] &= uint8_t(~(1 << (lcn % 8)));

  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  const auto files = DeletedFiles(v.drive);
  ASSERT_EQ(files.size(), 2u);
  const TNTFSFile* frag = files.at("frag.bin");
  const TNTFSFile* big = files.at("big.dat");
  EXPECT_EQ(std::tuple(frag->MFTfileRef, frag->Size, frag->DeletedCondition), std::tuple(40u, fragSize, 1));
  EXPECT_EQ(std::tuple(big->MFTfileRef, big->Size, big->DeletedCondition), std::tuple(50u, bigSize, 1));
  Bytes expected;
  for (uint32_t lcn : {high, high + 1, low, low + 1}) expected.insert(expected.end(), m.Cluster(lcn), m.Cluster(lcn) + cb);
  expected.resize(size_t(fragSize));
  EXPECT_EQ(ReadWhole(v.drive, *frag), expected);
  const Bytes bigData(m.Cluster(single), m.Cluster(single) + bigSize);
  EXPECT_EQ(ReadWhole(v.drive, *big), bigData);
  const ToolResult cat = RunOnImage(m.bytes, {"cat", "--mft", "50"});
  EXPECT_EQ(std::tuple(cat.exitCode, cat.out), std::tuple(0, std::string(bigData.begin(), bigData.end())));
}

// An MFT bitmap that is missing, lies outside the volume or is too short
// for the MFT: the free records are found by their headers, and the drive
// says so; without a single readable record the search did not run.
TEST(NtfsDeletedBitmap, UnreadableBitmapFindsFreeRecordsByTheirHeaders) {
  auto image = [](std::optional<Bytes> bitmap) {
    NtfsImage m = NtfsImage::Make();
    m.File(20, 5, u"kept.txt");
    m.File(21, 5, u"gone.txt", false);
    m.File(100, 5, u"late.txt", false);
    m.mftBitmap = std::move(bitmap);
    m.Finish();
    return m;
  };
  using State = TNTFSdrive::TDeletedSearch;
  const struct {
    const char* what;
    std::optional<Bytes> bitmap;
    State state;
  } cases[] = {
      {"intact", std::nullopt, State::ByBitmap},
      {"missing", Bytes{}, State::ByHeaders},
      {"outside the volume", NonResident(atBitmap, {{1, 100000}}, 16, 4096), State::ByHeaders},
      {"covering 64 of 128 records", Resident(atBitmap, Bytes(8, 0xFF)), State::ByHeaders},
  };
  for (const auto& c : cases) {
    const Bytes bytes = image(c.bitmap).bytes;
    MountedNtfs v(bytes);
    ASSERT_TRUE(v.drive.MountDrive(false));
    EXPECT_EQ(Listing(v.drive, true), (Names{"\\gone.txt*", "\\late.txt*"})) << c.what;
    EXPECT_EQ(v.drive.DeletedSearch, c.state) << c.what;
    // The program says it, once.
    const ToolResult ls = RunOnImage(bytes, {"ls", "--deleted-only"});
    EXPECT_EQ(std::tuple(ls.exitCode, std::count(ls.out.begin(), ls.out.end(), '\n'), ls.err),
              std::tuple(0, 2, std::string(c.state == State::ByBitmap ? "" : "moxvolscan ls: the MFT bitmap could not be read: "
                                                                          "free records were found by their own headers\n")))
        << c.what;
    // A save of the volume, which holds its deleted items, says it too.
    ScratchDir dest;
    const ToolResult save = RunOnImage(bytes, {"save", "/", dest.path()});
    EXPECT_EQ(save.exitCode, 0) << save.err;
    EXPECT_EQ(save.err.find("free records were found by their own headers") != std::string::npos,
              c.state != State::ByBitmap)
        << c.what << save.err;
  }
  NtfsImage m = image(Bytes{});
  Put(m.Record(0) + 0x38 + 0x30, 0, 8);  // the MFT's data size: no records at all
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  EXPECT_EQ(Listing(v.drive, true), Names{});
  EXPECT_EQ(v.drive.DeletedSearch, State::Failed);
}
