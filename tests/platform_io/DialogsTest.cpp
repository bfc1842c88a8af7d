// Dialogs without a handler, the string table and the abstract stream.
#include <gtest/gtest.h>

#include "Stream.h"
#include "WinApi.h"

namespace {

// What a handler sees: the sector layer's and the FAT saving's suites.
TEST(Dialogs, WithoutAHandlerTheSafeAnswerIsGiven) {
  EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_ABORTRETRYIGNORE | MB_ICONEXCLAMATION), IDABORT);
  EXPECT_EQ(MessageDlg("exists", TMsgDlgType::mtConfirmation, mbYes | mbNo | mbAll), IDNO);
  EXPECT_EQ(MessageDlg("failed", TMsgDlgType::mtWarning, mbOK), IDOK);
}

// The format directives each numbered text must carry, in order, so that the
// callers' arguments fit.
TEST(StringTable, EachTextTakesTheArgumentsItsCallerPasses) {
  const struct {
    int id;
    const char* directives;
  } cases[] = {{1711, "s"}, {1712, "sdd"}, {1713, "sdd"}, {1715, "s"}, {1716, ""}, {1717, "ss"},
               {1718, "s"}, {1719, ""},    {1720, "s"},   {1721, "sdd"}};
  for (const auto& c : cases) {
    const std::string text = LoadStr(c.id);
    EXPECT_FALSE(text.empty()) << c.id;
    std::string found;
    for (size_t i = 0; i + 1 < text.size(); ++i)
      if (text[i] == '%') found += text[++i];
    EXPECT_EQ(found, c.directives) << c.id << ": " << text;
  }
  EXPECT_EQ(LoadStr(1714) + LoadStr(0), "");
}

// A read-only stream overriding only Read and the 32-bit Seek, as the file
// systems' streams do.
class TenBytes : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override {
    const int32_t n = std::max(0, std::min(count, 10 - pos));
    for (int32_t i = 0; i < n; ++i) static_cast<char*>(buffer)[i] = static_cast<char>('0' + pos + i);
    pos += n;
    return n;
  }
  int32_t Seek(int32_t offset, uint16_t origin) override {
    if (origin == soFromBeginning) pos = offset;
    if (origin == soFromCurrent) pos += offset;
    if (origin == soFromEnd) pos = 10 + offset;
    return pos;
  }
  int32_t pos = 0;
};

TEST(Stream, SizeAndPositionComeFromSeekAndUnwrittenWriteIsAbstract) {
  TenBytes s;
  s.Seek(3, soFromBeginning);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Position(), 3);  // put back after measuring
  EXPECT_EQ(s.Seek(-4, soFromEnd), 6);
  char buf[8];
  s.ReadBuffer(buf, 4);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_THROW(s.ReadBuffer(buf, 1), EStreamError);
  EXPECT_THROW(s.Write("x", 1), EAbstractError);
}

}  // namespace
