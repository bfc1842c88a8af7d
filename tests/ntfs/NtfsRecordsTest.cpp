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

Bytes ListEntry(uint32_t type, uint64_t lowVcn, uint64_t ref) {
  Bytes e(0x20, 0);
  e[7] = 0x1A;
  Put(e, 0, type, 4), Put(e, 4, 0x20, 2), Put(e, 8, lowVcn, 8), Put(e, 0x10, ref, 8);
  return e;
}

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
