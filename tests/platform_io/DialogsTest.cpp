// Dialogs through the host's handler, the string table, the message pump and
// the abstract stream.
#include <gtest/gtest.h>

#include "ScratchDir.h"
#include "Stream.h"
#include "WinApi.h"

namespace {

TEST(Dialogs, TheHandlerSeesTextCaptionTypeAndButtonsAndWithoutOneTheSafeAnswerIsGiven) {
  std::vector<DialogRequest> seen;
  SetDialogHandler([&](const DialogRequest& r) {
    seen.push_back(r);
    return seen.size() == 1 ? IDRETRY : IDALL;
  });
  EXPECT_EQ(MessageBoxA(nullptr, "line\r\nnext", "NT_read error", MB_ABORTRETRYIGNORE | MB_ICONEXCLAMATION), IDRETRY);
  EXPECT_EQ(MessageDlg("folder", TMsgDlgType::mtConfirmation, mbYes | mbNo | mbAll), IDALL);
  SetDialogHandler(nullptr);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].text, "line\r\nnext");
  EXPECT_EQ(seen[0].caption, "NT_read error");
  EXPECT_EQ(seen[0].type, TMsgDlgType::mtCustom);
  EXPECT_EQ(seen[0].buttons, unsigned{mbAbort | mbRetry | mbIgnore});
  EXPECT_EQ(seen[1].caption, "");
  EXPECT_EQ(seen[1].type, TMsgDlgType::mtConfirmation);
  EXPECT_EQ(seen[1].buttons, unsigned{mbYes | mbNo | mbAll});

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

  ScratchDir dir;
  FileStream(dir / "s", FileStream::Mode::Create).WriteBuffer("abcdef", 6);
  FileStream in(dir / "s", FileStream::Mode::Read);
  in.Seek(-2, soFromEnd);
  EXPECT_EQ(in.Read(buf, 4), 2);
  EXPECT_EQ(std::string(buf, 2), "ef");
  EXPECT_EQ(in.Write("x", 1), 0);  // opened for reading
  EXPECT_THROW(FileStream(dir / "none", FileStream::Mode::Read), EStreamError);
}

}  // namespace
