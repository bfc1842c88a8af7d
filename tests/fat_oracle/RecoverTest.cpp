// moxvolscan recover on FAT: what tsk_recover gets back, under the same
// folders, minus what the verdict filter leaves out; and the filters.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "ItemText.h"
#include "OracleSupport.h"
#include "ScopedZone.h"
#include "ScratchDir.h"

using namespace oracle;
namespace fs = std::filesystem;

namespace {

// The paths of the files a dry run lists.
std::set<std::string> WouldSave(std::vector<std::string> options) {
  options.insert(options.begin(), {"recover", "--dry-run", FixtureImage("fat12")});
  const ToolResult r = RunTool(options);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::set<std::string> paths;
  for (const std::string& line : Lines(r.out))
    if (line.rfind("file", 0) == 0) paths.insert(line.substr(28));  // after type, size and verdict
  return paths;
}

TEST(Recover, GetsBackWhatTskRecoverDoesExceptReusedFiles) {
  for (const std::string& name : FixtureNames()) {
    SCOPED_TRACE(name);
    const std::string image = FixtureImage(name);
    std::set<std::string> reused;
    for (const std::string& line : Lines(RunTool({"ls", image, "--deleted", "--json"}).out))
      if (JsonField(line, "condition") == "2") reused.insert(JsonField(line, "path"));
    ScratchDir work;
    ASSERT_EQ(RunProgram({"tsk_recover", image, work / "tsk"}).exitCode, 0);
    auto expected = FilesUnder(work / "tsk");
    uint64_t bytes = 0;
    for (const std::string& path : reused) ASSERT_EQ(expected.erase(path), 1u) << path;
    for (const auto& [path, data] : expected) bytes += data.size();

    const ToolResult r = RunTool({"recover", image, work / "ours"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(FilesUnder(work / "ours"), expected);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(Lines(r.err).back(), "moxvolscan recover: " + std::to_string(expected.size()) + " saved (" +
                                       std::to_string(bytes) + " bytes), 0 short, 0 reused, 0 skipped, 0 failed; " +
                                       std::to_string(reused.size()) + " left out by the filters (" +
                                       std::to_string(reused.size()) + " of them reused)");
    // A deleted folder comes back even when nothing in it could.
    EXPECT_TRUE(fs::is_directory(work / "ours/Trash/Old stuff/Older"));
  }
}

TEST(Recover, ReusedFilesOnRequestAreSavedWholeAndCounted) {
  ScratchDir work;
  const ToolResult r = RunTool({"recover", FixtureImage("fat12"), work / "all", "--all-verdicts"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(fs::file_size(work / "all/Reuse me.bin"), 4096u);  // tsk_recover stops at the first taken cluster
  EXPECT_NE(r.err.find(", 2 reused, 0 skipped, 0 failed; 0 left out by the filters"), std::string::npos) << r.err;
}

TEST(Recover, FiltersChooseByWholePathSizeTimeAndVerdict) {
  const std::set<std::string> txt{"_ELME.TXT", "Deleted long name.txt", "Trash/Old stuff/Older/_ldest.txt",
                                  "Trash/thrown away.txt"};
  EXPECT_EQ(WouldSave({"--match", "**/*.txt"}), txt);
  EXPECT_EQ(WouldSave({"--match", "/**/*.TXT"}), txt);  // any case, the root's '/' optional
  // '*' stays within a name.
  EXPECT_EQ(WouldSave({"--match", "*"}), (std::set<std::string>{"_ELME.TXT", "Deleted long name.txt"}));
  EXPECT_EQ(WouldSave({"--match", "Trash/*", "--match=Docs/**"}),
            (std::set<std::string>{"Trash/thrown away.txt", "Docs/Reports/_ummary.doc"}));
  EXPECT_EQ(WouldSave({"--match", "Tr?sh/**/?ld*"}),
            (std::set<std::string>{"Trash/Old stuff/_LD.DAT", "Trash/Old stuff/Older/_ldest.txt"}));
  EXPECT_EQ(WouldSave({"--min-size", "4K", "--max-size", "5000"}), (std::set<std::string>{"Trash/Old stuff/_LD.DAT"}));
  EXPECT_EQ(WouldSave({"--min-size", "8.5k"}),
            (std::set<std::string>{"Deleted long name.txt", "Docs/Reports/_ummary.doc"}));
  // FAT keeps wall-clock times: the dates are read as ls shows them, in any zone.
  for (const char* zone : {"UTC", "America/New_York"}) {
    ScopedZone z(zone);
    EXPECT_EQ(WouldSave({"--before", "2015-07-04T12:00:01"}), (std::set<std::string>{"Deleted long name.txt"}));
    EXPECT_EQ(WouldSave({"--after", "2015-07-04 12:00:01", "--before", "2019-06-15T13:45:30"}),
              (std::set<std::string>{}));
  }
  const auto reusedToo = WouldSave({"--min-verdict", "reused"});
  EXPECT_EQ(reusedToo, WouldSave({"--all-verdicts"}));
  EXPECT_TRUE(reusedToo.count("Reuse me.bin") && reusedToo.count("_ole.bin"));
  EXPECT_EQ(WouldSave({"--min-verdict", "intact"}).size(), 6u);
  const auto live = WouldSave({"--live", "--match", "**/readme*"});
  EXPECT_EQ(live, (std::set<std::string>{"README.TXT"}));

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--min-size", "4X"},
                                              {"--before", "2019-6-1"},
                                              {"--min-verdict", "good"},
                                              {"--all-verdicts", "--min-verdict", "intact"}}) {
    std::vector<std::string> args{"recover", "--dry-run", FixtureImage("fat12")};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_EQ(RunTool(args).exitCode, 2) << bad[0];
  }
}

TEST(Recover, ADryRunWritesNothingAndSaysWhatWouldCome) {
  ScratchDir work;
  const ToolResult r = RunTool({"recover", "--dry-run", FixtureImage("fat12"), work / "dest"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_FALSE(fs::exists(work / "dest"));
  EXPECT_NE(r.out.find("dir             0  intact   Trash/Old stuff/Older\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("file         5000  intact   Trash/Old stuff/_LD.DAT\n"), std::string::npos) << r.out;
  EXPECT_EQ(Lines(r.err).back(),
            "moxvolscan recover: 6 to save (29600 bytes), 0 reused; 2 left out by the filters (2 of them reused)");
}

}  // namespace
