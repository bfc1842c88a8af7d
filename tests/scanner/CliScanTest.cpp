// moxvolscan scan, run as a program, against find over the same tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "ItemText.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

// A shown path back to its bytes: "%XX" is the byte XX.
std::string Unescape(const std::string& shown) {
  std::string out;
  for (size_t i = 0; i < shown.size(); ++i)
    if (shown[i] == '%' && i + 2 < shown.size()) out += char(std::stoi(shown.substr(i + 1, 2), nullptr, 16)), i += 2;
    else out += shown[i];
  return out;
}

// A tree with what a real one has: nesting, empty folders, hidden and
// non-ASCII names, bytes that are not UTF-8, odd characters, a sparse file
// past 4 GiB, links (not listed or followed by either side).
void GrowTree(const ScratchDir& d) {
  for (int i = 0; i < 12; ++i)
    for (int j = 0; j < 9; ++j)
      WriteHostFile(d / ("dir" + std::to_string(i) + "/sub" + std::to_string(j % 3) + "/file" + std::to_string(j)),
            std::string(size_t(i * 37 + j), 'a'));
  WriteHostFile(d / "Ünïcödé/日本/文書 \xF0\x9F\x98\x80.txt", "x");  // outside the BMP too
  WriteHostFile(d / "spaces and \"quotes\"/tab\there", "yy");
  WriteHostFile(d / "new\nline\x1b[1m 100%", "z");
  WriteHostFile(d / ".hidden/.file", "");
  WriteHostFile(d / "not utf-8 \xFE/\xFF then \xEF\xBF\xBD", "bytes");  // names are bytes, not text
  std::filesystem::create_directories(d / "empty/deeper");
  symlink((d / "dir1").c_str(), (d / "dirlink").c_str());
  symlink("dir1/sub0/file0", (d / "filelink").c_str());
  symlink(d.path().c_str(), (d / "dir2/loop").c_str());
  symlink("nowhere", (d / "dangling").c_str());
  WriteHostFile(d / "big", "");
  truncate((d / "big").c_str(), (5ll << 30) + 7);
}

TEST(ScanCommand, JsonListingMatchesFind) {
  ScratchDir d;
  GrowTree(d);
  const ToolResult ours = RunTool({"scan", "--json", d.path()});
  ASSERT_EQ(ours.exitCode, 0) << ours.err;
  EXPECT_EQ(ours.err, "");
  std::multiset<std::string> got, want;
  for (const auto& line : Lines(ours.out)) {
    const std::string path = Unescape(JsonField(line, "path"));
    got.insert(path + "|" + JsonField(line, "size") + "|" + JsonField(line, "mtime"));
    const int attributes = std::stoi(JsonField(line, "attributes"));
    EXPECT_EQ(attributes & 0x10, 0) << line;
    EXPECT_NE(attributes & 0x20, 0) << line;
    EXPECT_EQ((attributes & 0x2) != 0, path[path.rfind('/') + 1] == '.') << line;  // dot names are hidden
  }
  // find prints local times: in UTC they are ours.
  const ToolResult oracle =
      RunProgram({"env", "TZ=UTC", "find", d.path(), "-type", "f", "-printf", "%P|%s|%TY-%Tm-%TdT%TT\\0"});
  ASSERT_EQ(oracle.exitCode, 0);
  std::istringstream records(oracle.out);
  for (std::string line; std::getline(records, line, '\0');) {
    // At 100 ns, the fraction left out when it is zero.
    std::string time = line.substr(line.rfind('|') + 1, 27);
    if (time.ends_with(".0000000")) time.resize(19);
    want.insert(line.substr(0, line.rfind('|') + 1) + time + "Z");
  }
  EXPECT_EQ(want.size(), 114u);
  EXPECT_EQ(got, want);
}

// Plain lines and totals; a bad PATH gives one line and status 1, bad usage 2.
TEST(ScanCommand, LinesTotalsAndBadInput) {
  ScratchDir d;
  const std::string tree = d / "tree";
  WriteHostFile(tree + "/a/b.txt", "hello");
  WriteHostFile(tree + "/c\td", "");  // a tab in a name must not split the columns
  WriteHostFile(d / "plain", "not a folder");
  const auto r = RunTool({"scan", tree});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto lines = Lines(r.out);
  std::sort(lines.begin(), lines.end());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, lines[1].rfind('\t')), "c%09d\t0");
  EXPECT_EQ(r.err, "");  // no progress line: stderr is not a terminal
  EXPECT_EQ(RunTool({"scan", "--count", tree}).out, "2 files, 5 bytes\n");
  for (const std::string& path : {d / "missing", d / "plain"}) {
    const auto bad = RunTool({"scan", path});
    EXPECT_EQ(bad.exitCode, 1) << path;
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
    EXPECT_NE(bad.err.find(path), std::string::npos) << bad.err;
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"scan"}, {"scan", tree, "--json", "--count"}, {"scan", tree, "--api", "nope"},
        {"scan", tree, "--bogus"}})
    EXPECT_EQ(RunTool(args).exitCode, 2) << args.back();
}

TEST(ScanCommand, CtrlCAbortsPrintsTotalsAndFails) {
  ScratchDir d;
  for (int i = 0; i < 40; ++i)
    for (int j = 0; j < 250; ++j) WriteHostFile(d / ("d" + std::to_string(i) + "/f" + std::to_string(j)), "");
  // The listing is far larger than a pipe holds: once we stop reading, the
  // scan blocks on its output and is certainly still running at the signal.
  ToolProcess p({MOX_TOOL_PATH, "scan", "--json", d.path()});
  p.ReadOut(1);
  p.Signal(SIGINT);
  const ToolResult r = p.Finish();
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("interrupted after "), std::string::npos) << r.err;
  EXPECT_LT(Lines(r.out).size(), 10000u);
  EXPECT_EQ(r.out.back(), '\n');  // whole lines only
}

TEST(ScanCommand, UnreadableFoldersAreSkippedAndNamed) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  ScratchDir d;
  WriteHostFile(d / "open/a", "1");
  WriteHostFile(d / "closed/b", "2");
  ASSERT_TRUE(RunQuietly("cd " + d.path() + " && chmod 755 . open && chmod 644 open/a && chmod 700 closed"));
  // As an ordinary user without the capability to read every folder.
  const auto r = RunProgram({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                             MOX_TOOL_PATH, "scan", "--count", d.path()});
  if (r.exitCode == 127 || r.err.find("Permission denied") != std::string::npos)
    GTEST_SKIP() << "the program is not reachable for an ordinary user here: " << r.err;
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, "1 files, 1 bytes\n");
  EXPECT_EQ(r.err, "moxvolscan scan: could not enter closed/\n");
}

}  // namespace
