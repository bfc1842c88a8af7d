// Records that would make a reader work without end or tell it wrong sizes:
// an MFT whose own attribute list points far away, and data sizes no volume
// can hold.
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

#include "NtfsLib.h"
#include "NtfsTestImage.h"
#include "ItemText.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

// The names NtfsLib reports for the volume behind the test letter.
std::vector<std::string> LibraryNames() {
  struct Collector {
    std::vector<std::string> names;
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
  } c;
  void* h = NtfsLibCreate();
  NtfsLibSetItemCallback(h, [](void*, const NtfsLibFindData* item, void* u) {
    static_cast<Collector*>(u)->names.push_back(WideToAnsi(item->cFileName));
  }, &c);
  NtfsLibSetFinishCallback(h, [](void*, int32_t, void* u) {
    auto* c = static_cast<Collector*>(u);
    std::lock_guard g(c->lock);
    c->done = true;
    c->finished.notify_all();
  }, &c);
  const std::u16string root = std::u16string(1, char16_t(kNtfsLetter)) + u":\\";
  if (NtfsLibSetMountPoint(h, root.c_str()) == NTFSLIB_OK && NtfsLibScanVolume(h) == NTFSLIB_OK) {
    std::unique_lock g(c.lock);
    c.finished.wait(g, [&] { return c.done; });
  }
  NtfsLibDestroy(h);
  return std::move(c.names);
}

}  // namespace

// The MFT's second half lies elsewhere, mapped by extension record 16 alone;
// before that entry, $MFT's attribute list names records past the volume and
// in the very half it is about, hundreds of times. Each such entry used to
// send every record read back through the list (hours of reading); now the
// map is put together once, and every entry costs one record read at most.
// 512-byte clusters keep all of it in the first 160 KiB of a 2 MiB volume,
// as the fuzz seed tests/fuzz/seeds/ntfs_mft_far_list.img.xz holds it.
TEST(NtfsMftList, FarEntriesInTheMftsOwnListCostNoMoreThanOneReadEach) {
  NtfsImage m = NtfsImage::Make(1, 4096, 4096, 64);
  const uint32_t half = 64;  // clusters: records 32..63
  const uint32_t moved = m.Alloc(half);
  m.File(50, 5, u"far.txt");
  m.SetDirectory(5, {Entry(50, FileName(5, u"far.txt"))});
  m.attrs[0][0] = NonResident(atData, {{half, m.mftLcn}}, m.records * m.recordBytes, m.ClusterBytes());
  std::vector<Bytes> entries{ListEntry(atData, 0, 0)};
  for (int i = 0; i < 300; ++i) entries.push_back(ListEntry(atData, half, i % 2 ? 40 : 0x7FFFFFFF));
  for (int i = 0; i < 300; ++i) entries.push_back(ListEntry(atData, half, 16));
  const Bytes list = Concat(entries);
  const uint32_t listClusters = uint32_t((list.size() + m.ClusterBytes() - 1) / m.ClusterBytes());
  const uint32_t listLcn = m.Alloc(listClusters);
  std::memcpy(m.Cluster(listLcn), list.data(), list.size());
  m.attrs[0].push_back(NonResident(atAttributeList, {{listClusters, listLcn}}, int64_t(list.size()), m.ClusterBytes()));
  m.Begin(16, true, 0);
  std::vector<::Run> pieces;  // several runs: each entry's piece costs the library's map its runs
  for (uint32_t i = 0; i < half; i += 8) pieces.push_back({8, moved + i});
  m.attrs[16].push_back(NonResident(atData, pieces, 0, m.ClusterBytes(), u"", half));
  m.Finish();
  std::memcpy(m.Cluster(moved), m.Cluster(m.mftLcn + half), size_t(half) * m.ClusterBytes());
  std::memset(m.Cluster(m.mftLcn + half), 0, size_t(half) * m.ClusterBytes());

  MountedNtfs v(m.bytes);
  NtfsSource().TakeReads();
  ASSERT_TRUE(v.drive.MountDrive(false));
  EXPECT_EQ(v.drive.MftRecordCount(), 64u);
  EXPECT_EQ(Listing(v.drive, false), (Names{"\\far.txt"}));
  Bytes record(m.recordBytes);
  EXPECT_TRUE(v.drive.ReadFileRecord(63, record.data()));
  EXPECT_FALSE(v.drive.ReadFileRecord(100, record.data()));  // past the MFT
  // The deleted search reads every free record: about one read each.
  EXPECT_LT(NtfsSource().TakeReads().size(), 2u * m.records);

  EXPECT_EQ(LibraryNames(), (Names{"far.txt"}));
  EXPECT_LT(NtfsSource().TakeReads().size(), 40u);
  if (const char* seed = std::getenv("MOX_WRITE_SEED")) WriteHostFile(seed, std::string(m.bytes.begin(), m.bytes.begin() + (160 << 10)));
}

