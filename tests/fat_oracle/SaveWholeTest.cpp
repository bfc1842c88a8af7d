// moxvolscan save of a whole FAT volume: everything ls lists comes out, and
// the last line says what was done.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "ItemText.h"
#include "OracleSupport.h"
#include "ScratchDir.h"

using namespace oracle;
namespace fs = std::filesystem;

namespace {

std::set<std::string> SavedFiles(const std::string& dest) {
  std::set<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dest))
    if (e.is_regular_file()) files.insert(fs::relative(e.path(), dest).string());
  return files;
}

TEST(SaveWhole, TheRootSavesEveryListedFileAndReusedOnesAreToldNotFailed) {
  const std::string img = FixtureImage("fat12");
  std::set<std::string> listed;
  uint64_t bytes = 0;
  for (const std::string& line : Lines(RunTool({"ls", img, "--deleted", "--json"}).out))
    if (JsonField(line, "type") == "file") {
      listed.insert(JsonField(line, "path"));
      bytes += std::stoull(JsonField(line, "size"));
    }
  ScratchDir dest;
  const ToolResult r = RunTool({"save", img, "/", dest.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(SavedFiles(dest.path()), listed);
  EXPECT_NE(r.err.find("save: Reuse me.bin: saved, but its space was reused"), std::string::npos) << r.err;
  const std::vector<std::string> lines = Lines(r.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "moxvolscan save: " + std::to_string(listed.size()) + " saved (" + std::to_string(bytes) +
                              " bytes), 0 short, 2 reused, 0 skipped, 0 failed");
  // Kept files are counted as skipped, and the line still comes last.
  const ToolResult again = RunTool({"save", img, "Trash", "README.TXT", dest.path(), "--overwrite", "none"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(Lines(again.err).back(), "moxvolscan save: 0 saved (0 bytes), 0 short, 0 reused, 4 skipped, 0 failed");
}

}  // namespace
