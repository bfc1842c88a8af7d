// moxvolscan ls, cat and save on the mkfs.fat fixtures, run the way a person
// runs them, with The Sleuth Kit as the judge of the bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ItemText.h"
#include "OracleSupport.h"
#include "ScratchDir.h"

using namespace oracle;
namespace fs = std::filesystem;

namespace {

std::string InodeOf(const std::string& image, const std::string& path) {
  for (auto& e : TskListing(image))
    if (ToLowerAscii(e.path) == ToLowerAscii(path)) return e.inode;
  return "";
}

struct TempDir {
  ScratchDir scratch;
  fs::path path{scratch.path()};
};

TEST(Cli, LsJsonListsEveryItemWithItsState) {
  const std::string img = FixtureImage("fat16");
  auto r = RunTool({"ls", img, "--deleted", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto lines = Lines(r.out);
  EXPECT_EQ(lines.size(), TskListing(img).size());
  EXPECT_NE(r.out.find("{\"path\":\"Reuse me.bin\",\"type\":\"file\",\"size\":4096,"), std::string::npos);
  EXPECT_NE(r.out.find("\"deleted\":true,\"condition\":2}"), std::string::npos);
  EXPECT_NE(r.out.find("{\"path\":\"README.TXT\",\"type\":\"file\",\"size\":1200,\"mtime\":\"2001-02-03T04:05:06Z\","
                       "\"attributes\":32,\"deleted\":false,\"condition\":0}"),
            std::string::npos);
}

TEST(Cli, LsFiltersByStateAndMask) {
  const std::string img = FixtureImage("fat12");
  auto live = RunTool({"ls", img});
  ASSERT_EQ(live.exitCode, 0);
  EXPECT_EQ(live.out.find("deleted"), std::string::npos);
  EXPECT_NE(live.out.find("  Docs/Reports/2005/Q1/Week 12/Monday/Morning/deep file.txt\n"), std::string::npos);

  auto deleted = RunTool({"ls", img, "--deleted-only"});
  ASSERT_EQ(deleted.exitCode, 0);
  auto lines = Lines(deleted.out);
  EXPECT_GE(lines.size(), 9u);
  for (auto& l : lines) EXPECT_NE(l.find(" deleted:"), std::string::npos) << l;
  EXPECT_NE(deleted.out.find("deleted:intact  _ELME.TXT\n"), std::string::npos);
  EXPECT_NE(deleted.out.find("deleted:reused  Reuse me.bin\n"), std::string::npos);

  auto masked = RunTool({"ls", img, "--mask", "*.dat", "--deleted"});
  ASSERT_EQ(masked.exitCode, 0);
  EXPECT_EQ(Lines(masked.out).size(), 1u) << masked.out;
  EXPECT_NE(masked.out.find("Trash/Old stuff/_LD.DAT"), std::string::npos);
}

TEST(Cli, RefusesWhatItCannotRead) {
  const std::string img = FixtureImage("fat12");
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"ls"}, 2}, {{"ls", img, "--deleted", "--deleted-only"}, 2}, {{"ls", "/no/such/image"}, 1},
      {{"cat", img, "Docs"}, 1}, {{"cat", img, "Docs/missing.txt"}, 1}, {{"cat", img, "README.TXT", "--fat", "3"}, 2},
      {{"scan", FixtureDir(), "--api", "vfat"}, 1}};
  for (const auto& [args, status] : cases) EXPECT_EQ(RunTool(args).exitCode, status) << args[0] << " " << args.back();
  // Other file systems are named in one line (NTFS is read: see the NTFS suite).
  const std::string other = FixtureDir() + "/other-" + std::to_string(getpid()) + ".img";
  const std::pair<std::string, std::string> kinds[] = {
      {"truncate -s 4M $I && mkfs.ext4 -q -F $I", "an ext2/ext3/ext4 file system"},
      {"head -c 1M /dev/zero > $I && printf '\\353\\166\\220EXFAT   ' | dd of=$I conv=notrunc status=none",
       "an exFAT volume"},
      {"head -c 64K /dev/urandom > $I", "no FAT or NTFS volume found"}};
  for (const auto& [make, found] : kinds) {
    ASSERT_EQ(RunProgram({"bash", "-c", "I=" + other + "; rm -f $I; " + make}).exitCode, 0) << make;
    auto r = RunTool({"ls", other});
    EXPECT_EQ(r.exitCode, 1) << found;
    EXPECT_EQ(r.err, "moxvolscan ls: " + other + ": " + found +
                         (found[0] == 'n' ? "" : ", neither FAT nor NTFS") + "; this program reads FAT and NTFS volumes\n");
  }
  fs::remove(other);
}