// Sizes as the index and the record give them: negative in both (live and
// deleted), a terabyte in one cluster, and an index entry wrong where the
// record is right. A size that is damage lists as what the clusters hold,
// cat and save give those bytes, name the file and end with status 1.
TEST(NtfsDataSize, DamagedSizesListAsTheClustersHoldAndAreNamedOnCatAndSave) {
  NtfsImage m = NtfsImage::Make();
  auto file = [&](uint32_t i, const std::u16string& name, int64_t indexSize, int64_t recordSize, bool inUse = true) {
    const uint32_t lcn = m.Alloc(1);
    std::memset(m.Cluster(lcn), 'a' + int(i % 26), m.ClusterBytes());
    m.Begin(i, inUse);
    m.attrs[i] = {Resident(atFileName, FileName(5, name, nsWin32, false, indexSize)),
                  NonResident(atData, {{1, lcn}}, recordSize, m.ClusterBytes())};
    return Entry(i, FileName(5, name, nsWin32, false, indexSize));
  };
  m.SetDirectory(5, {file(20, u"negative.bin", -5, -5), file(21, u"terabyte.bin", int64_t(1) << 40, int64_t(1) << 40),
                     file(22, u"stale.bin", -5, 100)});
  file(23, u"gone.bin", -5, -5, false);
  m.Finish();
  ScratchDir dir;
  const std::string image = dir / "sizes.img";
  WriteHostFile(image, std::string(m.bytes.begin(), m.bytes.end()));

  std::map<std::string, std::string> sizes;
  const ToolResult ls = RunTool({"ls", image, "--deleted", "--json"});
  EXPECT_EQ(ls.exitCode, 0) << ls.err;
  for (const std::string& line : Lines(ls.out)) sizes[JsonField(line, "path")] = JsonField(line, "size");
  EXPECT_EQ(sizes, (std::map<std::string, std::string>{
                       {"negative.bin", "4096"}, {"terabyte.bin", "4096"}, {"stale.bin", "100"}, {"gone.bin", "4096"}}));

  for (const char* name : {"negative.bin", "terabyte.bin", "gone.bin"}) {
    const ToolResult cat = RunTool({"cat", image, name});
    EXPECT_EQ(cat.exitCode, 1) << name;
    EXPECT_EQ(cat.out.size(), 4096u) << name;
    EXPECT_NE(cat.err.find(std::string(name) + ": its recorded size ("), std::string::npos) << cat.err;
  }
  EXPECT_EQ(RunTool({"cat", image, "stale.bin"}).out, std::string(100, 'a' + 22));

  const ToolResult save = RunTool({"save", image, "negative.bin", "stale.bin", dir / "out"});
  EXPECT_EQ(save.exitCode, 1);
  EXPECT_NE(save.err.find("negative.bin: its recorded size (-5 bytes) is damaged"), std::string::npos) << save.err;
  EXPECT_EQ(save.err.find("stale.bin"), std::string::npos) << save.err;
  EXPECT_EQ(ReadHostFile(dir / "out/negative.bin"), std::string(4096, 'a' + 20));
}

