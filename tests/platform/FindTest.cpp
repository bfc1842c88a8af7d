// FindFirstFileW/FindNextFileW over host folders reached through drive letters.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "../scanner/TreeFixture.h"
#include "WinApi.h"

namespace {

class Find : public TreeFixture {
 protected:
  std::u16string Path(const std::u16string& rest) { return Root() + rest; }
  // Every record of a search, by name.
  std::map<std::u16string, WIN32_FIND_DATAW> List(const std::u16string& pattern) {
    std::map<std::u16string, WIN32_FIND_DATAW> out;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(pattern.c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return out;
    do out[d.cFileName] = d;
    while (FindNextFileW(h, &d));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    return out;
  }
};

// Sizes, times and plain attributes are compared with find by the scan command suite.
TEST_F(Find, RecordsCarryAttributesFromLstat) {
  File("file.txt", 5);
  File(".dot");
  File("ro", 1);
  chmod((dir / "ro").c_str(), 0444);
  Dir("sub");
  Link("file.txt", "flink");
  Link("sub", "dlink");
  const auto all = List(Path(u"*"));
  ASSERT_EQ(all.size(), 8u);  // with "." and ".."
  EXPECT_EQ(all.at(u".").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(all.at(u"ro").dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(all.at(u"sub").dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(all.at(u"flink").dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(all.at(u"dlink").dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(all.at(u"flink").dwReserved0, 0xA000000Cu);
}

// Masks match without regard to case; prefixes, either separator and host
// paths reach the same folder, never above the root.
TEST_F(Find, MasksPrefixesAndSeparators) {
  for (const char* name : {"a.TXT", "b.txt", "c.bin", "noext", "sub/inner/x"}) File(name);
  const std::pair<std::u16string, size_t> cases[] = {
      {Path(u"*.txt"), 2}, {Path(u"?.bin"), 1}, {Path(u"noext"), 1},
      {Path(u"*.*"), 7},  // every name, dots or not, with "." and ".."
      {u"\\\\?\\" + Path(u"sub\\inner\\*"), 3}, {Path(u"sub/inner/*"), 3},
      {AnsiToWide(dir.path()) + u"/sub/inner/*", 3}, {Path(u"sub\\..\\..\\..\\sub\\inner\\*"), 3}};
  for (const auto& [pattern, count] : cases) EXPECT_EQ(List(pattern).size(), count) << WideToAnsi(pattern);
}

TEST_F(Find, FailuresSetTheLastError) {
  WIN32_FIND_DATAW d;
  const std::pair<std::u16string, DWORD> misses[] = {
      {Path(u"missing\\*"), ERROR_PATH_NOT_FOUND}, {Path(u"*.none"), ERROR_FILE_NOT_FOUND}, {u"Q:\\*", ERROR_PATH_NOT_FOUND}};
  for (const auto& [pattern, error] : misses) {  // Q: is bound to nothing
    EXPECT_EQ(FindFirstFileW(pattern.c_str(), &d), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), error);
  }
  EXPECT_FALSE(FindNextFileW(INVALID_HANDLE_VALUE, &d));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FindClose(nullptr));
}

}  // namespace
