// ls --format body and the JSON times on NTFS: each item's standard
// information line and its $FILE_NAME line as fls -m writes them, the
// fractions fls leaves out, the same instants in JSON, read by mactime.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>
#include <set>

#include "ItemText.h"
#include "NtfsOracle.h"
#include "ScopedZone.h"
#include "ScratchDir.h"

using namespace ntfsoracle;

namespace {

constexpr const char* kFileNameTag = " ($FILE_NAME)";

// Where the two differ by design, left out of both: fls's $-files and
// nameless orphans, our "MFT n" folders, and the $FILE_NAME lines of records
// with several names, to which fls gives the times of the record's last
// name (once per attribute-list entry) where ours gives each name its own.
// fls leaves the type of some live names open ("-/r", on 64 KiB clusters):
// such a name's type is its file's.
std::string Comparable(const std::string& body, const std::set<std::string>& multiNamed) {
  std::string out;
  for (const std::string& line : Lines(body)) {
    auto cols = BodyColumns(line);
    if (cols.size() != 11) return "malformed: " + line;
    const std::string record = cols[2].substr(0, cols[2].find('-'));
    if (cols[1].rfind("/$", 0) == 0 || (cols[1].find(kFileNameTag) != std::string::npos && multiNamed.count(record)))
      continue;
    const bool deleted = cols[1].size() >= 10 && cols[1].compare(cols[1].size() - 10, 10, " (deleted)") == 0;
    if (!deleted && cols[3].size() > 2 && cols[3][0] == '-') cols[3][0] = cols[3][2];
    for (size_t i = 0; i < cols.size(); ++i) out += (i ? "|" : "") + cols[i];
    out += "\n";
  }
  return out;
}

class NtfsTimeline : public testing::TestWithParam<std::string> {};

TEST_P(NtfsTimeline, BodyFileIsFlsOwn) {
  const std::string image = FixtureImage(GetParam());
  const ToolResult ours = RunTool({"ls", image, "--deleted", "--format", "body"});
  ASSERT_EQ(ours.exitCode, 0) << ours.err;
  std::map<std::string, std::set<std::string>> names;  // record -> paths
  for (const std::string& line : Lines(ours.out)) {
    const auto cols = BodyColumns(line);
    ASSERT_EQ(cols.size(), 11u) << line;
    if (cols[1].find(kFileNameTag) == std::string::npos) {
      names[cols[2].substr(0, cols[2].find('-'))].insert(cols[1]);
      continue;
    }
    // Each name's own $FILE_NAME: 0x42 bytes and the name in UTF-16.
    const std::string name = cols[1].substr(cols[1].rfind('/') + 1, cols[1].find(kFileNameTag) - cols[1].rfind('/') - 1);
    if (std::all_of(name.begin(), name.end(), [](char c) { return c > 0 && c != '%'; })) {
      EXPECT_EQ(cols[6], std::to_string(0x42 + 2 * name.size())) << line;
    }
  }
  std::set<std::string> multiNamed;
  for (const auto& [record, paths] : names)
    if (paths.size() > 1) multiNamed.insert(record);
  EXPECT_FALSE(multiNamed.empty());  // the fixtures' hard links
  const std::string fls = RunProgram({"fls", "-r", "-m", "/", image}).out;
  EXPECT_EQ(WholeSecondBody(Comparable(ours.out, multiNamed), true),
            WholeSecondBody(Comparable(fls, multiNamed), true));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsTimeline, testing::ValuesIn(FixtureNames()));

// "2026-12-06T00:28:20.2905035Z" as a body file writes it: "1796516900.2905035".
std::string EpochOf(const std::string& iso) {
  if (iso == "null" || iso == "<missing>") return "0";
  struct tm t {};
  if (!strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &t)) return "bad " + iso;
  std::string out = std::to_string(timegm(&t));
  if (const size_t dot = iso.find('.'); dot != std::string::npos) {
    std::string fraction = iso.substr(dot, iso.size() - 1 - dot);
    while (fraction.back() == '0') fraction.pop_back();
    out += fraction;
  }
  return out;
}

// Full precision: the body file's decimals are the JSON instants to 100 ns,
// the same in any zone, and mactime reads them.
TEST(NtfsTimelineTimes, BodyAndJsonHoldTheSameInstants) {
  ScopedZone zone("America/New_York");
  const std::string image = FixtureImage("ntfs512");
  const ToolResult body = RunTool({"ls", image, "--deleted", "--format", "body"});
  ASSERT_EQ(body.exitCode, 0) << body.err;
  {
    ScopedZone utc("UTC");
    EXPECT_EQ(RunTool({"ls", image, "--deleted", "--format", "body"}).out, body.out);
  }
  std::map<std::string, std::vector<std::string>> lines;  // body name -> columns
  size_t fractions = 0;
  for (const std::string& line : Lines(body.out)) {
    lines[BodyColumns(line)[1]] = BodyColumns(line);
    fractions += line.find('.') != std::string::npos;
  }
  EXPECT_GT(fractions, 100u);
  const auto join = [](std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "|") + p;
    return out;
  };
  size_t compared = 0;
  for (const std::string& line : Lines(RunTool({"ls", image, "--deleted", "--json"}).out)) {
    const std::string path = "/" + JsonField(line, "path"), deleted = JsonField(line, "deleted") == "true" ? " (deleted)" : "";
    if (path.rfind("/$OrphanFiles", 0) == 0 || path.find('|') != std::string::npos) continue;
    // The listing's mtime is the folder index's copy; the record's own is in the body.
    const auto& own = lines[path + deleted];
    ASSERT_EQ(own.size(), 11u) << path;
    EXPECT_EQ(join({EpochOf(JsonField(line, "atime")), EpochOf(JsonField(line, "ctime")), EpochOf(JsonField(line, "crtime"))}),
              join({own[7], own[9], own[10]}))
        << path;
    const size_t inner = line.find("\"file_name\":{");
    ASSERT_NE(inner, std::string::npos) << line;
    const std::string fn = line.substr(inner);
    const auto& name = lines[path + kFileNameTag + deleted];
    ASSERT_EQ(name.size(), 11u) << path;
    EXPECT_EQ(join({EpochOf(JsonField(fn, "atime")), EpochOf(JsonField(fn, "mtime")), EpochOf(JsonField(fn, "ctime")),
                    EpochOf(JsonField(fn, "crtime"))}),
              join({name[7], name[8], name[9], name[10]}))
        << path;
    ++compared;
  }
  EXPECT_GT(compared, 1500u);

  ScratchDir dir;
  std::ofstream(dir / "body") << body.out;
  const ToolResult mactime = RunProgram({"mactime", "-b", dir / "body", "-y", "-z", "UTC"});
  ASSERT_EQ(mactime.exitCode, 0) << mactime.err;
  EXPECT_NE(mactime.out.find("2001-02-03T04:05:06Z      300 ma.. r/rrwxrwxrwx 0        0        66-128-2 /"),
            std::string::npos);
  EXPECT_NE(mactime.out.find("/Trash (deleted)"), std::string::npos);
}

}  // namespace
