#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Helpers.h"
#include "WinApi.h"

namespace {

TEST(HelpersFormat, DosDatesHexAndBinaryText) {
  struct Case {
    uint16_t time, date;
    const char* dateTime;
  } const cases[] = {
      {0x6000, 0x3A21, "01.01.2009 12:00"},
      {0x0000, 0x0000, "00.00.1980 00:00"},  // zero words still format
      {0xBF7D, 0xFF9F, "31.12.2107 23:59"},  // top of every field; seconds dropped
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fsTimeDate2Str(c.time, c.date), c.dateTime) << std::hex << c.time << " " << c.date;
    EXPECT_EQ(fsDate2Str(c.date), std::string(c.dateTime, 10));
  }
  EXPECT_EQ(Word2Bin(1), "0000000000000001");
  EXPECT_EQ(Data2Hex((const uint8_t*)"\x12\x34\x56", 3), "563412");  // last byte first
  EXPECT_EQ(Bin2Word("0000000000000001"), 0x8000);  // bit 0 first
  EXPECT_EQ(Bin2Word(std::string(20, '1')), 0xFFFF);  // only 16 characters count
  std::vector<uint8_t> many(128, 0xAB);
  EXPECT_EQ(Data2Hex(many.data(), 128).size(), 255u);  // a short string is cut at 255
  const std::pair<std::string, std::vector<uint8_t>> hex[] = {
      {"563412", {0x12, 0x34, 0x56}},
      {"F563412", {0x12, 0x34, 0x56}},  // odd length: the first character is ignored
      {"zz12", {0x12, 0x00}},           // a pair that isn't hex gives 0
  };
  for (const auto& [text, bytes] : hex) {
    std::vector<uint8_t> out(bytes.size() + 1, 0xEE);
    Hex2Data(text, out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), bytes) << text;
    EXPECT_EQ(out.back(), 0xEE) << "wrote past length div 2 for " << text;
  }
}

TEST(HelpersText, EscapesAndLines) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\\nb", "a\rb"}, {"a\\\\b", "a\\b"},
      {"a\\xb", "ab"},     // unknown escape drops both characters
      {"end\\", "end\\"},  // a lone trailing backslash stays
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(ConvertFmtString(in), out) << in;
  using Lines = std::vector<std::string>;
  const std::pair<std::string, Lines> texts[] = {
      {"ab\r\ncd\r\n", {"ab", "cd"}},
      {"ab\ncd\n", {"ab", "cd"}},  // LF-only text loses nothing
      {"ab\r", {"ab"}},            // a final CR doesn't step past the end
      {"a\rb", {"a", "b"}},
      {std::string(300, 'q') + "\r\nz", {std::string(255, 'q'), "z"}},
  };
  for (const auto& [text, expected] : texts) {
    Lines lines;
    const char* pos = text.data();
    const char* end = text.data() + text.size();
    for (int guard = 0; pos < end && guard < 100; ++guard) lines.push_back(GetNextTextLine(pos, end));
    EXPECT_EQ(pos, end);
    EXPECT_EQ(lines, expected);
  }
}

TEST(HelpersPath, AbbreviateRootAndFileName) {
  const std::string path = "C:\\Programs\\Vendor\\Tool\\file.txt";
  const std::tuple<std::string, int, std::string> cases[] = {
      {path, 20, "C:\\...\\Tool\\file.txt"},
      {path, 37, path},                  // L + 5 fits
      {path, 5, "C:\\...\\file.txt"},  // the file name survives
      {"nobackslash", 3, "nobackslash"},
      // Lengths count UTF-16 units, not bytes: each of these names is 2 units.
      {"C:\\\xC3\xA4\xC3\xB6\\\xC3\xBC\xC3\xBC\\x", 9, "C:\\...\\x"},
  };
  for (const auto& [in, maxLen, out] : cases) EXPECT_EQ(AbbreviatePath(in, maxLen), out) << in << " " << maxLen;
  EXPECT_EQ(GetRootPath("D:\\dir\\file"), "D:\\");
  EXPECT_EQ(GetRootPath("x"), "x:\\");
  EXPECT_EQ(ExtractFileNameFaster("C:\\dir\\"), "");
  EXPECT_EQ(ExtractFileNameFaster("C:\\d\xC3\xA4r\\n\xC3\xA4me"), "n\xC3\xA4me");
}

// Where the system has a file-type registry its names are its own; without
// one (no icons) they are those Windows gives kinds nobody registered. A dot
// in a folder of the path is no extension.
TEST(HelpersShell, TypeNamesOfUnregisteredKinds) {
  auto type = [](const char* path, DWORD attributes) {
    AnsiString got = "unchanged", again;
    EXPECT_TRUE(ShellGetFileType(path, attributes, got)) << path;
    EXPECT_EQ(ShellGetFileInfo(path, attributes, again), ShellGetIconIndex(path, attributes)) << path;
    EXPECT_EQ(again, got) << path;
    return got;
  };
  const AnsiString odd = type("C:\\docs\\report.mvqz", FILE_ATTRIBUTE_NORMAL);
  const AnsiString plain = type("C:\\docs\\README", FILE_ATTRIBUTE_NORMAL);
  const AnsiString folder = type("C:\\photos.2024", FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(type("C:\\some.dir\\README", FILE_ATTRIBUTE_NORMAL), plain);
  AnsiString upper = odd;
  CharUpperA(upper.data());
  EXPECT_NE(upper.find("MVQZ"), AnsiString::npos) << odd;
  EXPECT_NE(plain, odd);
  EXPECT_NE(folder, plain);
  if (ShellGetIconIndex("report.mvqz", FILE_ATTRIBUTE_NORMAL) == -1) {
    EXPECT_EQ(odd, "MVQZ File");
    EXPECT_EQ(plain, "File");
    EXPECT_EQ(type("archive.", FILE_ATTRIBUTE_NORMAL), "File");
    EXPECT_EQ(folder, "File folder");
  }
}

}  // namespace