TEST(Cli, CatGivesTheBytesIcatGives) {
  for (const auto& name : FixtureNames()) {
    const std::string img = FixtureImage(name);
    for (std::string path : {"fragmented.bin", "日本語のファイル.txt"}) {
      auto r = RunTool({"cat", img, path});
      ASSERT_EQ(r.exitCode, 0) << name << " " << path << r.err;
      EXPECT_EQ(r.out, RunProgram({"icat", img, InodeOf(img, path)}).out) << name << " " << path;
    }
    // Letter case and "\" separators as a Windows user types them.
    EXPECT_EQ(RunTool({"cat", img, "docs\\REPORTS\\2005\\q1\\week 12\\monday\\morning\\DEEP FILE.TXT"}).out,
              RunTool({"cat", img, "Docs/Reports/2005/Q1/Week 12/Monday/Morning/deep file.txt"}).out);
  }
}

TEST(Cli, SaveBringsBackDeletedFilesWithTimeAndAttributes) {
  TempDir dest;
  const std::string img = FixtureImage("fat32");
  auto r = RunTool({"save", img, "Deleted long name.txt", "_ELME.TXT", "RO.TXT", "ALL.TXT", dest.path.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadHostFile(dest.path / "Deleted long name.txt"),
            RunProgram({"icat", "-r", img, InodeOf(img, "Deleted long name.txt")}).out);
  EXPECT_EQ(fs::file_size(dest.path / "_ELME.TXT"), 3000u);
  struct stat st {};
  ASSERT_EQ(stat((dest.path / "Deleted long name.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1436011200);  // 2015-07-04 12:00:00, the volume's time as it stands (TZ=UTC)
  ASSERT_EQ(stat((dest.path / "RO.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only stays read-only";
}

TEST(Cli, SaveCopiesFoldersWithAllTheyHold) {
  TempDir dest;
  const fs::path into = dest.path / "a\\b";  // a host name holding "\"
  auto r = RunTool({"save", FixtureImage("fat12"), "Trash", into.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(fs::file_size(into / "Trash" / "thrown away.txt"), 3000u);
  EXPECT_EQ(fs::file_size(into / "Trash" / "Old stuff" / "_LD.DAT"), 5000u);
  EXPECT_EQ(ReadHostFile(into / "Trash" / "Old stuff" / "Older" / "_LDEST.TXT").substr(0, 7), "oldest\n");
  // A live folder: its live files by their chains, its deleted ones as contiguous clusters.
  const std::string img = FixtureImage("fat16");
  r = RunTool({"save", img, "Docs", into.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadHostFile(into / "Docs" / "TAKER.BIN"), RunProgram({"icat", img, InodeOf(img, "Docs/TAKER.BIN")}).out);
  EXPECT_EQ(ReadHostFile(into / "Docs" / "Reports" / "_UMMARY.DOC"),
            RunProgram({"icat", "-r", img, InodeOf(img, "Docs/Reports/_UMMARY.DOC")}).out);
  EXPECT_TRUE(fs::exists(into / "Docs" / "Reports" / "2005" / "Q1" / "Week 12" / "Monday" / "Morning" / "deep file.txt"));
}

TEST(Cli, SaveNeverWritesThroughALinkInDest) {
  TempDir dest;
  const fs::path in = dest.path / "in", out = dest.path / "out";
  fs::create_directories(in);
  fs::create_directories(out);
  std::ofstream(out / "kept") << "mine";
  fs::create_symlink(out / "dangling", in / "README.TXT");
  fs::create_symlink(out / "kept", in / "NOTES");
  fs::create_directories(in / "Docs");
  fs::create_symlink(out, in / "Docs" / "Reports");  // the rest of Docs is still saved
  auto r = RunTool({"save", FixtureImage("fat16"), "README.TXT", "NOTES", "Docs", in.string(), "--overwrite", "all"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(in.string() + "/NOTES: cannot write the file (a symbolic link is in the way); not saved"),
            std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\\'), std::string::npos);
  EXPECT_EQ(Lines(RunProgram({"ls", out.string()}).out), std::vector<std::string>{"kept"});
  EXPECT_EQ(ReadHostFile(out / "kept"), "mine");
  EXPECT_TRUE(fs::is_symlink(in / "README.TXT"));
  EXPECT_EQ(fs::file_size(in / "Docs" / "TAKER.BIN"), 4096u);
  // A save that saves nothing leaves no folder it made.
  EXPECT_EQ(RunTool({"save", FixtureImage("fat16"), "no such file", (dest.path / "new").string()}).exitCode, 1);
  EXPECT_FALSE(fs::exists(dest.path / "new"));
}

TEST(Cli, SaveAsksBeforeOverwritingOrFollowsTheFlag) {
  TempDir dest;
  const std::string img = FixtureImage("fat16"), target = (dest.path / "NOTES").string();
  struct Case { std::vector<std::string> flags; std::string answer; size_t size; };
  const Case cases[] = {{{}, "n\n", 4}, {{}, "", 4}, {{"--overwrite", "none"}, "", 4},
                        {{}, "y\n", 333}, {{"--overwrite", "all"}, "", 333}};  // nobody answering keeps the file
  for (const Case& c : cases) {
    std::ofstream(target, std::ios::binary | std::ios::trunc) << "mine";
    std::vector<std::string> args{"save", img, "NOTES", dest.path.string()};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    auto r = RunTool(args, c.answer);
    if (!c.answer.empty() || !c.flags.empty()) {
      EXPECT_EQ(r.exitCode, 0) << c.answer << r.err;
    }
    EXPECT_EQ(fs::file_size(target), c.size) << c.answer;
    if (!c.answer.empty()) {
      EXPECT_NE(r.err.find("NOTES: the file exists; replace it?"), std::string::npos);
    }
  }
  EXPECT_EQ(RunTool({"save", img, "NOTES", dest.path.string(), "--overwrite", "maybe"}).exitCode, 2);
}

TEST(Cli, ScanWithTheRawFatScannerListsTheLiveFiles) {
  const std::string img = FixtureImage("fat32");
  size_t liveFiles = 0;
  for (auto& e : TskListing(img)) liveFiles += !e.dir && !e.deleted;
  auto count = RunTool({"scan", img, "--api", "vfat", "--count"});
  ASSERT_EQ(count.exitCode, 0) << count.err;
  EXPECT_EQ(count.out.substr(0, count.out.find(' ')), std::to_string(liveFiles));
  auto lines = RunTool({"scan", img, "--api", "vfat"});
  EXPECT_NE(lines.out.find("Docs/Reports/2005/Q1/Week 12/Monday/Morning/deep file.txt\t777\t"), std::string::npos);
}

// The README's walk-through on the bundled demo volume: list it with the
// deleted items, get the deleted budget back.
TEST(Cli, ReadmeWalkThroughRecoversTheDeletedBudget) {
  const std::string img = FixtureDir() + "/fat-demo-" + std::to_string(getpid()) + ".img";
  ASSERT_EQ(RunProgram({"bash", std::string(MOX_SOURCE_DIR) + "/scripts/make_demo_image.sh", img}).exitCode, 0);
  auto ls = RunTool({"ls", img, "--deleted"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_NE(ls.out.find("deleted:intact  Documents/Summer budget.txt\n"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("deleted:intact  Drafts/_EATING.TXT\n"), std::string::npos);
  TempDir dest;
  auto save = RunTool({"save", img, "Documents/Summer budget.txt", dest.path.string()});
  ASSERT_EQ(save.exitCode, 0) << save.err;
  std::string budget = ReadHostFile(dest.path / "Summer budget.txt");
  EXPECT_EQ(budget.rfind("Budget for the summer\n", 0), 0u) << budget;
  EXPECT_EQ(budget.size(), 158u);
  fs::remove(img);
}

}  // namespace
