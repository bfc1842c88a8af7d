// Host files and folders through the calls that take paths and handles, as
// both systems answer them: no POSIX here, so the suite runs on Windows too.
#include <gtest/gtest.h>

#include <string>

#include "ScratchDir.h"
#include "Stream.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

struct HandleCloser {
  HANDLE h;
  ~HandleCloser() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

struct LetterOnFolder {
  char letter;
  explicit LetterOnFolder(const std::string& folder) : letter(FindFreeDriveLetter()) {
    DriveBinding b;
    b.rootDir = folder;
    BindDriveLetter(letter, b);
  }
  ~LetterOnFolder() { UnbindDriveLetter(letter); }
  std::string operator/(const std::string& rest) const { return std::string(1, letter) + ":" + rest; }
};

// Scattered reads of a host file take each piece at its own offset, stop
// short at the end, and leave the file pointer for the next ReadFile.
TEST(HostFiles, PiecesLeaveTheFilePointerWhereItWas) {
  ScratchDir dir;
  WriteHostFile(dir / "f", "0123456789abcdef");
  HandleCloser h{CreateFileA((dir / "f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
  ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(SetFilePointer(h.h, 5, nullptr, FILE_BEGIN), 5u);
  char a[4] = {}, b[8] = {};
  ReadPiece pieces[2] = {{12, a, sizeof a}, {14, b, sizeof b}};
  ASSERT_TRUE(ReadFilePieces(h.h, pieces, 2));
  EXPECT_TRUE(pieces[0].ok && pieces[1].ok);
  EXPECT_EQ(std::string(a, pieces[0].done), "cdef");
  EXPECT_EQ(std::string(b, pieces[1].done), "ef");
  char next = 0;
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h.h, &next, 1, &n, nullptr));
  EXPECT_EQ(next, '5');
}

TEST(HostFiles, FileStreamShrinksInPlaceAndRefusesWhatCannotBeOpened) {
  ScratchDir dir;
  const std::string path = dir / "s";
  {
    FileStream s(path, FileStream::Mode::Create);
    s.WriteBuffer("hello world", 11);
    EXPECT_EQ(s.Seek64(-5, soFromEnd), 6);
    s.SetSize(8);
    EXPECT_EQ(s.Position(), 6);
    EXPECT_EQ(s.Size(), 8);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "wo");
  }
  EXPECT_EQ(ReadHostFile(path), "hello wo");
  EXPECT_THROW(FileStream(dir / "none", FileStream::Mode::Read), EStreamError);
  FileStream reader(path, FileStream::Mode::Read);
  EXPECT_EQ(reader.Write("x", 1), 0);
}

// A letter bound to a folder reaches what is in it, its own root included,
// and ".." never leads above that root.
TEST(HostFiles, LetterPathsStayInTheirFolder) {
  ScratchDir dir;
  WriteHostFile(dir / "root/sub/f.txt", "in");
  WriteHostFile(dir / "f.txt", "outside");
  LetterOnFolder q(dir / "root");
  ASSERT_NE(q.letter, 0);
  EXPECT_NE(GetFileAttributesA((q / "").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(GetFileAttributesA((q / "\\").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  HandleCloser h{CreateFileA((q / "\\..\\..\\sub\\f.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr)};
  ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
  char buf[8] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h.h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "in");
  EXPECT_EQ(GetFileAttributesA((q / "\\..\\f.txt").c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_TRUE(CreateDirectoryA((q / "\\made").c_str(), nullptr));
  HandleCloser made{CreateFileA((q / "\\made\\new.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
  ASSERT_NE(made.h, INVALID_HANDLE_VALUE);
  std::u16string names;
  WIN32_FIND_DATAW found;
  const std::string pattern = q / "\\made\\*";
  HANDLE search = FindFirstFileW(std::u16string(pattern.begin(), pattern.end()).c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    if (found.cFileName[0] != u'.') names += std::u16string(found.cFileName) + u";";
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_EQ(names, u"new.txt;");
}

// Names the library read from a volume are ANSI text, appended to the folder
// a host named in UTF-8. Where the ANSI code page is not UTF-8 (Windows), the
// name still reaches its file, through a letter and as a host path.
TEST(HostFiles, AnsiNamesBelowAUtf8FolderReachTheirFiles) {
  if (WideToAnsi(u"\u00e9") != "\xe9") GTEST_SKIP() << "the ANSI code page here is not Latin-1";
  ScratchDir dir;
  LetterOnFolder q(dir.path());
  HandleCloser made{CreateFileA((q / "\\caf\xe9.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
  ASSERT_NE(made.h, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAW found;
  const std::string pattern = q / "\\caf*";
  HANDLE search = FindFirstFileW(std::u16string(pattern.begin(), pattern.end()).c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(std::u16string(found.cFileName), u"caf\u00e9.txt");
  EXPECT_NE(GetFileAttributesA((dir / "caf\xe9.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
