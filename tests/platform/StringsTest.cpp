// UTF-8 <-> UTF-16 conversion as the 8-bit code page, and upper-casing.
#include <gtest/gtest.h>

#include "WinApi.h"

namespace {

std::u16string ToWide(const std::string& s) { return AnsiToWide(s); }

TEST(CodePage, WellFormedTextRoundTrips) {
  const std::string text = "plain é 日本 \xF0\x9F\x98\x80";
  const std::u16string wide = ToWide(text);
  EXPECT_EQ(wide, u"plain é 日本 \U0001F600");
  EXPECT_EQ(WideToAnsi(wide), text);
}

TEST(CodePage, EveryIllFormedSubpartBecomesOneReplacement) {
  EXPECT_EQ(ToWide("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(ToWide("\x80\x80"), u"\uFFFD\uFFFD");         // stray continuation bytes
  EXPECT_EQ(ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");         // overlong form
  EXPECT_EQ(ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(ToWide("\xE6\x97"), u"\uFFFD");               // truncated at the end
  EXPECT_EQ(ToWide("\xE6\x97" "x"), u"\uFFFDx");          // truncated before ASCII
  EXPECT_EQ(ToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // beyond U+10FFFF
}

TEST(CodePage, LoneSurrogatesBecomeReplacementOnTheWayOut) {
  EXPECT_EQ(WideToAnsi(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(WideToAnsi(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
}

TEST(CodePage, BufferSizesFollowTheWindowsRules) {
  const char* src = "h\xC3\xA9";  // "hé"
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, src, -1, nullptr, 0), 3);  // with the terminator
  WCHAR out[3];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, src, -1, out, 3), 3);
  EXPECT_EQ(out[1], u'é');
  EXPECT_EQ(out[2], 0);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, src, -1, out, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, src, 0, out, 3), 0);  // empty input is an error
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  const WCHAR wide[] = u"\U0001F600";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 2, nullptr, 0, nullptr, nullptr), 4);
  char narrow[4];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 2, narrow, 3, nullptr, nullptr), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 2, narrow, 4, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(narrow, 4), "\xF0\x9F\x98\x80");
}

TEST(CaseMapping, UpperCasesLatinGreekAndCyrillicInPlace) {
  WCHAR w[] = u"abc_é_ÿ_ő_ł_σ_я_ё_1";
  EXPECT_EQ(std::u16string(CharUpperW(w)), u"ABC_É_Ÿ_Ő_Ł_Σ_Я_Ё_1");
  char a[] = "abc \xC3\xA9 \xC3\xBF z \xFF";  // the stray byte stays as it is
  EXPECT_EQ(std::string(CharUpperA(a)), "ABC \xC3\x89 \xC5\xB8 Z \xFF");
}

}  // namespace