// Records in use that no folder lists: a file, a folder with a file of its
// own, two folders that list each other; left out are a file a folder lists
// under a POSIX name only, a record of $Extend and an extension record. A
// deleted file whose folder's record now holds a newer folder joins them,
// and a free record that kept its data but no name (an empty one does not).
TEST(NtfsOrphans, RecordsNoFolderReachesAreListedReadAndSavedUnderOrphanFiles) {
  NtfsImage m = NtfsImage::Make();
  auto dir = [&](uint32_t i, uint64_t parent, const std::u16string& name, const std::vector<Bytes>& entries,
                 int64_t created = kTime2020) {
    m.Begin(i);
    m.attrs[i].push_back(Resident(atFileName, FileName(parent, name, nsWin32, true, 0, created)));
    m.SetDirectory(i, entries);
    return Entry(i, FileName(parent, name, nsWin32, true, 0, created));
  };
  auto file = [&](uint32_t i, uint64_t parent, const std::u16string& name, char fill, uint8_t type = nsWin32) {
    const uint32_t lcn = m.Alloc(1);
    std::memset(m.Cluster(lcn), fill, m.ClusterBytes());
    m.Begin(i);
    m.attrs[i] = {Resident(atFileName, FileName(parent, name, type)),
                  NonResident(atData, {{1, lcn}}, 300, m.ClusterBytes())};
    return Entry(i, FileName(parent, name, type, false, 300));
  };
  const Bytes kept = file(20, 5, u"kept.txt", 'K');
  file(21, 5, u"lost.txt", 'L');
  dir(22, 5, u"LostDir", {file(23, 22, u"inner.txt", 'I')});
  file(24, 11, u"$Quota", 'Q');
  const Bytes posix = file(25, 5, u"posix", 'P', nsPosix);
  dir(26, 27, u"LoopA", {Entry(27, FileName(26, u"LoopB", nsWin32, true))});
  dir(27, 26, u"LoopB", {Entry(26, FileName(27, u"LoopA", nsWin32, true))});
  m.Begin(30, true, 0);
  Put(m.Record(30) + 0x20, 21, 8);  // an extension record of lost.txt
  m.attrs[30].push_back(Resident(atFileName, FileName(5, u"extension")));
  const Bytes newer = dir(60, 5, u"Newer", {}, kTime2020 + 10000000);
  m.File(40, 60, u"orphan.txt", false);
  const uint32_t unnamedLcn = m.Alloc(1);
  std::memset(m.Cluster(unnamedLcn), 'U', m.ClusterBytes());
  m.Begin(41, false);
  m.attrs[41] = {NonResident(atData, {{1, unnamedLcn}}, 200, m.ClusterBytes())};
  m.Begin(42, false);
  m.SetDirectory(5, {kept, posix, newer});
  m.Finish();
  ScratchDir dir_;
  const std::string image = dir_ / "orphans.img";
  WriteHostFile(image, std::string(m.bytes.begin(), m.bytes.end()));

  auto paths = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"ls", image, "--json"});
    const ToolResult r = RunTool(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    Names out;
    for (const std::string& line : Lines(r.out)) out.push_back(JsonField(line, "path"));
    return out;
  };
  const Names live{"kept.txt", "posix", "Newer", "$OrphanFiles", "$OrphanFiles/lost.txt", "$OrphanFiles/LostDir",
                   "$OrphanFiles/LostDir/inner.txt", "$OrphanFiles/LoopA", "$OrphanFiles/LoopA/LoopB",
                   "$OrphanFiles/LoopA/LoopB/LoopA"};
  EXPECT_EQ(paths({}), live);
  Names all = live;
  all.insert(all.end(), {"$OrphanFiles/MFT 60", "$OrphanFiles/MFT 60/orphan.txt", "$OrphanFiles/OrphanFile-41"});
  EXPECT_EQ(paths({"--deleted"}), all);
  EXPECT_EQ(paths({"--deleted-only"}),
            (Names{"$OrphanFiles/MFT 60", "$OrphanFiles/MFT 60/orphan.txt", "$OrphanFiles/OrphanFile-41"}));
  EXPECT_EQ(RunTool({"cat", image, "--mft", "41"}).out, std::string(200, 'U'));
  EXPECT_EQ(paths({"--no-posix-names", "--mask", "*.txt"}),
            (Names{"kept.txt", "$OrphanFiles/lost.txt", "$OrphanFiles/LostDir/inner.txt"}));

  EXPECT_EQ(RunTool({"cat", image, "$OrphanFiles/lost.txt"}).out, std::string(300, 'L'));
  for (const auto& [record, fill] : {std::pair("21", 'L'), std::pair("23", 'I')}) {
    const ToolResult cat = RunTool({"cat", image, "--mft", record});
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_EQ(cat.out, std::string(300, fill)) << record;
  }
  EXPECT_EQ(RunTool({"cat", image, "$orphanfiles/MFT 60/orphan.txt"}).exitCode, 0);
  const ToolResult save = RunTool({"save", image, "$OrphanFiles", dir_ / "out"});
  EXPECT_EQ(save.exitCode, 0) << save.err;
  EXPECT_EQ(ReadHostFile(dir_ / "out/$OrphanFiles/LostDir/inner.txt"), std::string(300, 'I'));
}
