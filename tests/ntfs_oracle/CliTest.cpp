// moxvolscan ls, cat, save and info on NTFS images, run as a person runs
// them, judged by The Sleuth Kit and by the library's own scan (which the
// oracle tests hold to fls and ntfsundelete).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "ItemText.h"
#include "NtfsOracle.h"
#include "ScopedZone.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;

namespace {

std::string Sha1(const std::string& command) {
  return RunProgram({"sh", "-c", command + " | sha1sum"}).out.substr(0, 40);
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

uint64_t RecordOf(const std::string& image, bool deleted, const std::string& path) {
  for (const Entry& e : TskListing(image, deleted))
    if (e.path == path) return e.record;
  return 0;
}

class NtfsCli : public testing::TestWithParam<std::string> {};

// Live items by path and size agree with fls; every deleted item comes with
// the record the library found it in, each (path, record) once.
TEST_P(NtfsCli, LsJsonAgreesWithFlsAndTheLibrary) {
  const std::string image = FixtureImage(GetParam());
  const ToolResult r = RunTool({"ls", image, "--deleted", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, std::string> live;
  std::set<std::pair<std::string, std::string>> seen;
  std::set<uint64_t> deletedRecords;
  std::vector<std::pair<std::string, bool>> order;  // path, deleted
  for (const std::string& line : Lines(r.out)) {
    EXPECT_TRUE(seen.insert({JsonField(line, "path"), JsonField(line, "mft")}).second) << line;
    order.emplace_back(JsonField(line, "path"), JsonField(line, "deleted") == "true");
    // $OrphanFiles has no record; the oracle leaves out fls's own such folder.
    if (order.back().second)
      deletedRecords.insert(std::stoull(JsonField(line, "mft")));
    else if (JsonField(line, "mft") != "<missing>")
      live[JsonField(line, "path")] = JsonField(line, "type") == "dir" ? "dir" : JsonField(line, "size");
  }
  // A folder's deleted items come right after its live ones (and their
  // subfolders), as fls lists them: the last live line before one is its
  // folder or inside it, and no live line of that folder follows.
  for (size_t i = 0; i < order.size(); ++i) {
    if (!order[i].second) continue;
    const std::string folder = order[i].first.substr(0, order[i].first.rfind('/') + 1);  // "" or "A/B/"
    if (!folder.empty() && !live.count(folder.substr(0, folder.size() - 1))) continue;  // inside a deleted folder
    auto inside = [&](const std::string& path) { return path.rfind(folder, 0) == 0 || path + "/" == folder; };
    for (size_t j = i; j-- > 0;)
      if (!order[j].second) {
        EXPECT_TRUE(inside(order[j].first)) << order[j].first << " before " << order[i].first;
        break;
      }
    for (size_t j = i + 1; j < order.size(); ++j)
      EXPECT_TRUE(order[j].second || !inside(order[j].first)) << order[j].first << " after " << order[i].first;
  }
  std::map<std::string, std::string> fls;
  for (const Entry& e : TskListing(image, false)) fls[e.path] = e.dir ? "dir" : std::to_string(e.size);
  EXPECT_EQ(live, fls);

  MountedNtfs m(image);
  ASSERT_TRUE(m.mounted());
  std::set<uint64_t> library;
  for (const Entry& e : m.Scan(true, true))
    if (e.deleted || (e.deletedState & 1)) library.insert(e.record);  // "MFT n" placeholders too
  EXPECT_EQ(deletedRecords, library);
}

// cat by path and by record, and save of a deleted file, give icat's bytes.
TEST_P(NtfsCli, CatAndSaveGiveIcatsBytes) {
  const std::string image = FixtureImage(GetParam());
  const uint64_t summary = RecordOf(image, true, "Docs/Reports/summary.doc");
  const uint64_t sparse = RecordOf(image, false, "sparse.bin");
  ASSERT_NE(summary, 0u);
  ScratchDir dest;
  ASSERT_EQ(RunTool({"save", image, "--mft", std::to_string(summary), dest.path()}).exitCode, 0);
  const std::string tool = Quoted(MOX_TOOL_PATH) + " cat " + Quoted(image) + " ";
  const auto icat = [&](uint64_t record) { return Sha1("icat " + Quoted(image) + " " + std::to_string(record)); };
  EXPECT_EQ(Sha1(tool + "sparse.bin"), icat(sparse));
  EXPECT_EQ(Sha1(tool + "--mft " + std::to_string(sparse)), icat(sparse));
  EXPECT_EQ(Sha1(tool + "Docs/Reports/summary.doc"), icat(summary));
  EXPECT_EQ(Sha1("cat " + Quoted(dest / "summary.doc")), icat(summary));
}

TEST_P(NtfsCli, InfoShowsTheVolumeFacts) {
  const std::string image = FixtureImage(GetParam());
  const Manifest mf = ReadManifest(CommittedManifest(), GetParam());
  const ToolResult r = RunTool({"info", image});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const std::string& line : {"volume name:       Fixture " + GetParam(), std::string("NTFS version:      3.1"),
                                  std::string("dirty:             no"),
                                  "cluster:           " + std::to_string(mf.clusterBytes) + " bytes",
                                  std::string("MFT record:        ")})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  const std::string fsstat = RunProgram({"fsstat", image}).out;
  const size_t at = fsstat.find("First Cluster of MFT: ");
  ASSERT_NE(at, std::string::npos);
  const std::string mftStart = fsstat.substr(at + 22, fsstat.find('\n', at) - at - 22);
  EXPECT_NE(r.out.find("MFT start cluster: " + mftStart + "\n"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsCli, testing::ValuesIn(FixtureNames()));

// NTFS records instants: in a zone with daylight saving, ls shows them in UTC
// to 100 ns on either side of a change, and a saved copy gets that instant.
TEST(NtfsCliZone, TimesAreTheVolumesInstants) {
  ScopedZone zone("America/New_York");
  const std::string image = FixtureImage("ntfs512");
  const ToolResult r = RunTool({"ls", image, "--deleted", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, std::string> mtime;
  for (const std::string& line : Lines(r.out)) mtime[JsonField(line, "path")] = JsonField(line, "mtime");
  EXPECT_EQ(mtime["README.txt"], "2001-02-03T04:05:06Z");
  EXPECT_EQ(mtime["Docs/Reports/2005"], "2019-06-15T13:45:30Z");
  // The deleted file's record keeps the time set on it, not its name's stale copy.
  EXPECT_EQ(mtime["Docs/Reports/summary.doc"], "2019-06-15T13:45:30Z");
  const std::string folder = mtime["Trash"];  // written by ntfs-3g: a fraction
  EXPECT_EQ(folder.size(), 28u) << folder;

  ScratchDir dest;
  ASSERT_EQ(RunTool({"save", image, "README.txt", "Docs/Reports/summary.doc", dest.path()}).exitCode, 0);
  struct stat st {};
  ASSERT_EQ(stat((dest / "README.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 981173106);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  ASSERT_EQ(stat((dest / "summary.doc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1560606330);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

// A volume whose MFT map (record 0) or root folder (record 5) is destroyed
// would list as empty; it is refused by name instead.
TEST(NtfsCliDamaged, UnreadableMftOrRootIsRefused) {
  const std::string source = FixtureImage(FixtureNames().front());
  MountedNtfs m(source);
  ASSERT_TRUE(m.mounted());
  const uint64_t mft = uint64_t(m.drive().MftStartLcn()) * m.drive().BytesPerCluster;
  for (const uint64_t record : {0, 5}) {
    ScratchDir dir;
    const std::string image = dir.path() + "/damaged.img";
    std::filesystem::copy_file(source, image);
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(mft + record * m.drive().BytesPerFileRecord));
    f.write("BAAD", 4);
    f.close();
    const ToolResult r = RunTool({"ls", image, "--deleted"});
    EXPECT_EQ(r.exitCode, 1) << record;
    EXPECT_NE(r.err.find("an NTFS volume whose MFT cannot be read"), std::string::npos) << r.err;
  }
}

// One Ctrl-C ends the listing where it is, as on FAT.
TEST(NtfsCliInterrupt, CtrlCStopsLsAtOnce) {
  // The listing is several times what a pipe holds: once we stop reading,
  // ls blocks on its output in the middle of the walk.
  ToolProcess p({MOX_TOOL_PATH, "ls", FixtureImage(FixtureNames().front()), "--deleted", "--json"});
  p.ReadOut(1);
  p.Signal(SIGINT);
  const ToolResult r = p.Finish();
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
  EXPECT_LT(r.out.size(), RunTool({"ls", FixtureImage(FixtureNames().front()), "--deleted", "--json"}).out.size());
  EXPECT_EQ(r.out.back(), '\n');  // whole lines only
}

// What a stream of bytes holds, read once without keeping it: its length and
// every stretch of bytes that are not zero, by offset. A file that is mostly
// a hole is told whole by a few stretches.
struct Stretches {
  uint64_t length = 0;
  std::map<uint64_t, std::string> data;
};
Stretches StretchesOf(FILE* in) {
  Stretches s;
  std::vector<char> buffer(1 << 20);
  const std::vector<char> zeros(buffer.size());
  for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), in)) > 0; s.length += n) {
    if (std::memcmp(buffer.data(), zeros.data(), n) == 0) continue;
    for (size_t i = 0; i < n; ++i) {
      if (!buffer[i]) continue;
      const uint64_t at = s.length + i;
      auto last = s.data.empty() ? s.data.end() : std::prev(s.data.end());
      if (last != s.data.end() && last->first + last->second.size() == at) last->second += buffer[i];
      else s.data[at] = std::string(1, buffer[i]);
    }
  }
  return s;
}

// Filled through ntfs-3g here: a sparse file past 4 GiB inside a folder comes out
// whole through cat and a save of the folder, and two deleted files of one
// path are told apart by record. The big file is read once by each: cat's
// output is checked as it streams by, the saved copy where its bytes are
// (both ends, around 4 GiB where 32-bit offsets would wrap, the data past it).
TEST(NtfsCliMounted, BigFileAndDeletedNamesakes) {
  if (const std::string why = WhyNoRegeneration(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir dir;
  const std::string image = dir / "big.img", mnt = dir / "mnt";
  std::filesystem::create_directory(mnt);
  ASSERT_TRUE(RunQuietly("truncate -s 6G " + image + " && mkntfs -F -q -f " + image));
  ASSERT_TRUE(RunQuietly("ntfs-3g " + image + " " + mnt));
  const bool filled = RunQuietly("(cd " + mnt + " && mkdir video && cd video && echo small > small.txt"
                                 " && truncate -s 4097M big.bin && echo start | dd of=big.bin conv=notrunc"
                                 " && echo end | dd of=big.bin bs=512K seek=8193 conv=notrunc && cd .."
                                 " && echo one > twin.txt && echo two > other && rm twin.txt && mv other twin.txt"
                                 " && rm twin.txt)");
  RunQuietly("umount " + mnt);
  ASSERT_TRUE(filled);
  constexpr uint64_t kSize = uint64_t{4097} << 20, kEnd = uint64_t{8193} << 19;
  const std::map<uint64_t, std::string> expected{{0, "start\n"}, {kEnd, "end\n"}};

  FILE* cat = popen((Quoted(MOX_TOOL_PATH) + " cat " + image + " video/big.bin").c_str(), "r");
  ASSERT_NE(cat, nullptr);
  const Stretches catted = StretchesOf(cat);
  EXPECT_EQ(pclose(cat), 0);
  EXPECT_EQ(catted.length, kSize);
  EXPECT_EQ(catted.data, expected);

  ScratchDir dest;
  const ToolResult save = RunTool({"save", image, "video", dest.path()});
  EXPECT_EQ(save.exitCode, 0) << save.err;
  EXPECT_EQ(std::filesystem::file_size(dest / "video/big.bin"), kSize);
  std::ifstream saved(dest / "video/big.bin", std::ios::binary);
  const auto bytesAt = [&saved](uint64_t at, size_t n) {
    std::string s(n, '?');
    saved.seekg(std::streamoff(at));
    saved.read(s.data(), std::streamsize(n));
    return s;
  };
  EXPECT_EQ(bytesAt(0, 8), std::string("start\n\0\0", 8));
  EXPECT_EQ(bytesAt((uint64_t{4} << 30) - 8, 16), std::string(16, '\0'));
  EXPECT_EQ(bytesAt(kEnd - 2, 8), std::string("\0\0end\n\0\0", 8));
  EXPECT_EQ(bytesAt(kSize - 8, 8), std::string(8, '\0'));
  saved.close();
  EXPECT_EQ(Sha1("cat " + dest / "video/small.txt"), Sha1("echo small"));
  std::filesystem::remove(dest / "video/big.bin");

  std::vector<std::string> twins;
  for (const std::string& line : Lines(RunTool({"ls", image, "--deleted-only", "--json"}).out))
    if (JsonField(line, "path") == "twin.txt") twins.push_back(JsonField(line, "mft"));
  ASSERT_EQ(twins.size(), 2u);
  for (const std::string& n : twins)
    EXPECT_EQ(Sha1(Quoted(MOX_TOOL_PATH) + " cat " + image + " --mft " + n), Sha1("icat " + image + " " + n));
  EXPECT_NE(Sha1("icat " + image + " " + twins[0]), Sha1("icat " + image + " " + twins[1]));
}

}  // namespace
