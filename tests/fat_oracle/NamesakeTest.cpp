// Items that show the same path: each has its directory entry as an address
// that ls shows and cat and save take, and the whole volume saves into DEST.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "OracleSupport.h"

using namespace oracle;
namespace fs = std::filesystem;

namespace {

uint16_t Le16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

// mkfs.fat and mtools write the items live; their root entries are then
// deleted by hand (as a system deletes them: first byte $E5, FAT12 entry
// cleared), so no later write takes their places: A.TXT and B.TXT both show
// as _.TXT, IMG_0004.JPG as the live _MG_0004.JPG, OLE renamed OLD as OLD.
std::string NamesakeImage(const ScratchDir& dir) {
  const std::string img = dir / "namesakes.img";
  const std::string make =
      "set -e; cd " + dir.path() + "; mkfs.fat -C namesakes.img 4096 >/dev/null; " +
      "printf aaa >a; printf bbbb >b; printf img >i; printf live >l; " +
      "for f in a:A.TXT b:B.TXT i:IMG_0004.JPG l:_MG_0004.JPG; do mcopy -i namesakes.img ${f%%:*} ::${f#*:}; done; "
      "mmd -i namesakes.img ::OLD ::OLE; mcopy -i namesakes.img a ::OLD/FIRST.TXT; "
      "mcopy -i namesakes.img b ::OLE/SECOND.TXT";
  if (RunProgram({"bash", "-c", make}).exitCode != 0) return "";
  std::string b = ReadHostFile(img);
  const size_t bps = Le16(b, 11), reserved = Le16(b, 14), fats = uint8_t(b[16]), spf = Le16(b, 22);
  const size_t root = (reserved + fats * spf) * bps;
  for (size_t e = root; b[e] != 0; e += 32) {
    const std::string name = b.substr(e, 11);
    if (name != "A       TXT" && name != "B       TXT" && name != "IMG_0004JPG" && name != "OLD        " &&
        name != "OLE        ")
      continue;
    if (name == "OLE        ") b[e + 2] = 'D';
    const size_t cluster = Le16(b, e + 26);
    for (size_t k = 0; k < fats; ++k) {
      const size_t at = (reserved + k * spf) * bps + cluster + cluster / 2;  // FAT12: 12 bits of a word
      if (cluster & 1) {
        b[at] = char(b[at] & 0x0F), b[at + 1] = 0;
      } else {
        b[at] = 0, b[at + 1] = char(b[at + 1] & 0xF0);
      }
    }
    b[e] = char(0xE5);
  }
  WriteHostFile(img, b);
  return img;
}

TEST(Namesakes, EveryItemIsReachedByItsEntryAndTheLinesThatShareAPathSaySo) {
  ScratchDir dir;
  const std::string img = NamesakeImage(dir);
  ASSERT_FALSE(img.empty());
  const ToolResult ls = RunTool({"ls", img, "--deleted"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  // Namesakes and everything inside a folder that has one end with their
  // entry; a path that names one item alone keeps the plain line.
  std::map<std::string, std::vector<std::string>> byPath;  // path -> entries, in listing order
  for (const std::string& line : Lines(ls.out)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(  (\S+)  --entry (\d+:\d+)$)"))) << line;
    byPath[m[1]].push_back(m[2]);
  }
  EXPECT_EQ(byPath.size(), 5u) << ls.out;  // _.TXT, _MG_0004.JPG, _LD, _LD/FIRST.TXT, _LD/SECOND.TXT
  EXPECT_EQ(byPath["_.TXT"].size(), 2u);
  EXPECT_EQ(byPath["_LD"].size(), 2u);

  const std::map<std::string, std::string> contents = {
      {"_.TXT", "aaa|bbbb"}, {"_MG_0004.JPG", "img|live"}, {"_LD/FIRST.TXT", "aaa"}, {"_LD/SECOND.TXT", "bbbb"}};
  for (const auto& [path, want] : contents) {
    std::string got;
    for (const std::string& entry : byPath[path]) {
      const ToolResult cat = RunTool({"cat", img, "--entry", entry});
      EXPECT_EQ(cat.exitCode, 0) << path << " " << entry << cat.err;
      got += (got.empty() ? "" : "|") + cat.out;
    }
    EXPECT_EQ(got, want) << path;
  }
  // Listed without the live files, a deleted file still tells its live namesake.
  const ToolResult deletedOnly = RunTool({"ls", img, "--deleted-only"});
  EXPECT_NE(deletedOnly.out.find("  _MG_0004.JPG  --entry " + byPath["_MG_0004.JPG"][0] + "\n"), std::string::npos)
      << deletedOnly.out;
  // The JSON line of every item carries its entry as well.
  const ToolResult json = RunTool({"ls", img, "--deleted", "--json"});
  EXPECT_NE(json.out.find("{\"path\":\"_LD/SECOND.TXT\",\"type\":\"file\",\"size\":4,"), std::string::npos);
  EXPECT_NE(json.out.find(",\"entry\":\"" + byPath["_LD/SECOND.TXT"][0] + "\","), std::string::npos) << json.out;
  for (const char* bad : {"1", "0:x", ":1", "0:99"}) EXPECT_EQ(RunTool({"cat", img, "--entry", bad}).exitCode, 1) << bad;

  // The root is the whole volume: each namesake beside the other, told; a
  // live item keeps its name.
  const ToolResult save = RunTool({"save", img, "/", dir / "out"});
  EXPECT_EQ(save.exitCode, 0) << save.err;
  EXPECT_NE(save.err.find("_.TXT: saved as " + dir / "out/_ (2).TXT (another item took its name)"), std::string::npos)
      << save.err;
  const std::pair<const char*, const char*> saved[] = {
      {"_.TXT", "aaa"}, {"_ (2).TXT", "bbbb"}, {"_MG_0004.JPG", "live"}, {"_MG_0004 (2).JPG", "img"},
      {"_LD/FIRST.TXT", "aaa"}, {"_LD (2)/SECOND.TXT", "bbbb"}};
  for (const auto& [name, bytes] : saved) EXPECT_EQ(ReadHostFile(dir / ("out/" + std::string(name))), bytes) << name;
  // A folder among namesakes by its entry.
  EXPECT_EQ(RunTool({"save", img, "--entry", byPath["_LD"][1], dir / "one"}).exitCode, 0);
  EXPECT_EQ(ReadHostFile(dir / "one/_LD/SECOND.TXT"), "bbbb");
}

}  // namespace
