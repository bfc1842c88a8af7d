// moxvolscan ls, cat and save on the mkfs.fat fixtures, run the way a person
// runs them, with The Sleuth Kit as the judge of the bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "ItemText.h"
#include "OracleSupport.h"
#include "ScopedZone.h"
#include "ScratchDir.h"

using namespace oracle;
namespace fs = std::filesystem;

namespace {

std::string InodeOf(const std::string& image, const std::string& path) {
  for (auto& e : TskListing(image))
    if (ToLowerAscii(e.path) == ToLowerAscii(path)) return std::to_string(e.record);
  return "";
}

TEST(Cli, LsListsEveryItemAndFiltersByStateAndMask) {
  ScopedZone zone("America/New_York");  // a FAT time is the wall clock's, in any zone: no Z
  const std::string img = FixtureImage("fat12");
  auto json = RunTool({"ls", img, "--deleted", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  EXPECT_EQ(Lines(json.out).size(), TskListing(img).size());
  EXPECT_NE(json.out.find("{\"path\":\"README.TXT\",\"type\":\"file\",\"size\":1200,\"mtime\":\"2001-02-03T04:05:06\","
                          "\"attributes\":32,\"deleted\":false,\"condition\":0,\"entry\":\"0:"),
            std::string::npos);
  auto live = RunTool({"ls", img});
  EXPECT_EQ(live.out.find("deleted"), std::string::npos);
  EXPECT_NE(live.out.find("  Docs/Reports/2005/Q1/Week 12/Monday/Morning/deep file.txt\n"), std::string::npos);
  auto deleted = RunTool({"ls", img, "--deleted-only"});
  EXPECT_GE(Lines(deleted.out).size(), 9u);
  for (auto& l : Lines(deleted.out)) EXPECT_NE(l.find(" deleted:"), std::string::npos) << l;
  EXPECT_NE(deleted.out.find("deleted:intact  _ELME.TXT\n"), std::string::npos);
  EXPECT_NE(deleted.out.find("deleted:reused  Reuse me.bin\n"), std::string::npos);

  auto masked = RunTool({"ls", img, "--mask", "*.dat", "--deleted"});
  EXPECT_EQ(Lines(masked.out).size(), 1u) << masked.out;
  EXPECT_NE(masked.out.find("Trash/Old stuff/_LD.DAT"), std::string::npos);
}

TEST(Cli, RefusesWhatItCannotRead) {
  const std::string img = FixtureImage("fat12");
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"ls"}, 2}, {{"ls", img, "--deleted", "--deleted-only"}, 2}, {{"ls", "/no/such/image"}, 1},
      {{"ls", img, "--format", "csv"}, 2}, {{"ls", img, "--json", "--format", "body"}, 2},
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
  const std::string img = FixtureImage("fat16");  // the library on each FAT type: the oracle suite
  for (std::string path : {"fragmented.bin", "日本語のファイル.txt"}) {
    auto r = RunTool({"cat", img, path});
    ASSERT_EQ(r.exitCode, 0) << path << r.err;
    EXPECT_EQ(r.out, RunProgram({"icat", img, InodeOf(img, path)}).out) << path;
  }
  // Letter case and "\" separators as a Windows user types them.
  EXPECT_EQ(RunTool({"cat", img, "docs\\REPORTS\\2005\\q1\\week 12\\monday\\morning\\DEEP FILE.TXT"}).out,
            RunTool({"cat", img, "Docs/Reports/2005/Q1/Week 12/Monday/Morning/deep file.txt"}).out);
}

TEST(Cli, SaveBringsBackFilesWithTimeAndAttributesAndFoldersWithAllTheyHold) {
  ScopedZone zone("America/New_York");
  ScratchDir dest;
  std::string img = FixtureImage("fat32");
  auto r = RunTool({"save", img, "Deleted long name.txt", "RO.TXT", dest.path()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadHostFile(dest / "Deleted long name.txt"),
            RunProgram({"icat", "-r", img, InodeOf(img, "Deleted long name.txt")}).out);
  struct stat st {};
  ASSERT_EQ(stat((dest / "Deleted long name.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1436025600);  // 2015-07-04 12:00:00 on the volume, read in summer time: 16:00 UTC
  ASSERT_EQ(stat((dest / "RO.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "read-only stays read-only";
  const fs::path into = dest / "a\\b";  // a host name holding "\"
  r = RunTool({"save", FixtureImage("fat12"), "Trash", into.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(fs::file_size(into / "Trash" / "thrown away.txt"), 3000u);
  EXPECT_EQ(fs::file_size(into / "Trash" / "Old stuff" / "_LD.DAT"), 5000u);
  EXPECT_EQ(ReadHostFile(into / "Trash" / "Old stuff" / "Older" / "_ldest.txt").substr(0, 7), "oldest\n");
  // A live folder: its live files by their chains, its deleted ones as contiguous clusters.
  img = FixtureImage("fat16");
  r = RunTool({"save", img, "Docs", into.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadHostFile(into / "Docs" / "taker.bin"), RunProgram({"icat", img, InodeOf(img, "Docs/TAKER.BIN")}).out);
  EXPECT_EQ(ReadHostFile(into / "Docs" / "Reports" / "_ummary.doc"),
            RunProgram({"icat", "-r", img, InodeOf(img, "Docs/Reports/_UMMARY.DOC")}).out);
  EXPECT_TRUE(fs::exists(into / "Docs" / "Reports" / "2005" / "Q1" / "Week 12" / "Monday" / "Morning" / "deep file.txt"));
}

TEST(Cli, SaveNeverWritesThroughALinkInDest) {
  ScratchDir dest;
  const fs::path in = dest / "in", out = dest / "out";
  fs::create_directories(in / "Docs");
  WriteHostFile(out / "kept", "mine");
  fs::create_symlink(out / "dangling", in / "README.TXT");
  fs::create_symlink(out / "kept", in / "NOTES");
  fs::create_symlink(out, in / "Docs" / "Reports");  // the rest of Docs is still saved
  auto r = RunTool({"save", FixtureImage("fat16"), "README.TXT", "NOTES", "Docs", in.string(), "--overwrite", "all"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(in.string() + "/NOTES: cannot write the file (a symbolic link is in the way); not saved"),
            std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\\'), std::string::npos);
  EXPECT_EQ(Lines(RunProgram({"ls", out.string()}).out), std::vector<std::string>{"kept"});
  EXPECT_EQ(ReadHostFile(out / "kept"), "mine");
  EXPECT_TRUE(fs::is_symlink(in / "README.TXT"));
  EXPECT_EQ(fs::file_size(in / "Docs" / "taker.bin"), 4096u);
  // A save that saves nothing leaves no folder it made.
  EXPECT_EQ(RunTool({"save", FixtureImage("fat16"), "no such file", dest / "new"}).exitCode, 1);
  EXPECT_FALSE(fs::exists(dest / "new"));
}

TEST(Cli, SaveAsksBeforeOverwritingOrFollowsTheFlag) {
  ScratchDir dest;
  const std::string img = FixtureImage("fat16"), target = dest / "NOTES";
  struct Case { std::vector<std::string> flags; std::string answer; size_t size; };
  const Case cases[] = {{{}, "n\n", 4}, {{}, "", 4}, {{"--overwrite", "none"}, "", 4},
                        {{}, "y\n", 333}, {{"--overwrite", "all"}, "", 333}};  // nobody answering keeps the file
  for (const Case& c : cases) {
    WriteHostFile(target, "mine");
    std::vector<std::string> args{"save", img, "NOTES", dest.path()};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    auto r = RunTool(args, c.answer);
    EXPECT_TRUE(r.exitCode == 0 || (c.answer.empty() && c.flags.empty())) << c.answer << r.err;
    EXPECT_EQ(fs::file_size(target), c.size) << c.answer;
    EXPECT_TRUE(c.answer.empty() || r.err.find("NOTES: the file exists; replace it?") != std::string::npos) << r.err;
  }
  EXPECT_EQ(RunTool({"save", img, "NOTES", dest.path(), "--overwrite", "maybe"}).exitCode, 2);
}

// The scanner suite holds the raw scanner's items against the library's.
TEST(Cli, ScanWithTheRawFatScannerListsTheLiveFiles) {
  auto lines = RunTool({"scan", FixtureImage("fat32"), "--api", "vfat"});
  ASSERT_EQ(lines.exitCode, 0) << lines.err;
  EXPECT_NE(lines.out.find("Docs/Reports/2005/Q1/Week 12/Monday/Morning/deep file.txt\t777\t"), std::string::npos);
}

}  // namespace
