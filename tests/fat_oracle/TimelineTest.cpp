// ls --format body on FAT, held to fls -m: the same lines (inode numbers
// included) in any zone, since FAT times are the wall clock of TZ.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ItemText.h"
#include "OracleSupport.h"
#include "ScopedZone.h"
#include "ScratchDir.h"

using namespace oracle;

namespace {

// fls -m without what it adds of its own: the label and its virtual files.
std::string FlsBody(const std::string& image, bool deletedOnly) {
  std::vector<std::string> argv{"fls", "-r", "-m", "/", image};
  if (deletedOnly) argv.insert(argv.begin() + 1, "-d");
  std::string body;
  for (const std::string& line : Lines(RunProgram(argv).out))
    if (line.find("(Volume Label Entry)") == std::string::npos && line.rfind("0|/$", 0) != 0) body += line + "\n";
  return body;
}

TEST(FatTimeline, BodyFileIsFlsOwnInEveryZone) {
  for (const char* zone : {"UTC", "America/New_York"}) {
    ScopedZone scoped(zone);
    for (const std::string& name : FixtureNames()) {
      const std::string image = FixtureImage(name);
      const ToolResult all = RunTool({"ls", image, "--deleted", "--format", "body"});
      ASSERT_EQ(all.exitCode, 0) << all.err;
      EXPECT_EQ(WholeSecondBody(all.out), WholeSecondBody(FlsBody(image, false))) << zone << " " << name;
      const ToolResult deleted = RunTool({"ls", image, "--deleted-only", "--format", "body"});
      EXPECT_EQ(WholeSecondBody(deleted.out), WholeSecondBody(FlsBody(image, true))) << zone << " " << name;
    }
  }
}

// The creation time keeps 10 ms units, up to 1.99 s past its 2-second time:
// the body file has them as decimals, which mactime reads, and JSON as well.
// The body's instants are New York's wall clock (summer: UTC-4).
TEST(FatTimeline, CreationTimeKeepsItsHundredths) {
  ScopedZone zone("America/New_York");
  ScratchDir dir;
  const std::string image = dir / "card.img";
  std::filesystem::copy_file(FixtureImage("fat16"), image);
  {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find("ALL     TXT");
    ASSERT_NE(at, std::string::npos);
    f.seekp(std::streamoff(at + 13));
    f.put(char(137));
  }
  std::string line;
  for (const std::string& l : Lines(RunTool({"ls", image, "--format", "body"}).out))
    if (l.find("|/ALL.TXT|") != std::string::npos) line = l;
  EXPECT_EQ(line.substr(line.rfind('|') + 1), "1560620731.37") << line;
  EXPECT_NE(line.find("|r/r--x--x--x|0|0|100|1560571200|1560620730|0|"), std::string::npos) << line;

  const std::string json = RunTool({"ls", image, "--json", "--mask", "all.txt"}).out;
  EXPECT_EQ(JsonField(json, "crtime"), "2019-06-15T13:45:31.37");
  EXPECT_EQ(JsonField(json, "atime"), "2019-06-15");
  EXPECT_EQ(JsonField(json, "ctime"), "null");

  std::ofstream(dir / "body") << line << "\n";
  const ToolResult mactime = RunProgram({"mactime", "-b", dir / "body", "-y", "-z", "UTC"});
  EXPECT_EQ(mactime.exitCode, 0) << mactime.err;
  EXPECT_NE(mactime.out.find("2019-06-15T17:45:31Z"), std::string::npos) << mactime.out;
}

}  // namespace
