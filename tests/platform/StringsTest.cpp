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

// A caller may ask whether a default character stood in; where the code page
// is UTF-8 none ever does, and Windows refuses to be asked for UTF-8 itself.
TEST(CodePage, MayBeAskedWhetherADefaultCharacterWasUsed) {
  BOOL used = TRUE;
  char out[8] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\u00e9", 2, out, sizeof out, nullptr, &used), int(WideToAnsi(u"a\u00e9").size()));
  EXPECT_EQ(std::string(out), WideToAnsi(u"a\u00e9"));
  EXPECT_FALSE(used);
}

TEST(CaseMapping, UpperCasesLatinGreekAndCyrillicInPlace) {
  WCHAR w[] = u"abc_é_ÿ_ő_ł_σ_я_ё_1";
  EXPECT_EQ(std::u16string(CharUpperW(w)), u"ABC_É_Ÿ_Ő_Ł_Σ_Я_Ё_1");
  char a[] = "abc \xC3\xA9 \xC3\xBF z \xFF";  // the stray byte stays as it is
  EXPECT_EQ(std::string(CharUpperA(a)), "ABC \xC3\x89 \xC5\xB8 Z \xFF");
}

}  // namespace
